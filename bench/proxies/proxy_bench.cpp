// Added cost of the proxies on the hot calls, against the system object in the same run: queue submission
// (four of five calls only forward), a forwarded device method, and the present path around a present that
// does nothing, with Reflex and Frame Generation calls that do nothing. Also counts heap allocations on
// those paths (must be zero).
#include <windows.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <utility>

#include "proxies/D3D12CommandQueueProxy.h"
#include "proxies/D3D12DeviceProxy.h"
#include "proxies/DXGISwapChainProxy.h"
#include "streamline/reflex.h"
#include "streamline/streamline_api.h"

namespace {
std::atomic<long long> allocations{0};
}

// Counting replacements of the global allocation functions (GCC mistakes the malloc/free pair for a
// mismatch).
#if defined(__GNUC__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void* operator new(std::size_t size)
{
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept
{
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept
{
    std::free(p);
}

// Reflex and Frame Generation with nothing behind them: the present path's own cost remains.
namespace fsr2bridge {
bool sendReflexMarker(std::uint32_t)
{
    return true;
}
bool advanceFrameToken()
{
    return true;
}
bool reflexSleep()
{
    return true;
}
bool setFrameGenerationMode(std::uint32_t)
{
    return true;
}
bool takeFrameGenerationRequest()
{
    return false;
}
} // namespace fsr2bridge

namespace {

double secondsNow()
{
    LARGE_INTEGER counter, frequency;
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

struct Measured {
    double nsPerCall;
    long long allocations;
};

template <class Call> Measured measure(int calls, Call call)
{
    for (int i = 0; i < calls / 10; ++i)
        call(); // warm up
    const long long before = allocations.load();
    const double start = secondsNow();
    for (int i = 0; i < calls; ++i)
        call();
    const double elapsed = secondsNow() - start;
    return {elapsed * 1e9 / calls, allocations.load() - before};
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

// Streamline that does nothing: the markers, the token advance and the sleep run their own code only.
sl::Result noMarker(sl::ReflexMarker, const sl::FrameToken&)
{
    return sl::Result::eOk;
}
sl::Result noSleep(const sl::FrameToken&)
{
    return sl::Result::eOk;
}
alignas(16) unsigned char tokenStorage[64];
sl::Result newToken(sl::FrameToken*& token, const std::uint32_t*)
{
    token = reinterpret_cast<sl::FrameToken*>(tokenStorage);
    return sl::Result::eOk;
}

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
    const long long probe = allocations.load();
    ::operator delete(::operator new(sizeof(int)));
    if (allocations.load() == probe) {
        std::printf("FAIL: allocation counter does not count\n");
        return 1;
    }

    ID3D12Device* device = nullptr;
    if (FAILED(D3D12CreateDevice(nullptr, D3D_FEATURE_LEVEL_11_0, IID_PPV_ARGS(&device)))) {
        std::printf("FAIL: no Direct3D 12 device\n");
        return 1;
    }
    constexpr int calls = 200000;

    // A Streamline that does nothing behind Reflex, for the queue markers and the present path.
    fsr2bridge::streamlineApi.slReflexSetMarker = &noMarker;
    fsr2bridge::streamlineApi.slReflexSleep = &noSleep;
    fsr2bridge::streamlineApi.slGetNewFrameToken = &newToken;
    fsr2bridge::advanceFrameToken(); // a current token: the markers reach Streamline

    // Submission: an empty ExecuteCommandLists on a real queue.
    D3D12_COMMAND_QUEUE_DESC queueDesc{};
    queueDesc.Type = D3D12_COMMAND_LIST_TYPE_DIRECT;
    ID3D12CommandQueue* queue = nullptr;
    device->CreateCommandQueue(&queueDesc, IID_PPV_ARGS(&queue));
    fsr2bridge::D3D12CommandQueueProxy queueProxy(queue);
    ID3D12CommandQueue* viaProxy = &queueProxy;
    ID3D12CommandQueue* direct = queue;
    const Measured queueSystem = measure(calls, [&] { direct->ExecuteCommandLists(0, nullptr); });
    const Measured queueWrapped = measure(calls, [&] { viaProxy->ExecuteCommandLists(0, nullptr); });
    report("ExecuteCommandLists", queueSystem, queueWrapped, true);

    // A forwarded device method: constant buffer views into a descriptor heap.
    D3D12_DESCRIPTOR_HEAP_DESC heapDesc{};
    heapDesc.Type = D3D12_DESCRIPTOR_HEAP_TYPE_CBV_SRV_UAV;
    heapDesc.NumDescriptors = 1;
    ID3D12DescriptorHeap* heap = nullptr;
    device->CreateDescriptorHeap(&heapDesc, IID_PPV_ARGS(&heap));
    D3D12_HEAP_PROPERTIES upload{};
    upload.Type = D3D12_HEAP_TYPE_UPLOAD;
    D3D12_RESOURCE_DESC bufferDesc{};
    bufferDesc.Dimension = D3D12_RESOURCE_DIMENSION_BUFFER;
    bufferDesc.Width = 256;
    bufferDesc.Height = 1;
    bufferDesc.DepthOrArraySize = 1;
    bufferDesc.MipLevels = 1;
    bufferDesc.SampleDesc.Count = 1;
    bufferDesc.Layout = D3D12_TEXTURE_LAYOUT_ROW_MAJOR;
    ID3D12Resource* buffer = nullptr;
    device->CreateCommittedResource(&upload, D3D12_HEAP_FLAG_NONE, &bufferDesc,
                                    D3D12_RESOURCE_STATE_GENERIC_READ, nullptr, IID_PPV_ARGS(&buffer));
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

    return status;
}
