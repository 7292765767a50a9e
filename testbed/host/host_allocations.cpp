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

#include "common/graphics.h"

#ifdef HOST_GAME_DEVICE_LAYER
#include "testbed/devicelayer/device_layer.h"
#endif

namespace hostgame {
namespace {

using PresentFn = HRESULT(STDMETHODCALLTYPE*)(IDXGISwapChain*, UINT, UINT);
PresentFn originalPresent = nullptr;
volatile DWORD timedThread = 0;
volatile LONGLONG innerTicks = 0;
using ExecuteFn = void(STDMETHODCALLTYPE*)(ID3D12CommandQueue*, UINT, ID3D12CommandList* const*);
ExecuteFn originalExecute = nullptr;

void STDMETHODCALLTYPE timedExecute(ID3D12CommandQueue* queue, UINT count, ID3D12CommandList* const* lists)
{
    if (GetCurrentThreadId() != timedThread) {
        originalExecute(queue, count, lists);
        return;
    }
    LARGE_INTEGER begin, end;
    QueryPerformanceCounter(&begin);
    originalExecute(queue, count, lists);
    QueryPerformanceCounter(&end);
    innerTicks = innerTicks + (end.QuadPart - begin.QuadPart);
}

HRESULT STDMETHODCALLTYPE timedPresent(IDXGISwapChain* swapChain, UINT sync, UINT flags)
{
    if (GetCurrentThreadId() != timedThread)
        return originalPresent(swapChain, sync, flags);
    LARGE_INTEGER begin, end;
    QueryPerformanceCounter(&begin);
    const HRESULT hr = originalPresent(swapChain, sync, flags);
    QueryPerformanceCounter(&end);
    innerTicks = innerTicks + (end.QuadPart - begin.QuadPart);
    return hr;
}

} // namespace

bool startInnerPresentTiming()
{
#ifdef HOST_GAME_DEVICE_LAYER
    const MH_STATUS init = MH_Initialize();
    if (init != MH_OK && init != MH_ERROR_ALREADY_INITIALIZED)
        return false;
    const testworld::SystemMethods& system = testworld::systemMethods();
    if (!system.found)
        return false;
    timedThread = GetCurrentThreadId();
    return MH_CreateHook(system.present, reinterpret_cast<LPVOID>(&timedPresent),
                         reinterpret_cast<LPVOID*>(&originalPresent)) == MH_OK &&
           MH_EnableHook(system.present) == MH_OK &&
           MH_CreateHook(system.executeCommandLists, reinterpret_cast<LPVOID>(&timedExecute),
                         reinterpret_cast<LPVOID*>(&originalExecute)) == MH_OK &&
           MH_EnableHook(system.executeCommandLists) == MH_OK;
#else
    return false; // the system's methods are found by the device layer
#endif
}

double standinInsideMicroseconds()
{
    using InsideFunction = double (*)();
    static InsideFunction inside = nullptr;
    if (inside == nullptr) {
        if (HMODULE standin = GetModuleHandleW(L"sl.interposer.dll"))
            inside = reinterpret_cast<InsideFunction>(
                reinterpret_cast<void*>(GetProcAddress(standin, "slStandinInsideMicroseconds")));
    }
    return inside ? inside() : 0.0;
}

double innerPresentMicroseconds()
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return 1e6 * static_cast<double>(innerTicks) / static_cast<double>(frequency.QuadPart);
}

} // namespace hostgame
