// TESTWORLD_DEVICE_LOST_AT: a device removed at a chosen frame, as a driver timeout removes one on a player's
// machine. Wine never removes a device, so the layer answers for it: the presents, fences and queue signals
// of a removed device, through hooks on Wine's own functions (every object of a class shares them).
#include <atomic>
#include <cstdlib>

#include <wrl/client.h>

#include "testbed/devicelayer/layer_internal.h"

namespace testworld {
namespace {

using Microsoft::WRL::ComPtr;

std::uint32_t lostAtFrame = 0;
bool switched = false;
std::atomic<std::uint32_t> presentsSeen{0};
std::atomic<bool> lossHappened{false};

// Virtual-table slots (the interfaces' published order).
constexpr int fenceGetCompletedValueSlot = 8, fenceSetEventOnCompletionSlot = 9;
constexpr int queueSignalSlot = 14;
constexpr int factoryCreateSwapChainSlot = 10, factoryCreateSwapChainForHwndSlot = 15;
constexpr int swapChainPresentSlot = 8, swapChainPresent1Slot = 22;

using GetCompletedValueFn = UINT64(STDMETHODCALLTYPE*)(ID3D12Fence*);
using SetEventOnCompletionFn = HRESULT(STDMETHODCALLTYPE*)(ID3D12Fence*, UINT64, HANDLE);
using QueueSignalFn = HRESULT(STDMETHODCALLTYPE*)(ID3D12CommandQueue*, ID3D12Fence*, UINT64);
using CreateSwapChainFn = HRESULT(STDMETHODCALLTYPE*)(IDXGIFactory*, IUnknown*, DXGI_SWAP_CHAIN_DESC*,
                                                      IDXGISwapChain**);
using CreateSwapChainForHwndFn = HRESULT(STDMETHODCALLTYPE*)(IDXGIFactory2*, IUnknown*, HWND,
                                                             const DXGI_SWAP_CHAIN_DESC1*,
                                                             const DXGI_SWAP_CHAIN_FULLSCREEN_DESC*,
                                                             IDXGIOutput*, IDXGISwapChain1**);
using PresentFn = HRESULT(STDMETHODCALLTYPE*)(IDXGISwapChain*, UINT, UINT);
using Present1Fn = HRESULT(STDMETHODCALLTYPE*)(IDXGISwapChain1*, UINT, UINT, const DXGI_PRESENT_PARAMETERS*);

GetCompletedValueFn originalGetCompletedValue = nullptr;
SetEventOnCompletionFn originalSetEventOnCompletion = nullptr;
QueueSignalFn originalQueueSignal = nullptr;
CreateSwapChainFn originalCreateSwapChain = nullptr;
CreateSwapChainForHwndFn originalCreateSwapChainForHwnd = nullptr;
PresentFn originalPresent = nullptr;
Present1Fn originalPresent1 = nullptr;

bool removedDeviceOf(ID3D12DeviceChild* child)
{
    const ComPtr<ID3D12Device> device = deviceOf(child);
    return device && isRemoved(device.Get());
}

// The Wine device a swap chain presents for (Wine's DXGI answers the device; Windows' the queue, whose device
// it is).
ComPtr<ID3D12Device> presentingDevice(IDXGISwapChain* swapChain)
{
    ComPtr<ID3D12Device> device;
    if (SUCCEEDED(swapChain->GetDevice(IID_PPV_ARGS(&device))))
        return device;
    ComPtr<ID3D12CommandQueue> queue;
    if (FAILED(swapChain->GetDevice(IID_PPV_ARGS(&queue))))
        return nullptr;
    return deviceOf(queue.Get());
}

// True when this present must answer DXGI_ERROR_DEVICE_REMOVED: its device is removed, or this is frame N.
bool presentFindsDeviceRemoved(IDXGISwapChain* swapChain, UINT flags)
{
    const ComPtr<ID3D12Device> device = presentingDevice(swapChain);
    if (!device)
        return false;
    if (isRemoved(device.Get()))
        return true;
    if ((flags & DXGI_PRESENT_TEST) != 0 || lossHappened.load())
        return false;
    if (presentsSeen.fetch_add(1) < lostAtFrame)
        return false;
    lossHappened = true;
    return markRemoved(device.Get());
}

HRESULT STDMETHODCALLTYPE presentDetour(IDXGISwapChain* swapChain, UINT syncInterval, UINT flags)
{
    if (presentFindsDeviceRemoved(swapChain, flags))
        return DXGI_ERROR_DEVICE_REMOVED;
    return originalPresent(swapChain, syncInterval, flags);
}

HRESULT STDMETHODCALLTYPE present1Detour(IDXGISwapChain1* swapChain, UINT syncInterval, UINT flags,
                                         const DXGI_PRESENT_PARAMETERS* parameters)
{
    if (presentFindsDeviceRemoved(swapChain, flags))
        return DXGI_ERROR_DEVICE_REMOVED;
    return originalPresent1(swapChain, syncInterval, flags, parameters);
}

// The first swap chain Wine makes shows where its presents are.
void hookPresents(IUnknown* swapChain)
{
    if (swapChain != nullptr) {
        hookVirtual(swapChain, swapChainPresentSlot, reinterpret_cast<void*>(&presentDetour),
                    reinterpret_cast<void**>(&originalPresent));
        hookVirtual(swapChain, swapChainPresent1Slot, reinterpret_cast<void*>(&present1Detour),
                    reinterpret_cast<void**>(&originalPresent1));
    }
}

HRESULT STDMETHODCALLTYPE createSwapChainDetour(IDXGIFactory* factory, IUnknown* queue,
                                                DXGI_SWAP_CHAIN_DESC* desc, IDXGISwapChain** swapChain)
{
    const HRESULT hr = originalCreateSwapChain(factory, queue, desc, swapChain);
    if (SUCCEEDED(hr) && swapChain != nullptr)
        hookPresents(*swapChain);
    return hr;
}

HRESULT STDMETHODCALLTYPE createSwapChainForHwndDetour(IDXGIFactory2* factory, IUnknown* queue, HWND window,
                                                       const DXGI_SWAP_CHAIN_DESC1* desc,
                                                       const DXGI_SWAP_CHAIN_FULLSCREEN_DESC* fullscreen,
                                                       IDXGIOutput* output, IDXGISwapChain1** swapChain)
{
    const HRESULT hr =
        originalCreateSwapChainForHwnd(factory, queue, window, desc, fullscreen, output, swapChain);
    if (SUCCEEDED(hr) && swapChain != nullptr)
        hookPresents(*swapChain);
    return hr;
}

// A removed device has signalled every fence to UINT64_MAX, so every wait on one ends at once.
UINT64 STDMETHODCALLTYPE getCompletedValueDetour(ID3D12Fence* fence)
{
    return removedDeviceOf(fence) ? UINT64_MAX : originalGetCompletedValue(fence);
}

HRESULT STDMETHODCALLTYPE setEventOnCompletionDetour(ID3D12Fence* fence, UINT64 value, HANDLE event)
{
    if (!removedDeviceOf(fence))
        return originalSetEventOnCompletion(fence, value, event);
    if (event != nullptr)
        SetEvent(event);
    return S_OK;
}

// Windows discards a removed device's work; Wine would still run it on resources the game now releases (the
// game waits for nothing: every fence says done). So the signal that reports the removal first lets the work
// submitted before it finish (at most 5 s).
HRESULT STDMETHODCALLTYPE queueSignalDetour(ID3D12CommandQueue* queue, ID3D12Fence* fence, UINT64 value)
{
    if (!removedDeviceOf(queue))
        return originalQueueSignal(queue, fence, value);
    if (fence != nullptr && SUCCEEDED(originalQueueSignal(queue, fence, value)) &&
        originalGetCompletedValue(fence) < value) {
        const HANDLE done = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        if (done != nullptr && SUCCEEDED(originalSetEventOnCompletion(fence, value, done)))
            WaitForSingleObject(done, 5000);
        if (done != nullptr)
            CloseHandle(done);
    }
    return DXGI_ERROR_DEVICE_REMOVED;
}

} // namespace

bool deviceLossSwitched()
{
    return switched;
}

// Reads the switch; when it is set, hooks swap-chain creation in Wine's DXGI (a factory of the system's own
// shows where it is), so that the first swap chain's presents are hooked too.
bool armDeviceLossAtInstall()
{
    char text[32] = {};
    const DWORD length = GetEnvironmentVariableA("TESTWORLD_DEVICE_LOST_AT", text, sizeof text);
    if (length == 0)
        return true;
    char* end = nullptr;
    const unsigned long frame = std::strtoul(text, &end, 10);
    if (length >= sizeof text || end == text || *end != '\0')
        return false;
    lostAtFrame = static_cast<std::uint32_t>(frame);
    switched = true;
    const ComPtr<IDXGIFactory4> factory = systemFactory();
    return factory &&
           hookVirtual(factory.Get(), factoryCreateSwapChainSlot,
                       reinterpret_cast<void*>(&createSwapChainDetour),
                       reinterpret_cast<void**>(&originalCreateSwapChain)) &&
           hookVirtual(factory.Get(), factoryCreateSwapChainForHwndSlot,
                       reinterpret_cast<void*>(&createSwapChainForHwndDetour),
                       reinterpret_cast<void**>(&originalCreateSwapChainForHwnd));
}

void armDeviceLoss(ID3D12Device* firstNative)
{
    static const bool armed = [firstNative] {
        ComPtr<ID3D12Fence> fence;
        D3D12_COMMAND_QUEUE_DESC desc{};
        desc.Type = D3D12_COMMAND_LIST_TYPE_DIRECT;
        ComPtr<ID3D12CommandQueue> queue;
        return SUCCEEDED(firstNative->CreateFence(0, D3D12_FENCE_FLAG_NONE, IID_PPV_ARGS(&fence))) &&
               SUCCEEDED(firstNative->CreateCommandQueue(&desc, IID_PPV_ARGS(&queue))) &&
               hookVirtual(fence.Get(), fenceGetCompletedValueSlot,
                           reinterpret_cast<void*>(&getCompletedValueDetour),
                           reinterpret_cast<void**>(&originalGetCompletedValue)) &&
               hookVirtual(fence.Get(), fenceSetEventOnCompletionSlot,
                           reinterpret_cast<void*>(&setEventOnCompletionDetour),
                           reinterpret_cast<void**>(&originalSetEventOnCompletion)) &&
               hookVirtual(queue.Get(), queueSignalSlot, reinterpret_cast<void*>(&queueSignalDetour),
                           reinterpret_cast<void**>(&originalQueueSignal));
    }();
    (void)armed;
}

} // namespace testworld
