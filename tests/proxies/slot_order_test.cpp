// Every slot of every proxy, called by index, must reach the same-numbered slot of the right inner object
// with the same arguments. The inner objects are recording fakes; special slots have their own tests.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>

#include "proxies/D3D12CommandQueueProxy.h"
#include "proxies/D3D12DeviceProxy.h"
#include "proxies/DXGIFactoryProxy.h"
#include "proxies/DXGISwapChainProxy.h"
#include "recording_fake.h"
#include "tests/proxies/slot_tables.h"

using fakes::RecordingObject;

namespace {

struct ProxyCase {
    const char* name;
    std::span<const SlotInfo> slots;
    std::initializer_list<int> specialSlots;  // own behaviour, tested elsewhere
    std::initializer_list<int> upgradedSlots; // forwarded to `upgraded` rather than `native`/`inner`
    std::function<void*(RecordingObject& upgraded, RecordingObject& native)> make;
};

bool contains(std::initializer_list<int> list, int value)
{
    return std::find(list.begin(), list.end(), value) != list.end();
}

const ProxyCase proxyCases[] = {
    {"D3D12CommandQueueProxy",
     queueSlots,
     {0, 10},
     {},
     [](RecordingObject&, RecordingObject& inner) -> void* {
         return new fsr2bridge::D3D12CommandQueueProxy(inner.as<ID3D12CommandQueue>());
     }},
    {"D3D12DeviceProxy",
     deviceSlots,
     {0, 1, 2, 8, 18, 75},
     {},
     [](RecordingObject& upgraded, RecordingObject& native) -> void* {
         return new fsr2bridge::D3D12DeviceProxy(upgraded.as<ID3D12Device10>(), native.as<ID3D12Device10>());
     }},
    {"DXGISwapChainProxy",
     swapChainSlots,
     {0, 1, 2, 8, 22},
     {9, 10, 13, 36, 39},
     [](RecordingObject& upgraded, RecordingObject& native) -> void* {
         return new fsr2bridge::DXGISwapChainProxy(upgraded.as<IDXGISwapChain4>(),
                                                   native.as<IDXGISwapChain4>());
     }},
    {"DXGIFactoryProxy",
     factorySlots,
     {0, 1, 2, 10, 15, 16},
     {},
     [](RecordingObject& upgraded, RecordingObject& native) -> void* {
         return new fsr2bridge::DXGIFactoryProxy(upgraded.as<IDXGIFactory7>(), native.as<IDXGIFactory7>());
     }},
};

class SlotOrder : public testing::TestWithParam<ProxyCase> {};

TEST_P(SlotOrder, EverySlotReachesTheSameSlotOfTheRightInnerObject)
{
    const ProxyCase& c = GetParam();
    RecordingObject upgraded, native;
    void* proxy = c.make(upgraded, native);
    for (int slot = 0; slot < static_cast<int>(c.slots.size()); ++slot) {
        if (contains(c.specialSlots, slot))
            continue;
        SCOPED_TRACE(std::string(c.name) + "::" + c.slots[slot].name + " (slot " + std::to_string(slot) +
                     ")");
        fakes::callLog().clear();
        fakes::callSlot(proxy, slot);
        ASSERT_EQ(fakes::callLog().size(), 1u);
        const fakes::Call& call = fakes::callLog()[0];
        EXPECT_EQ(call.slot, slot);
        EXPECT_EQ(call.object, contains(c.upgradedSlots, slot) ? &upgraded : &native);
        const int checked = std::min(c.slots[slot].parameterCount, fakes::recordedArguments);
        for (int a = 0; a < checked; ++a)
            EXPECT_TRUE(fakes::sentinelMatches(call.arguments[a], a)) << "argument " << a;
    }
}

INSTANTIATE_TEST_SUITE_P(Proxies, SlotOrder, testing::ValuesIn(proxyCases),
                         [](const testing::TestParamInfo<ProxyCase>& info) {
                             return std::string(info.param.name);
                         });

} // namespace
