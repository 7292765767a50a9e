#include "proxies/DXGIFactoryProxy.h"

#include <new>

#include <wrl/client.h>

#include "proxies/D3D12CommandQueueProxy.h"
#include "proxies/DXGISwapChainProxy.h"
#include "proxies/alt_enter.h"
#include "proxies/identity.h"
#include "streamline/device_loss.h"
#include "streamline/streamline_api.h"

namespace fsr2bridge {

namespace {
inline constexpr LogEvent<const void*> factoryGivenBack{
    "factory proxy {}: the game released its last reference; system and Streamline factories given back"};

inline constexpr LogEvent<HRESULT> madeOutsideStreamline{
    "a swap chain on a queue not made through the game's device (another program's, such as an overlay's) "
    "was made by the system factory, outside Streamline ({x})"};

// Whether `queue` was made through the device proxy: it answers the queue proxy's identity, also through a
// wrapper of another program that passes on identities it does not know.
bool madeThroughTheDeviceProxy(IUnknown* queue) noexcept
{
    Microsoft::WRL::ComPtr<IUnknown> proxy;
    return queue != nullptr && SUCCEEDED(queue->QueryInterface(queueProxyIid, &proxy)) && proxy != nullptr;
}

// Through Streamline's factory, wrapped, when the queue is the game's (docs/proxies.md, Objects made by
// others); otherwise, and after the device's loss (Streamline serves no device then), the swap chain comes
// from the system's factory as it is.
template <class Create>
HRESULT createSwapChain(DXGIFactoryProxy& factory, IUnknown* queue, void** swapChain, Create create)
{
    if (attachmentLost())
        return create(factory.native);
    if (!madeThroughTheDeviceProxy(queue)) {
        const HRESULT created = create(factory.native);
        logEvent(madeOutsideStreamline, created);
        return created;
    }
    return wrapCreatedSwapChain(create(factory.upgraded), swapChain, &factory);
}
} // namespace

HRESULT wrapSystemFactory(sl::PFun_slUpgradeInterface* upgrade, void** factory) noexcept
{
    // After the device's loss Streamline serves no device: the system factory stays as it is.
    if (attachmentLost())
        return E_UNEXPECTED;
    auto* native = static_cast<IDXGIFactory7*>(*factory);
    void* upgraded = native;
    if (upgrade == nullptr || !streamlineAccepted(upgrade(&upgraded), StreamlineCall::slUpgradeInterface))
        return E_UNEXPECTED;
    auto* proxy = new (std::nothrow) DXGIFactoryProxy(static_cast<IDXGIFactory7*>(upgraded), native);
    if (proxy == nullptr)
        return E_OUTOFMEMORY;
    *factory = proxy;
    return S_OK;
}

HRESULT wrapCreatedSwapChain(HRESULT created, void** swapChain, DXGIFactoryProxy* creator) noexcept
{
    if (created != S_OK || swapChain == nullptr || *swapChain == nullptr)
        return created;
    auto* const getNative = streamlineApi.slGetNativeInterface;
    // slGetNativeInterface's reference, held here until the proxy takes it over.
    Microsoft::WRL::ComPtr<IDXGISwapChain4> nativeSwapChain;
    if (getNative == nullptr ||
        !streamlineAccepted(
            getNative(*swapChain, reinterpret_cast<void**>(nativeSwapChain.ReleaseAndGetAddressOf())),
            StreamlineCall::slGetNativeInterface) ||
        nativeSwapChain == nullptr)
        return E_UNEXPECTED; // Streamline's swap chain stays in the out-pointer
    auto* proxy = new (std::nothrow)
        DXGISwapChainProxy(static_cast<IDXGISwapChain4*>(*swapChain), nativeSwapChain.Get(), creator);
    if (proxy == nullptr)
        return E_OUTOFMEMORY; // Streamline's swap chain stays the caller's
    if (creator != nullptr)
        creator->AddRef(); // the swap chain's, given back at its last release
    watchAltEnter(nativeSwapChain.Get());
    nativeSwapChain.Detach();
    *swapChain = proxy;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE DXGIFactoryProxy::QueryInterface(REFIID riid, void** object)
{
    static constexpr IID selfIds[] = {__uuidof(IUnknown), __uuidof(IDXGIObject)};
    static constexpr IID innerIds[] = {
        __uuidof(IDXGIFactory),  __uuidof(IDXGIFactory1), __uuidof(IDXGIFactory2), __uuidof(IDXGIFactory3),
        __uuidof(IDXGIFactory4), __uuidof(IDXGIFactory5), __uuidof(IDXGIFactory6), __uuidof(IDXGIFactory7)};
    return answerQueryInterface<IDXGIFactory7>(this, native, riid, object, selfIds, innerIds,
                                               FailedUpgrade::ReturnAsLeft);
}

ULONG STDMETHODCALLTYPE DXGIFactoryProxy::AddRef()
{
    return gameReferences.add(this);
}

ULONG STDMETHODCALLTYPE DXGIFactoryProxy::Release()
{
    return releaseGameReference(*this, factoryGivenBack);
}

// A game that handles Alt+Enter itself tells DXGI here; the watch on Alt+Enter then leaves that window alone.
HRESULT STDMETHODCALLTYPE DXGIFactoryProxy::MakeWindowAssociation(HWND window, UINT flags)
{
    const HRESULT result = native->MakeWindowAssociation(window, flags);
    if (SUCCEEDED(result))
        noteWindowAssociation(window, flags);
    return result;
}

HRESULT STDMETHODCALLTYPE DXGIFactoryProxy::CreateSwapChain(IUnknown* device, DXGI_SWAP_CHAIN_DESC* desc,
                                                            IDXGISwapChain** swapChain)
{
    return createSwapChain(*this, device, reinterpret_cast<void**>(swapChain), [&](IDXGIFactory7* factory) {
        return factory->CreateSwapChain(device, desc, swapChain);
    });
}

HRESULT STDMETHODCALLTYPE DXGIFactoryProxy::CreateSwapChainForHwnd(
    IUnknown* device, HWND window, const DXGI_SWAP_CHAIN_DESC1* desc,
    const DXGI_SWAP_CHAIN_FULLSCREEN_DESC* fullscreen, IDXGIOutput* output, IDXGISwapChain1** swapChain)
{
    return createSwapChain(*this, device, reinterpret_cast<void**>(swapChain), [&](IDXGIFactory7* factory) {
        return factory->CreateSwapChainForHwnd(device, window, desc, fullscreen, output, swapChain);
    });
}

HRESULT STDMETHODCALLTYPE DXGIFactoryProxy::CreateSwapChainForCoreWindow(IUnknown* device, IUnknown* window,
                                                                         const DXGI_SWAP_CHAIN_DESC1* desc,
                                                                         IDXGIOutput* output,
                                                                         IDXGISwapChain1** swapChain)
{
    return createSwapChain(*this, device, reinterpret_cast<void**>(swapChain), [&](IDXGIFactory7* factory) {
        return factory->CreateSwapChainForCoreWindow(device, window, desc, output, swapChain);
    });
}

} // namespace fsr2bridge
