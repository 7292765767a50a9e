#pragma once
// The host's command queues, as created through the device proxy. Every call goes to the queue that
// Streamline's device returned; submissions also drive the Reflex simulation/submit markers.
#include <atomic>
#include <cstdint>

#include "common/graphics.h"

namespace fsr2bridge {

// The proxy's own identity {41AFD2C6-EB1C-494E-AF5A-23C75AC624E7}: QueryInterface for it yields the proxy.
// Generated for this proxy alone: an overlay that finds its own wrapper's identity answered reads the object
// as its wrapper (docs/proxies.md).
inline constexpr IID queueProxyIid = {
    0x41AFD2C6, 0xEB1C, 0x494E, {0xAF, 0x5A, 0x23, 0xC7, 0x5A, 0xC6, 0x24, 0xE7}};

// Submissions per marker cycle: the first of every five sends the two markers.
inline constexpr std::uint8_t submissionsPerMarkerCycle = 5;

// True when this submission (at cycle position `count`) sends the markers; `count` is advanced.
constexpr bool advanceSubmitCycle(std::uint8_t& count) noexcept
{
    const bool sends = count == 0;
    count = static_cast<std::uint8_t>((count + 1) % submissionsPerMarkerCycle);
    return sends;
}

// Never freed; holds no reference on `inner` (AddRef/Release go to it, and it dies with the game's last
// release). Streamline's queue points at the device wrapper that made it without a reference (2.1.1's
// D3D12CommandQueue::m_device: its GetDevice and the swap chains made on it read the wrapper), so the proxy
// holds one on that wrapper, `madeBy`, and gives it back when Streamline's queue dies.
class D3D12CommandQueueProxy final : public ID3D12CommandQueue {
public:
    explicit constexpr D3D12CommandQueueProxy(ID3D12CommandQueue* wrapped, IUnknown* maker = nullptr) noexcept
        : inner(wrapped), madeBy(maker)
    {
    }

    ID3D12CommandQueue* inner;
    std::atomic<IUnknown*> madeBy;
    std::uint8_t submitCount = 0;

    // BEGIN generated forwarders
    // clang-format off
    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return inner->AddRef(); }
    ULONG STDMETHODCALLTYPE Release() override;
    // ID3D12Object
    HRESULT STDMETHODCALLTYPE GetPrivateData(REFGUID guid, UINT* pDataSize, void* pData) override { return inner->GetPrivateData(guid, pDataSize, pData); }
    HRESULT STDMETHODCALLTYPE SetPrivateData(REFGUID guid, UINT DataSize, const void* pData) override { return inner->SetPrivateData(guid, DataSize, pData); }
    HRESULT STDMETHODCALLTYPE SetPrivateDataInterface(REFGUID guid, const IUnknown* pData) override { return inner->SetPrivateDataInterface(guid, pData); }
    HRESULT STDMETHODCALLTYPE SetName(LPCWSTR Name) override { return inner->SetName(Name); }
    // ID3D12DeviceChild
    HRESULT STDMETHODCALLTYPE GetDevice(REFIID riid, void** ppvDevice) override { return inner->GetDevice(riid, ppvDevice); }
    // ID3D12Pageable
    // ID3D12CommandQueue
    void STDMETHODCALLTYPE UpdateTileMappings(ID3D12Resource* pResource, UINT NumResourceRegions, const D3D12_TILED_RESOURCE_COORDINATE* pResourceRegionStartCoordinates, const D3D12_TILE_REGION_SIZE* pResourceRegionSizes, ID3D12Heap* pHeap, UINT NumRanges, const D3D12_TILE_RANGE_FLAGS* pRangeFlags, const UINT* pHeapRangeStartOffsets, const UINT* pRangeTileCounts, D3D12_TILE_MAPPING_FLAGS Flags) override { inner->UpdateTileMappings(pResource, NumResourceRegions, pResourceRegionStartCoordinates, pResourceRegionSizes, pHeap, NumRanges, pRangeFlags, pHeapRangeStartOffsets, pRangeTileCounts, Flags); }
    void STDMETHODCALLTYPE CopyTileMappings(ID3D12Resource* pDstResource, const D3D12_TILED_RESOURCE_COORDINATE* pDstRegionStartCoordinate, ID3D12Resource* pSrcResource, const D3D12_TILED_RESOURCE_COORDINATE* pSrcRegionStartCoordinate, const D3D12_TILE_REGION_SIZE* pRegionSize, D3D12_TILE_MAPPING_FLAGS Flags) override { inner->CopyTileMappings(pDstResource, pDstRegionStartCoordinate, pSrcResource, pSrcRegionStartCoordinate, pRegionSize, Flags); }
    void STDMETHODCALLTYPE ExecuteCommandLists(UINT NumCommandLists, ID3D12CommandList* const* ppCommandLists) override;
    void STDMETHODCALLTYPE SetMarker(UINT Metadata, const void* pData, UINT Size) override { inner->SetMarker(Metadata, pData, Size); }
    void STDMETHODCALLTYPE BeginEvent(UINT Metadata, const void* pData, UINT Size) override { inner->BeginEvent(Metadata, pData, Size); }
    void STDMETHODCALLTYPE EndEvent() override { inner->EndEvent(); }
    HRESULT STDMETHODCALLTYPE Signal(ID3D12Fence* pFence, UINT64 Value) override { return inner->Signal(pFence, Value); }
    HRESULT STDMETHODCALLTYPE Wait(ID3D12Fence* pFence, UINT64 Value) override { return inner->Wait(pFence, Value); }
    HRESULT STDMETHODCALLTYPE GetTimestampFrequency(UINT64* pFrequency) override { return inner->GetTimestampFrequency(pFrequency); }
    HRESULT STDMETHODCALLTYPE GetClockCalibration(UINT64* pGpuTimestamp, UINT64* pCpuTimestamp) override { return inner->GetClockCalibration(pGpuTimestamp, pCpuTimestamp); }
#if defined(_MSC_VER) || !defined(_WIN32)
    D3D12_COMMAND_QUEUE_DESC STDMETHODCALLTYPE GetDesc() override { return inner->GetDesc(); }
#else
    D3D12_COMMAND_QUEUE_DESC* STDMETHODCALLTYPE GetDesc(D3D12_COMMAND_QUEUE_DESC* RetVal) override { return inner->GetDesc(RetVal); }
#endif
    // clang-format on
    // END generated forwarders
};

} // namespace fsr2bridge
