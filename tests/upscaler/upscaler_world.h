#pragma once
// What the upscaler's tests set up around it: the fake Streamline, a settings store and a fake host image
// base published as module entry and device attachment would, and Reflex's frame token switched on or off.
#include <windows.h>

#include "hooking/MinHook.h"
#include "settings/config.h"
#include "streamline/reflex.h"
#include "tests/support/fake_streamline.h"
#include "tests/support/scratch_settings.h"
#include "upscaler/upscaler_state.h"

namespace upscalertest {

// Reserved address space standing in for the host executable (its layout is built by the host-hook tests).
inline unsigned char* fakeImageBase()
{
    static unsigned char* const base =
        static_cast<unsigned char*>(VirtualAlloc(nullptr, 0x5A00000, MEM_RESERVE, PAGE_READWRITE));
    return base;
}

// Publishes a settings store holding `settings` (and the fake image base) to the upscaler. Reflex runs (once
// per process, without a sleep), as Frame Generation needs it.
inline void useSettings(const fsr2bridge::Settings& settings)
{
    static const bool reflexRuns = [] {
        const MH_STATUS initialised = MH_Initialize();
        return (initialised == MH_OK || initialised == MH_ERROR_ALREADY_INITIALIZED) &&
               fsr2bridge::startReflex(nullptr);
    }();
    (void)reflexRuns;
    fsr2bridge::Config& store = testsupport::scratchSettings(L"upscaler");
    store.replace(settings);
    fsr2bridge::publishUpscalerState(nullptr, &store, reinterpret_cast<HMODULE>(fakeImageBase()));
}

inline fsr2bridge::Settings testSettings(bool frameGeneration, bool nisSharpening)
{
    fsr2bridge::Settings s{};
    s.enableFrameGeneration = frameGeneration;
    s.enableNisSharpening = nisSharpening;
    return s;
}

// Makes a current frame token exist or not: two presents move both tokens onto what the fake hands out.
inline void setFrameTokenAvailable(bool available)
{
    testsupport::FakeStreamline& fake = testsupport::fakeStreamline();
    fake.tokensHandedOut = available;
    fsr2bridge::advanceFrameToken();
    fsr2bridge::advanceFrameToken();
}

} // namespace upscalertest
