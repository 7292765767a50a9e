// Independent of the generator: the virtual-table index of every proxy method, read from its member pointer,
// against slot numbers written down by hand from the interfaces' published order. A header that orders a
// method differently, or a proxy that declares a method outside its interface's order, fails here even when
// the generated tables agree with themselves.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <set>
#include <span>
#include <string>

#include "proxies/D3D12CommandQueueProxy.h"
#include "proxies/D3D12DeviceProxy.h"
#include "proxies/DXGIFactoryProxy.h"
#include "proxies/DXGISwapChainProxy.h"
#include "tests/proxies/slot_tables.h"

namespace {

// The virtual-table index a pointer to a virtual member function names; -1 for anything else. The
// representation is the Itanium C++ ABI's (GCC and Clang for MinGW): the first word holds one plus the
// slot's byte offset.
template <class Member> std::ptrdiff_t slotOf(Member member)
{
#if defined(__GNUC__) && !defined(_MSC_VER)
    static_assert(sizeof(Member) == 2 * sizeof(std::uintptr_t));
    std::uintptr_t words[2];
    std::memcpy(words, &member, sizeof words);
    if ((words[0] & 1) == 0)
        return -1;
    return static_cast<std::ptrdiff_t>((words[0] - 1) / sizeof(void*));
#else
    (void)member;
    return -2; // the MSVC representation is a thunk address; this check runs with MinGW only
#endif
}

struct Slot {
    const char* name;
    std::ptrdiff_t found;
    std::ptrdiff_t expected;
};

#define SLOT(Class, method, number)                                                                          \
    Slot                                                                                                     \
    {                                                                                                        \
#method, slotOf(&fsr2bridge::Class::method), number                                                  \
    }

const Slot queueSlotsByHand[] = {
    SLOT(D3D12CommandQueueProxy, QueryInterface, 0),
    SLOT(D3D12CommandQueueProxy, AddRef, 1),
    SLOT(D3D12CommandQueueProxy, Release, 2),
    SLOT(D3D12CommandQueueProxy, GetPrivateData, 3),
    SLOT(D3D12CommandQueueProxy, SetPrivateData, 4),
    SLOT(D3D12CommandQueueProxy, SetPrivateDataInterface, 5),
    SLOT(D3D12CommandQueueProxy, SetName, 6),
    SLOT(D3D12CommandQueueProxy, GetDevice, 7),
    SLOT(D3D12CommandQueueProxy, UpdateTileMappings, 8),
    SLOT(D3D12CommandQueueProxy, CopyTileMappings, 9),
    SLOT(D3D12CommandQueueProxy, ExecuteCommandLists, 10),
    SLOT(D3D12CommandQueueProxy, SetMarker, 11),
    SLOT(D3D12CommandQueueProxy, BeginEvent, 12),
    SLOT(D3D12CommandQueueProxy, EndEvent, 13),
    SLOT(D3D12CommandQueueProxy, Signal, 14),
    SLOT(D3D12CommandQueueProxy, Wait, 15),
    SLOT(D3D12CommandQueueProxy, GetTimestampFrequency, 16),
    SLOT(D3D12CommandQueueProxy, GetClockCalibration, 17),
    SLOT(D3D12CommandQueueProxy, GetDesc, 18),
};

const Slot deviceSlotsByHand[] = {
    SLOT(D3D12DeviceProxy, QueryInterface, 0),
    SLOT(D3D12DeviceProxy, AddRef, 1),
    SLOT(D3D12DeviceProxy, Release, 2),
    SLOT(D3D12DeviceProxy, GetPrivateData, 3),
    SLOT(D3D12DeviceProxy, SetPrivateData, 4),
    SLOT(D3D12DeviceProxy, SetPrivateDataInterface, 5),
    SLOT(D3D12DeviceProxy, SetName, 6),
    SLOT(D3D12DeviceProxy, GetNodeCount, 7),
    SLOT(D3D12DeviceProxy, CreateCommandQueue, 8),
    SLOT(D3D12DeviceProxy, CreateCommandAllocator, 9),
    SLOT(D3D12DeviceProxy, CreateGraphicsPipelineState, 10),
    SLOT(D3D12DeviceProxy, CreateComputePipelineState, 11),
    SLOT(D3D12DeviceProxy, CreateCommandList, 12),
    SLOT(D3D12DeviceProxy, CheckFeatureSupport, 13),
    SLOT(D3D12DeviceProxy, CreateDescriptorHeap, 14),
    SLOT(D3D12DeviceProxy, GetDescriptorHandleIncrementSize, 15),
    SLOT(D3D12DeviceProxy, CreateRootSignature, 16),
    SLOT(D3D12DeviceProxy, CreateConstantBufferView, 17),
    SLOT(D3D12DeviceProxy, CreateShaderResourceView, 18),
    SLOT(D3D12DeviceProxy, CreateUnorderedAccessView, 19),
    SLOT(D3D12DeviceProxy, CreateRenderTargetView, 20),
    SLOT(D3D12DeviceProxy, CreateDepthStencilView, 21),
    SLOT(D3D12DeviceProxy, CreateSampler, 22),
    SLOT(D3D12DeviceProxy, CopyDescriptors, 23),
    SLOT(D3D12DeviceProxy, CopyDescriptorsSimple, 24),
    SLOT(D3D12DeviceProxy, GetResourceAllocationInfo, 25),
    SLOT(D3D12DeviceProxy, GetCustomHeapProperties, 26),
    SLOT(D3D12DeviceProxy, CreateCommittedResource, 27),
    SLOT(D3D12DeviceProxy, CreateHeap, 28),
    SLOT(D3D12DeviceProxy, CreatePlacedResource, 29),
    SLOT(D3D12DeviceProxy, CreateReservedResource, 30),
    SLOT(D3D12DeviceProxy, CreateSharedHandle, 31),
    SLOT(D3D12DeviceProxy, OpenSharedHandle, 32),
    SLOT(D3D12DeviceProxy, OpenSharedHandleByName, 33),
    SLOT(D3D12DeviceProxy, MakeResident, 34),
    SLOT(D3D12DeviceProxy, Evict, 35),
    SLOT(D3D12DeviceProxy, CreateFence, 36),
    SLOT(D3D12DeviceProxy, GetDeviceRemovedReason, 37),
    SLOT(D3D12DeviceProxy, GetCopyableFootprints, 38),
    SLOT(D3D12DeviceProxy, CreateQueryHeap, 39),
    SLOT(D3D12DeviceProxy, SetStablePowerState, 40),
    SLOT(D3D12DeviceProxy, CreateCommandSignature, 41),
    SLOT(D3D12DeviceProxy, GetResourceTiling, 42),
    SLOT(D3D12DeviceProxy, GetAdapterLuid, 43),
    SLOT(D3D12DeviceProxy, CreatePipelineLibrary, 44),
    SLOT(D3D12DeviceProxy, SetEventOnMultipleFenceCompletion, 45),
    SLOT(D3D12DeviceProxy, SetResidencyPriority, 46),
    SLOT(D3D12DeviceProxy, CreatePipelineState, 47),
    SLOT(D3D12DeviceProxy, OpenExistingHeapFromAddress, 48),
    SLOT(D3D12DeviceProxy, OpenExistingHeapFromFileMapping, 49),
    SLOT(D3D12DeviceProxy, EnqueueMakeResident, 50),
    SLOT(D3D12DeviceProxy, CreateCommandList1, 51),
    SLOT(D3D12DeviceProxy, CreateProtectedResourceSession, 52),
    SLOT(D3D12DeviceProxy, CreateCommittedResource1, 53),
    SLOT(D3D12DeviceProxy, CreateHeap1, 54),
    SLOT(D3D12DeviceProxy, CreateReservedResource1, 55),
    SLOT(D3D12DeviceProxy, GetResourceAllocationInfo1, 56),
    SLOT(D3D12DeviceProxy, CreateLifetimeTracker, 57),
    SLOT(D3D12DeviceProxy, RemoveDevice, 58),
    SLOT(D3D12DeviceProxy, EnumerateMetaCommands, 59),
    SLOT(D3D12DeviceProxy, EnumerateMetaCommandParameters, 60),
    SLOT(D3D12DeviceProxy, CreateMetaCommand, 61),
    SLOT(D3D12DeviceProxy, CreateStateObject, 62),
    SLOT(D3D12DeviceProxy, GetRaytracingAccelerationStructurePrebuildInfo, 63),
    SLOT(D3D12DeviceProxy, CheckDriverMatchingIdentifier, 64),
    SLOT(D3D12DeviceProxy, SetBackgroundProcessingMode, 65),
    SLOT(D3D12DeviceProxy, AddToStateObject, 66),
    SLOT(D3D12DeviceProxy, CreateProtectedResourceSession1, 67),
    SLOT(D3D12DeviceProxy, GetResourceAllocationInfo2, 68),
    SLOT(D3D12DeviceProxy, CreateCommittedResource2, 69),
    SLOT(D3D12DeviceProxy, CreatePlacedResource1, 70),
    SLOT(D3D12DeviceProxy, CreateSamplerFeedbackUnorderedAccessView, 71),
    SLOT(D3D12DeviceProxy, GetCopyableFootprints1, 72),
    SLOT(D3D12DeviceProxy, CreateShaderCacheSession, 73),
    SLOT(D3D12DeviceProxy, ShaderCacheControl, 74),
    SLOT(D3D12DeviceProxy, CreateCommandQueue1, 75),
    SLOT(D3D12DeviceProxy, CreateCommittedResource3, 76),
    SLOT(D3D12DeviceProxy, CreatePlacedResource2, 77),
    SLOT(D3D12DeviceProxy, CreateReservedResource2, 78),
};

const Slot factorySlotsByHand[] = {
    SLOT(DXGIFactoryProxy, QueryInterface, 0),
    SLOT(DXGIFactoryProxy, AddRef, 1),
    SLOT(DXGIFactoryProxy, Release, 2),
    SLOT(DXGIFactoryProxy, SetPrivateData, 3),
    SLOT(DXGIFactoryProxy, SetPrivateDataInterface, 4),
    SLOT(DXGIFactoryProxy, GetPrivateData, 5),
    SLOT(DXGIFactoryProxy, GetParent, 6),
    SLOT(DXGIFactoryProxy, EnumAdapters, 7),
    SLOT(DXGIFactoryProxy, MakeWindowAssociation, 8),
    SLOT(DXGIFactoryProxy, GetWindowAssociation, 9),
    SLOT(DXGIFactoryProxy, CreateSwapChain, 10),
    SLOT(DXGIFactoryProxy, CreateSoftwareAdapter, 11),
    SLOT(DXGIFactoryProxy, EnumAdapters1, 12),
    SLOT(DXGIFactoryProxy, IsCurrent, 13),
    SLOT(DXGIFactoryProxy, IsWindowedStereoEnabled, 14),
    SLOT(DXGIFactoryProxy, CreateSwapChainForHwnd, 15),
    SLOT(DXGIFactoryProxy, CreateSwapChainForCoreWindow, 16),
    SLOT(DXGIFactoryProxy, GetSharedResourceAdapterLuid, 17),
    SLOT(DXGIFactoryProxy, RegisterStereoStatusWindow, 18),
    SLOT(DXGIFactoryProxy, RegisterStereoStatusEvent, 19),
    SLOT(DXGIFactoryProxy, UnregisterStereoStatus, 20),
    SLOT(DXGIFactoryProxy, RegisterOcclusionStatusWindow, 21),
    SLOT(DXGIFactoryProxy, RegisterOcclusionStatusEvent, 22),
    SLOT(DXGIFactoryProxy, UnregisterOcclusionStatus, 23),
    SLOT(DXGIFactoryProxy, CreateSwapChainForComposition, 24),
    SLOT(DXGIFactoryProxy, GetCreationFlags, 25),
    SLOT(DXGIFactoryProxy, EnumAdapterByLuid, 26),
    SLOT(DXGIFactoryProxy, EnumWarpAdapter, 27),
    SLOT(DXGIFactoryProxy, CheckFeatureSupport, 28),
    SLOT(DXGIFactoryProxy, EnumAdapterByGpuPreference, 29),
    SLOT(DXGIFactoryProxy, RegisterAdaptersChangedEvent, 30),
    SLOT(DXGIFactoryProxy, UnregisterAdaptersChangedEvent, 31),
};

const Slot swapChainSlotsByHand[] = {
    SLOT(DXGISwapChainProxy, QueryInterface, 0),
    SLOT(DXGISwapChainProxy, AddRef, 1),
    SLOT(DXGISwapChainProxy, Release, 2),
    SLOT(DXGISwapChainProxy, SetPrivateData, 3),
    SLOT(DXGISwapChainProxy, SetPrivateDataInterface, 4),
    SLOT(DXGISwapChainProxy, GetPrivateData, 5),
    SLOT(DXGISwapChainProxy, GetParent, 6),
    SLOT(DXGISwapChainProxy, GetDevice, 7),
    SLOT(DXGISwapChainProxy, Present, 8),
    SLOT(DXGISwapChainProxy, GetBuffer, 9),
    SLOT(DXGISwapChainProxy, SetFullscreenState, 10),
    SLOT(DXGISwapChainProxy, GetFullscreenState, 11),
    SLOT(DXGISwapChainProxy, GetDesc, 12),
    SLOT(DXGISwapChainProxy, ResizeBuffers, 13),
    SLOT(DXGISwapChainProxy, ResizeTarget, 14),
    SLOT(DXGISwapChainProxy, GetContainingOutput, 15),
    SLOT(DXGISwapChainProxy, GetFrameStatistics, 16),
    SLOT(DXGISwapChainProxy, GetLastPresentCount, 17),
    SLOT(DXGISwapChainProxy, GetDesc1, 18),
    SLOT(DXGISwapChainProxy, GetFullscreenDesc, 19),
    SLOT(DXGISwapChainProxy, GetHwnd, 20),
    SLOT(DXGISwapChainProxy, GetCoreWindow, 21),
    SLOT(DXGISwapChainProxy, Present1, 22),
    SLOT(DXGISwapChainProxy, IsTemporaryMonoSupported, 23),
    SLOT(DXGISwapChainProxy, GetRestrictToOutput, 24),
    SLOT(DXGISwapChainProxy, SetBackgroundColor, 25),
    SLOT(DXGISwapChainProxy, GetBackgroundColor, 26),
    SLOT(DXGISwapChainProxy, SetRotation, 27),
    SLOT(DXGISwapChainProxy, GetRotation, 28),
    SLOT(DXGISwapChainProxy, SetSourceSize, 29),
    SLOT(DXGISwapChainProxy, GetSourceSize, 30),
    SLOT(DXGISwapChainProxy, SetMaximumFrameLatency, 31),
    SLOT(DXGISwapChainProxy, GetMaximumFrameLatency, 32),
    SLOT(DXGISwapChainProxy, GetFrameLatencyWaitableObject, 33),
    SLOT(DXGISwapChainProxy, SetMatrixTransform, 34),
    SLOT(DXGISwapChainProxy, GetMatrixTransform, 35),
    SLOT(DXGISwapChainProxy, GetCurrentBackBufferIndex, 36),
    SLOT(DXGISwapChainProxy, CheckColorSpaceSupport, 37),
    SLOT(DXGISwapChainProxy, SetColorSpace1, 38),
    SLOT(DXGISwapChainProxy, ResizeBuffers1, 39),
    SLOT(DXGISwapChainProxy, SetHDRMetaData, 40),
};

#undef SLOT

struct ProxyTable {
    const char* name;
    std::span<const Slot> byHand;
    std::span<const SlotInfo> generated;
};

const ProxyTable proxyTables[] = {
    {"D3D12CommandQueueProxy", queueSlotsByHand, queueSlots},
    {"D3D12DeviceProxy", deviceSlotsByHand, deviceSlots},
    {"DXGIFactoryProxy", factorySlotsByHand, factorySlots},
    {"DXGISwapChainProxy", swapChainSlotsByHand, swapChainSlots},
};

class VtableSlots : public testing::TestWithParam<ProxyTable> {};

TEST_P(VtableSlots, EveryMethodSitsInTheSlotWrittenDownForIt)
{
#if !defined(__GNUC__) || defined(_MSC_VER)
    GTEST_SKIP() << "reads member pointers as the Itanium C++ ABI lays them out";
#endif
    const ProxyTable& table = GetParam();
    std::set<std::ptrdiff_t> covered;
    for (const Slot& slot : table.byHand) {
        SCOPED_TRACE(slot.name);
        EXPECT_EQ(slot.found, slot.expected);
        covered.insert(slot.expected);
    }
    // The list by hand names every slot once, and as many as the class's interface has.
    EXPECT_EQ(covered.size(), table.byHand.size());
    EXPECT_EQ(table.byHand.size(), table.generated.size());
    if (!covered.empty()) {
        EXPECT_EQ(*covered.begin(), 0);
        EXPECT_EQ(*covered.rbegin(), static_cast<std::ptrdiff_t>(table.byHand.size()) - 1);
    }
}

INSTANTIATE_TEST_SUITE_P(Proxies, VtableSlots, testing::ValuesIn(proxyTables),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
