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

template <class T> void drop(T*& object)
{
    if (object)
        object->Release();
    object = nullptr;
}

} // namespace

bool startInnerPresentTiming()
{
    const MH_STATUS init = MH_Initialize();
    if (init != MH_OK && init != MH_ERROR_ALREADY_INITIALIZED)
        return false;
    IDXGIFactory2* factory = nullptr;
    ID3D12Device* device = nullptr;
    ID3D12CommandQueue* queue = nullptr;
    IDXGISwapChain1* swapChain = nullptr;
    HWND window = CreateWindowExA(0, "STATIC", "present timing", WS_OVERLAPPED, 0, 0, 64, 64, nullptr,
                                  nullptr, nullptr, nullptr);
    D3D12_COMMAND_QUEUE_DESC queueDesc{};
    DXGI_SWAP_CHAIN_DESC1 desc{};
    desc.Width = 64;
    desc.Height = 64;
    desc.Format = DXGI_FORMAT_R8G8B8A8_UNORM;
    desc.SampleDesc.Count = 1;
    desc.BufferUsage = DXGI_USAGE_RENDER_TARGET_OUTPUT;
    desc.BufferCount = 2;
    desc.SwapEffect = DXGI_SWAP_EFFECT_FLIP_DISCARD;
    bool ok = window && SUCCEEDED(CreateDXGIFactory2(0, IID_PPV_ARGS(&factory))) &&
              SUCCEEDED(D3D12CreateDevice(nullptr, D3D_FEATURE_LEVEL_11_0, IID_PPV_ARGS(&device))) &&
              SUCCEEDED(device->CreateCommandQueue(&queueDesc, IID_PPV_ARGS(&queue))) &&
              SUCCEEDED(factory->CreateSwapChainForHwnd(queue, window, &desc, nullptr, nullptr, &swapChain));
    if (ok) {
        // IDXGISwapChain::Present is slot 8 (IUnknown 3, IDXGIObject 4, IDXGIDeviceSubObject 1).
        void* present = (*reinterpret_cast<void***>(swapChain))[8];
        timedThread = GetCurrentThreadId();
        ok = MH_CreateHook(present, reinterpret_cast<LPVOID>(&timedPresent),
                           reinterpret_cast<LPVOID*>(&originalPresent)) == MH_OK &&
             MH_EnableHook(present) == MH_OK;
        // ID3D12CommandQueue::ExecuteCommandLists is slot 10 (IUnknown 3, ID3D12Object 4,
        // ID3D12DeviceChild 1, UpdateTileMappings, CopyTileMappings).
        void* execute = (*reinterpret_cast<void***>(queue))[10];
        ok = ok &&
             MH_CreateHook(execute, reinterpret_cast<LPVOID>(&timedExecute),
                           reinterpret_cast<LPVOID*>(&originalExecute)) == MH_OK &&
             MH_EnableHook(execute) == MH_OK;
    }
    drop(swapChain);
    drop(queue);
    drop(device);
    drop(factory);
    if (window)
        DestroyWindow(window);
    return ok;
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
