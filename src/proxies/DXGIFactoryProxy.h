#pragma once
// The host's DXGI factories. Swap chains (except for composition) are created by Streamline's factory
// (`upgraded`) and handed out wrapped; everything else goes to the system factory (`native`).
#include "common/graphics.h"
#include "proxies/game_references.h"
#include "streamline/sl_types.h"

namespace fsr2bridge {

// Holds one reference on `upgraded` and one on `native` (slUpgradeInterface's and the creation's), counts the
// game's references and gives both back at the game's last release (game_references.h). Never freed.
class DXGIFactoryProxy final : public IDXGIFactory7 {
public:
    constexpr DXGIFactoryProxy(IDXGIFactory7* upgradedFactory, IDXGIFactory7* nativeFactory) noexcept
        : upgraded(upgradedFactory), native(nativeFactory)
    {
    }

    IDXGIFactory7* upgraded;
    IDXGIFactory7* native;
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
    HRESULT STDMETHODCALLTYPE GetParent(REFIID riid, void** parent) override { return native->GetParent(riid, parent); }
    // IDXGIFactory
    HRESULT STDMETHODCALLTYPE EnumAdapters(UINT adapter_idx, IDXGIAdapter** adapter) override { return native->EnumAdapters(adapter_idx, adapter); }
    HRESULT STDMETHODCALLTYPE MakeWindowAssociation(HWND window, UINT flags) override;
    HRESULT STDMETHODCALLTYPE GetWindowAssociation(HWND* window) override { return native->GetWindowAssociation(window); }
    HRESULT STDMETHODCALLTYPE CreateSwapChain(IUnknown* device, DXGI_SWAP_CHAIN_DESC* desc, IDXGISwapChain** swapchain) override;
    HRESULT STDMETHODCALLTYPE CreateSoftwareAdapter(HMODULE swrast, IDXGIAdapter** adapter) override { return native->CreateSoftwareAdapter(swrast, adapter); }
    // IDXGIFactory1
    HRESULT STDMETHODCALLTYPE EnumAdapters1(UINT Adapter, IDXGIAdapter1** ppAdapter) override { return native->EnumAdapters1(Adapter, ppAdapter); }
    BOOL STDMETHODCALLTYPE IsCurrent() override { return native->IsCurrent(); }
    // IDXGIFactory2
    BOOL STDMETHODCALLTYPE IsWindowedStereoEnabled() override { return native->IsWindowedStereoEnabled(); }
    HRESULT STDMETHODCALLTYPE CreateSwapChainForHwnd(IUnknown* pDevice, HWND hWnd, const DXGI_SWAP_CHAIN_DESC1* pDesc, const DXGI_SWAP_CHAIN_FULLSCREEN_DESC* pFullscreenDesc, IDXGIOutput* pRestrictToOutput, IDXGISwapChain1** ppSwapChain) override;
    HRESULT STDMETHODCALLTYPE CreateSwapChainForCoreWindow(IUnknown* pDevice, IUnknown* pWindow, const DXGI_SWAP_CHAIN_DESC1* pDesc, IDXGIOutput* pRestrictToOutput, IDXGISwapChain1** ppSwapChain) override;
    HRESULT STDMETHODCALLTYPE GetSharedResourceAdapterLuid(HANDLE hResource, LUID* pLuid) override { return native->GetSharedResourceAdapterLuid(hResource, pLuid); }
    HRESULT STDMETHODCALLTYPE RegisterStereoStatusWindow(HWND WindowHandle, UINT wMsg, DWORD* pdwCookie) override { return native->RegisterStereoStatusWindow(WindowHandle, wMsg, pdwCookie); }
    HRESULT STDMETHODCALLTYPE RegisterStereoStatusEvent(HANDLE hEvent, DWORD* pdwCookie) override { return native->RegisterStereoStatusEvent(hEvent, pdwCookie); }
    void STDMETHODCALLTYPE UnregisterStereoStatus(DWORD dwCookie) override { native->UnregisterStereoStatus(dwCookie); }
    HRESULT STDMETHODCALLTYPE RegisterOcclusionStatusWindow(HWND WindowHandle, UINT wMsg, DWORD* pdwCookie) override { return native->RegisterOcclusionStatusWindow(WindowHandle, wMsg, pdwCookie); }
    HRESULT STDMETHODCALLTYPE RegisterOcclusionStatusEvent(HANDLE hEvent, DWORD* pdwCookie) override { return native->RegisterOcclusionStatusEvent(hEvent, pdwCookie); }
    void STDMETHODCALLTYPE UnregisterOcclusionStatus(DWORD dwCookie) override { native->UnregisterOcclusionStatus(dwCookie); }
    HRESULT STDMETHODCALLTYPE CreateSwapChainForComposition(IUnknown* pDevice, const DXGI_SWAP_CHAIN_DESC1* pDesc, IDXGIOutput* pRestrictToOutput, IDXGISwapChain1** ppSwapChain) override { return native->CreateSwapChainForComposition(pDevice, pDesc, pRestrictToOutput, ppSwapChain); }
    // IDXGIFactory3
    UINT STDMETHODCALLTYPE GetCreationFlags() override { return native->GetCreationFlags(); }
    // IDXGIFactory4
    HRESULT STDMETHODCALLTYPE EnumAdapterByLuid(LUID luid, REFIID iid, void** adapter) override { return native->EnumAdapterByLuid(luid, iid, adapter); }
    HRESULT STDMETHODCALLTYPE EnumWarpAdapter(REFIID iid, void** adapter) override { return native->EnumWarpAdapter(iid, adapter); }
    // IDXGIFactory5
    HRESULT STDMETHODCALLTYPE CheckFeatureSupport(DXGI_FEATURE feature, void* support_data, UINT support_data_size) override { return native->CheckFeatureSupport(feature, support_data, support_data_size); }
    // IDXGIFactory6
    HRESULT STDMETHODCALLTYPE EnumAdapterByGpuPreference(UINT adapter_idx, DXGI_GPU_PREFERENCE gpu_preference, REFIID iid, void** adapter) override { return native->EnumAdapterByGpuPreference(adapter_idx, gpu_preference, iid, adapter); }
    // IDXGIFactory7
    HRESULT STDMETHODCALLTYPE RegisterAdaptersChangedEvent(HANDLE event, DWORD* cookie) override { return native->RegisterAdaptersChangedEvent(event, cookie); }
    HRESULT STDMETHODCALLTYPE UnregisterAdaptersChangedEvent(DWORD cookie) override { return native->UnregisterAdaptersChangedEvent(cookie); }
    // clang-format on
    // END generated forwarders
};

// Wraps the swap chain that a creation through Streamline's factory left in `*swapChain`: only an S_OK
// creation is wrapped; E_UNEXPECTED when Streamline cannot name the system swap chain. `creator` is the
// factory proxy the swap chain's GetParent answers with.
HRESULT wrapCreatedSwapChain(HRESULT created, void** swapChain, DXGIFactoryProxy* creator = nullptr) noexcept;

// Puts a factory proxy in place of the system factory in `*factory` (its reference becomes the proxy's), with
// Streamline's upgrade of it: S_OK; E_UNEXPECTED when Streamline refuses the upgrade, E_OUTOFMEMORY; the
// system factory then stays in `*factory`.
HRESULT wrapSystemFactory(sl::PFun_slUpgradeInterface* upgrade, void** factory) noexcept;

} // namespace fsr2bridge
