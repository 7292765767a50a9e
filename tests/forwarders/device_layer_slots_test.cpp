// The device layer's generated forwarders over a recording stand-in for Wine's device: every
// ID3D12Device slot reaches the same slot with the same arguments; every newer slot answers by
// itself and never reaches the device.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "common/graphics.h"
#include "testbed/devicelayer/device_layer.h"
#include "tests/proxies/recording_fake.h"
#include "tests/proxies/slot_tables.h"

namespace {

int slotNamed(const char* name)
{
    const auto found = std::find_if(std::begin(deviceSlots), std::end(deviceSlots),
                                    [&](const SlotInfo& slot) { return std::strcmp(slot.name, name) == 0; });
    return static_cast<int>(found - std::begin(deviceSlots));
}

// Slots whose answer writes through their first argument: called typed, below.
bool answersThroughResult(int slot)
{
    return slot == slotNamed("GetResourceAllocationInfo1") || slot == slotNamed("GetResourceAllocationInfo2");
}

TEST(DeviceLayerSlots, DeviceSlotsForwardNewerSlotsAnswer)
{
    fakes::RecordingObject native;
    ID3D12Device10* layer = testworld::wrapDevice(native.as<ID3D12Device>());
    ASSERT_NE(layer, nullptr);
    const int firstNewer = slotNamed("GetAdapterLuid") + 1;
    ASSERT_EQ(deviceSlots[firstNewer].name, std::string("CreatePipelineLibrary"));
    for (int slot = 1; slot < static_cast<int>(std::size(deviceSlots)); ++slot) { // 0: own QueryInterface
        if (answersThroughResult(slot))
            continue;
        SCOPED_TRACE(std::string(deviceSlots[slot].name) + " (slot " + std::to_string(slot) + ")");
        fakes::callLog().clear();
        fakes::callSlot(layer, slot);
        if (slot >= firstNewer) {
            EXPECT_TRUE(fakes::callLog().empty());
            continue;
        }
        ASSERT_EQ(fakes::callLog().size(), 1u);
        const fakes::Call& call = fakes::callLog()[0];
        EXPECT_EQ(call.object, &native);
        EXPECT_EQ(call.slot, slot);
        const int checked = std::min(deviceSlots[slot].parameterCount, fakes::recordedArguments);
        for (int a = 0; a < checked; ++a)
            EXPECT_TRUE(fakes::sentinelMatches(call.arguments[a], a)) << "argument " << a;
    }
}

TEST(DeviceLayerSlots, NewerSlotsAnswerNotImplementedOrEmpty)
{
    fakes::RecordingObject native;
    ID3D12Device10* layer = testworld::wrapDevice(native.as<ID3D12Device>());
    ASSERT_NE(layer, nullptr);
    fakes::callLog().clear();
    struct Answer {
        const char* slot;
        HRESULT result;
    };
    const Answer answers[] = {
        {"CreatePipelineLibrary", E_NOTIMPL},
        {"CreateStateObject", E_NOTIMPL},
        {"CreateCommandQueue1", E_NOTIMPL},
        {"CheckDriverMatchingIdentifier", D3D12_DRIVER_MATCHING_IDENTIFIER_UNRECOGNIZED},
    };
    for (const Answer& answer : answers) {
        SCOPED_TRACE(answer.slot);
        EXPECT_EQ(static_cast<HRESULT>(fakes::callSlot(layer, slotNamed(answer.slot))), answer.result);
    }
    D3D12_RESOURCE_ALLOCATION_INFO info = {4096, 256};
    EXPECT_EQ(layer->GetResourceAllocationInfo1(&info, 0, 0, nullptr, nullptr), &info);
    EXPECT_EQ(info.SizeInBytes, 0u);
    EXPECT_EQ(info.Alignment, 0u);
    info = {4096, 256};
    EXPECT_EQ(layer->GetResourceAllocationInfo2(&info, 0, 0, nullptr, nullptr), &info);
    EXPECT_EQ(info.SizeInBytes, 0u);
    EXPECT_TRUE(fakes::callLog().empty());
}

} // namespace
