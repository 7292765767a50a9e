// What a per-frame path pays for the log: one record into the ring (alone and with four threads at once),
// a repeat of a counted error, a record refused by a full ring. The writer thread runs all the while.
// Heap allocations on the measuring threads are counted (tests/support: operator new and RtlAllocateHeap,
// which malloc reaches too): none allowed.
#include "common/log.h"
#include "hooking/MinHook.h"
#include "tests/support/allocation_counter.h"

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

using fsr2bridge::LogError;
using fsr2bridge::LogEvent;
using fsr2bridge::Logger;

constexpr LogEvent<std::uint32_t, std::uint32_t, long, float> frameEvent{
    "frame {}: viewport {}, status {x}, {}"};
LogError<long> repeatedError{"dispatch failed with {x}"};

struct Measure {
    double ns = 0;
    long long calls = 0;
    long long allocations = 0;
    double perCall() const { return calls ? ns / static_cast<double>(calls) : 0; }
    double allocationsPerCall() const { return calls ? static_cast<double>(allocations) / calls : 0; }
};

// `batch` calls of `body` at a time, `rounds` times, the calling thread counted meanwhile; `between` (not
// timed) runs after each batch.
template <class Body, class Between> Measure measure(int rounds, int batch, Body body, Between between)
{
    Measure m;
    for (int r = 0; r < rounds; ++r) {
        std::uint32_t i = 0;
        testsupport::countThisThread(true);
        const testsupport::Measured batchMeasured = testsupport::measure(batch, [&] { body(i++); });
        testsupport::countThisThread(false);
        m.allocations += batchMeasured.allocations;
        m.ns += batchMeasured.nsPerCall * batch;
        m.calls += batch;
        between();
    }
    return m;
}

void frame(Logger& log, std::uint32_t i)
{
    const std::uint64_t args[] = {i, 0, fsr2bridge::logdetail::encodeArg(-2147467259L),
                                  fsr2bridge::logdetail::encodeArg(0.5f)};
    log.record(frameEvent, args, 4);
}

void print(const char* name, const Measure& m)
{
    std::printf("%s: %.1f ns\n", name, m.perCall());
    std::printf("%s_allocations: %.3f allocations/call\n", name, m.allocationsPerCall());
}

} // namespace

int main()
{
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring folder =
        std::wstring(temp) + L"fsr2bench_log_" + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(folder.c_str(), nullptr);

    if (MH_Initialize() != MH_OK || !testsupport::countProcessHeap()) {
        std::printf("FAIL: cannot count heap allocations\n");
        return 1;
    }
    // The counter must see operator new and the process heap, or the zeros below prove nothing.
    testsupport::countThisThread(true);
    const bool counting = testsupport::allocationCounterWorks();
    testsupport::countThisThread(false);
    if (!counting) {
        std::printf("FAIL: allocation counting does not work here\n");
        return 1;
    }

    int status = 0;
    auto judge = [&](const char* name, const Measure& m) {
        print(name, m);
        if (m.allocations != 0) {
            std::printf("FAIL: %s allocates\n", name);
            status = 1;
        }
        // Nanoseconds are the aim; only a gross regression fails on a loaded machine.
        if (m.perCall() > 5000.0) {
            std::printf("FAIL: %s slower than 5 us\n", name);
            status = 1;
        }
    };
    {
        fsr2bridge::LogOptions options;
        options.ringCapacity = 1 << 16;
        options.byteLimit = 1ull << 30; // the bench writes far more than a game's 64 KiB
        Logger log(options);
        if (!log.start(folder) || !log.flush(10000)) {
            std::printf("FAIL: the log does not start in %ls\n", folder.c_str());
            return 1;
        }
        auto flush = [&] { log.flush(10000); };
        frame(log, 0);
        flush();

        judge("log_event", measure(
                               20, 50000, [&](std::uint32_t i) { frame(log, i); }, flush));
        judge("log_error_repeat", measure(
                                      20, 50000,
                                      [&](std::uint32_t) {
                                          const std::uint64_t args[] = {0};
                                          log.error(repeatedError, args, 1);
                                      },
                                      [] {}));

        // Four producers at once, each timing its own calls.
        constexpr int threads = 4;
        std::vector<Measure> each(threads);
        for (int round = 0; round < 10; ++round) {
            std::atomic<bool> go{false};
            std::vector<std::thread> workers;
            for (int t = 0; t < threads; ++t)
                workers.emplace_back([&, t] {
                    while (!go)
                        std::this_thread::yield();
                    const Measure m = measure(
                        1, 16000, [&](std::uint32_t i) { frame(log, i); }, [] {});
                    each[t].ns += m.ns;
                    each[t].calls += m.calls;
                    each[t].allocations += m.allocations;
                });
            go = true;
            for (auto& w : workers)
                w.join();
            flush();
        }
        Measure contended;
        for (const Measure& m : each) {
            contended.ns += m.ns;
            contended.calls += m.calls;
            contended.allocations += m.allocations;
        }
        judge("log_event_4_threads", contended);
        std::printf("log_records_dropped_while_measuring: %llu count\n",
                    static_cast<unsigned long long>(log.droppedRecords()));
    }
    {
        // A writer that never gets to run: every call after the first 1024 finds the ring full.
        fsr2bridge::LogOptions options;
        options.pollMilliseconds = 3600 * 1000;
        options.byteLimit = 1ull << 30;
        Logger log(options);
        log.start(folder);
        log.flush(10000);
        judge("log_event_ring_full", measure(
                                         1, 200000, [&](std::uint32_t i) { frame(log, i); }, [] {}));
    }
    DeleteFileW((folder + L"\\fsr2bridge.log").c_str());
    DeleteFileW((folder + L"\\fsr2bridge.previous.log").c_str());
    RemoveDirectoryW(folder.c_str());
    return status;
}
