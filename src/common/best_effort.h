#pragma once
// Steps that must not stop the host's call they run in.

namespace fsr2bridge {

// Runs `step`; whatever it reports, or throws, the caller goes on.
template <class Step> void bestEffort(Step step) noexcept
{
    try {
        step();
    } catch (...) {
    }
}

} // namespace fsr2bridge
