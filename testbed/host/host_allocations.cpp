#include "testbed/host/host_allocations.h"

#include "hooking/MinHook.h"

#include <windows.h>

namespace hostgame {
namespace {

using RtlAllocateHeapFn = void*(WINAPI*)(void* heap, ULONG flags, SIZE_T size);
RtlAllocateHeapFn originalAllocate = nullptr;
volatile DWORD countedThread = 0;
volatile std::uint64_t counted = 0;

void* WINAPI countingAllocate(void* heap, ULONG flags, SIZE_T size)
{
    if (countedThread != 0 && GetCurrentThreadId() == countedThread)
        counted = counted + 1;
    return originalAllocate(heap, flags, size);
}

} // namespace

bool startAllocationCounting()
{
    if (originalAllocate)
        return true;
    const MH_STATUS init = MH_Initialize();
    if (init != MH_OK && init != MH_ERROR_ALREADY_INITIALIZED)
        return false;
    void* target = nullptr;
    if (MH_CreateHookApiEx(L"ntdll", "RtlAllocateHeap", reinterpret_cast<LPVOID>(&countingAllocate),
                           reinterpret_cast<LPVOID*>(&originalAllocate), &target) != MH_OK)
        return false;
    return MH_EnableHook(target) == MH_OK;
}

void countAllocations(bool on)
{
    countedThread = on ? GetCurrentThreadId() : 0;
}

std::uint64_t countedAllocations()
{
    return counted;
}

} // namespace hostgame
