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
std::atomic<bool> switched{
    false}; // set after lostAtFrame: another switch may have the presents hooked already
std::atomic<std::uint32_t> presentsSeen{0};
std::atomic<bool> lossHappened{false};

GetCompletedValueFn originalGetCompletedValue = nullptr;
SetEventOnCompletionFn originalSetEventOnCompletion = nullptr;
QueueSignalFn originalQueueSignal = nullptr;

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
    return switched.load(std::memory_order_acquire);
}

// Its device is removed, or this is frame N.
bool presentFindsDeviceRemoved(IDXGISwapChain* swapChain, UINT flags)
{
    if (!deviceLossSwitched())
        return false;
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

// Reads the switch; when it is set, hooks the system's presents (shared with the other present switches).
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
    switched.store(true, std::memory_order_release);
    return hookSystemPresents();
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
