#include "testbed/devicelayer/device_layer.h"

#include "common/module_export.h"
#include "hooking/hook_table.h"
#include "testbed/devicelayer/layer_internal.h"

#include <atomic>
#include <new>

#include <wrl/client.h>

namespace testworld {
namespace {

std::atomic<std::uint64_t> removedDeviceUses{0};

// Wine's device as the layer's forwarders reach it: once the layer device is removed, every call through it
// counts as a use of the removed device (the layer's own AddRef, Release and GetDeviceRemovedReason go
// around it: holding, letting go and asking why are what a removed device is still for).
class WatchedDevice {
public:
    explicit WatchedDevice(ID3D12Device* device) : device_(device) {}
    ID3D12Device* operator->() const
    {
        if (removed_.load(std::memory_order_acquire))
            removedDeviceUses.fetch_add(1, std::memory_order_relaxed);
        return device_;
    }
    ID3D12Device* get() const { return device_; }
    bool removed() const { return removed_.load(std::memory_order_acquire); }
    bool markRemoved() { return !removed_.exchange(true, std::memory_order_acq_rel); }

private:
    ID3D12Device* device_;
    std::atomic<bool> removed_{false};
};

// Where a Wine device keeps the layer device over it (private data: it goes with the Wine device).
constexpr GUID layerDeviceSlot = {
    0x6C0B53A4, 0x1E7D, 0x4F0A, {0x9D, 0x31, 0x52, 0xE8, 0x0B, 0x77, 0x4C, 0x19}};

// ID3D12Device10 over Wine's ID3D12Device. The wrapper shares the real device's reference
// count and goes away with it, so it holds `native_` without a reference of its own. The
// forwarders are written by scripts/generate_proxies.py.
class LayerDevice final : public ID3D12Device10 {
public:
    explicit LayerDevice(ID3D12Device* native) : native_(native) { vtable = *reinterpret_cast<void**>(this); }

    // Recognises wrappers by their virtual table, never by reading a foreign object's type data.
    static inline void* vtable = nullptr;

    static bool isDeviceIid(REFIID riid)
    {
        static const IID* const known[] = {
            &__uuidof(IUnknown),       &__uuidof(ID3D12Object),  &__uuidof(ID3D12Device),
            &__uuidof(ID3D12Device1),  &__uuidof(ID3D12Device2), &__uuidof(ID3D12Device3),
            &__uuidof(ID3D12Device4),  &__uuidof(ID3D12Device5), &__uuidof(ID3D12Device6),
            &__uuidof(ID3D12Device7),  &__uuidof(ID3D12Device8), &__uuidof(ID3D12Device9),
            &__uuidof(ID3D12Device10),
        };
        for (const IID* iid : known) {
            if (IsEqualIID(riid, *iid)) {
                return true;
            }
        }
        return false;
    }

    // BEGIN generated forwarders
    // clang-format off
    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    // ID3D12Object
    HRESULT STDMETHODCALLTYPE GetPrivateData(REFGUID guid, UINT* pDataSize, void* pData) override { return native_->GetPrivateData(guid, pDataSize, pData); }
    HRESULT STDMETHODCALLTYPE SetPrivateData(REFGUID guid, UINT DataSize, const void* pData) override { return native_->SetPrivateData(guid, DataSize, pData); }
    HRESULT STDMETHODCALLTYPE SetPrivateDataInterface(REFGUID guid, const IUnknown* pData) override { return native_->SetPrivateDataInterface(guid, pData); }
    HRESULT STDMETHODCALLTYPE SetName(LPCWSTR Name) override { return native_->SetName(Name); }
    // ID3D12Device
    UINT STDMETHODCALLTYPE GetNodeCount() override { return native_->GetNodeCount(); }
    HRESULT STDMETHODCALLTYPE CreateCommandQueue(const D3D12_COMMAND_QUEUE_DESC* pDesc, REFIID riid, void** ppCommandQueue) override { return native_->CreateCommandQueue(pDesc, riid, ppCommandQueue); }
    HRESULT STDMETHODCALLTYPE CreateCommandAllocator(D3D12_COMMAND_LIST_TYPE type, REFIID riid, void** ppCommandAllocator) override { return native_->CreateCommandAllocator(type, riid, ppCommandAllocator); }
    HRESULT STDMETHODCALLTYPE CreateGraphicsPipelineState(const D3D12_GRAPHICS_PIPELINE_STATE_DESC* pDesc, REFIID riid, void** ppPipelineState) override { return native_->CreateGraphicsPipelineState(pDesc, riid, ppPipelineState); }
    HRESULT STDMETHODCALLTYPE CreateComputePipelineState(const D3D12_COMPUTE_PIPELINE_STATE_DESC* pDesc, REFIID riid, void** ppPipelineState) override { return native_->CreateComputePipelineState(pDesc, riid, ppPipelineState); }
    HRESULT STDMETHODCALLTYPE CreateCommandList(UINT nodeMask, D3D12_COMMAND_LIST_TYPE type, ID3D12CommandAllocator* pCommandAllocator, ID3D12PipelineState* pInitialState, REFIID riid, void** ppCommandList) override { return native_->CreateCommandList(nodeMask, type, pCommandAllocator, pInitialState, riid, ppCommandList); }
    HRESULT STDMETHODCALLTYPE CheckFeatureSupport(D3D12_FEATURE Feature, void* pFeatureSupportData, UINT FeatureSupportDataSize) override { return native_->CheckFeatureSupport(Feature, pFeatureSupportData, FeatureSupportDataSize); }
    HRESULT STDMETHODCALLTYPE CreateDescriptorHeap(const D3D12_DESCRIPTOR_HEAP_DESC* pDescriptorHeapDesc, REFIID riid, void** ppvHeap) override { return native_->CreateDescriptorHeap(pDescriptorHeapDesc, riid, ppvHeap); }
    UINT STDMETHODCALLTYPE GetDescriptorHandleIncrementSize(D3D12_DESCRIPTOR_HEAP_TYPE DescriptorHeapType) override { return native_->GetDescriptorHandleIncrementSize(DescriptorHeapType); }
    HRESULT STDMETHODCALLTYPE CreateRootSignature(UINT nodeMask, const void* pBlobWithRootSignature, SIZE_T blobLengthInBytes, REFIID riid, void** ppvRootSignature) override { return native_->CreateRootSignature(nodeMask, pBlobWithRootSignature, blobLengthInBytes, riid, ppvRootSignature); }
    void STDMETHODCALLTYPE CreateConstantBufferView(const D3D12_CONSTANT_BUFFER_VIEW_DESC* pDesc, D3D12_CPU_DESCRIPTOR_HANDLE DestDescriptor) override { native_->CreateConstantBufferView(pDesc, DestDescriptor); }
    void STDMETHODCALLTYPE CreateShaderResourceView(ID3D12Resource* pResource, const D3D12_SHADER_RESOURCE_VIEW_DESC* pDesc, D3D12_CPU_DESCRIPTOR_HANDLE DestDescriptor) override { native_->CreateShaderResourceView(pResource, pDesc, DestDescriptor); }
    void STDMETHODCALLTYPE CreateUnorderedAccessView(ID3D12Resource* pResource, ID3D12Resource* pCounterResource, const D3D12_UNORDERED_ACCESS_VIEW_DESC* pDesc, D3D12_CPU_DESCRIPTOR_HANDLE DestDescriptor) override { native_->CreateUnorderedAccessView(pResource, pCounterResource, pDesc, DestDescriptor); }
    void STDMETHODCALLTYPE CreateRenderTargetView(ID3D12Resource* pResource, const D3D12_RENDER_TARGET_VIEW_DESC* pDesc, D3D12_CPU_DESCRIPTOR_HANDLE DestDescriptor) override { native_->CreateRenderTargetView(pResource, pDesc, DestDescriptor); }
    void STDMETHODCALLTYPE CreateDepthStencilView(ID3D12Resource* pResource, const D3D12_DEPTH_STENCIL_VIEW_DESC* pDesc, D3D12_CPU_DESCRIPTOR_HANDLE DestDescriptor) override { native_->CreateDepthStencilView(pResource, pDesc, DestDescriptor); }
    void STDMETHODCALLTYPE CreateSampler(const D3D12_SAMPLER_DESC* pDesc, D3D12_CPU_DESCRIPTOR_HANDLE DestDescriptor) override { native_->CreateSampler(pDesc, DestDescriptor); }
    void STDMETHODCALLTYPE CopyDescriptors(UINT NumDestDescriptorRanges, const D3D12_CPU_DESCRIPTOR_HANDLE* pDestDescriptorRangeStarts, const UINT* pDestDescriptorRangeSizes, UINT NumSrcDescriptorRanges, const D3D12_CPU_DESCRIPTOR_HANDLE* pSrcDescriptorRangeStarts, const UINT* pSrcDescriptorRangeSizes, D3D12_DESCRIPTOR_HEAP_TYPE DescriptorHeapsType) override { native_->CopyDescriptors(NumDestDescriptorRanges, pDestDescriptorRangeStarts, pDestDescriptorRangeSizes, NumSrcDescriptorRanges, pSrcDescriptorRangeStarts, pSrcDescriptorRangeSizes, DescriptorHeapsType); }
    void STDMETHODCALLTYPE CopyDescriptorsSimple(UINT NumDescriptors, D3D12_CPU_DESCRIPTOR_HANDLE DestDescriptorRangeStart, D3D12_CPU_DESCRIPTOR_HANDLE SrcDescriptorRangeStart, D3D12_DESCRIPTOR_HEAP_TYPE DescriptorHeapsType) override { native_->CopyDescriptorsSimple(NumDescriptors, DestDescriptorRangeStart, SrcDescriptorRangeStart, DescriptorHeapsType); }
#if defined(_MSC_VER) || !defined(_WIN32)
    D3D12_RESOURCE_ALLOCATION_INFO STDMETHODCALLTYPE GetResourceAllocationInfo(UINT visibleMask, UINT numResourceDescs, const D3D12_RESOURCE_DESC* pResourceDescs) override { return native_->GetResourceAllocationInfo(visibleMask, numResourceDescs, pResourceDescs); }
#else
    D3D12_RESOURCE_ALLOCATION_INFO* STDMETHODCALLTYPE GetResourceAllocationInfo(D3D12_RESOURCE_ALLOCATION_INFO* RetVal, UINT visibleMask, UINT numResourceDescs, const D3D12_RESOURCE_DESC* pResourceDescs) override { return native_->GetResourceAllocationInfo(RetVal, visibleMask, numResourceDescs, pResourceDescs); }
#endif
#if defined(_MSC_VER) || !defined(_WIN32)
    D3D12_HEAP_PROPERTIES STDMETHODCALLTYPE GetCustomHeapProperties(UINT nodeMask, D3D12_HEAP_TYPE heapType) override { return native_->GetCustomHeapProperties(nodeMask, heapType); }
#else
    D3D12_HEAP_PROPERTIES* STDMETHODCALLTYPE GetCustomHeapProperties(D3D12_HEAP_PROPERTIES* RetVal, UINT nodeMask, D3D12_HEAP_TYPE heapType) override { return native_->GetCustomHeapProperties(RetVal, nodeMask, heapType); }
#endif
    HRESULT STDMETHODCALLTYPE CreateCommittedResource(const D3D12_HEAP_PROPERTIES* pHeapProperties, D3D12_HEAP_FLAGS HeapFlags, const D3D12_RESOURCE_DESC* pDesc, D3D12_RESOURCE_STATES InitialResourceState, const D3D12_CLEAR_VALUE* pOptimizedClearValue, REFIID riidResource, void** ppvResource) override { return native_->CreateCommittedResource(pHeapProperties, HeapFlags, pDesc, InitialResourceState, pOptimizedClearValue, riidResource, ppvResource); }
    HRESULT STDMETHODCALLTYPE CreateHeap(const D3D12_HEAP_DESC* pDesc, REFIID riid, void** ppvHeap) override { return native_->CreateHeap(pDesc, riid, ppvHeap); }
    HRESULT STDMETHODCALLTYPE CreatePlacedResource(ID3D12Heap* pHeap, UINT64 HeapOffset, const D3D12_RESOURCE_DESC* pDesc, D3D12_RESOURCE_STATES InitialState, const D3D12_CLEAR_VALUE* pOptimizedClearValue, REFIID riid, void** ppvResource) override { return native_->CreatePlacedResource(pHeap, HeapOffset, pDesc, InitialState, pOptimizedClearValue, riid, ppvResource); }
    HRESULT STDMETHODCALLTYPE CreateReservedResource(const D3D12_RESOURCE_DESC* pDesc, D3D12_RESOURCE_STATES InitialState, const D3D12_CLEAR_VALUE* pOptimizedClearValue, REFIID riid, void** ppvResource) override { return native_->CreateReservedResource(pDesc, InitialState, pOptimizedClearValue, riid, ppvResource); }
    HRESULT STDMETHODCALLTYPE CreateSharedHandle(ID3D12DeviceChild* pObject, const SECURITY_ATTRIBUTES* pAttributes, DWORD Access, LPCWSTR Name, HANDLE* pHandle) override { return native_->CreateSharedHandle(pObject, pAttributes, Access, Name, pHandle); }
    HRESULT STDMETHODCALLTYPE OpenSharedHandle(HANDLE NTHandle, REFIID riid, void** ppvObj) override { return native_->OpenSharedHandle(NTHandle, riid, ppvObj); }
    HRESULT STDMETHODCALLTYPE OpenSharedHandleByName(LPCWSTR Name, DWORD Access, /*[annotation][out]*/ HANDLE* pNTHandle) override { return native_->OpenSharedHandleByName(Name, Access, pNTHandle); }
    HRESULT STDMETHODCALLTYPE MakeResident(UINT NumObjects, ID3D12Pageable* const* ppObjects) override { return native_->MakeResident(NumObjects, ppObjects); }
    HRESULT STDMETHODCALLTYPE Evict(UINT NumObjects, ID3D12Pageable* const* ppObjects) override { return native_->Evict(NumObjects, ppObjects); }
    HRESULT STDMETHODCALLTYPE CreateFence(UINT64 InitialValue, D3D12_FENCE_FLAGS Flags, REFIID riid, void** ppFence) override { return native_->CreateFence(InitialValue, Flags, riid, ppFence); }
    HRESULT STDMETHODCALLTYPE GetDeviceRemovedReason() override;
    void STDMETHODCALLTYPE GetCopyableFootprints(const D3D12_RESOURCE_DESC* pResourceDesc, UINT FirstSubresource, UINT NumSubresources, UINT64 BaseOffset, D3D12_PLACED_SUBRESOURCE_FOOTPRINT* pLayouts, UINT* pNumRows, UINT64* pRowSizeInBytes, UINT64* pTotalBytes) override { native_->GetCopyableFootprints(pResourceDesc, FirstSubresource, NumSubresources, BaseOffset, pLayouts, pNumRows, pRowSizeInBytes, pTotalBytes); }
    HRESULT STDMETHODCALLTYPE CreateQueryHeap(const D3D12_QUERY_HEAP_DESC* pDesc, REFIID riid, void** ppvHeap) override { return native_->CreateQueryHeap(pDesc, riid, ppvHeap); }
    HRESULT STDMETHODCALLTYPE SetStablePowerState(BOOL Enable) override { return native_->SetStablePowerState(Enable); }
    HRESULT STDMETHODCALLTYPE CreateCommandSignature(const D3D12_COMMAND_SIGNATURE_DESC* pDesc, ID3D12RootSignature* pRootSignature, REFIID riid, void** ppvCommandSignature) override { return native_->CreateCommandSignature(pDesc, pRootSignature, riid, ppvCommandSignature); }
    void STDMETHODCALLTYPE GetResourceTiling(ID3D12Resource* pTiledResource, UINT* pNumTilesForEntireResource, D3D12_PACKED_MIP_INFO* pPackedMipDesc, D3D12_TILE_SHAPE* pStandardTileShapeForNonPackedMips, UINT* pNumSubresourceTilings, UINT FirstSubresourceTilingToGet, D3D12_SUBRESOURCE_TILING* pSubresourceTilingsForNonPackedMips) override { native_->GetResourceTiling(pTiledResource, pNumTilesForEntireResource, pPackedMipDesc, pStandardTileShapeForNonPackedMips, pNumSubresourceTilings, FirstSubresourceTilingToGet, pSubresourceTilingsForNonPackedMips); }
#if defined(_MSC_VER) || !defined(_WIN32)
    LUID STDMETHODCALLTYPE GetAdapterLuid() override { return native_->GetAdapterLuid(); }
#else
    LUID* STDMETHODCALLTYPE GetAdapterLuid(LUID* RetVal) override { return native_->GetAdapterLuid(RetVal); }
#endif
    // ID3D12Device1
    HRESULT STDMETHODCALLTYPE CreatePipelineLibrary(const void* /*pLibraryBlob*/, SIZE_T /*BlobLength*/, REFIID /*riid*/, void** /*ppPipelineLibrary*/) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetEventOnMultipleFenceCompletion(ID3D12Fence* const* /*ppFences*/, const UINT64* /*pFenceValues*/, UINT /*NumFences*/, D3D12_MULTIPLE_FENCE_WAIT_FLAGS /*Flags*/, HANDLE /*hEvent*/) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetResidencyPriority(UINT /*NumObjects*/, ID3D12Pageable* const* /*ppObjects*/, const D3D12_RESIDENCY_PRIORITY* /*pPriorities*/) override { return E_NOTIMPL; }
    // ID3D12Device2
    HRESULT STDMETHODCALLTYPE CreatePipelineState(const D3D12_PIPELINE_STATE_STREAM_DESC* /*pDesc*/, REFIID /*riid*/, void** /*ppPipelineState*/) override { return E_NOTIMPL; }
    // ID3D12Device3
    HRESULT STDMETHODCALLTYPE OpenExistingHeapFromAddress(const void* /*pAddress*/, REFIID /*riid*/, void** /*ppvHeap*/) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE OpenExistingHeapFromFileMapping(HANDLE /*hFileMapping*/, REFIID /*riid*/, void** /*ppvHeap*/) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE EnqueueMakeResident(D3D12_RESIDENCY_FLAGS /*Flags*/, UINT /*NumObjects*/, ID3D12Pageable* const* /*ppObjects*/, ID3D12Fence* /*pFenceToSignal*/, UINT64 /*FenceValueToSignal*/) override { return E_NOTIMPL; }
    // ID3D12Device4
    HRESULT STDMETHODCALLTYPE CreateCommandList1(UINT /*nodeMask*/, D3D12_COMMAND_LIST_TYPE /*type*/, D3D12_COMMAND_LIST_FLAGS /*flags*/, REFIID /*riid*/, void** /*ppCommandList*/) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CreateProtectedResourceSession(const D3D12_PROTECTED_RESOURCE_SESSION_DESC* /*pDesc*/, REFIID /*riid*/, void** /*ppSession*/) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CreateCommittedResource1(const D3D12_HEAP_PROPERTIES* /*pHeapProperties*/, D3D12_HEAP_FLAGS /*HeapFlags*/, const D3D12_RESOURCE_DESC* /*pDesc*/, D3D12_RESOURCE_STATES /*InitialResourceState*/, const D3D12_CLEAR_VALUE* /*pOptimizedClearValue*/, ID3D12ProtectedResourceSession* /*pProtectedSession*/, REFIID /*riidResource*/, void** /*ppvResource*/) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CreateHeap1(const D3D12_HEAP_DESC* /*pDesc*/, ID3D12ProtectedResourceSession* /*pProtectedSession*/, REFIID /*riid*/, void** /*ppvHeap*/) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CreateReservedResource1(const D3D12_RESOURCE_DESC* /*pDesc*/, D3D12_RESOURCE_STATES /*InitialState*/, const D3D12_CLEAR_VALUE* /*pOptimizedClearValue*/, ID3D12ProtectedResourceSession* /*pProtectedSession*/, REFIID /*riid*/, void** /*ppvResource*/) override { return E_NOTIMPL; }
#if defined(_MSC_VER) || !defined(_WIN32)
    D3D12_RESOURCE_ALLOCATION_INFO STDMETHODCALLTYPE GetResourceAllocationInfo1(UINT /*visibleMask*/, UINT /*numResourceDescs*/, const D3D12_RESOURCE_DESC* /*pResourceDescs*/, D3D12_RESOURCE_ALLOCATION_INFO1* /*pResourceAllocationInfo1*/) override { return {}; }
#else
    D3D12_RESOURCE_ALLOCATION_INFO* STDMETHODCALLTYPE GetResourceAllocationInfo1(D3D12_RESOURCE_ALLOCATION_INFO* RetVal, UINT /*visibleMask*/, UINT /*numResourceDescs*/, const D3D12_RESOURCE_DESC* /*pResourceDescs*/, D3D12_RESOURCE_ALLOCATION_INFO1* /*pResourceAllocationInfo1*/) override { if (RetVal) *RetVal = {}; return RetVal; }
#endif
    // ID3D12Device5
    HRESULT STDMETHODCALLTYPE CreateLifetimeTracker(ID3D12LifetimeOwner* /*pOwner*/, REFIID /*riid*/, void** /*ppvTracker*/) override { return E_NOTIMPL; }
    void STDMETHODCALLTYPE RemoveDevice() override {}
    HRESULT STDMETHODCALLTYPE EnumerateMetaCommands(UINT* /*pNumMetaCommands*/, D3D12_META_COMMAND_DESC* /*pDescs*/) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE EnumerateMetaCommandParameters(REFGUID /*CommandId*/, D3D12_META_COMMAND_PARAMETER_STAGE /*Stage*/, UINT* /*pTotalStructureSizeInBytes*/, UINT* /*pParameterCount*/, D3D12_META_COMMAND_PARAMETER_DESC* /*pParameterDescs*/) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CreateMetaCommand(REFGUID /*CommandId*/, UINT /*NodeMask*/, const void* /*pCreationParametersData*/, SIZE_T /*CreationParametersDataSizeInBytes*/, REFIID /*riid*/, void** /*ppMetaCommand*/) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CreateStateObject(const D3D12_STATE_OBJECT_DESC* /*pDesc*/, REFIID /*riid*/, void** /*ppStateObject*/) override { return E_NOTIMPL; }
    void STDMETHODCALLTYPE GetRaytracingAccelerationStructurePrebuildInfo(const D3D12_BUILD_RAYTRACING_ACCELERATION_STRUCTURE_INPUTS* /*pDesc*/, D3D12_RAYTRACING_ACCELERATION_STRUCTURE_PREBUILD_INFO* /*pInfo*/) override {}
    D3D12_DRIVER_MATCHING_IDENTIFIER_STATUS STDMETHODCALLTYPE CheckDriverMatchingIdentifier(D3D12_SERIALIZED_DATA_TYPE /*SerializedDataType*/, const D3D12_SERIALIZED_DATA_DRIVER_MATCHING_IDENTIFIER* /*pIdentifierToCheck*/) override { return D3D12_DRIVER_MATCHING_IDENTIFIER_UNRECOGNIZED; }
    // ID3D12Device6
    HRESULT STDMETHODCALLTYPE SetBackgroundProcessingMode(D3D12_BACKGROUND_PROCESSING_MODE /*Mode*/, D3D12_MEASUREMENTS_ACTION /*MeasurementsAction*/, HANDLE /*hEventToSignalUponCompletion*/, BOOL* /*pbFurtherMeasurementsDesired*/) override { return E_NOTIMPL; }
    // ID3D12Device7
    HRESULT STDMETHODCALLTYPE AddToStateObject(const D3D12_STATE_OBJECT_DESC* /*pAddition*/, ID3D12StateObject* /*pStateObjectToGrowFrom*/, REFIID /*riid*/, void** /*ppNewStateObject*/) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CreateProtectedResourceSession1(const D3D12_PROTECTED_RESOURCE_SESSION_DESC1* /*pDesc*/, REFIID /*riid*/, void** /*ppSession*/) override { return E_NOTIMPL; }
    // ID3D12Device8
#if defined(_MSC_VER) || !defined(_WIN32)
    D3D12_RESOURCE_ALLOCATION_INFO STDMETHODCALLTYPE GetResourceAllocationInfo2(UINT /*visibleMask*/, UINT /*numResourceDescs*/, const D3D12_RESOURCE_DESC1* /*pResourceDescs*/, D3D12_RESOURCE_ALLOCATION_INFO1* /*pResourceAllocationInfo1*/) override { return {}; }
#else
    D3D12_RESOURCE_ALLOCATION_INFO* STDMETHODCALLTYPE GetResourceAllocationInfo2(D3D12_RESOURCE_ALLOCATION_INFO* RetVal, UINT /*visibleMask*/, UINT /*numResourceDescs*/, const D3D12_RESOURCE_DESC1* /*pResourceDescs*/, D3D12_RESOURCE_ALLOCATION_INFO1* /*pResourceAllocationInfo1*/) override { if (RetVal) *RetVal = {}; return RetVal; }
#endif
    HRESULT STDMETHODCALLTYPE CreateCommittedResource2(const D3D12_HEAP_PROPERTIES* /*pHeapProperties*/, D3D12_HEAP_FLAGS /*HeapFlags*/, const D3D12_RESOURCE_DESC1* /*pDesc*/, D3D12_RESOURCE_STATES /*InitialResourceState*/, const D3D12_CLEAR_VALUE* /*pOptimizedClearValue*/, ID3D12ProtectedResourceSession* /*pProtectedSession*/, REFIID /*riidResource*/, void** /*ppvResource*/) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CreatePlacedResource1(ID3D12Heap* /*pHeap*/, UINT64 /*HeapOffset*/, const D3D12_RESOURCE_DESC1* /*pDesc*/, D3D12_RESOURCE_STATES /*InitialState*/, const D3D12_CLEAR_VALUE* /*pOptimizedClearValue*/, REFIID /*riid*/, void** /*ppvResource*/) override { return E_NOTIMPL; }
    void STDMETHODCALLTYPE CreateSamplerFeedbackUnorderedAccessView(ID3D12Resource* /*pTargetedResource*/, ID3D12Resource* /*pFeedbackResource*/, D3D12_CPU_DESCRIPTOR_HANDLE /*DestDescriptor*/) override {}
    void STDMETHODCALLTYPE GetCopyableFootprints1(const D3D12_RESOURCE_DESC1* /*pResourceDesc*/, UINT /*FirstSubresource*/, UINT /*NumSubresources*/, UINT64 /*BaseOffset*/, D3D12_PLACED_SUBRESOURCE_FOOTPRINT* /*pLayouts*/, UINT* /*pNumRows*/, UINT64* /*pRowSizeInBytes*/, UINT64* /*pTotalBytes*/) override {}
    // ID3D12Device9
    HRESULT STDMETHODCALLTYPE CreateShaderCacheSession(const D3D12_SHADER_CACHE_SESSION_DESC* /*pDesc*/, REFIID /*riid*/, void** /*ppvSession*/) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE ShaderCacheControl(D3D12_SHADER_CACHE_KIND_FLAGS /*Kinds*/, D3D12_SHADER_CACHE_CONTROL_FLAGS /*Control*/) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CreateCommandQueue1(const D3D12_COMMAND_QUEUE_DESC* /*pDesc*/, REFIID /*CreatorID*/, REFIID /*riid*/, void** /*ppCommandQueue*/) override { return E_NOTIMPL; }
    // ID3D12Device10
    HRESULT STDMETHODCALLTYPE CreateCommittedResource3(const D3D12_HEAP_PROPERTIES* /*pHeapProperties*/, D3D12_HEAP_FLAGS /*HeapFlags*/, const D3D12_RESOURCE_DESC1* /*pDesc*/, D3D12_BARRIER_LAYOUT /*InitialLayout*/, const D3D12_CLEAR_VALUE* /*pOptimizedClearValue*/, ID3D12ProtectedResourceSession* /*pProtectedSession*/, UINT32 /*NumCastableFormats*/, DXGI_FORMAT* /*pCastableFormats*/, REFIID /*riidResource*/, void** /*ppvResource*/) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CreatePlacedResource2(ID3D12Heap* /*pHeap*/, UINT64 /*HeapOffset*/, const D3D12_RESOURCE_DESC1* /*pDesc*/, D3D12_BARRIER_LAYOUT /*InitialLayout*/, const D3D12_CLEAR_VALUE* /*pOptimizedClearValue*/, UINT32 /*NumCastableFormats*/, DXGI_FORMAT* /*pCastableFormats*/, REFIID /*riid*/, void** /*ppvResource*/) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CreateReservedResource2(const D3D12_RESOURCE_DESC* /*pDesc*/, D3D12_BARRIER_LAYOUT /*InitialLayout*/, const D3D12_CLEAR_VALUE* /*pOptimizedClearValue*/, ID3D12ProtectedResourceSession* /*pProtectedSession*/, UINT32 /*NumCastableFormats*/, DXGI_FORMAT* /*pCastableFormats*/, REFIID /*riid*/, void** /*ppvResource*/) override { return E_NOTIMPL; }
    // clang-format on
    // END generated forwarders

    WatchedDevice& watched()
    {
        return native_;
    }

private:
    WatchedDevice native_;
};

HRESULT STDMETHODCALLTYPE LayerDevice::QueryInterface(REFIID riid, void** ppvObject)
{
    if (ppvObject == nullptr) {
        return E_POINTER;
    }
    if (isDeviceIid(riid)) {
        native_.get()->AddRef();
        *ppvObject = static_cast<ID3D12Device10*>(this);
        return S_OK;
    }
    return native_->QueryInterface(riid, ppvObject);
}

ULONG STDMETHODCALLTYPE LayerDevice::AddRef()
{
    return native_.get()->AddRef();
}

HRESULT STDMETHODCALLTYPE LayerDevice::GetDeviceRemovedReason()
{
    // A driver timeout's reason, as Windows reports it after a TDR.
    return native_.removed() ? DXGI_ERROR_DEVICE_HUNG : native_.get()->GetDeviceRemovedReason();
}

ULONG STDMETHODCALLTYPE LayerDevice::Release()
{
    const ULONG left = native_.get()->Release();
    if (left == 0) {
        delete this;
    }
    return left;
}

using CreateDeviceFn = HRESULT(WINAPI*)(IUnknown*, D3D_FEATURE_LEVEL, REFIID, void**);
CreateDeviceFn originalCreateDevice = nullptr;

HRESULT WINAPI createDeviceHook(IUnknown* adapter, D3D_FEATURE_LEVEL level, REFIID riid, void** out)
{
    if (isModelledAdapter(adapter)) {
        return DXGI_ERROR_UNSUPPORTED; // the modelled integrated GPU makes no Direct3D 12 device here
    }
    // Only the newer interfaces need the layer; everything else is Wine's own answer.
    if (IsEqualIID(riid, __uuidof(IUnknown)) || IsEqualIID(riid, __uuidof(ID3D12Object)) ||
        IsEqualIID(riid, __uuidof(ID3D12Device)) || !LayerDevice::isDeviceIid(riid)) {
        return originalCreateDevice(adapter, level, riid, out);
    }
    if (out == nullptr) {
        return originalCreateDevice(adapter, level, __uuidof(ID3D12Device), nullptr);
    }
    *out = nullptr;
    Microsoft::WRL::ComPtr<ID3D12Device> native;
    const HRESULT hr = originalCreateDevice(adapter, level, __uuidof(ID3D12Device), &native);
    if (FAILED(hr) || !native) {
        return hr;
    }
    ID3D12Device10* layer = wrapDevice(native.Get());
    if (layer == nullptr) {
        return E_OUTOFMEMORY;
    }
    if (deviceLossSwitched()) {
        armDeviceLoss(native.Get());
    }
    native.Detach(); // the wrapper shares the device's reference count from here on
    *out = layer;
    return hr;
}

LayerDevice* layerDeviceOf(ID3D12Device* native)
{
    LayerDevice* layer = nullptr;
    UINT size = sizeof layer;
    if (native == nullptr || FAILED(native->GetPrivateData(layerDeviceSlot, &size, &layer)) ||
        size != sizeof layer) {
        return nullptr;
    }
    return layer;
}

} // namespace

fsr2bridge::HookTable& layerTable()
{
    alignas(fsr2bridge::HookTable) static unsigned char storage[sizeof(fsr2bridge::HookTable)];
    static auto* table = new (storage) fsr2bridge::HookTable();
    return *table;
}

bool hookVirtual(const void* object, int slot, void* detour, void** original)
{
    void* target = (*static_cast<void* const* const*>(object))[slot];
    const MH_STATUS created = layerTable().create(target, detour, original);
    if (created != MH_OK && created != MH_ERROR_ALREADY_CREATED) {
        return false;
    }
    const MH_STATUS enabled = layerTable().enable(target);
    return enabled == MH_OK || enabled == MH_ERROR_ENABLED;
}

bool markRemoved(ID3D12Device* native)
{
    LayerDevice* layer = layerDeviceOf(native);
    return layer != nullptr && layer->watched().markRemoved();
}

bool isRemoved(ID3D12Device* native)
{
    LayerDevice* layer = layerDeviceOf(native);
    return layer != nullptr && layer->watched().removed();
}

Microsoft::WRL::ComPtr<IDXGIFactory4> systemFactory()
{
    using CreateFactory1 = HRESULT(WINAPI*)(REFIID, void**);
    const HMODULE dxgi = LoadLibraryW(L"dxgi.dll");
    auto create = dxgi != nullptr ? reinterpret_cast<CreateFactory1>(
                                        reinterpret_cast<void*>(GetProcAddress(dxgi, "CreateDXGIFactory1")))
                                  : nullptr;
    Microsoft::WRL::ComPtr<IDXGIFactory4> factory;
    if (create != nullptr) {
        create(IID_PPV_ARGS(&factory));
    }
    return factory;
}

Microsoft::WRL::ComPtr<ID3D12Device> deviceOf(ID3D12DeviceChild* child)
{
    Microsoft::WRL::ComPtr<ID3D12Device> device;
    if (child != nullptr) {
        child->GetDevice(IID_PPV_ARGS(&device));
    }
    return device;
}

std::uint64_t usesOfRemovedDevices()
{
    return removedDeviceUses.load();
}

namespace {

// ---- the refused non-waiting presents ----

using PresentFn = HRESULT(STDMETHODCALLTYPE*)(IDXGISwapChain*, UINT, UINT);
using Present1Fn = HRESULT(STDMETHODCALLTYPE*)(IDXGISwapChain1*, UINT, UINT, const DXGI_PRESENT_PARAMETERS*);
PresentFn systemPresent = nullptr;
Present1Fn systemPresent1 = nullptr;
std::atomic<bool> lastPresentRefused{false};

// A DO_NOT_WAIT present is refused unless it retries a refused one.
bool refuse(UINT flags)
{
    if ((flags & DXGI_PRESENT_DO_NOT_WAIT) == 0 || (flags & DXGI_PRESENT_TEST) != 0) {
        lastPresentRefused = false;
        return false;
    }
    const bool retry = lastPresentRefused.load();
    lastPresentRefused = !retry;
    return !retry;
}

HRESULT STDMETHODCALLTYPE refusingPresent(IDXGISwapChain* swapChain, UINT sync, UINT flags)
{
    return refuse(flags) ? DXGI_ERROR_WAS_STILL_DRAWING : systemPresent(swapChain, sync, flags);
}

HRESULT STDMETHODCALLTYPE refusingPresent1(IDXGISwapChain1* swapChain, UINT sync, UINT flags,
                                           const DXGI_PRESENT_PARAMETERS* parameters)
{
    return refuse(flags) ? DXGI_ERROR_WAS_STILL_DRAWING : systemPresent1(swapChain, sync, flags, parameters);
}

bool hookSystemMethod(void* target, void* detour, void** original)
{
    return target != nullptr && layerTable().create(target, detour, original) == MH_OK &&
           layerTable().enable(target) == MH_OK;
}

// ---- system factories that take a wrapped queue ----

// Windows' DXGI takes any object that answers ID3D12CommandQueue for a swap chain; Wine's reads the
// object's memory as its own queue. The real queue behind a stand-in Streamline queue (also behind a
// proxy that forwards unknown identifiers to it) is what its slGetNativeInterface gives.
struct QueueForTheSystem {
    explicit QueueForTheSystem(IUnknown* given) : queue(given)
    {
        static constexpr GUID standinQueue = {
            0x5A1D7E2B, 0x3C4F, 0x4E8A, {0x9B, 0x6D, 0x0F, 0x1E, 0x2D, 0x3C, 0x4B, 0x5A}};
        const HMODULE streamline = GetModuleHandleW(L"sl.interposer.dll");
        auto* getNative =
            streamline ? fsr2bridge::exportedFunction<int(void*, void**)>(streamline, "slGetNativeInterface")
                       : nullptr;
        Microsoft::WRL::ComPtr<IUnknown> wrapper;
        if (given == nullptr || getNative == nullptr ||
            FAILED(given->QueryInterface(standinQueue, reinterpret_cast<void**>(wrapper.GetAddressOf()))))
            return;
        void* native = nullptr;
        if (getNative(wrapper.Get(), &native) == 0 && native != nullptr) {
            *real.ReleaseAndGetAddressOf() = static_cast<IUnknown*>(native);
            queue = real.Get();
        }
    }
    IUnknown* queue;
    Microsoft::WRL::ComPtr<IUnknown> real;
};

using CreateSwapChainFn = HRESULT(STDMETHODCALLTYPE*)(IDXGIFactory*, IUnknown*, DXGI_SWAP_CHAIN_DESC*,
                                                      IDXGISwapChain**);
using CreateSwapChainForHwndFn = HRESULT(STDMETHODCALLTYPE*)(IDXGIFactory2*, IUnknown*, HWND,
                                                             const DXGI_SWAP_CHAIN_DESC1*,
                                                             const DXGI_SWAP_CHAIN_FULLSCREEN_DESC*,
                                                             IDXGIOutput*, IDXGISwapChain1**);
CreateSwapChainFn systemCreateSwapChain = nullptr;
CreateSwapChainForHwndFn systemCreateSwapChainForHwnd = nullptr;

HRESULT STDMETHODCALLTYPE createSwapChainWithAnyQueue(IDXGIFactory* factory, IUnknown* queue,
                                                      DXGI_SWAP_CHAIN_DESC* desc, IDXGISwapChain** out)
{
    return systemCreateSwapChain(factory, QueueForTheSystem(queue).queue, desc, out);
}

HRESULT STDMETHODCALLTYPE createSwapChainForHwndWithAnyQueue(
    IDXGIFactory2* factory, IUnknown* queue, HWND window, const DXGI_SWAP_CHAIN_DESC1* desc,
    const DXGI_SWAP_CHAIN_FULLSCREEN_DESC* fullscreen, IDXGIOutput* output, IDXGISwapChain1** out)
{
    return systemCreateSwapChainForHwnd(factory, QueueForTheSystem(queue).queue, window, desc, fullscreen,
                                        output, out);
}

} // namespace

const SystemMethods& systemMethods()
{
    static const SystemMethods methods = [] {
        using Microsoft::WRL::ComPtr;
        SystemMethods m;
        ComPtr<IDXGIFactory2> factory;
        ComPtr<ID3D12Device> device;
        ComPtr<ID3D12CommandQueue> queue;
        ComPtr<IDXGISwapChain1> swapChain;
        HWND window = CreateWindowExA(0, "STATIC", "layer", WS_OVERLAPPED, 0, 0, 64, 64, nullptr, nullptr,
                                      nullptr, nullptr);
        D3D12_COMMAND_QUEUE_DESC queueDesc{};
        DXGI_SWAP_CHAIN_DESC1 desc{};
        desc.Width = 64;
        desc.Height = 64;
        desc.Format = DXGI_FORMAT_R8G8B8A8_UNORM;
        desc.SampleDesc.Count = 1;
        desc.BufferUsage = DXGI_USAGE_RENDER_TARGET_OUTPUT;
        desc.BufferCount = 2;
        desc.SwapEffect = DXGI_SWAP_EFFECT_FLIP_DISCARD;
        m.found = window && SUCCEEDED(CreateDXGIFactory2(0, IID_PPV_ARGS(&factory))) &&
                  SUCCEEDED(D3D12CreateDevice(nullptr, D3D_FEATURE_LEVEL_11_0, IID_PPV_ARGS(&device))) &&
                  SUCCEEDED(device->CreateCommandQueue(&queueDesc, IID_PPV_ARGS(&queue))) &&
                  SUCCEEDED(factory->CreateSwapChainForHwnd(queue.Get(), window, &desc, nullptr, nullptr,
                                                            &swapChain));
        if (m.found) {
            void* const* swapChainTable = *reinterpret_cast<void* const* const*>(swapChain.Get());
            void* const* factoryTable = *reinterpret_cast<void* const* const*>(factory.Get());
            m.present = swapChainTable[8];
            m.present1 = swapChainTable[22];
            m.createSwapChain = factoryTable[10];
            m.createSwapChainForHwnd = factoryTable[15];
            // ID3D12CommandQueue: IUnknown 3, ID3D12Object 4, ID3D12DeviceChild 1, two tile mappings.
            m.executeCommandLists = (*reinterpret_cast<void* const* const*>(queue.Get()))[10];
        }
        swapChain.Reset();
        if (window)
            DestroyWindow(window);
        return m;
    }();
    return methods;
}

bool refuseNonWaitingPresentsOnce()
{
    static const bool installed = [] {
        const SystemMethods& m = systemMethods();
        return m.found &&
               hookSystemMethod(m.present, reinterpret_cast<void*>(&refusingPresent),
                                reinterpret_cast<void**>(&systemPresent)) &&
               hookSystemMethod(m.present1, reinterpret_cast<void*>(&refusingPresent1),
                                reinterpret_cast<void**>(&systemPresent1));
    }();
    return installed;
}

bool acceptWrappedQueuesInSystemFactories()
{
    static const bool installed = [] {
        const SystemMethods& m = systemMethods();
        return m.found &&
               hookSystemMethod(m.createSwapChain, reinterpret_cast<void*>(&createSwapChainWithAnyQueue),
                                reinterpret_cast<void**>(&systemCreateSwapChain)) &&
               hookSystemMethod(m.createSwapChainForHwnd,
                                reinterpret_cast<void*>(&createSwapChainForHwndWithAnyQueue),
                                reinterpret_cast<void**>(&systemCreateSwapChainForHwnd));
    }();
    return installed;
}

bool installDeviceLayer()
{
    static const bool installed = [] {
        if (LoadLibraryW(L"d3d12.dll") == nullptr) {
            return false;
        }
        void* target = nullptr;
        if (layerTable().createForExport(L"d3d12.dll", "D3D12CreateDevice",
                                         reinterpret_cast<void*>(&createDeviceHook),
                                         reinterpret_cast<void**>(&originalCreateDevice), &target) != MH_OK) {
            return false;
        }
        return layerTable().enable(target) == MH_OK && armDeviceLossAtInstall() && installAdapterModel();
    }();
    return installed;
}

ID3D12Device10* wrapDevice(ID3D12Device* native)
{
    auto* layer = native == nullptr ? nullptr : new (std::nothrow) LayerDevice(native);
    if (layer != nullptr) {
        native->SetPrivateData(layerDeviceSlot, sizeof layer, &layer);
    }
    return layer;
}

bool isLayerDevice(IUnknown* device)
{
    return device != nullptr && LayerDevice::vtable != nullptr &&
           *reinterpret_cast<void**>(device) == LayerDevice::vtable;
}

} // namespace testworld
