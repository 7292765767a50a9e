#include "proxies/D3D12CommandQueueProxy.h"

#include "common/best_effort.h"
#include "proxies/identity.h"
#include "streamline/device_loss.h"
#include "streamline/reflex.h"

namespace fsr2bridge {

HRESULT STDMETHODCALLTYPE D3D12CommandQueueProxy::QueryInterface(REFIID riid, void** object)
{
    static constexpr IID selfIds[] = {queueProxyIid, __uuidof(IUnknown), __uuidof(ID3D12Object),
                                      __uuidof(ID3D12DeviceChild), __uuidof(ID3D12Pageable)};
    static constexpr IID innerIds[] = {__uuidof(ID3D12CommandQueue)};
    return answerQueryInterface<ID3D12CommandQueue>(this, inner, riid, object, selfIds, innerIds,
                                                    FailedUpgrade::QueryAgain);
}

ULONG STDMETHODCALLTYPE D3D12CommandQueueProxy::Release()
{
    const ULONG left = inner->Release();
    if (left == 0) {
        if (IUnknown* maker = madeBy.exchange(nullptr))
            maker->Release(); // Streamline's queue is gone: nothing of it points at its device any more
    }
    return left;
}

void STDMETHODCALLTYPE D3D12CommandQueueProxy::ExecuteCommandLists(UINT count,
                                                                   ID3D12CommandList* const* lists)
{
    if (advanceSubmitCycle(submitCount) && !attachmentLost()) {
        // Markers are best effort: the submission always reaches the queue.
        bestEffort([] { sendReflexMarker(sl::ReflexMarker::eSimulationEnd); });
        bestEffort([] { sendReflexMarker(sl::ReflexMarker::eRenderSubmitStart); });
    }
    inner->ExecuteCommandLists(count, lists);
}

} // namespace fsr2bridge
