#include "proxies/DXGISwapChainProxy.h"

#include "common/best_effort.h"
#include "proxies/identity.h"
#include "streamline/device_loss.h"
#include "streamline/reflex.h"
#include "upscaler/frame_generation.h"
#include "upscaler/host_hooks.h"

namespace fsr2bridge {

namespace {
inline constexpr LogEvent<const void*> swapChainGivenBack{
    "swap chain proxy {}: the game released its last reference; system and Streamline swap chains given "
    "back"};

// Every frame-boundary step is best effort: whatever it reports, or throws, the present goes on.
void sendMarker(sl::ReflexMarker marker) noexcept
{
    bestEffort([marker] { sendReflexMarker(marker); });
}

// A present or resize that found the device removed: from here on nothing of the frame boundary runs, since
// Streamline's objects for that device are gone (the attached device's reason confirms it).
bool deviceRemovedBy(HRESULT result, RemovalSeenAt seenAt) noexcept
{
    return isDeviceRemovalResult(result) && noteDeviceRemoval(result, seenAt);
}

// Streamline presents on a thread of its own while Frame Generation is on, and a resize or full-screen change
// can then deadlock: Frame Generation is off during the call and comes back as wanted afterwards.
template <class SwapChainCall> HRESULT withFrameGenerationPaused(SwapChainCall call) noexcept
{
    if (attachmentLost())
        return call();
    bestEffort([] { pauseFrameGeneration(); });
    const HRESULT result = call();
    if (!deviceRemovedBy(result, RemovalSeenAt::resize))
        bestEffort([] { resumeFrameGeneration(); });
    return result;
}
} // namespace

template <class PresentCall>
HRESULT DXGISwapChainProxy::presentFrame(UINT flags, PresentCall present) noexcept
{
    // An occlusion poll presents nothing and ends no frame (games send one every loop while minimised). After
    // the device's loss there is no frame of Streamline's to end.
    if ((flags & DXGI_PRESENT_TEST) != 0 || attachmentLost())
        return present();
    bestEffort([] { setFrameGenerationMode(takeFrameGenerationRequest() ? 1u : 0u); });
    sendMarker(sl::ReflexMarker::eRenderSubmitEnd);
    sendMarker(sl::ReflexMarker::ePresentStart);
    const HRESULT result = present();
    if (deviceRemovedBy(result, RemovalSeenAt::present))
        return result;
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

ULONG STDMETHODCALLTYPE DXGISwapChainProxy::AddRef()
{
    return gameReferences.add(this);
}

ULONG STDMETHODCALLTYPE DXGISwapChainProxy::Release()
{
    return releaseGameReference(*this, swapChainGivenBack);
}

HRESULT STDMETHODCALLTYPE DXGISwapChainProxy::Present(UINT syncInterval, UINT flags)
{
    return presentFrame(flags, [&] { return upgraded->Present(syncInterval, flags); });
}

HRESULT STDMETHODCALLTYPE DXGISwapChainProxy::Present1(UINT syncInterval, UINT flags,
                                                       const DXGI_PRESENT_PARAMETERS* parameters)
{
    return presentFrame(flags, [&] { return upgraded->Present1(syncInterval, flags, parameters); });
}

HRESULT STDMETHODCALLTYPE DXGISwapChainProxy::SetFullscreenState(BOOL fullscreen, IDXGIOutput* target)
{
    return withFrameGenerationPaused([&] { return upgraded->SetFullscreenState(fullscreen, target); });
}

HRESULT STDMETHODCALLTYPE DXGISwapChainProxy::ResizeBuffers(UINT bufferCount, UINT width, UINT height,
                                                            DXGI_FORMAT format, UINT flags)
{
    return withFrameGenerationPaused(
        [&] { return upgraded->ResizeBuffers(bufferCount, width, height, format, flags); });
}

HRESULT STDMETHODCALLTYPE DXGISwapChainProxy::ResizeBuffers1(UINT bufferCount, UINT width, UINT height,
                                                             DXGI_FORMAT format, UINT flags,
                                                             const UINT* nodeMasks, IUnknown* const* queues)
{
    return withFrameGenerationPaused([&] {
        return upgraded->ResizeBuffers1(bufferCount, width, height, format, flags, nodeMasks, queues);
    });
}

} // namespace fsr2bridge
