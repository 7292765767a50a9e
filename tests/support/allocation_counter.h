#pragma once
// Heap allocations counted for the benchmarks, and time per call with the allocations made meanwhile.
#include <windows.h>

#include <cstdint>

#include "tests/support/timer.h"

namespace testsupport {

// Heap allocations seen so far: every call of the global operator new (replaced by this library in any
// program that uses the counter) and, after countProcessHeap(), every RtlAllocateHeap of the process.
// Counted on the threads chosen with countOnlyThread or countThisThread, or on all threads.
long long allocationCount();
// Counts the allocations of `threadId` only (0: of every thread, the start).
void countOnlyThread(DWORD threadId);
// Adds the calling thread to the counted ones (or takes it out again); once used, only the threads so added
// count. Up to eight at a time, for benchmarks that measure on several threads at once.
void countThisThread(bool counted);
// Hooks RtlAllocateHeap into the count (the hook engine must be initialised). False if the hook failed.
bool countProcessHeap();
// Whether an allocation through each counted path moves the count: a zero proves nothing otherwise.
bool allocationCounterWorks();

struct Measured {
    double nsPerCall;
    long long allocations;
};

// Runs `call` `calls` times; time per call and the allocations made meanwhile.
template <class Call> Measured measure(long long calls, Call&& call)
{
    const long long before = allocationCount();
    const double start = secondsNow();
    for (long long i = 0; i < calls; ++i) {
        call();
    }
    const double elapsed = secondsNow() - start;
    return {elapsed * 1e9 / static_cast<double>(calls), allocationCount() - before};
}

} // namespace testsupport
