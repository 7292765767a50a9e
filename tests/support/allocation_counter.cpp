#include "tests/support/allocation_counter.h"

#include <atomic>
#include <cstdlib>
#include <new>

#include "hooking/MinHook.h"

namespace testsupport {

namespace {

std::atomic<long long> allocations{0};
// The counted threads in fixed slots (not thread_local: MinGW's thread-local storage allocates on first use,
// which would re-enter the heap hook). An empty slot holds 0.
constexpr int maxCountedThreads = 8;
std::atomic<DWORD> countedThreads[maxCountedThreads];
std::atomic<bool> everyThreadCounted{true};
bool heapCounted = false;

bool counted(DWORD thread)
{
    if (everyThreadCounted.load(std::memory_order_relaxed)) {
        return true;
    }
    for (const auto& slot : countedThreads) {
        if (slot.load(std::memory_order_relaxed) == thread) {
            return true;
        }
    }
    return false;
}

} // namespace

void noteAllocation()
{
    if (counted(GetCurrentThreadId())) {
        allocations.fetch_add(1, std::memory_order_relaxed);
    }
}

namespace {

using RtlAllocateHeapFunction = void*(WINAPI*)(void*, ULONG, SIZE_T);
void* systemRtlAllocateHeap = nullptr;

void* WINAPI countingRtlAllocateHeap(void* heap, ULONG flags, SIZE_T size)
{
    noteAllocation();
    return reinterpret_cast<RtlAllocateHeapFunction>(systemRtlAllocateHeap)(heap, flags, size);
}

} // namespace

long long allocationCount()
{
    return allocations.load(std::memory_order_relaxed);
}

void countOnlyThread(DWORD threadId)
{
    for (auto& slot : countedThreads) {
        slot.store(0, std::memory_order_relaxed);
    }
    countedThreads[0].store(threadId, std::memory_order_relaxed);
    everyThreadCounted.store(threadId == 0, std::memory_order_relaxed);
}

void countThisThread(bool count)
{
    everyThreadCounted.store(false, std::memory_order_relaxed);
    const DWORD self = GetCurrentThreadId();
    for (auto& slot : countedThreads) {
        DWORD expected = count ? 0 : self;
        if (slot.compare_exchange_strong(expected, count ? self : 0)) {
            return;
        }
    }
}

bool countProcessHeap()
{
    if (heapCounted) {
        return true;
    }
    void* target = nullptr;
    heapCounted =
        MH_CreateHookApiEx(L"ntdll.dll", "RtlAllocateHeap", reinterpret_cast<void*>(&countingRtlAllocateHeap),
                           &systemRtlAllocateHeap, &target) == MH_OK &&
        MH_EnableHook(target) == MH_OK;
    return heapCounted;
}

bool allocationCounterWorks()
{
    // Through volatile pointers: the compiler may drop a plain new/delete pair.
    void* (*volatile allocate)(std::size_t) = &::operator new;
    void (*volatile release)(void*) noexcept = &::operator delete;
    long long before = allocationCount();
    release(allocate(16));
    if (allocationCount() == before) {
        return false;
    }
    if (!heapCounted) {
        return true;
    }
    before = allocationCount();
    HeapFree(GetProcessHeap(), 0, HeapAlloc(GetProcessHeap(), 0, 16));
    return allocationCount() != before;
}

} // namespace testsupport

// Counting replacements of the global allocation functions (GCC mistakes the malloc/free pair for a
// mismatch).
#if defined(__GNUC__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void* operator new(std::size_t size)
{
    testsupport::noteAllocation();
    if (void* p = std::malloc(size ? size : 1)) {
        return p;
    }
    throw std::bad_alloc();
}

void* operator new[](std::size_t size)
{
    return operator new(size);
}

void operator delete(void* p) noexcept
{
    std::free(p);
}

void operator delete[](void* p) noexcept
{
    std::free(p);
}

void operator delete(void* p, std::size_t) noexcept
{
    std::free(p);
}

void operator delete[](void* p, std::size_t) noexcept
{
    std::free(p);
}
