#include "tests/support/allocation_counter.h"

#include <atomic>
#include <cstdlib>
#include <new>

#include "hooking/MinHook.h"

namespace testsupport {

namespace {

std::atomic<long long> allocations{0};
std::atomic<DWORD> countedThread{0};
bool heapCounted = false;

} // namespace

void noteAllocation()
{
    const DWORD thread = countedThread.load(std::memory_order_relaxed);
    if (thread == 0 || thread == GetCurrentThreadId()) {
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
    countedThread.store(threadId, std::memory_order_relaxed);
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
