// Cost of Config::snapshot, which every dispatch, present and Reflex sleep takes:
// time per call alone and with a second thread taking snapshots too, and the
// number of heap allocations during the calls (must be zero).
#include "settings/config.h"

#include <atomic>
#include <cstdio>
#include <thread>

#include "tests/support/allocation_counter.h"
#include "tests/support/scratch_settings.h"

namespace {

volatile std::uint32_t sink = 0;

testsupport::Measured measure(const fsr2bridge::Config& config, int calls)
{
    return testsupport::measure(calls, [&] { sink = sink + config.snapshot().reflexFpsCap; });
}

} // namespace

int main()
{
    // The counter must see this program's allocations, or zero proves nothing.
    if (!testsupport::allocationCounterWorks()) {
        std::printf("FAIL: allocation counter does not count\n");
        return 1;
    }
    int status = 0;
    const fsr2bridge::Config& config = testsupport::scratchSettings(L"bench_settings");
    constexpr int calls = 2000000;
    measure(config, 1000); // warm up

    const testsupport::Measured alone = measure(config, calls);
    std::printf("settings_snapshot_one_thread: %.1f ns\n", alone.nsPerCall);
    std::printf("settings_snapshot_one_thread_allocations: %lld allocations\n", alone.allocations);

    std::atomic<bool> stop{false};
    std::thread other([&] {
        while (!stop)
            (void)config.snapshot();
    });
    const testsupport::Measured contended = measure(config, calls);
    stop = true;
    other.join();
    std::printf("settings_snapshot_two_threads: %.1f ns\n", contended.nsPerCall);
    std::printf("settings_snapshot_two_threads_allocations: %lld allocations\n", contended.allocations);

    if (alone.allocations != 0 || contended.allocations != 0) {
        std::printf("FAIL: snapshot allocates\n");
        status = 1;
    }
    // A snapshot is a copy of 28 bytes under an uncontended lock.
    if (alone.nsPerCall > 2000.0) {
        std::printf("FAIL: snapshot slower than 2 us\n");
        status = 1;
    }
    DeleteFileW(testsupport::scratchSettingsPath(L"bench_settings").c_str());
    return status;
}
