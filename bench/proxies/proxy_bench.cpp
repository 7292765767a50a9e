// Added cost of the proxies on the hot calls, against the system object in the same run: queue submission
// (four of five calls only forward), a forwarded device method, the present path around a present that does
// nothing (Reflex and Frame Generation against a Streamline that only counts), and an occlusion poll through
// it. Also counts heap allocations on those paths (must be zero).
#include <windows.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <utility>

#include "hooking/MinHook.h"
#include "proxies/D3D12CommandQueueProxy.h"
#include "proxies/D3D12DeviceProxy.h"
#include "proxies/DXGISwapChainProxy.h"
#include "streamline/reflex.h"
#include "tests/support/allocation_counter.h"
#include "tests/support/d3d12_objects.h"
#include "tests/support/fake_streamline.h"

namespace {

using testsupport::ComPtr;
using testsupport::Measured;

template <class Call> Measured measure(int calls, Call call)
{
    testsupport::measure(calls / 10, call); // warm up
    return testsupport::measure(calls, call);
}

// A swap chain whose every operation returns S_OK at once: the inner present costs nothing.
using Word = std::uintptr_t;
template <int> Word doNothing(void*, Word, Word, Word)
{
    return 0;
}
template <int... I> constexpr std::array<void*, sizeof...(I)> nothingTable(std::integer_sequence<int, I...>)
{
    return {reinterpret_cast<void*>(&doNothing<I>)...};
}
const std::array<void*, 48> nothingVtable = nothingTable(std::make_integer_sequence<int, 48>());
struct NothingSwapChain {
    const void* const* table = nothingVtable.data();
};

int status = 0;

void report(const char* name, const Measured& system, const Measured& proxy, bool checkAllocations)
{
    std::printf("proxies_%s_system: %.1f ns\n", name, system.nsPerCall);
    std::printf("proxies_%s_proxy: %.1f ns\n", name, proxy.nsPerCall);
    std::printf("proxies_%s_added: %.1f ns\n", name, proxy.nsPerCall - system.nsPerCall);
    std::printf("proxies_%s_ratio: %.3f x\n", name, proxy.nsPerCall / system.nsPerCall);
    std::printf("proxies_%s_allocations: %lld allocations\n", name, proxy.allocations);
    if (checkAllocations && proxy.allocations != 0) {
        std::printf("FAIL: %s allocates\n", name);
        status = 1;
    }
}

} // namespace

int main()
{
    if (!testsupport::allocationCounterWorks()) {
        std::printf("FAIL: allocation counter does not count\n");
        return 1;
    }

    const ComPtr<ID3D12Device> held = testsupport::createDevice();
    ID3D12Device* device = held.Get();
    if (device == nullptr) {
        std::printf("FAIL: no Direct3D 12 device\n");
        return 1;
    }
    constexpr int calls = 200000;

    // Reflex and Frame Generation run their own code against a Streamline that only counts.
    testsupport::installFakeStreamline().recording = false;
    // Reflex runs (without a settings store: no sleep) and there is a current token: the markers reach
    // Streamline.
    if (MH_Initialize() != MH_OK || !fsr2bridge::startReflex(nullptr)) {
        std::printf("FAIL: startReflex\n");
        return 1;
    }

    // Submission: an empty ExecuteCommandLists on a real queue.
    const ComPtr<ID3D12CommandQueue> queue = testsupport::createQueue(device);
    fsr2bridge::D3D12CommandQueueProxy queueProxy(queue.Get());
    ID3D12CommandQueue* viaProxy = &queueProxy;
    ID3D12CommandQueue* direct = queue.Get();
    const Measured queueSystem = measure(calls, [&] { direct->ExecuteCommandLists(0, nullptr); });
    const Measured queueWrapped = measure(calls, [&] { viaProxy->ExecuteCommandLists(0, nullptr); });
    report("ExecuteCommandLists", queueSystem, queueWrapped, true);

    // A forwarded device method: constant buffer views into a descriptor heap.
    D3D12_DESCRIPTOR_HEAP_DESC heapDesc{};
    heapDesc.Type = D3D12_DESCRIPTOR_HEAP_TYPE_CBV_SRV_UAV;
    heapDesc.NumDescriptors = 1;
    ComPtr<ID3D12DescriptorHeap> heap;
    device->CreateDescriptorHeap(&heapDesc, IID_PPV_ARGS(&heap));
    const ComPtr<ID3D12Resource> buffer =
        testsupport::createBuffer(device, 256, D3D12_HEAP_TYPE_UPLOAD, D3D12_RESOURCE_STATE_GENERIC_READ);
    if (heap == nullptr || buffer == nullptr) {
        std::printf("FAIL: no descriptor heap or buffer\n");
        return 1;
    }
    D3D12_CONSTANT_BUFFER_VIEW_DESC cbv{buffer->GetGPUVirtualAddress(), 256};
    D3D12_CPU_DESCRIPTOR_HANDLE slot{};
    heap->GetCPUDescriptorHandleForHeapStart(&slot);
    auto* device10 = reinterpret_cast<ID3D12Device10*>(device);
    fsr2bridge::D3D12DeviceProxy deviceProxy(device10, device10);
    ID3D12Device* deviceViaProxy = &deviceProxy;
    const Measured cbvSystem = measure(calls, [&] { device->CreateConstantBufferView(&cbv, slot); });
    const Measured cbvWrapped = measure(calls, [&] { deviceViaProxy->CreateConstantBufferView(&cbv, slot); });
    report("CreateConstantBufferView", cbvSystem, cbvWrapped, true);

    // The present path around a present that does nothing.
    NothingSwapChain nothing;
    auto* inner = reinterpret_cast<IDXGISwapChain4*>(&nothing);
    fsr2bridge::DXGISwapChainProxy swapChainProxy(inner, inner);
    IDXGISwapChain* swapChainViaProxy = &swapChainProxy;
    const Measured presentSystem = measure(calls, [&] { inner->Present(0, 0); });
    const Measured presentWrapped = measure(calls, [&] { swapChainViaProxy->Present(0, 0); });
    report("PresentPath", presentSystem, presentWrapped, true);

    // An occlusion poll (DXGI_PRESENT_TEST) only passes through: no frame-boundary step runs.
    const Measured pollSystem = measure(calls, [&] { inner->Present(0, DXGI_PRESENT_TEST); });
    const Measured pollWrapped = measure(calls, [&] { swapChainViaProxy->Present(0, DXGI_PRESENT_TEST); });
    report("OcclusionPoll", pollSystem, pollWrapped, true);

    return status;
}
