#include "proxies/DXGISwapChainProxy.h"

#include "common/best_effort.h"
#include "proxies/identity.h"
#include "streamline/reflex.h"
#include "upscaler/frame_generation.h"
#include "upscaler/host_hooks.h"

namespace fsr2bridge {

namespace {
// Every frame-boundary step is best effort: whatever it reports, or throws, the present goes on.
void sendMarker(sl::ReflexMarker marker) noexcept
{
    bestEffort([marker] { sendReflexMarker(marker); });
}
} // namespace

template <class PresentCall> HRESULT DXGISwapChainProxy::presentFrame(PresentCall present) noexcept
{
    bestEffort([] { setFrameGenerationMode(takeFrameGenerationRequest() ? 1u : 0u); });
    sendMarker(sl::ReflexMarker::eRenderSubmitEnd);
    sendMarker(sl::ReflexMarker::ePresentStart);
    const HRESULT result = present();
    sendMarker(sl::ReflexMarker::ePresentEnd);
    bestEffort([] { advanceFrameToken(); }); // from here on the markers belong to the next frame
    bestEffort([] { reflexSleep(); });
    sendMarker(sl::ReflexMarker::eInputSample);
    sendMarker(sl::ReflexMarker::eSimulationStart);
    return result;
}

HRESULT STDMETHODCALLTYPE DXGISwapChainProxy::QueryInterface(REFIID riid, void** object)
{
    static constexpr IID selfIds[] = {swapChainProxyIid, __uuidof(IUnknown), __uuidof(IDXGIObject),
                                      __uuidof(IDXGIDeviceSubObject)};
    static constexpr IID innerIds[] = {__uuidof(IDXGISwapChain), __uuidof(IDXGISwapChain1),
                                       __uuidof(IDXGISwapChain2), __uuidof(IDXGISwapChain3),
                                       __uuidof(IDXGISwapChain4)};
    return answerQueryInterface<IDXGISwapChain4>(this, native, riid, object, selfIds, innerIds,
                                                 FailedUpgrade::QueryAgain);
}

HRESULT STDMETHODCALLTYPE DXGISwapChainProxy::Present(UINT syncInterval, UINT flags)
{
    return presentFrame([&] { return upgraded->Present(syncInterval, flags); });
}

HRESULT STDMETHODCALLTYPE DXGISwapChainProxy::Present1(UINT syncInterval, UINT flags,
                                                       const DXGI_PRESENT_PARAMETERS* parameters)
{
    return presentFrame([&] { return upgraded->Present1(syncInterval, flags, parameters); });
}

} // namespace fsr2bridge
