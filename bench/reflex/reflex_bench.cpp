// Cost of the per-frame Reflex paths against the fake Streamline, which only
// counts: one present's worth (five markers, a token advance, the sleep with
// its settings snapshot, two markers) and PeekMessageA through the hook, with
// and without the ping message. Heap allocations during them must be zero.
#include <windows.h>

#include <cstdio>

#include "hooking/MinHook.h"
#include "streamline/reflex.h"
#include "tests/support/allocation_counter.h"
#include "tests/support/fake_streamline.h"
#include "tests/support/scratch_settings.h"

namespace {

using namespace fsr2bridge;
using testsupport::Entry;
using testsupport::measure;
using testsupport::Measured;

constexpr UINT pingMessage = WM_APP + 0x51;

void present()
{
    sendReflexMarker(sl::ReflexMarker::eRenderSubmitEnd);
    sendReflexMarker(sl::ReflexMarker::ePresentStart);
    sendReflexMarker(sl::ReflexMarker::ePresentEnd);
    advanceFrameToken();
    reflexSleep();
    sendReflexMarker(sl::ReflexMarker::eInputSample);
    sendReflexMarker(sl::ReflexMarker::eSimulationStart);
}

} // namespace

int main()
{
    // The counter must see this program's allocations, or zero proves nothing.
    if (!testsupport::allocationCounterWorks()) {
        std::printf("FAIL: allocation counter does not count\n");
        return 1;
    }
    // Settings with the Reflex sleep on; Streamline only counts.
    testsupport::FakeStreamline& fake = testsupport::installFakeStreamline();
    fake.recording = false;
    fake.pingMessage = pingMessage;
    if (MH_Initialize() != MH_OK || !startReflex(&testsupport::scratchSettings(L"bench_reflex"))) {
        std::printf("FAIL: startReflex\n");
        return 1;
    }
    HWND window = CreateWindowExW(0, L"STATIC", L"bench", 0, 0, 0, 8, 8, nullptr, nullptr, nullptr, nullptr);

    int status = 0;
    constexpr int presents = 200000;
    measure(1000, present); // warm up
    const Measured frame = measure(presents, present);
    // One present's Reflex work: 7 markers/sleep calls and 1 token.
    std::printf("reflex_present: %.1f ns\n", frame.nsPerCall);
    std::printf("reflex_present_allocations: %lld allocations\n", frame.allocations);

    constexpr int peeks = 50000;
    MSG message;
    const Measured empty = measure(peeks, [&] { PeekMessageA(&message, window, 0, 0, PM_REMOVE); });
    // PeekMessageA through the hook on an empty queue.
    std::printf("reflex_peek_empty: %.1f ns\n", empty.nsPerCall);
    std::printf("reflex_peek_empty_allocations: %lld allocations\n", empty.allocations);
    const auto pings = [&, before = fake.count(Entry::slReflexSetMarker)] {
        return static_cast<long long>(fake.count(Entry::slReflexSetMarker) - before);
    };
    const Measured ping = measure(peeks, [&] {
        PostMessageW(window, pingMessage, 0, 0);
        PeekMessageA(&message, window, 0, 0, PM_REMOVE);
    });
    // PostMessageW + PeekMessageA with the ping message.
    std::printf("reflex_ping: %.1f ns\n", ping.nsPerCall);
    std::printf("reflex_ping_allocations: %lld allocations\n", ping.allocations);
    std::printf("reflex_pings_answered: %lld count\n", pings());

    if (frame.allocations != 0 || empty.allocations != 0 || ping.allocations != 0) {
        std::printf("FAIL: a per-frame Reflex path allocates\n");
        status = 1;
    }
    if (pings() != peeks) {
        std::printf("FAIL: not every ping was answered\n");
        status = 1;
    }
    if (frame.nsPerCall > 20000.0) {
        std::printf("FAIL: one present's Reflex work slower than 20 us\n");
        status = 1;
    }
    DestroyWindow(window);
    return status;
}
