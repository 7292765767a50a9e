// The system's swap-chain, factory and queue methods, and the layer's hooks on the presents and swap-chain
// creations: each is hooked once, by one detour that applies every switch that is on.
#include <atomic>

#include <wrl/client.h>

#include "common/module_export.h"
#include "testbed/devicelayer/device_layer.h"
#include "testbed/devicelayer/layer_internal.h"

namespace testworld {
namespace {

PresentFn systemPresent = nullptr;
Present1Fn systemPresent1 = nullptr;
CreateSwapChainFn systemCreateSwapChain = nullptr;
CreateSwapChainForHwndFn systemCreateSwapChainForHwnd = nullptr;

std::atomic<bool> refusingNonWaitingPresents{false};
std::atomic<bool> lastPresentRefused{false};

// A DO_NOT_WAIT present is refused unless it retries a refused one.
bool refusedAsStillDrawing(UINT flags)
{
    if ((flags & DXGI_PRESENT_DO_NOT_WAIT) == 0 || (flags & DXGI_PRESENT_TEST) != 0) {
        lastPresentRefused = false;
        return false;
    }
    const bool retry = lastPresentRefused.load();
    lastPresentRefused = !retry;
    return !retry;
}

// Wine under Xvfb can deadlock when one thread makes a DXGI factory (whose wined3d makes an OpenGL context,
// wglCreateContextAttribsARB) while another is inside a Vulkan present (vkAcquireNextImageKHR); Windows does
// not. With keepCreationsApartFromPresents, presents share this lock and factory creations take it alone
// (once per thread: Wine's D3D12CreateDevice makes a factory itself).
SRWLOCK presentsOrCreations = SRWLOCK_INIT;
std::atomic<bool> presentsTakeTurns{false};
thread_local int creationsEntered = 0;
CreateFactory2Fn systemCreateFactory2 = nullptr;

HRESULT WINAPI createFactoryApart(UINT flags, REFIID riid, void** factory)
{
    if (creationsEntered++ == 0)
        AcquireSRWLockExclusive(&presentsOrCreations);
    const HRESULT hr = systemCreateFactory2(flags, riid, factory);
    if (--creationsEntered == 0)
        ReleaseSRWLockExclusive(&presentsOrCreations);
    return hr;
}

template <class Present> HRESULT presentInTurn(Present present)
{
    if (!presentsTakeTurns.load(std::memory_order_acquire))
        return present();
    AcquireSRWLockShared(&presentsOrCreations);
    const HRESULT hr = present();
    ReleaseSRWLockShared(&presentsOrCreations);
    return hr;
}

// What a present answers instead of presenting (S_OK: it presents): the device loss first, then the refused
// non-waiting present.
HRESULT presentAnswer(IDXGISwapChain* swapChain, UINT flags)
{
    if (presentFindsDeviceRemoved(swapChain, flags))
        return DXGI_ERROR_DEVICE_REMOVED;
    if (refusingNonWaitingPresents.load(std::memory_order_acquire) && refusedAsStillDrawing(flags))
        return DXGI_ERROR_WAS_STILL_DRAWING;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE presentDetour(IDXGISwapChain* swapChain, UINT sync, UINT flags)
{
    const HRESULT answer = presentAnswer(swapChain, flags);
    return answer != S_OK ? answer : presentInTurn([&] { return systemPresent(swapChain, sync, flags); });
}

HRESULT STDMETHODCALLTYPE present1Detour(IDXGISwapChain1* swapChain, UINT sync, UINT flags,
                                         const DXGI_PRESENT_PARAMETERS* parameters)
{
    const HRESULT answer = presentAnswer(swapChain, flags);
    return answer != S_OK ? answer
                          : presentInTurn([&] { return systemPresent1(swapChain, sync, flags, parameters); });
}

// Windows' DXGI takes any object that answers ID3D12CommandQueue for a swap chain; Wine's reads the
// object's memory as its own queue. The real queue behind a stand-in Streamline queue (also behind a
// proxy that forwards unknown identifiers to it) is what its slGetNativeInterface gives.
struct QueueForTheSystem {
    explicit QueueForTheSystem(IUnknown* given) : queue(given)
    {
        static constexpr GUID standinQueue = {
            0x5A1D7E2B, 0x3C4F, 0x4E8A, {0x9B, 0x6D, 0x0F, 0x1E, 0x2D, 0x3C, 0x4B, 0x5A}};
        const HMODULE streamline = GetModuleHandleW(L"sl.interposer.dll");
        auto* getNative =
            streamline ? fsr2bridge::exportedFunction<int(void*, void**)>(streamline, "slGetNativeInterface")
                       : nullptr;
        Microsoft::WRL::ComPtr<IUnknown> wrapper;
        if (given == nullptr || getNative == nullptr ||
            FAILED(given->QueryInterface(standinQueue, reinterpret_cast<void**>(wrapper.GetAddressOf()))))
            return;
        void* native = nullptr;
        if (getNative(wrapper.Get(), &native) == 0 && native != nullptr) {
            *real.ReleaseAndGetAddressOf() = static_cast<IUnknown*>(native);
            queue = real.Get();
        }
    }
    IUnknown* queue;
    Microsoft::WRL::ComPtr<IUnknown> real;
};

HRESULT STDMETHODCALLTYPE createSwapChainDetour(IDXGIFactory* factory, IUnknown* queue,
                                                DXGI_SWAP_CHAIN_DESC* desc, IDXGISwapChain** out)
{
    return systemCreateSwapChain(factory, QueueForTheSystem(queue).queue, desc, out);
}

HRESULT STDMETHODCALLTYPE createSwapChainForHwndDetour(IDXGIFactory2* factory, IUnknown* queue, HWND window,
                                                       const DXGI_SWAP_CHAIN_DESC1* desc,
                                                       const DXGI_SWAP_CHAIN_FULLSCREEN_DESC* fullscreen,
                                                       IDXGIOutput* output, IDXGISwapChain1** out)
{
    return systemCreateSwapChainForHwnd(factory, QueueForTheSystem(queue).queue, window, desc, fullscreen,
                                        output, out);
}

template <class Fn> bool hookSystemMethod(void* target, Fn detour, Fn* original)
{
    return hookMethod(target, reinterpret_cast<void*>(detour), reinterpret_cast<void**>(original));
}

} // namespace

const SystemMethods& systemMethods()
{
    static const SystemMethods methods = [] {
        using Microsoft::WRL::ComPtr;
        SystemMethods m;
        ComPtr<IDXGIFactory2> factory;
        ComPtr<ID3D12Device> device;
        ComPtr<ID3D12CommandQueue> queue;
        ComPtr<IDXGISwapChain1> swapChain;
        HWND window = CreateWindowExA(0, "STATIC", "layer", WS_OVERLAPPED, 0, 0, 64, 64, nullptr, nullptr,
                                      nullptr, nullptr);
        D3D12_COMMAND_QUEUE_DESC queueDesc{};
        DXGI_SWAP_CHAIN_DESC1 desc{};
        desc.Width = 64;
        desc.Height = 64;
        desc.Format = DXGI_FORMAT_R8G8B8A8_UNORM;
        desc.SampleDesc.Count = 1;
        desc.BufferUsage = DXGI_USAGE_RENDER_TARGET_OUTPUT;
        desc.BufferCount = 2;
        desc.SwapEffect = DXGI_SWAP_EFFECT_FLIP_DISCARD;
        m.found = window && SUCCEEDED(CreateDXGIFactory2(0, IID_PPV_ARGS(&factory))) &&
                  SUCCEEDED(D3D12CreateDevice(nullptr, D3D_FEATURE_LEVEL_11_0, IID_PPV_ARGS(&device))) &&
                  SUCCEEDED(device->CreateCommandQueue(&queueDesc, IID_PPV_ARGS(&queue))) &&
                  SUCCEEDED(factory->CreateSwapChainForHwnd(queue.Get(), window, &desc, nullptr, nullptr,
                                                            &swapChain));
        if (m.found) {
            void* const* swapChainTable = *reinterpret_cast<void* const* const*>(swapChain.Get());
            void* const* factoryTable = *reinterpret_cast<void* const* const*>(factory.Get());
            m.present = swapChainTable[swapChainPresentSlot];
            m.present1 = swapChainTable[swapChainPresent1Slot];
            m.createSwapChain = factoryTable[factoryCreateSwapChainSlot];
            m.createSwapChainForHwnd = factoryTable[factoryCreateSwapChainForHwndSlot];
            m.executeCommandLists =
                (*reinterpret_cast<void* const* const*>(queue.Get()))[queueExecuteCommandListsSlot];
        }
        swapChain.Reset();
        if (window)
            DestroyWindow(window);
        return m;
    }();
    return methods;
}

bool hookSystemPresents()
{
    static const bool hooked = [] {
        const SystemMethods& m = systemMethods();
        return m.found && hookSystemMethod(m.present, &presentDetour, &systemPresent) &&
               hookSystemMethod(m.present1, &present1Detour, &systemPresent1);
    }();
    return hooked;
}

bool refuseNonWaitingPresentsOnce()
{
    static const bool installed = [] {
        refusingNonWaitingPresents.store(true, std::memory_order_release);
        return hookSystemPresents();
    }();
    return installed;
}

bool acceptWrappedQueuesInSystemFactories()
{
    static const bool installed = [] {
        const SystemMethods& m = systemMethods();
        return m.found &&
               hookSystemMethod(m.createSwapChain, &createSwapChainDetour, &systemCreateSwapChain) &&
               hookSystemMethod(m.createSwapChainForHwnd, &createSwapChainForHwndDetour,
                                &systemCreateSwapChainForHwnd);
    }();
    return installed;
}

bool keepCreationsApartFromPresents()
{
    static const bool installed = [] {
        presentsTakeTurns.store(true, std::memory_order_release);
        void* target = nullptr;
        return hookSystemPresents() &&
               layerTable().createForExport(
                   L"dxgi.dll", "CreateDXGIFactory2", reinterpret_cast<void*>(&createFactoryApart),
                   reinterpret_cast<void**>(&systemCreateFactory2), &target) == MH_OK &&
               layerTable().enable(target) == MH_OK;
    }();
    return installed;
}

} // namespace testworld
