#pragma once
// The game's references to a proxy that holds references of its own on the objects behind it: the one the
// creation handed over (the system object's) and the one Streamline's object carries (its wrapper, or the
// reference slGetNativeInterface added). The game sees only its own count, as it would on the system object.
// When that count reaches zero the proxy gives back what it holds, exactly once, so that the system object
// is destroyed then (Windows allows one live flip-model swap chain per window). The proxy object stays
// allocated, holding nothing: a release after the last finds it and does nothing.
#include <atomic>
#include <utility>

#include "common/graphics.h"
#include "common/log.h"

namespace fsr2bridge {

class GameReferences {
public:
    // The count starts at the creation's one reference, which the game receives.
    constexpr GameReferences() noexcept = default;

    // The count after the call. After the game's last release nothing is taken and 0 is returned: what the
    // proxy held is gone and must not seem alive again.
    ULONG add(const void* proxy) noexcept;
    // The count after the call; `last` is true for the one call that took it to zero. A release after the
    // last returns 0 and changes nothing.
    ULONG release(const void* proxy, bool& last) noexcept;

private:
    std::atomic<ULONG> count_{1};
};

// Logs a query of a proxy that has given back its objects.
void noteQueryAfterLast(const void* proxy) noexcept;

// Release for a proxy with `upgraded`, `native` and `gameReferences`: the game's last reference gives back
// the system object's reference first and Streamline's last (its wrapper then goes with a live object), and
// leaves both pointers null.
template <class Proxy>
ULONG releaseGameReference(Proxy& proxy, const LogEvent<const void*>& givenBack) noexcept
{
    bool last = false;
    const ULONG left = proxy.gameReferences.release(&proxy, last);
    if (last) {
        auto* native = std::exchange(proxy.native, nullptr);
        auto* upgraded = std::exchange(proxy.upgraded, nullptr);
        if (native != nullptr)
            native->Release();
        if (upgraded != nullptr)
            upgraded->Release();
        logEvent(givenBack, &proxy);
    }
    return left;
}

} // namespace fsr2bridge
