#pragma once
// The stand-in's interposed device, command queue, factory and swap chain:
// forwarding wrappers of the real Wine objects. Each keeps one reference on
// every interface level of the real object it could obtain and counts its own
// references. Queue and swap-chain creation go through them.
#include <atomic>

#include "common/graphics.h"
#include "forwarding_generated.h"

namespace fsr2bridge::standin {

// Private identifiers: the queue answers the first with itself; the factory uses
// it to find the real queue behind whatever it is handed.
inline constexpr GUID IID_StandinQueue = {
    0x5A1D7E2B, 0x3C4F, 0x4E8A, {0x9B, 0x6D, 0x0F, 0x1E, 0x2D, 0x3C, 0x4B, 0x5A}};

// Holds the interface levels of one real object (slot n = level n), released together.
template <int N> class Levels {
public:
    Levels() = default;
    Levels(const Levels&) = delete;
    Levels& operator=(const Levels&) = delete;
    ~Levels()
    {
        for (IUnknown* p : slot_)
            if (p)
                p->Release();
    }
    void acquire(IUnknown* real, const IID* const (&ids)[N])
    {
        for (int n = 0; n < N; ++n) {
            void* out = nullptr;
            if (SUCCEEDED(real->QueryInterface(*ids[n], &out)))
                slot_[n] = static_cast<IUnknown*>(out);
        }
    }
    template <class T> T* at(int n) const { return static_cast<T*>(slot_[n]); }
    bool has(int n) const { return slot_[n] != nullptr; }

private:
    IUnknown* slot_[N] = {};
};

class InterposedQueue final : public ID3D12CommandQueue {
public:
    explicit InterposedQueue(ID3D12CommandQueue* real); // takes the reference
    ~InterposedQueue();
    ID3D12CommandQueue* real() const { return real_; }
    static void* vtable;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    FORWARD_ID3D12Object(real_) FORWARD_ID3D12DeviceChild(real_)
        FORWARD_ID3D12CommandQueue(real_) void STDMETHODCALLTYPE
        ExecuteCommandLists(UINT count, ID3D12CommandList* const* lists) override;

private:
    ID3D12CommandQueue* real_;
    std::atomic<ULONG> refs_{1};
};

class InterposedDevice final : public ID3D12Device10 {
public:
    explicit InterposedDevice(IUnknown* real);
    bool valid() const { return levels_.has(0); }
    ID3D12Device* real() const { return levels_.at<ID3D12Device>(0); }
    static void* vtable;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    FORWARD_ID3D12Object(levels_.at<ID3D12Device>(0)) FORWARD_ID3D12Device(levels_.at<ID3D12Device>(0))
        FORWARD_ID3D12Device1(levels_.at<ID3D12Device1>(1))
            FORWARD_ID3D12Device2(levels_.at<ID3D12Device2>(2))
                FORWARD_ID3D12Device3(levels_.at<ID3D12Device3>(3))
                    FORWARD_ID3D12Device4(levels_.at<ID3D12Device4>(4))
                        FORWARD_ID3D12Device5(levels_.at<ID3D12Device5>(5))
                            FORWARD_ID3D12Device6(levels_.at<ID3D12Device6>(6))
                                FORWARD_ID3D12Device7(levels_.at<ID3D12Device7>(7))
                                    FORWARD_ID3D12Device8(levels_.at<ID3D12Device8>(8))
                                        FORWARD_ID3D12Device9(levels_.at<ID3D12Device9>(9))
                                            FORWARD_ID3D12Device10(levels_.at<ID3D12Device10>(10)) HRESULT
        STDMETHODCALLTYPE
        CreateCommandQueue(const D3D12_COMMAND_QUEUE_DESC* desc, REFIID riid, void** queue) override;
    HRESULT STDMETHODCALLTYPE CreateCommandQueue1(const D3D12_COMMAND_QUEUE_DESC* desc, REFIID creatorID,
                                                  REFIID riid, void** queue) override;

private:
    ~InterposedDevice() = default;
    Levels<11> levels_;
    std::atomic<ULONG> refs_{1};
};

class InterposedSwapChain final : public IDXGISwapChain4 {
public:
    explicit InterposedSwapChain(IUnknown* real);
    bool valid() const { return levels_.has(0); }
    IDXGISwapChain* real() const { return levels_.at<IDXGISwapChain>(0); }
    static void* vtable;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    FORWARD_IDXGIObject(levels_.at<IDXGISwapChain>(0))
        FORWARD_IDXGIDeviceSubObject(levels_.at<IDXGISwapChain>(0))
            FORWARD_IDXGISwapChain(levels_.at<IDXGISwapChain>(0))
                FORWARD_IDXGISwapChain1(levels_.at<IDXGISwapChain1>(1))
                    FORWARD_IDXGISwapChain2(levels_.at<IDXGISwapChain2>(2))
                        FORWARD_IDXGISwapChain3(levels_.at<IDXGISwapChain3>(3))
                            FORWARD_IDXGISwapChain4(levels_.at<IDXGISwapChain4>(4)) HRESULT STDMETHODCALLTYPE
        Present(UINT syncInterval, UINT flags) override;
    HRESULT STDMETHODCALLTYPE GetBuffer(UINT index, REFIID riid, void** surface) override;
    HRESULT STDMETHODCALLTYPE SetFullscreenState(BOOL fullscreen, IDXGIOutput* target) override;
    HRESULT STDMETHODCALLTYPE ResizeBuffers(UINT count, UINT width, UINT height, DXGI_FORMAT format,
                                            UINT flags) override;
    HRESULT STDMETHODCALLTYPE Present1(UINT syncInterval, UINT flags,
                                       const DXGI_PRESENT_PARAMETERS* params) override;
    UINT STDMETHODCALLTYPE GetCurrentBackBufferIndex() override;
    HRESULT STDMETHODCALLTYPE ResizeBuffers1(UINT count, UINT width, UINT height, DXGI_FORMAT format,
                                             UINT flags, const UINT* nodeMasks,
                                             IUnknown* const* queues) override;

private:
    ~InterposedSwapChain() = default;
    Levels<5> levels_;
    std::atomic<ULONG> refs_{1};
};

class InterposedFactory final : public IDXGIFactory7 {
public:
    explicit InterposedFactory(IUnknown* real);
    bool valid() const { return levels_.has(0); }
    IDXGIFactory* real() const { return levels_.at<IDXGIFactory>(0); }
    static void* vtable;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    FORWARD_IDXGIObject(levels_.at<IDXGIFactory>(0)) FORWARD_IDXGIFactory(levels_.at<IDXGIFactory>(0))
        FORWARD_IDXGIFactory1(levels_.at<IDXGIFactory1>(1))
            FORWARD_IDXGIFactory2(levels_.at<IDXGIFactory2>(2))
                FORWARD_IDXGIFactory3(levels_.at<IDXGIFactory3>(3))
                    FORWARD_IDXGIFactory4(levels_.at<IDXGIFactory4>(4))
                        FORWARD_IDXGIFactory5(levels_.at<IDXGIFactory5>(5))
                            FORWARD_IDXGIFactory6(levels_.at<IDXGIFactory6>(6))
                                FORWARD_IDXGIFactory7(levels_.at<IDXGIFactory7>(7)) HRESULT STDMETHODCALLTYPE
        CreateSwapChain(IUnknown* device, DXGI_SWAP_CHAIN_DESC* desc, IDXGISwapChain** swapChain) override;
    HRESULT STDMETHODCALLTYPE CreateSwapChainForHwnd(IUnknown* device, HWND window,
                                                     const DXGI_SWAP_CHAIN_DESC1* desc,
                                                     const DXGI_SWAP_CHAIN_FULLSCREEN_DESC* fullscreen,
                                                     IDXGIOutput* output,
                                                     IDXGISwapChain1** swapChain) override;
    HRESULT STDMETHODCALLTYPE CreateSwapChainForCoreWindow(IUnknown* device, IUnknown* window,
                                                           const DXGI_SWAP_CHAIN_DESC1* desc,
                                                           IDXGIOutput* output,
                                                           IDXGISwapChain1** swapChain) override;
    HRESULT STDMETHODCALLTYPE CreateSwapChainForComposition(IUnknown* device,
                                                            const DXGI_SWAP_CHAIN_DESC1* desc,
                                                            IDXGIOutput* output,
                                                            IDXGISwapChain1** swapChain) override;

private:
    ~InterposedFactory() = default;
    Levels<8> levels_;
    std::atomic<ULONG> refs_{1};
};

} // namespace fsr2bridge::standin
