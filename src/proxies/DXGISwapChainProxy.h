#pragma once
// The host's swap chains, as created through the factory proxy. Presents, buffers, resizing and full-screen
// changes go to Streamline's swap chain (`upgraded`); everything else to the system swap chain (`native`).
// Each present is the frame boundary: Frame Generation mode, Reflex markers, token advance and sleep.
#include <atomic>
#include <cstdint>

#include "common/graphics.h"
#include "proxies/game_references.h"

namespace fsr2bridge {

// The proxy's own identity {D82C5498-6AD1-4E35-96FA-DF99780C93A2}: QueryInterface for it yields the proxy.
// Generated for this proxy alone: an overlay that finds its own wrapper's identity answered reads the object
// as its wrapper (docs/proxies.md).
inline constexpr IID swapChainProxyIid = {
    0xD82C5498, 0x6AD1, 0x4E35, {0x96, 0xFA, 0xDF, 0x99, 0x78, 0x0C, 0x93, 0xA2}};

class DXGIFactoryProxy;

// Holds one reference on `upgraded` and one on `native` (Streamline's creation and slGetNativeInterface),
// and one on its factory proxy; counts the game's references and gives all back at the game's last release
// (game_references.h). Never freed.
class DXGISwapChainProxy final : public IDXGISwapChain4 {
public:
    constexpr DXGISwapChainProxy(IDXGISwapChain4* upgradedSwapChain, IDXGISwapChain4* nativeSwapChain,
                                 DXGIFactoryProxy* creator = nullptr) noexcept
        : upgraded(upgradedSwapChain), native(nativeSwapChain), parent(creator)
    {
    }

    IDXGISwapChain4* upgraded;
    IDXGISwapChain4* native;
    // The factory proxy that made this swap chain, which GetParent answers with. One game reference on it,
    // taken at the creation and given back at this swap chain's last release, as the system's swap chain
    // holds its factory.
    std::atomic<DXGIFactoryProxy*> parent;
    GameReferences gameReferences;

    // BEGIN generated forwarders
    // clang-format off
    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    // IDXGIObject
    HRESULT STDMETHODCALLTYPE SetPrivateData(REFGUID guid, UINT data_size, const void* data) override { return native->SetPrivateData(guid, data_size, data); }
    HRESULT STDMETHODCALLTYPE SetPrivateDataInterface(REFGUID guid, const IUnknown* object) override { return native->SetPrivateDataInterface(guid, object); }
    HRESULT STDMETHODCALLTYPE GetPrivateData(REFGUID guid, UINT* data_size, void* data) override { return native->GetPrivateData(guid, data_size, data); }
    HRESULT STDMETHODCALLTYPE GetParent(REFIID riid, void** parent) override;
    // IDXGIDeviceSubObject
    HRESULT STDMETHODCALLTYPE GetDevice(REFIID riid, void** device) override { return native->GetDevice(riid, device); }
    // IDXGISwapChain
    HRESULT STDMETHODCALLTYPE Present(UINT sync_interval, UINT flags) override;
    HRESULT STDMETHODCALLTYPE GetBuffer(UINT buffer_idx, REFIID riid, void** surface) override { return upgraded->GetBuffer(buffer_idx, riid, surface); }
    HRESULT STDMETHODCALLTYPE SetFullscreenState(BOOL fullscreen, IDXGIOutput* target) override;
    HRESULT STDMETHODCALLTYPE GetFullscreenState(BOOL* fullscreen, IDXGIOutput** target) override { return native->GetFullscreenState(fullscreen, target); }
    HRESULT STDMETHODCALLTYPE GetDesc(DXGI_SWAP_CHAIN_DESC* desc) override { return native->GetDesc(desc); }
    HRESULT STDMETHODCALLTYPE ResizeBuffers(UINT buffer_count, UINT width, UINT height, DXGI_FORMAT format, UINT flags) override;
    HRESULT STDMETHODCALLTYPE ResizeTarget(const DXGI_MODE_DESC* target_mode_desc) override { return native->ResizeTarget(target_mode_desc); }
    HRESULT STDMETHODCALLTYPE GetContainingOutput(IDXGIOutput** output) override { return native->GetContainingOutput(output); }
    HRESULT STDMETHODCALLTYPE GetFrameStatistics(DXGI_FRAME_STATISTICS* stats) override { return native->GetFrameStatistics(stats); }
    HRESULT STDMETHODCALLTYPE GetLastPresentCount(UINT* last_present_count) override { return native->GetLastPresentCount(last_present_count); }
    // IDXGISwapChain1
    HRESULT STDMETHODCALLTYPE GetDesc1(DXGI_SWAP_CHAIN_DESC1* pDesc) override { return native->GetDesc1(pDesc); }
    HRESULT STDMETHODCALLTYPE GetFullscreenDesc(DXGI_SWAP_CHAIN_FULLSCREEN_DESC* pDesc) override { return native->GetFullscreenDesc(pDesc); }
    HRESULT STDMETHODCALLTYPE GetHwnd(HWND* pHwnd) override { return native->GetHwnd(pHwnd); }
    HRESULT STDMETHODCALLTYPE GetCoreWindow(REFIID refiid, void** ppUnk) override { return native->GetCoreWindow(refiid, ppUnk); }
    HRESULT STDMETHODCALLTYPE Present1(UINT SyncInterval, UINT PresentFlags, const DXGI_PRESENT_PARAMETERS* pPresentParameters) override;
    BOOL STDMETHODCALLTYPE IsTemporaryMonoSupported() override { return native->IsTemporaryMonoSupported(); }
    HRESULT STDMETHODCALLTYPE GetRestrictToOutput(IDXGIOutput** ppRestrictToOutput) override { return native->GetRestrictToOutput(ppRestrictToOutput); }
    HRESULT STDMETHODCALLTYPE SetBackgroundColor(const DXGI_RGBA* pColor) override { return native->SetBackgroundColor(pColor); }
    HRESULT STDMETHODCALLTYPE GetBackgroundColor(DXGI_RGBA* pColor) override { return native->GetBackgroundColor(pColor); }
    HRESULT STDMETHODCALLTYPE SetRotation(DXGI_MODE_ROTATION Rotation) override { return native->SetRotation(Rotation); }
    HRESULT STDMETHODCALLTYPE GetRotation(DXGI_MODE_ROTATION* pRotation) override { return native->GetRotation(pRotation); }
    // IDXGISwapChain2
    HRESULT STDMETHODCALLTYPE SetSourceSize(UINT width, UINT height) override { return native->SetSourceSize(width, height); }
    HRESULT STDMETHODCALLTYPE GetSourceSize(UINT* width, UINT* height) override { return native->GetSourceSize(width, height); }
    HRESULT STDMETHODCALLTYPE SetMaximumFrameLatency(UINT max_latency) override { return native->SetMaximumFrameLatency(max_latency); }
    HRESULT STDMETHODCALLTYPE GetMaximumFrameLatency(UINT* max_latency) override { return native->GetMaximumFrameLatency(max_latency); }
    HANDLE STDMETHODCALLTYPE GetFrameLatencyWaitableObject() override { return native->GetFrameLatencyWaitableObject(); }
    HRESULT STDMETHODCALLTYPE SetMatrixTransform(const DXGI_MATRIX_3X2_F* matrix) override { return native->SetMatrixTransform(matrix); }
    HRESULT STDMETHODCALLTYPE GetMatrixTransform(DXGI_MATRIX_3X2_F* matrix) override { return native->GetMatrixTransform(matrix); }
    // IDXGISwapChain3
    UINT STDMETHODCALLTYPE GetCurrentBackBufferIndex() override { return upgraded->GetCurrentBackBufferIndex(); }
    HRESULT STDMETHODCALLTYPE CheckColorSpaceSupport(DXGI_COLOR_SPACE_TYPE colour_space, UINT* colour_space_support) override { return native->CheckColorSpaceSupport(colour_space, colour_space_support); }
    HRESULT STDMETHODCALLTYPE SetColorSpace1(DXGI_COLOR_SPACE_TYPE colour_space) override;
    HRESULT STDMETHODCALLTYPE ResizeBuffers1(UINT buffer_count, UINT width, UINT height, DXGI_FORMAT format, UINT flags, const UINT* node_mask, IUnknown* const* present_queue) override;
    // IDXGISwapChain4
    HRESULT STDMETHODCALLTYPE SetHDRMetaData(DXGI_HDR_METADATA_TYPE type, UINT size, void* metadata) override { return native->SetHDRMetaData(type, size, metadata); }
    // clang-format on
    // END generated forwarders

private:
    // Runs the frame-boundary steps around `present` (not an occlusion poll) and returns its result.
    template <class PresentCall> HRESULT presentFrame(PresentCall present) noexcept;
    // Whether Frame Generation takes this swap chain's back buffers (not FP16/scRGB): read at the first
    // present after the creation, a resize or a colour-space change, and said in the log when it changes.
    bool backBuffersSuitFrameGeneration() noexcept;

    enum BackBuffers : std::uint8_t { unread, suited, refused };
    std::atomic<std::uint8_t> backBuffers_{unread};
    // The colour space the game last set successfully; DXGI's default until then.
    std::atomic<std::uint32_t> colourSpace_{
        static_cast<std::uint32_t>(DXGI_COLOR_SPACE_RGB_FULL_G22_NONE_P709)};
    bool refusedSaid_ = false;
};

} // namespace fsr2bridge
