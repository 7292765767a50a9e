#pragma once
// The modules the proxies drive at the frame boundary (Reflex, Frame Generation) run for real against the
// fake Streamline. Reflex is started once per process, with a settings store that has every switch on, so
// there is a current frame token and the sleep is taken.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "hooking/MinHook.h"
#include "streamline/reflex.h"
#include "tests/support/fake_streamline.h"
#include "tests/support/scratch_settings.h"
#include "upscaler/upscaler_state.h"

namespace proxiestest {

// A fresh fake Streamline (empty log, default script) in a process whose Reflex has started.
inline testsupport::FakeStreamline& frameBoundaryWorld()
{
    static const bool started = [] {
        fsr2bridge::Config& settings = testsupport::scratchSettings(L"proxies");
        const MH_STATUS initialised = MH_Initialize();
        testsupport::installFakeStreamline();
        fsr2bridge::publishUpscalerState(nullptr, &settings, nullptr);
        return (initialised == MH_OK || initialised == MH_ERROR_ALREADY_INITIALIZED) &&
               fsr2bridge::startReflex(&settings);
    }();
    EXPECT_TRUE(started) << "Reflex start-up against the fake";
    return testsupport::installFakeStreamline();
}

// The markers sent, as numbers.
inline std::vector<std::uint32_t> markerNumbers(const testsupport::FakeStreamline& fake)
{
    std::vector<std::uint32_t> numbers;
    for (sl::ReflexMarker marker : fake.markers)
        numbers.push_back(static_cast<std::uint32_t>(marker));
    return numbers;
}

} // namespace proxiestest
