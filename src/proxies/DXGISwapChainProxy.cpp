#include "proxies/DXGISwapChainProxy.h"

#include <atomic>

#include <wrl/client.h>

#include "common/best_effort.h"
#include "proxies/DXGIFactoryProxy.h"
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
inline constexpr LogEvent<const void*, std::uint32_t, std::uint32_t> backBuffersRefused{
    "swap chain proxy {}: FP16 (scRGB) back buffers (format {}, colour space {}): DLSS Frame Generation does "
    "not support them, so it is not requested for this swap chain's frames; DLSS still upscales"};
inline constexpr LogEvent<const void*, std::uint32_t, std::uint32_t> backBuffersTakenAgain{
    "swap chain proxy {}: back buffers of format {} (colour space {}): DLSS Frame Generation may run again"};

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

// The markers before a present, once per frame: a present that showed nothing has sent them for the frame
// its retry (or the next present) shows.
constinit std::atomic<bool> presentStarted{false};

void sendPresentStartMarkers() noexcept
{
    if (presentStarted.load(std::memory_order_relaxed))
        return;
    presentStarted.store(true, std::memory_order_relaxed);
    sendMarker(sl::ReflexMarker::eRenderSubmitEnd);
    sendMarker(sl::ReflexMarker::ePresentStart);
}
} // namespace

template <class PresentCall> HRESULT DXGISwapChainProxy::presentFrame(PresentCall present) noexcept
{
    // After the device's loss there is no frame of Streamline's to end.
    if (attachmentLost())
        return present();
    const FrameGenerationRequest request = peekFrameGenerationRequest();
    bestEffort([&] {
        setFrameGenerationMode(PresentedFrame{request.requested, backBuffersSuitFrameGeneration()});
    });
    sendPresentStartMarkers();
    const HRESULT result = present();
    if (deviceRemovedBy(result, RemovalSeenAt::present))
        return result;
    // A present that fails, or is refused (DXGI_ERROR_WAS_STILL_DRAWING) and made again, shows no frame: the
    // token, the markers after it, the sleep and the Frame Generation request wait for one that does.
    if (FAILED(result))
        return result;
    settleFrameGenerationRequest(request);
    presentStarted.store(false, std::memory_order_relaxed);
    sendMarker(sl::ReflexMarker::ePresentEnd);
    bestEffort([] { advanceFrameToken(); }); // from here on the markers belong to the next frame
    bestEffort([] { reflexSleep(); });
    sendMarker(sl::ReflexMarker::eInputSample);
    sendMarker(sl::ReflexMarker::eSimulationStart);
    return result;
}

bool DXGISwapChainProxy::backBuffersSuitFrameGeneration() noexcept
{
    const std::uint8_t known = backBuffers_.load(std::memory_order_relaxed);
    if (known != unread)
        return known == suited;
    DXGI_SWAP_CHAIN_DESC1 description{};
    if (FAILED(native->GetDesc1(&description)))
        description.Format = DXGI_FORMAT_UNKNOWN; // cannot tell: Streamline's status would say
    const auto space = static_cast<DXGI_COLOR_SPACE_TYPE>(colourSpace_.load(std::memory_order_relaxed));
    const bool suits = frameGenerationTakesBackBuffers(description.Format, space);
    backBuffers_.store(suits ? suited : refused, std::memory_order_relaxed);
    if (suits == refusedSaid_) {
        refusedSaid_ = !suits;
        logEvent(suits ? backBuffersTakenAgain : backBuffersRefused, static_cast<const void*>(this),
                 static_cast<std::uint32_t>(description.Format), static_cast<std::uint32_t>(space));
    }
    return suits;
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

namespace {
bool isFactoryIid(REFIID riid) noexcept
{
    static constexpr IID factoryIds[] = {
        __uuidof(IDXGIFactory),  __uuidof(IDXGIFactory1), __uuidof(IDXGIFactory2), __uuidof(IDXGIFactory3),
        __uuidof(IDXGIFactory4), __uuidof(IDXGIFactory5), __uuidof(IDXGIFactory6), __uuidof(IDXGIFactory7)};
    for (const IID& id : factoryIds)
        if (IsEqualIID(riid, id))
            return true;
    return false;
}

bool sameObject(IUnknown* a, IUnknown* b) noexcept
{
    Microsoft::WRL::ComPtr<IUnknown> identityA, identityB;
    return a != nullptr && b != nullptr && SUCCEEDED(a->QueryInterface(IID_PPV_ARGS(&identityA))) &&
           SUCCEEDED(b->QueryInterface(IID_PPV_ARGS(&identityB))) && identityA == identityB;
}
} // namespace

// A game that keeps no factory rebuilds its swap chain (display mode, HDR, resolution) through the one this
// answers: the factory proxy that made this swap chain, so that the new swap chain is Streamline's and the
// proxy's too. Only the factory interfaces are answered so, and only when the system names that proxy's
// factory; any other answer is the system's own.
HRESULT STDMETHODCALLTYPE DXGISwapChainProxy::GetParent(REFIID riid, void** object)
{
    const HRESULT result = native->GetParent(riid, object);
    if (result != S_OK || object == nullptr || *object == nullptr || !isFactoryIid(riid))
        return result;
    auto* system = static_cast<IUnknown*>(*object);
    DXGIFactoryProxy* factory = parent.load(std::memory_order_acquire);
    void* answer = nullptr;
    if (factory != nullptr && factory->native != nullptr && sameObject(factory->native, system) &&
        factory->QueryInterface(riid, &answer) == S_OK && answer != nullptr) {
        system->Release();
        *object = answer;
    }
    return S_OK;
}

ULONG STDMETHODCALLTYPE DXGISwapChainProxy::AddRef()
{
    return gameReferences.add(this);
}

ULONG STDMETHODCALLTYPE DXGISwapChainProxy::Release()
{
    const ULONG left = releaseGameReference(*this, swapChainGivenBack);
    if (left == 0)
        if (DXGIFactoryProxy* factory = parent.exchange(nullptr, std::memory_order_acq_rel))
            factory->Release(); // after the swap chain, as the system's lets go of its factory
    return left;
}

HRESULT STDMETHODCALLTYPE DXGISwapChainProxy::Present(UINT syncInterval, UINT flags)
{
    // An occlusion poll presents nothing and ends no frame (games send one every loop while minimised).
    if ((flags & DXGI_PRESENT_TEST) != 0)
        return upgraded->Present(syncInterval, flags);
    return presentFrame([&] { return upgraded->Present(syncInterval, flags); });
}

HRESULT STDMETHODCALLTYPE DXGISwapChainProxy::Present1(UINT syncInterval, UINT flags,
                                                       const DXGI_PRESENT_PARAMETERS* parameters)
{
    if ((flags & DXGI_PRESENT_TEST) != 0)
        return upgraded->Present1(syncInterval, flags, parameters);
    return presentFrame([&] { return upgraded->Present1(syncInterval, flags, parameters); });
}

HRESULT STDMETHODCALLTYPE DXGISwapChainProxy::SetFullscreenState(BOOL fullscreen, IDXGIOutput* target)
{
    return withFrameGenerationPaused([&] { return upgraded->SetFullscreenState(fullscreen, target); });
}

HRESULT STDMETHODCALLTYPE DXGISwapChainProxy::ResizeBuffers(UINT bufferCount, UINT width, UINT height,
                                                            DXGI_FORMAT format, UINT flags)
{
    const HRESULT result = withFrameGenerationPaused(
        [&] { return upgraded->ResizeBuffers(bufferCount, width, height, format, flags); });
    if (SUCCEEDED(result))
        backBuffers_.store(unread, std::memory_order_relaxed); // perhaps another format now
    return result;
}

// A game switching HDR sets the colour space its back buffers are read in: the next present decides again.
HRESULT STDMETHODCALLTYPE DXGISwapChainProxy::SetColorSpace1(DXGI_COLOR_SPACE_TYPE colourSpace)
{
    const HRESULT result = native->SetColorSpace1(colourSpace);
    if (SUCCEEDED(result)) {
        colourSpace_.store(static_cast<std::uint32_t>(colourSpace), std::memory_order_relaxed);
        backBuffers_.store(unread, std::memory_order_relaxed);
    }
    return result;
}

HRESULT STDMETHODCALLTYPE DXGISwapChainProxy::ResizeBuffers1(UINT bufferCount, UINT width, UINT height,
                                                             DXGI_FORMAT format, UINT flags,
                                                             const UINT* nodeMasks, IUnknown* const* queues)
{
    const HRESULT result = withFrameGenerationPaused([&] {
        return upgraded->ResizeBuffers1(bufferCount, width, height, format, flags, nodeMasks, queues);
    });
    if (SUCCEEDED(result))
        backBuffers_.store(unread, std::memory_order_relaxed);
    return result;
}

} // namespace fsr2bridge
