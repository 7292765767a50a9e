#pragma once
// The stand-in's interposed device, command queue, factory and swap chain:
// forwarding wrappers of the real Wine objects. Each keeps one reference on
// every interface level of the real object it could obtain and counts its own
// references. Queue and swap-chain creation go through them. The forwarders are
// written by scripts/generate_proxies.py; a level the real object lacks answers
// E_NOINTERFACE (or an empty result).
#include <atomic>

#include <wrl/client.h>

#include "common/graphics.h"
#include "inside_timer.h"
#include "standin.h"

namespace fsr2bridge::standin {

// Private identifiers: the queue answers the first with itself; the factory uses
// it to find the real queue behind whatever it is handed.
inline constexpr GUID IID_StandinQueue = {
    0x5A1D7E2B, 0x3C4F, 0x4E8A, {0x9B, 0x6D, 0x0F, 0x1E, 0x2D, 0x3C, 0x4B, 0x5A}};

// Makes `holder` the owner of the reference `object` carries. (MinGW's ComPtr::Attach adds a reference of its
// own, unlike the platform's; a wrapper that used it would keep its real object alive for ever.)
template <class T, class U> void adopt(Microsoft::WRL::ComPtr<T>& holder, U* object)
{
    *holder.ReleaseAndGetAddressOf() = object;
}

// Holds the interface levels of one real object (slot n = level n), released together.
template <int N> class Levels {
public:
    void acquire(IUnknown* real, const IID* const (&ids)[N])
    {
        for (int n = 0; n < N; ++n) {
            void* out = nullptr;
            if (SUCCEEDED(real->QueryInterface(*ids[n], &out)))
                adopt(slot_[n], static_cast<IUnknown*>(out));
        }
    }
    template <class T> T* at(int n) const { return static_cast<T*>(slot_[n].Get()); }
    bool has(int n) const { return slot_[n].Get() != nullptr; }

private:
    Microsoft::WRL::ComPtr<IUnknown> slot_[N];
};

// As Streamline's queue wrapper, it keeps the device wrapper that made it without a reference (2.1.1's
// D3D12CommandQueue::m_device): GetDevice asks that wrapper, and swap chains made on the queue read it.
class InterposedQueue final : public ID3D12CommandQueue {
public:
    InterposedQueue(Microsoft::WRL::ComPtr<ID3D12CommandQueue> real, InterposedDevice* device);
    ID3D12CommandQueue* real() const { return real_.Get(); }
    InterposedDevice* device() const { return device_; }
    static void* vtable;

    // BEGIN generated forwarders
    // clang-format off
    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    // ID3D12Object
    HRESULT STDMETHODCALLTYPE GetPrivateData(REFGUID guid, UINT* pDataSize, void* pData) override { InsideTimer timed; if (auto* i = real_.Get()) return i->GetPrivateData(guid, pDataSize, pData); return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE SetPrivateData(REFGUID guid, UINT DataSize, const void* pData) override { InsideTimer timed; if (auto* i = real_.Get()) return i->SetPrivateData(guid, DataSize, pData); return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE SetPrivateDataInterface(REFGUID guid, const IUnknown* pData) override { InsideTimer timed; if (auto* i = real_.Get()) return i->SetPrivateDataInterface(guid, pData); return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE SetName(LPCWSTR Name) override { InsideTimer timed; if (auto* i = real_.Get()) return i->SetName(Name); return E_NOINTERFACE; }
    // ID3D12DeviceChild
    HRESULT STDMETHODCALLTYPE GetDevice(REFIID riid, void** ppvDevice) override;
    // ID3D12Pageable
    // ID3D12CommandQueue
    void STDMETHODCALLTYPE UpdateTileMappings(ID3D12Resource* pResource, UINT NumResourceRegions, const D3D12_TILED_RESOURCE_COORDINATE* pResourceRegionStartCoordinates, const D3D12_TILE_REGION_SIZE* pResourceRegionSizes, ID3D12Heap* pHeap, UINT NumRanges, const D3D12_TILE_RANGE_FLAGS* pRangeFlags, const UINT* pHeapRangeStartOffsets, const UINT* pRangeTileCounts, D3D12_TILE_MAPPING_FLAGS Flags) override { InsideTimer timed; if (auto* i = real_.Get()) i->UpdateTileMappings(pResource, NumResourceRegions, pResourceRegionStartCoordinates, pResourceRegionSizes, pHeap, NumRanges, pRangeFlags, pHeapRangeStartOffsets, pRangeTileCounts, Flags); }
    void STDMETHODCALLTYPE CopyTileMappings(ID3D12Resource* pDstResource, const D3D12_TILED_RESOURCE_COORDINATE* pDstRegionStartCoordinate, ID3D12Resource* pSrcResource, const D3D12_TILED_RESOURCE_COORDINATE* pSrcRegionStartCoordinate, const D3D12_TILE_REGION_SIZE* pRegionSize, D3D12_TILE_MAPPING_FLAGS Flags) override { InsideTimer timed; if (auto* i = real_.Get()) i->CopyTileMappings(pDstResource, pDstRegionStartCoordinate, pSrcResource, pSrcRegionStartCoordinate, pRegionSize, Flags); }
    void STDMETHODCALLTYPE ExecuteCommandLists(UINT NumCommandLists, ID3D12CommandList* const* ppCommandLists) override;
    void STDMETHODCALLTYPE SetMarker(UINT Metadata, const void* pData, UINT Size) override { InsideTimer timed; if (auto* i = real_.Get()) i->SetMarker(Metadata, pData, Size); }
    void STDMETHODCALLTYPE BeginEvent(UINT Metadata, const void* pData, UINT Size) override { InsideTimer timed; if (auto* i = real_.Get()) i->BeginEvent(Metadata, pData, Size); }
    void STDMETHODCALLTYPE EndEvent() override { InsideTimer timed; if (auto* i = real_.Get()) i->EndEvent(); }
    HRESULT STDMETHODCALLTYPE Signal(ID3D12Fence* pFence, UINT64 Value) override { InsideTimer timed; if (auto* i = real_.Get()) return i->Signal(pFence, Value); return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE Wait(ID3D12Fence* pFence, UINT64 Value) override { InsideTimer timed; if (auto* i = real_.Get()) return i->Wait(pFence, Value); return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE GetTimestampFrequency(UINT64* pFrequency) override { InsideTimer timed; if (auto* i = real_.Get()) return i->GetTimestampFrequency(pFrequency); return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE GetClockCalibration(UINT64* pGpuTimestamp, UINT64* pCpuTimestamp) override { InsideTimer timed; if (auto* i = real_.Get()) return i->GetClockCalibration(pGpuTimestamp, pCpuTimestamp); return E_NOINTERFACE; }
#if defined(_MSC_VER) || !defined(_WIN32)
    D3D12_COMMAND_QUEUE_DESC STDMETHODCALLTYPE GetDesc() override { InsideTimer timed; if (auto* i = real_.Get()) return i->GetDesc(); return {}; }
#else
    D3D12_COMMAND_QUEUE_DESC* STDMETHODCALLTYPE GetDesc(D3D12_COMMAND_QUEUE_DESC* RetVal) override { InsideTimer timed; if (auto* i = real_.Get()) return i->GetDesc(RetVal); if (RetVal) *RetVal = {}; return RetVal; }
#endif
    // clang-format on
    // END generated forwarders

private:
    ~InterposedQueue() = default;
    Microsoft::WRL::ComPtr<ID3D12CommandQueue> real_;
    InterposedDevice* const device_;
    std::atomic<ULONG> refs_{1};
};

// At its last release it gives back the real device; Streamline's wrapper is then freed, so a queue that
// still points at it would read freed memory. The stand-in keeps the dead wrapper's memory instead and
// journals such a use as a fault (`fault=deviceReleased`), answering E_UNEXPECTED.
class InterposedDevice final : public ID3D12Device10 {
public:
    explicit InterposedDevice(IUnknown* real);
    bool valid() const { return levels_.has(0); }
    ID3D12Device* real() const { return levels_.at<ID3D12Device>(0); }
    // True (and the fault journalled under `entry`) once the last release has given the device back.
    bool releasedFor(const char* entry) const;
    static void* vtable;

    // BEGIN generated forwarders
    // clang-format off
    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    // ID3D12Object
    HRESULT STDMETHODCALLTYPE GetPrivateData(REFGUID guid, UINT* pDataSize, void* pData) override { InsideTimer timed; if (auto* i = levels_.at<ID3D12Device>(0)) return i->GetPrivateData(guid, pDataSize, pData); return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE SetPrivateData(REFGUID guid, UINT DataSize, const void* pData) override { InsideTimer timed; if (auto* i = levels_.at<ID3D12Device>(0)) return i->SetPrivateData(guid, DataSize, pData); return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE SetPrivateDataInterface(REFGUID guid, const IUnknown* pData) override { InsideTimer timed; if (auto* i = levels_.at<ID3D12Device>(0)) return i->SetPrivateDataInterface(guid, pData); return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE SetName(LPCWSTR Name) override { InsideTimer timed; if (auto* i = levels_.at<ID3D12Device>(0)) return i->SetName(Name); return E_NOINTERFACE; }
    // ID3D12Device
    UINT STDMETHODCALLTYPE GetNodeCount() override { InsideTimer timed; if (auto* i = levels_.at<ID3D12Device>(0)) return i->GetNodeCount(); return {}; }
    HRESULT STDMETHODCALLTYPE CreateCommandQueue(const D3D12_COMMAND_QUEUE_DESC* pDesc, REFIID riid, void** ppCommandQueue) override;
    HRESULT STDMETHODCALLTYPE CreateCommandAllocator(D3D12_COMMAND_LIST_TYPE type, REFIID riid, void** ppCommandAllocator) override { InsideTimer timed; if (auto* i = levels_.at<ID3D12Device>(0)) return i->CreateCommandAllocator(type, riid, ppCommandAllocator); return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE CreateGraphicsPipelineState(const D3D12_GRAPHICS_PIPELINE_STATE_DESC* pDesc, REFIID riid, void** ppPipelineState) override { InsideTimer timed; if (auto* i = levels_.at<ID3D12Device>(0)) return i->CreateGraphicsPipelineState(pDesc, riid, ppPipelineState); return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE CreateComputePipelineState(const D3D12_COMPUTE_PIPELINE_STATE_DESC* pDesc, REFIID riid, void** ppPipelineState) override { InsideTimer timed; if (auto* i = levels_.at<ID3D12Device>(0)) return i->CreateComputePipelineState(pDesc, riid, ppPipelineState); return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE CreateCommandList(UINT nodeMask, D3D12_COMMAND_LIST_TYPE type, ID3D12CommandAllocator* pCommandAllocator, ID3D12PipelineState* pInitialState, REFIID riid, void** ppCommandList) override { InsideTimer timed; if (auto* i = levels_.at<ID3D12Device>(0)) return i->CreateCommandList(nodeMask, type, pCommandAllocator, pInitialState, riid, ppCommandList); return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE CheckFeatureSupport(D3D12_FEATURE Feature, void* pFeatureSupportData, UINT FeatureSupportDataSize) override { InsideTimer timed; if (auto* i = levels_.at<ID3D12Device>(0)) return i->CheckFeatureSupport(Feature, pFeatureSupportData, FeatureSupportDataSize); return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE CreateDescriptorHeap(const D3D12_DESCRIPTOR_HEAP_DESC* pDescriptorHeapDesc, REFIID riid, void** ppvHeap) override { InsideTimer timed; if (auto* i = levels_.at<ID3D12Device>(0)) return i->CreateDescriptorHeap(pDescriptorHeapDesc, riid, ppvHeap); return E_NOINTERFACE; }
    UINT STDMETHODCALLTYPE GetDescriptorHandleIncrementSize(D3D12_DESCRIPTOR_HEAP_TYPE DescriptorHeapType) override { InsideTimer timed; if (auto* i = levels_.at<ID3D12Device>(0)) return i->GetDescriptorHandleIncrementSize(DescriptorHeapType); return {}; }
    HRESULT STDMETHODCALLTYPE CreateRootSignature(UINT nodeMask, const void* pBlobWithRootSignature, SIZE_T blobLengthInBytes, REFIID riid, void** ppvRootSignature) override { InsideTimer timed; if (auto* i = levels_.at<ID3D12Device>(0)) return i->CreateRootSignature(nodeMask, pBlobWithRootSignature, blobLengthInBytes, riid, ppvRootSignature); return E_NOINTERFACE; }
    void STDMETHODCALLTYPE CreateConstantBufferView(const D3D12_CONSTANT_BUFFER_VIEW_DESC* pDesc, D3D12_CPU_DESCRIPTOR_HANDLE DestDescriptor) override { InsideTimer timed; if (auto* i = levels_.at<ID3D12Device>(0)) i->CreateConstantBufferView(pDesc, DestDescriptor); }
    void STDMETHODCALLTYPE CreateShaderResourceView(ID3D12Resource* pResource, const D3D12_SHADER_RESOURCE_VIEW_DESC* pDesc, D3D12_CPU_DESCRIPTOR_HANDLE DestDescriptor) override { InsideTimer timed; if (auto* i = levels_.at<ID3D12Device>(0)) i->CreateShaderResourceView(pResource, pDesc, DestDescriptor); }
    void STDMETHODCALLTYPE CreateUnorderedAccessView(ID3D12Resource* pResource, ID3D12Resource* pCounterResource, const D3D12_UNORDERED_ACCESS_VIEW_DESC* pDesc, D3D12_CPU_DESCRIPTOR_HANDLE DestDescriptor) override { InsideTimer timed; if (auto* i = levels_.at<ID3D12Device>(0)) i->CreateUnorderedAccessView(pResource, pCounterResource, pDesc, DestDescriptor); }
    void STDMETHODCALLTYPE CreateRenderTargetView(ID3D12Resource* pResource, const D3D12_RENDER_TARGET_VIEW_DESC* pDesc, D3D12_CPU_DESCRIPTOR_HANDLE DestDescriptor) override { InsideTimer timed; if (auto* i = levels_.at<ID3D12Device>(0)) i->CreateRenderTargetView(pResource, pDesc, DestDescriptor); }
    void STDMETHODCALLTYPE CreateDepthStencilView(ID3D12Resource* pResource, const D3D12_DEPTH_STENCIL_VIEW_DESC* pDesc, D3D12_CPU_DESCRIPTOR_HANDLE DestDescriptor) override { InsideTimer timed; if (auto* i = levels_.at<ID3D12Device>(0)) i->CreateDepthStencilView(pResource, pDesc, DestDescriptor); }
    void STDMETHODCALLTYPE CreateSampler(const D3D12_SAMPLER_DESC* pDesc, D3D12_CPU_DESCRIPTOR_HANDLE DestDescriptor) override { InsideTimer timed; if (auto* i = levels_.at<ID3D12Device>(0)) i->CreateSampler(pDesc, DestDescriptor); }
    void STDMETHODCALLTYPE CopyDescriptors(UINT NumDestDescriptorRanges, const D3D12_CPU_DESCRIPTOR_HANDLE* pDestDescriptorRangeStarts, const UINT* pDestDescriptorRangeSizes, UINT NumSrcDescriptorRanges, const D3D12_CPU_DESCRIPTOR_HANDLE* pSrcDescriptorRangeStarts, const UINT* pSrcDescriptorRangeSizes, D3D12_DESCRIPTOR_HEAP_TYPE DescriptorHeapsType) override { InsideTimer timed; if (auto* i = levels_.at<ID3D12Device>(0)) i->CopyDescriptors(NumDestDescriptorRanges, pDestDescriptorRangeStarts, pDestDescriptorRangeSizes, NumSrcDescriptorRanges, pSrcDescriptorRangeStarts, pSrcDescriptorRangeSizes, DescriptorHeapsType); }
    void STDMETHODCALLTYPE CopyDescriptorsSimple(UINT NumDescriptors, D3D12_CPU_DESCRIPTOR_HANDLE DestDescriptorRangeStart, D3D12_CPU_DESCRIPTOR_HANDLE SrcDescriptorRangeStart, D3D12_DESCRIPTOR_HEAP_TYPE DescriptorHeapsType) override { InsideTimer timed; if (auto* i = levels_.at<ID3D12Device>(0)) i->CopyDescriptorsSimple(NumDescriptors, DestDescriptorRangeStart, SrcDescriptorRangeStart, DescriptorHeapsType); }
#if defined(_MSC_VER) || !defined(_WIN32)
    D3D12_RESOURCE_ALLOCATION_INFO STDMETHODCALLTYPE GetResourceAllocationInfo(UINT visibleMask, UINT numResourceDescs, const D3D12_RESOURCE_DESC* pResourceDescs) override { InsideTimer timed; if (auto* i = levels_.at<ID3D12Device>(0)) return i->GetResourceAllocationInfo(visibleMask, numResourceDescs, pResourceDescs); return {}; }
#else
    D3D12_RESOURCE_ALLOCATION_INFO* STDMETHODCALLTYPE GetResourceAllocationInfo(D3D12_RESOURCE_ALLOCATION_INFO* RetVal, UINT visibleMask, UINT numResourceDescs, const D3D12_RESOURCE_DESC* pResourceDescs) override { InsideTimer timed; if (auto* i = levels_.at<ID3D12Device>(0)) return i->GetResourceAllocationInfo(RetVal, visibleMask, numResourceDescs, pResourceDescs); if (RetVal) *RetVal = {}; return RetVal; }
#endif
#if defined(_MSC_VER) || !defined(_WIN32)
    D3D12_HEAP_PROPERTIES STDMETHODCALLTYPE GetCustomHeapProperties(UINT nodeMask, D3D12_HEAP_TYPE heapType) override { InsideTimer timed; if (auto* i = levels_.at<ID3D12Device>(0)) return i->GetCustomHeapProperties(nodeMask, heapType); return {}; }
#else
    D3D12_HEAP_PROPERTIES* STDMETHODCALLTYPE GetCustomHeapProperties(D3D12_HEAP_PROPERTIES* RetVal, UINT nodeMask, D3D12_HEAP_TYPE heapType) override { InsideTimer timed; if (auto* i = levels_.at<ID3D12Device>(0)) return i->GetCustomHeapProperties(RetVal, nodeMask, heapType); if (RetVal) *RetVal = {}; return RetVal; }
#endif
    HRESULT STDMETHODCALLTYPE CreateCommittedResource(const D3D12_HEAP_PROPERTIES* pHeapProperties, D3D12_HEAP_FLAGS HeapFlags, const D3D12_RESOURCE_DESC* pDesc, D3D12_RESOURCE_STATES InitialResourceState, const D3D12_CLEAR_VALUE* pOptimizedClearValue, REFIID riidResource, void** ppvResource) override { InsideTimer timed; if (auto* i = levels_.at<ID3D12Device>(0)) return i->CreateCommittedResource(pHeapProperties, HeapFlags, pDesc, InitialResourceState, pOptimizedClearValue, riidResource, ppvResource); return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE CreateHeap(const D3D12_HEAP_DESC* pDesc, REFIID riid, void** ppvHeap) override { InsideTimer timed; if (auto* i = levels_.at<ID3D12Device>(0)) return i->CreateHeap(pDesc, riid, ppvHeap); return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE CreatePlacedResource(ID3D12Heap* pHeap, UINT64 HeapOffset, const D3D12_RESOURCE_DESC* pDesc, D3D12_RESOURCE_STATES InitialState, const D3D12_CLEAR_VALUE* pOptimizedClearValue, REFIID riid, void** ppvResource) override { InsideTimer timed; if (auto* i = levels_.at<ID3D12Device>(0)) return i->CreatePlacedResource(pHeap, HeapOffset, pDesc, InitialState, pOptimizedClearValue, riid, ppvResource); return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE CreateReservedResource(const D3D12_RESOURCE_DESC* pDesc, D3D12_RESOURCE_STATES InitialState, const D3D12_CLEAR_VALUE* pOptimizedClearValue, REFIID riid, void** ppvResource) override { InsideTimer timed; if (auto* i = levels_.at<ID3D12Device>(0)) return i->CreateReservedResource(pDesc, InitialState, pOptimizedClearValue, riid, ppvResource); return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE CreateSharedHandle(ID3D12DeviceChild* pObject, const SECURITY_ATTRIBUTES* pAttributes, DWORD Access, LPCWSTR Name, HANDLE* pHandle) override { InsideTimer timed; if (auto* i = levels_.at<ID3D12Device>(0)) return i->CreateSharedHandle(pObject, pAttributes, Access, Name, pHandle); return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE OpenSharedHandle(HANDLE NTHandle, REFIID riid, void** ppvObj) override { InsideTimer timed; if (auto* i = levels_.at<ID3D12Device>(0)) return i->OpenSharedHandle(NTHandle, riid, ppvObj); return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE OpenSharedHandleByName(LPCWSTR Name, DWORD Access, /*[annotation][out]*/ HANDLE* pNTHandle) override { InsideTimer timed; if (auto* i = levels_.at<ID3D12Device>(0)) return i->OpenSharedHandleByName(Name, Access, pNTHandle); return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE MakeResident(UINT NumObjects, ID3D12Pageable* const* ppObjects) override { InsideTimer timed; if (auto* i = levels_.at<ID3D12Device>(0)) return i->MakeResident(NumObjects, ppObjects); return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE Evict(UINT NumObjects, ID3D12Pageable* const* ppObjects) override { InsideTimer timed; if (auto* i = levels_.at<ID3D12Device>(0)) return i->Evict(NumObjects, ppObjects); return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE CreateFence(UINT64 InitialValue, D3D12_FENCE_FLAGS Flags, REFIID riid, void** ppFence) override { InsideTimer timed; if (auto* i = levels_.at<ID3D12Device>(0)) return i->CreateFence(InitialValue, Flags, riid, ppFence); return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE GetDeviceRemovedReason() override { InsideTimer timed; if (auto* i = levels_.at<ID3D12Device>(0)) return i->GetDeviceRemovedReason(); return E_NOINTERFACE; }
    void STDMETHODCALLTYPE GetCopyableFootprints(const D3D12_RESOURCE_DESC* pResourceDesc, UINT FirstSubresource, UINT NumSubresources, UINT64 BaseOffset, D3D12_PLACED_SUBRESOURCE_FOOTPRINT* pLayouts, UINT* pNumRows, UINT64* pRowSizeInBytes, UINT64* pTotalBytes) override { InsideTimer timed; if (auto* i = levels_.at<ID3D12Device>(0)) i->GetCopyableFootprints(pResourceDesc, FirstSubresource, NumSubresources, BaseOffset, pLayouts, pNumRows, pRowSizeInBytes, pTotalBytes); }
    HRESULT STDMETHODCALLTYPE CreateQueryHeap(const D3D12_QUERY_HEAP_DESC* pDesc, REFIID riid, void** ppvHeap) override { InsideTimer timed; if (auto* i = levels_.at<ID3D12Device>(0)) return i->CreateQueryHeap(pDesc, riid, ppvHeap); return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE SetStablePowerState(BOOL Enable) override { InsideTimer timed; if (auto* i = levels_.at<ID3D12Device>(0)) return i->SetStablePowerState(Enable); return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE CreateCommandSignature(const D3D12_COMMAND_SIGNATURE_DESC* pDesc, ID3D12RootSignature* pRootSignature, REFIID riid, void** ppvCommandSignature) override { InsideTimer timed; if (auto* i = levels_.at<ID3D12Device>(0)) return i->CreateCommandSignature(pDesc, pRootSignature, riid, ppvCommandSignature); return E_NOINTERFACE; }
    void STDMETHODCALLTYPE GetResourceTiling(ID3D12Resource* pTiledResource, UINT* pNumTilesForEntireResource, D3D12_PACKED_MIP_INFO* pPackedMipDesc, D3D12_TILE_SHAPE* pStandardTileShapeForNonPackedMips, UINT* pNumSubresourceTilings, UINT FirstSubresourceTilingToGet, D3D12_SUBRESOURCE_TILING* pSubresourceTilingsForNonPackedMips) override { InsideTimer timed; if (auto* i = levels_.at<ID3D12Device>(0)) i->GetResourceTiling(pTiledResource, pNumTilesForEntireResource, pPackedMipDesc, pStandardTileShapeForNonPackedMips, pNumSubresourceTilings, FirstSubresourceTilingToGet, pSubresourceTilingsForNonPackedMips); }
#if defined(_MSC_VER) || !defined(_WIN32)
    LUID STDMETHODCALLTYPE GetAdapterLuid() override { InsideTimer timed; if (auto* i = levels_.at<ID3D12Device>(0)) return i->GetAdapterLuid(); return {}; }
#else
    LUID* STDMETHODCALLTYPE GetAdapterLuid(LUID* RetVal) override { InsideTimer timed; if (auto* i = levels_.at<ID3D12Device>(0)) return i->GetAdapterLuid(RetVal); if (RetVal) *RetVal = {}; return RetVal; }
#endif
    // ID3D12Device1
    HRESULT STDMETHODCALLTYPE CreatePipelineLibrary(const void* pLibraryBlob, SIZE_T BlobLength, REFIID riid, void** ppPipelineLibrary) override { InsideTimer timed; if (auto* i = levels_.at<ID3D12Device1>(1)) return i->CreatePipelineLibrary(pLibraryBlob, BlobLength, riid, ppPipelineLibrary); return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE SetEventOnMultipleFenceCompletion(ID3D12Fence* const* ppFences, const UINT64* pFenceValues, UINT NumFences, D3D12_MULTIPLE_FENCE_WAIT_FLAGS Flags, HANDLE hEvent) override { InsideTimer timed; if (auto* i = levels_.at<ID3D12Device1>(1)) return i->SetEventOnMultipleFenceCompletion(ppFences, pFenceValues, NumFences, Flags, hEvent); return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE SetResidencyPriority(UINT NumObjects, ID3D12Pageable* const* ppObjects, const D3D12_RESIDENCY_PRIORITY* pPriorities) override { InsideTimer timed; if (auto* i = levels_.at<ID3D12Device1>(1)) return i->SetResidencyPriority(NumObjects, ppObjects, pPriorities); return E_NOINTERFACE; }
    // ID3D12Device2
    HRESULT STDMETHODCALLTYPE CreatePipelineState(const D3D12_PIPELINE_STATE_STREAM_DESC* pDesc, REFIID riid, void** ppPipelineState) override { InsideTimer timed; if (auto* i = levels_.at<ID3D12Device2>(2)) return i->CreatePipelineState(pDesc, riid, ppPipelineState); return E_NOINTERFACE; }
    // ID3D12Device3
    HRESULT STDMETHODCALLTYPE OpenExistingHeapFromAddress(const void* pAddress, REFIID riid, void** ppvHeap) override { InsideTimer timed; if (auto* i = levels_.at<ID3D12Device3>(3)) return i->OpenExistingHeapFromAddress(pAddress, riid, ppvHeap); return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE OpenExistingHeapFromFileMapping(HANDLE hFileMapping, REFIID riid, void** ppvHeap) override { InsideTimer timed; if (auto* i = levels_.at<ID3D12Device3>(3)) return i->OpenExistingHeapFromFileMapping(hFileMapping, riid, ppvHeap); return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE EnqueueMakeResident(D3D12_RESIDENCY_FLAGS Flags, UINT NumObjects, ID3D12Pageable* const* ppObjects, ID3D12Fence* pFenceToSignal, UINT64 FenceValueToSignal) override { InsideTimer timed; if (auto* i = levels_.at<ID3D12Device3>(3)) return i->EnqueueMakeResident(Flags, NumObjects, ppObjects, pFenceToSignal, FenceValueToSignal); return E_NOINTERFACE; }
    // ID3D12Device4
    HRESULT STDMETHODCALLTYPE CreateCommandList1(UINT nodeMask, D3D12_COMMAND_LIST_TYPE type, D3D12_COMMAND_LIST_FLAGS flags, REFIID riid, void** ppCommandList) override { InsideTimer timed; if (auto* i = levels_.at<ID3D12Device4>(4)) return i->CreateCommandList1(nodeMask, type, flags, riid, ppCommandList); return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE CreateProtectedResourceSession(const D3D12_PROTECTED_RESOURCE_SESSION_DESC* pDesc, REFIID riid, void** ppSession) override { InsideTimer timed; if (auto* i = levels_.at<ID3D12Device4>(4)) return i->CreateProtectedResourceSession(pDesc, riid, ppSession); return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE CreateCommittedResource1(const D3D12_HEAP_PROPERTIES* pHeapProperties, D3D12_HEAP_FLAGS HeapFlags, const D3D12_RESOURCE_DESC* pDesc, D3D12_RESOURCE_STATES InitialResourceState, const D3D12_CLEAR_VALUE* pOptimizedClearValue, ID3D12ProtectedResourceSession* pProtectedSession, REFIID riidResource, void** ppvResource) override { InsideTimer timed; if (auto* i = levels_.at<ID3D12Device4>(4)) return i->CreateCommittedResource1(pHeapProperties, HeapFlags, pDesc, InitialResourceState, pOptimizedClearValue, pProtectedSession, riidResource, ppvResource); return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE CreateHeap1(const D3D12_HEAP_DESC* pDesc, ID3D12ProtectedResourceSession* pProtectedSession, REFIID riid, void** ppvHeap) override { InsideTimer timed; if (auto* i = levels_.at<ID3D12Device4>(4)) return i->CreateHeap1(pDesc, pProtectedSession, riid, ppvHeap); return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE CreateReservedResource1(const D3D12_RESOURCE_DESC* pDesc, D3D12_RESOURCE_STATES InitialState, const D3D12_CLEAR_VALUE* pOptimizedClearValue, ID3D12ProtectedResourceSession* pProtectedSession, REFIID riid, void** ppvResource) override { InsideTimer timed; if (auto* i = levels_.at<ID3D12Device4>(4)) return i->CreateReservedResource1(pDesc, InitialState, pOptimizedClearValue, pProtectedSession, riid, ppvResource); return E_NOINTERFACE; }
#if defined(_MSC_VER) || !defined(_WIN32)
    D3D12_RESOURCE_ALLOCATION_INFO STDMETHODCALLTYPE GetResourceAllocationInfo1(UINT visibleMask, UINT numResourceDescs, const D3D12_RESOURCE_DESC* pResourceDescs, D3D12_RESOURCE_ALLOCATION_INFO1* pResourceAllocationInfo1) override { InsideTimer timed; if (auto* i = levels_.at<ID3D12Device4>(4)) return i->GetResourceAllocationInfo1(visibleMask, numResourceDescs, pResourceDescs, pResourceAllocationInfo1); return {}; }
#else
    D3D12_RESOURCE_ALLOCATION_INFO* STDMETHODCALLTYPE GetResourceAllocationInfo1(D3D12_RESOURCE_ALLOCATION_INFO* RetVal, UINT visibleMask, UINT numResourceDescs, const D3D12_RESOURCE_DESC* pResourceDescs, D3D12_RESOURCE_ALLOCATION_INFO1* pResourceAllocationInfo1) override { InsideTimer timed; if (auto* i = levels_.at<ID3D12Device4>(4)) return i->GetResourceAllocationInfo1(RetVal, visibleMask, numResourceDescs, pResourceDescs, pResourceAllocationInfo1); if (RetVal) *RetVal = {}; return RetVal; }
#endif
    // ID3D12Device5
    HRESULT STDMETHODCALLTYPE CreateLifetimeTracker(ID3D12LifetimeOwner* pOwner, REFIID riid, void** ppvTracker) override { InsideTimer timed; if (auto* i = levels_.at<ID3D12Device5>(5)) return i->CreateLifetimeTracker(pOwner, riid, ppvTracker); return E_NOINTERFACE; }
    void STDMETHODCALLTYPE RemoveDevice() override { InsideTimer timed; if (auto* i = levels_.at<ID3D12Device5>(5)) i->RemoveDevice(); }
    HRESULT STDMETHODCALLTYPE EnumerateMetaCommands(UINT* pNumMetaCommands, D3D12_META_COMMAND_DESC* pDescs) override { InsideTimer timed; if (auto* i = levels_.at<ID3D12Device5>(5)) return i->EnumerateMetaCommands(pNumMetaCommands, pDescs); return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE EnumerateMetaCommandParameters(REFGUID CommandId, D3D12_META_COMMAND_PARAMETER_STAGE Stage, UINT* pTotalStructureSizeInBytes, UINT* pParameterCount, D3D12_META_COMMAND_PARAMETER_DESC* pParameterDescs) override { InsideTimer timed; if (auto* i = levels_.at<ID3D12Device5>(5)) return i->EnumerateMetaCommandParameters(CommandId, Stage, pTotalStructureSizeInBytes, pParameterCount, pParameterDescs); return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE CreateMetaCommand(REFGUID CommandId, UINT NodeMask, const void* pCreationParametersData, SIZE_T CreationParametersDataSizeInBytes, REFIID riid, void** ppMetaCommand) override { InsideTimer timed; if (auto* i = levels_.at<ID3D12Device5>(5)) return i->CreateMetaCommand(CommandId, NodeMask, pCreationParametersData, CreationParametersDataSizeInBytes, riid, ppMetaCommand); return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE CreateStateObject(const D3D12_STATE_OBJECT_DESC* pDesc, REFIID riid, void** ppStateObject) override { InsideTimer timed; if (auto* i = levels_.at<ID3D12Device5>(5)) return i->CreateStateObject(pDesc, riid, ppStateObject); return E_NOINTERFACE; }
    void STDMETHODCALLTYPE GetRaytracingAccelerationStructurePrebuildInfo(const D3D12_BUILD_RAYTRACING_ACCELERATION_STRUCTURE_INPUTS* pDesc, D3D12_RAYTRACING_ACCELERATION_STRUCTURE_PREBUILD_INFO* pInfo) override { InsideTimer timed; if (auto* i = levels_.at<ID3D12Device5>(5)) i->GetRaytracingAccelerationStructurePrebuildInfo(pDesc, pInfo); }
    D3D12_DRIVER_MATCHING_IDENTIFIER_STATUS STDMETHODCALLTYPE CheckDriverMatchingIdentifier(D3D12_SERIALIZED_DATA_TYPE SerializedDataType, const D3D12_SERIALIZED_DATA_DRIVER_MATCHING_IDENTIFIER* pIdentifierToCheck) override { InsideTimer timed; if (auto* i = levels_.at<ID3D12Device5>(5)) return i->CheckDriverMatchingIdentifier(SerializedDataType, pIdentifierToCheck); return {}; }
    // ID3D12Device6
    HRESULT STDMETHODCALLTYPE SetBackgroundProcessingMode(D3D12_BACKGROUND_PROCESSING_MODE Mode, D3D12_MEASUREMENTS_ACTION MeasurementsAction, HANDLE hEventToSignalUponCompletion, BOOL* pbFurtherMeasurementsDesired) override { InsideTimer timed; if (auto* i = levels_.at<ID3D12Device6>(6)) return i->SetBackgroundProcessingMode(Mode, MeasurementsAction, hEventToSignalUponCompletion, pbFurtherMeasurementsDesired); return E_NOINTERFACE; }
    // ID3D12Device7
    HRESULT STDMETHODCALLTYPE AddToStateObject(const D3D12_STATE_OBJECT_DESC* pAddition, ID3D12StateObject* pStateObjectToGrowFrom, REFIID riid, void** ppNewStateObject) override { InsideTimer timed; if (auto* i = levels_.at<ID3D12Device7>(7)) return i->AddToStateObject(pAddition, pStateObjectToGrowFrom, riid, ppNewStateObject); return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE CreateProtectedResourceSession1(const D3D12_PROTECTED_RESOURCE_SESSION_DESC1* pDesc, REFIID riid, void** ppSession) override { InsideTimer timed; if (auto* i = levels_.at<ID3D12Device7>(7)) return i->CreateProtectedResourceSession1(pDesc, riid, ppSession); return E_NOINTERFACE; }
    // ID3D12Device8
#if defined(_MSC_VER) || !defined(_WIN32)
    D3D12_RESOURCE_ALLOCATION_INFO STDMETHODCALLTYPE GetResourceAllocationInfo2(UINT visibleMask, UINT numResourceDescs, const D3D12_RESOURCE_DESC1* pResourceDescs, D3D12_RESOURCE_ALLOCATION_INFO1* pResourceAllocationInfo1) override { InsideTimer timed; if (auto* i = levels_.at<ID3D12Device8>(8)) return i->GetResourceAllocationInfo2(visibleMask, numResourceDescs, pResourceDescs, pResourceAllocationInfo1); return {}; }
#else
    D3D12_RESOURCE_ALLOCATION_INFO* STDMETHODCALLTYPE GetResourceAllocationInfo2(D3D12_RESOURCE_ALLOCATION_INFO* RetVal, UINT visibleMask, UINT numResourceDescs, const D3D12_RESOURCE_DESC1* pResourceDescs, D3D12_RESOURCE_ALLOCATION_INFO1* pResourceAllocationInfo1) override { InsideTimer timed; if (auto* i = levels_.at<ID3D12Device8>(8)) return i->GetResourceAllocationInfo2(RetVal, visibleMask, numResourceDescs, pResourceDescs, pResourceAllocationInfo1); if (RetVal) *RetVal = {}; return RetVal; }
#endif
    HRESULT STDMETHODCALLTYPE CreateCommittedResource2(const D3D12_HEAP_PROPERTIES* pHeapProperties, D3D12_HEAP_FLAGS HeapFlags, const D3D12_RESOURCE_DESC1* pDesc, D3D12_RESOURCE_STATES InitialResourceState, const D3D12_CLEAR_VALUE* pOptimizedClearValue, ID3D12ProtectedResourceSession* pProtectedSession, REFIID riidResource, void** ppvResource) override { InsideTimer timed; if (auto* i = levels_.at<ID3D12Device8>(8)) return i->CreateCommittedResource2(pHeapProperties, HeapFlags, pDesc, InitialResourceState, pOptimizedClearValue, pProtectedSession, riidResource, ppvResource); return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE CreatePlacedResource1(ID3D12Heap* pHeap, UINT64 HeapOffset, const D3D12_RESOURCE_DESC1* pDesc, D3D12_RESOURCE_STATES InitialState, const D3D12_CLEAR_VALUE* pOptimizedClearValue, REFIID riid, void** ppvResource) override { InsideTimer timed; if (auto* i = levels_.at<ID3D12Device8>(8)) return i->CreatePlacedResource1(pHeap, HeapOffset, pDesc, InitialState, pOptimizedClearValue, riid, ppvResource); return E_NOINTERFACE; }
    void STDMETHODCALLTYPE CreateSamplerFeedbackUnorderedAccessView(ID3D12Resource* pTargetedResource, ID3D12Resource* pFeedbackResource, D3D12_CPU_DESCRIPTOR_HANDLE DestDescriptor) override { InsideTimer timed; if (auto* i = levels_.at<ID3D12Device8>(8)) i->CreateSamplerFeedbackUnorderedAccessView(pTargetedResource, pFeedbackResource, DestDescriptor); }
    void STDMETHODCALLTYPE GetCopyableFootprints1(const D3D12_RESOURCE_DESC1* pResourceDesc, UINT FirstSubresource, UINT NumSubresources, UINT64 BaseOffset, D3D12_PLACED_SUBRESOURCE_FOOTPRINT* pLayouts, UINT* pNumRows, UINT64* pRowSizeInBytes, UINT64* pTotalBytes) override { InsideTimer timed; if (auto* i = levels_.at<ID3D12Device8>(8)) i->GetCopyableFootprints1(pResourceDesc, FirstSubresource, NumSubresources, BaseOffset, pLayouts, pNumRows, pRowSizeInBytes, pTotalBytes); }
    // ID3D12Device9
    HRESULT STDMETHODCALLTYPE CreateShaderCacheSession(const D3D12_SHADER_CACHE_SESSION_DESC* pDesc, REFIID riid, void** ppvSession) override { InsideTimer timed; if (auto* i = levels_.at<ID3D12Device9>(9)) return i->CreateShaderCacheSession(pDesc, riid, ppvSession); return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE ShaderCacheControl(D3D12_SHADER_CACHE_KIND_FLAGS Kinds, D3D12_SHADER_CACHE_CONTROL_FLAGS Control) override { InsideTimer timed; if (auto* i = levels_.at<ID3D12Device9>(9)) return i->ShaderCacheControl(Kinds, Control); return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE CreateCommandQueue1(const D3D12_COMMAND_QUEUE_DESC* pDesc, REFIID CreatorID, REFIID riid, void** ppCommandQueue) override;
    // ID3D12Device10
    HRESULT STDMETHODCALLTYPE CreateCommittedResource3(const D3D12_HEAP_PROPERTIES* pHeapProperties, D3D12_HEAP_FLAGS HeapFlags, const D3D12_RESOURCE_DESC1* pDesc, D3D12_BARRIER_LAYOUT InitialLayout, const D3D12_CLEAR_VALUE* pOptimizedClearValue, ID3D12ProtectedResourceSession* pProtectedSession, UINT32 NumCastableFormats, DXGI_FORMAT* pCastableFormats, REFIID riidResource, void** ppvResource) override { InsideTimer timed; if (auto* i = levels_.at<ID3D12Device10>(10)) return i->CreateCommittedResource3(pHeapProperties, HeapFlags, pDesc, InitialLayout, pOptimizedClearValue, pProtectedSession, NumCastableFormats, pCastableFormats, riidResource, ppvResource); return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE CreatePlacedResource2(ID3D12Heap* pHeap, UINT64 HeapOffset, const D3D12_RESOURCE_DESC1* pDesc, D3D12_BARRIER_LAYOUT InitialLayout, const D3D12_CLEAR_VALUE* pOptimizedClearValue, UINT32 NumCastableFormats, DXGI_FORMAT* pCastableFormats, REFIID riid, void** ppvResource) override { InsideTimer timed; if (auto* i = levels_.at<ID3D12Device10>(10)) return i->CreatePlacedResource2(pHeap, HeapOffset, pDesc, InitialLayout, pOptimizedClearValue, NumCastableFormats, pCastableFormats, riid, ppvResource); return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE CreateReservedResource2(const D3D12_RESOURCE_DESC* pDesc, D3D12_BARRIER_LAYOUT InitialLayout, const D3D12_CLEAR_VALUE* pOptimizedClearValue, ID3D12ProtectedResourceSession* pProtectedSession, UINT32 NumCastableFormats, DXGI_FORMAT* pCastableFormats, REFIID riid, void** ppvResource) override { InsideTimer timed; if (auto* i = levels_.at<ID3D12Device10>(10)) return i->CreateReservedResource2(pDesc, InitialLayout, pOptimizedClearValue, pProtectedSession, NumCastableFormats, pCastableFormats, riid, ppvResource); return E_NOINTERFACE; }
    // clang-format on
    // END generated forwarders

private:
    ~InterposedDevice() = default;
    Levels<11> levels_;
    std::atomic<ULONG> refs_{1};
    std::atomic<bool> released_{false};
};

// Holds a reference on the real device of its queue, as Streamline's swap chain does (m_d3dDevice).
class InterposedSwapChain final : public IDXGISwapChain4 {
public:
    InterposedSwapChain(IUnknown* real, ID3D12Device* device);
    bool valid() const { return levels_.has(0); }
    IDXGISwapChain* real() const { return levels_.at<IDXGISwapChain>(0); }
    static void* vtable;

    // BEGIN generated forwarders
    // clang-format off
    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    // IDXGIObject
    HRESULT STDMETHODCALLTYPE SetPrivateData(REFGUID guid, UINT data_size, const void* data) override { InsideTimer timed; if (auto* i = levels_.at<IDXGISwapChain>(0)) return i->SetPrivateData(guid, data_size, data); return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE SetPrivateDataInterface(REFGUID guid, const IUnknown* object) override { InsideTimer timed; if (auto* i = levels_.at<IDXGISwapChain>(0)) return i->SetPrivateDataInterface(guid, object); return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE GetPrivateData(REFGUID guid, UINT* data_size, void* data) override { InsideTimer timed; if (auto* i = levels_.at<IDXGISwapChain>(0)) return i->GetPrivateData(guid, data_size, data); return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE GetParent(REFIID riid, void** parent) override { InsideTimer timed; if (auto* i = levels_.at<IDXGISwapChain>(0)) return i->GetParent(riid, parent); return E_NOINTERFACE; }
    // IDXGIDeviceSubObject
    HRESULT STDMETHODCALLTYPE GetDevice(REFIID riid, void** device) override { InsideTimer timed; if (auto* i = levels_.at<IDXGISwapChain>(0)) return i->GetDevice(riid, device); return E_NOINTERFACE; }
    // IDXGISwapChain
    HRESULT STDMETHODCALLTYPE Present(UINT sync_interval, UINT flags) override;
    HRESULT STDMETHODCALLTYPE GetBuffer(UINT buffer_idx, REFIID riid, void** surface) override;
    HRESULT STDMETHODCALLTYPE SetFullscreenState(BOOL fullscreen, IDXGIOutput* target) override;
    HRESULT STDMETHODCALLTYPE GetFullscreenState(BOOL* fullscreen, IDXGIOutput** target) override { InsideTimer timed; if (auto* i = levels_.at<IDXGISwapChain>(0)) return i->GetFullscreenState(fullscreen, target); return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE GetDesc(DXGI_SWAP_CHAIN_DESC* desc) override { InsideTimer timed; if (auto* i = levels_.at<IDXGISwapChain>(0)) return i->GetDesc(desc); return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE ResizeBuffers(UINT buffer_count, UINT width, UINT height, DXGI_FORMAT format, UINT flags) override;
    HRESULT STDMETHODCALLTYPE ResizeTarget(const DXGI_MODE_DESC* target_mode_desc) override { InsideTimer timed; if (auto* i = levels_.at<IDXGISwapChain>(0)) return i->ResizeTarget(target_mode_desc); return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE GetContainingOutput(IDXGIOutput** output) override { InsideTimer timed; if (auto* i = levels_.at<IDXGISwapChain>(0)) return i->GetContainingOutput(output); return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE GetFrameStatistics(DXGI_FRAME_STATISTICS* stats) override { InsideTimer timed; if (auto* i = levels_.at<IDXGISwapChain>(0)) return i->GetFrameStatistics(stats); return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE GetLastPresentCount(UINT* last_present_count) override { InsideTimer timed; if (auto* i = levels_.at<IDXGISwapChain>(0)) return i->GetLastPresentCount(last_present_count); return E_NOINTERFACE; }
    // IDXGISwapChain1
    HRESULT STDMETHODCALLTYPE GetDesc1(DXGI_SWAP_CHAIN_DESC1* pDesc) override { InsideTimer timed; if (auto* i = levels_.at<IDXGISwapChain1>(1)) return i->GetDesc1(pDesc); return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE GetFullscreenDesc(DXGI_SWAP_CHAIN_FULLSCREEN_DESC* pDesc) override { InsideTimer timed; if (auto* i = levels_.at<IDXGISwapChain1>(1)) return i->GetFullscreenDesc(pDesc); return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE GetHwnd(HWND* pHwnd) override { InsideTimer timed; if (auto* i = levels_.at<IDXGISwapChain1>(1)) return i->GetHwnd(pHwnd); return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE GetCoreWindow(REFIID refiid, void** ppUnk) override { InsideTimer timed; if (auto* i = levels_.at<IDXGISwapChain1>(1)) return i->GetCoreWindow(refiid, ppUnk); return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE Present1(UINT SyncInterval, UINT PresentFlags, const DXGI_PRESENT_PARAMETERS* pPresentParameters) override;
    BOOL STDMETHODCALLTYPE IsTemporaryMonoSupported() override { InsideTimer timed; if (auto* i = levels_.at<IDXGISwapChain1>(1)) return i->IsTemporaryMonoSupported(); return {}; }
    HRESULT STDMETHODCALLTYPE GetRestrictToOutput(IDXGIOutput** ppRestrictToOutput) override { InsideTimer timed; if (auto* i = levels_.at<IDXGISwapChain1>(1)) return i->GetRestrictToOutput(ppRestrictToOutput); return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE SetBackgroundColor(const DXGI_RGBA* pColor) override { InsideTimer timed; if (auto* i = levels_.at<IDXGISwapChain1>(1)) return i->SetBackgroundColor(pColor); return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE GetBackgroundColor(DXGI_RGBA* pColor) override { InsideTimer timed; if (auto* i = levels_.at<IDXGISwapChain1>(1)) return i->GetBackgroundColor(pColor); return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE SetRotation(DXGI_MODE_ROTATION Rotation) override { InsideTimer timed; if (auto* i = levels_.at<IDXGISwapChain1>(1)) return i->SetRotation(Rotation); return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE GetRotation(DXGI_MODE_ROTATION* pRotation) override { InsideTimer timed; if (auto* i = levels_.at<IDXGISwapChain1>(1)) return i->GetRotation(pRotation); return E_NOINTERFACE; }
    // IDXGISwapChain2
    HRESULT STDMETHODCALLTYPE SetSourceSize(UINT width, UINT height) override { InsideTimer timed; if (auto* i = levels_.at<IDXGISwapChain2>(2)) return i->SetSourceSize(width, height); return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE GetSourceSize(UINT* width, UINT* height) override { InsideTimer timed; if (auto* i = levels_.at<IDXGISwapChain2>(2)) return i->GetSourceSize(width, height); return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE SetMaximumFrameLatency(UINT max_latency) override { InsideTimer timed; if (auto* i = levels_.at<IDXGISwapChain2>(2)) return i->SetMaximumFrameLatency(max_latency); return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE GetMaximumFrameLatency(UINT* max_latency) override { InsideTimer timed; if (auto* i = levels_.at<IDXGISwapChain2>(2)) return i->GetMaximumFrameLatency(max_latency); return E_NOINTERFACE; }
    HANDLE STDMETHODCALLTYPE GetFrameLatencyWaitableObject() override { InsideTimer timed; if (auto* i = levels_.at<IDXGISwapChain2>(2)) return i->GetFrameLatencyWaitableObject(); return {}; }
    HRESULT STDMETHODCALLTYPE SetMatrixTransform(const DXGI_MATRIX_3X2_F* matrix) override { InsideTimer timed; if (auto* i = levels_.at<IDXGISwapChain2>(2)) return i->SetMatrixTransform(matrix); return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE GetMatrixTransform(DXGI_MATRIX_3X2_F* matrix) override { InsideTimer timed; if (auto* i = levels_.at<IDXGISwapChain2>(2)) return i->GetMatrixTransform(matrix); return E_NOINTERFACE; }
    // IDXGISwapChain3
    UINT STDMETHODCALLTYPE GetCurrentBackBufferIndex() override;
    HRESULT STDMETHODCALLTYPE CheckColorSpaceSupport(DXGI_COLOR_SPACE_TYPE colour_space, UINT* colour_space_support) override { InsideTimer timed; if (auto* i = levels_.at<IDXGISwapChain3>(3)) return i->CheckColorSpaceSupport(colour_space, colour_space_support); return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE SetColorSpace1(DXGI_COLOR_SPACE_TYPE colour_space) override { InsideTimer timed; if (auto* i = levels_.at<IDXGISwapChain3>(3)) return i->SetColorSpace1(colour_space); return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE ResizeBuffers1(UINT buffer_count, UINT width, UINT height, DXGI_FORMAT format, UINT flags, const UINT* node_mask, IUnknown* const* present_queue) override;
    // IDXGISwapChain4
    HRESULT STDMETHODCALLTYPE SetHDRMetaData(DXGI_HDR_METADATA_TYPE type, UINT size, void* metadata) override { InsideTimer timed; if (auto* i = levels_.at<IDXGISwapChain4>(4)) return i->SetHDRMetaData(type, size, metadata); return E_NOINTERFACE; }
    // clang-format on
    // END generated forwarders

    // Journals a full-screen change of the real swap chain that did not come through SetFullscreenState.
    void noteFullscreenChange();

private:
    ~InterposedSwapChain();
    bool refusedForFullscreenChange(const char* entry, HRESULT& hr, bool look);
    Levels<5> levels_;
    Microsoft::WRL::ComPtr<ID3D12Device> device_;
    std::atomic<ULONG> refs_{1};
    BOOL fullscreenSeen_ = FALSE; // the real swap chain's state as last seen
    bool fullscreenChangedWithFrameGeneration_ = false;
};

// Every live swap chain notes a full-screen change made meanwhile (before a Frame Generation switch).
void noteFullscreenChanges();

class InterposedFactory final : public IDXGIFactory7 {
public:
    explicit InterposedFactory(IUnknown* real);
    bool valid() const { return levels_.has(0); }
    IDXGIFactory* real() const { return levels_.at<IDXGIFactory>(0); }
    static void* vtable;

    // BEGIN generated forwarders
    // clang-format off
    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    // IDXGIObject
    HRESULT STDMETHODCALLTYPE SetPrivateData(REFGUID guid, UINT data_size, const void* data) override { InsideTimer timed; if (auto* i = levels_.at<IDXGIFactory>(0)) return i->SetPrivateData(guid, data_size, data); return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE SetPrivateDataInterface(REFGUID guid, const IUnknown* object) override { InsideTimer timed; if (auto* i = levels_.at<IDXGIFactory>(0)) return i->SetPrivateDataInterface(guid, object); return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE GetPrivateData(REFGUID guid, UINT* data_size, void* data) override { InsideTimer timed; if (auto* i = levels_.at<IDXGIFactory>(0)) return i->GetPrivateData(guid, data_size, data); return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE GetParent(REFIID riid, void** parent) override { InsideTimer timed; if (auto* i = levels_.at<IDXGIFactory>(0)) return i->GetParent(riid, parent); return E_NOINTERFACE; }
    // IDXGIFactory
    HRESULT STDMETHODCALLTYPE EnumAdapters(UINT adapter_idx, IDXGIAdapter** adapter) override { InsideTimer timed; if (auto* i = levels_.at<IDXGIFactory>(0)) return i->EnumAdapters(adapter_idx, adapter); return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE MakeWindowAssociation(HWND window, UINT flags) override { InsideTimer timed; if (auto* i = levels_.at<IDXGIFactory>(0)) return i->MakeWindowAssociation(window, flags); return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE GetWindowAssociation(HWND* window) override { InsideTimer timed; if (auto* i = levels_.at<IDXGIFactory>(0)) return i->GetWindowAssociation(window); return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE CreateSwapChain(IUnknown* device, DXGI_SWAP_CHAIN_DESC* desc, IDXGISwapChain** swapchain) override;
    HRESULT STDMETHODCALLTYPE CreateSoftwareAdapter(HMODULE swrast, IDXGIAdapter** adapter) override { InsideTimer timed; if (auto* i = levels_.at<IDXGIFactory>(0)) return i->CreateSoftwareAdapter(swrast, adapter); return E_NOINTERFACE; }
    // IDXGIFactory1
    HRESULT STDMETHODCALLTYPE EnumAdapters1(UINT Adapter, IDXGIAdapter1** ppAdapter) override { InsideTimer timed; if (auto* i = levels_.at<IDXGIFactory1>(1)) return i->EnumAdapters1(Adapter, ppAdapter); return E_NOINTERFACE; }
    BOOL STDMETHODCALLTYPE IsCurrent() override { InsideTimer timed; if (auto* i = levels_.at<IDXGIFactory1>(1)) return i->IsCurrent(); return {}; }
    // IDXGIFactory2
    BOOL STDMETHODCALLTYPE IsWindowedStereoEnabled() override { InsideTimer timed; if (auto* i = levels_.at<IDXGIFactory2>(2)) return i->IsWindowedStereoEnabled(); return {}; }
    HRESULT STDMETHODCALLTYPE CreateSwapChainForHwnd(IUnknown* pDevice, HWND hWnd, const DXGI_SWAP_CHAIN_DESC1* pDesc, const DXGI_SWAP_CHAIN_FULLSCREEN_DESC* pFullscreenDesc, IDXGIOutput* pRestrictToOutput, IDXGISwapChain1** ppSwapChain) override;
    HRESULT STDMETHODCALLTYPE CreateSwapChainForCoreWindow(IUnknown* pDevice, IUnknown* pWindow, const DXGI_SWAP_CHAIN_DESC1* pDesc, IDXGIOutput* pRestrictToOutput, IDXGISwapChain1** ppSwapChain) override;
    HRESULT STDMETHODCALLTYPE GetSharedResourceAdapterLuid(HANDLE hResource, LUID* pLuid) override { InsideTimer timed; if (auto* i = levels_.at<IDXGIFactory2>(2)) return i->GetSharedResourceAdapterLuid(hResource, pLuid); return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE RegisterStereoStatusWindow(HWND WindowHandle, UINT wMsg, DWORD* pdwCookie) override { InsideTimer timed; if (auto* i = levels_.at<IDXGIFactory2>(2)) return i->RegisterStereoStatusWindow(WindowHandle, wMsg, pdwCookie); return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE RegisterStereoStatusEvent(HANDLE hEvent, DWORD* pdwCookie) override { InsideTimer timed; if (auto* i = levels_.at<IDXGIFactory2>(2)) return i->RegisterStereoStatusEvent(hEvent, pdwCookie); return E_NOINTERFACE; }
    void STDMETHODCALLTYPE UnregisterStereoStatus(DWORD dwCookie) override { InsideTimer timed; if (auto* i = levels_.at<IDXGIFactory2>(2)) i->UnregisterStereoStatus(dwCookie); }
    HRESULT STDMETHODCALLTYPE RegisterOcclusionStatusWindow(HWND WindowHandle, UINT wMsg, DWORD* pdwCookie) override { InsideTimer timed; if (auto* i = levels_.at<IDXGIFactory2>(2)) return i->RegisterOcclusionStatusWindow(WindowHandle, wMsg, pdwCookie); return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE RegisterOcclusionStatusEvent(HANDLE hEvent, DWORD* pdwCookie) override { InsideTimer timed; if (auto* i = levels_.at<IDXGIFactory2>(2)) return i->RegisterOcclusionStatusEvent(hEvent, pdwCookie); return E_NOINTERFACE; }
    void STDMETHODCALLTYPE UnregisterOcclusionStatus(DWORD dwCookie) override { InsideTimer timed; if (auto* i = levels_.at<IDXGIFactory2>(2)) i->UnregisterOcclusionStatus(dwCookie); }
    HRESULT STDMETHODCALLTYPE CreateSwapChainForComposition(IUnknown* pDevice, const DXGI_SWAP_CHAIN_DESC1* pDesc, IDXGIOutput* pRestrictToOutput, IDXGISwapChain1** ppSwapChain) override;
    // IDXGIFactory3
    UINT STDMETHODCALLTYPE GetCreationFlags() override { InsideTimer timed; if (auto* i = levels_.at<IDXGIFactory3>(3)) return i->GetCreationFlags(); return {}; }
    // IDXGIFactory4
    HRESULT STDMETHODCALLTYPE EnumAdapterByLuid(LUID luid, REFIID iid, void** adapter) override { InsideTimer timed; if (auto* i = levels_.at<IDXGIFactory4>(4)) return i->EnumAdapterByLuid(luid, iid, adapter); return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE EnumWarpAdapter(REFIID iid, void** adapter) override { InsideTimer timed; if (auto* i = levels_.at<IDXGIFactory4>(4)) return i->EnumWarpAdapter(iid, adapter); return E_NOINTERFACE; }
    // IDXGIFactory5
    HRESULT STDMETHODCALLTYPE CheckFeatureSupport(DXGI_FEATURE feature, void* support_data, UINT support_data_size) override { InsideTimer timed; if (auto* i = levels_.at<IDXGIFactory5>(5)) return i->CheckFeatureSupport(feature, support_data, support_data_size); return E_NOINTERFACE; }
    // IDXGIFactory6
    HRESULT STDMETHODCALLTYPE EnumAdapterByGpuPreference(UINT adapter_idx, DXGI_GPU_PREFERENCE gpu_preference, REFIID iid, void** adapter) override { InsideTimer timed; if (auto* i = levels_.at<IDXGIFactory6>(6)) return i->EnumAdapterByGpuPreference(adapter_idx, gpu_preference, iid, adapter); return E_NOINTERFACE; }
    // IDXGIFactory7
    HRESULT STDMETHODCALLTYPE RegisterAdaptersChangedEvent(HANDLE event, DWORD* cookie) override { InsideTimer timed; if (auto* i = levels_.at<IDXGIFactory7>(7)) return i->RegisterAdaptersChangedEvent(event, cookie); return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE UnregisterAdaptersChangedEvent(DWORD cookie) override { InsideTimer timed; if (auto* i = levels_.at<IDXGIFactory7>(7)) return i->UnregisterAdaptersChangedEvent(cookie); return E_NOINTERFACE; }
    // clang-format on
    // END generated forwarders

private:
    ~InterposedFactory() = default;
    Levels<8> levels_;
    std::atomic<ULONG> refs_{1};
};

} // namespace fsr2bridge::standin
