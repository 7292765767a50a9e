// The creation hooks' decisions: which devices and factories are wrapped, attached or passed through, the
// single Streamline load, and the module's attach failing without d3d12.dll.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../attach/attach_fakes.h"
#include "../proxies/recording_fake.h"
#include "entry/creation_hooks.h"
#include "loader_fakes.h"
#include "proxies/D3D12DeviceProxy.h"
#include "proxies/DXGIFactoryProxy.h"
#include "streamline/streamline_api.h"
#include "testbed/world/box_catcher.h"

using fakes::RecordingObject;

namespace {

RecordingObject upgradedObject;
int upgradeResult = 0;
int upgrades = 0;

sl::Result fakeUpgrade(void** object)
{
    ++upgrades;
    if (upgradeResult == 0)
        *object = &upgradedObject;
    return static_cast<sl::Result>(upgradeResult);
}

enum class Loaded { yes, no, passThrough };

void prepare(Loaded loaded, int upgrade = 0)
{
    loaderfakes::passThrough = loaded == Loaded::passThrough;
    fsr2bridge::streamlineApi.slUpgradeInterface = loaded == Loaded::no ? nullptr : &fakeUpgrade;
    fsr2bridge::streamlineApi.interposerModule = GetModuleHandleW(nullptr);
    upgradeResult = upgrade;
    upgrades = 0;
    attachfakes::script = {};
    attachfakes::script.reflex = attachfakes::script.dlss = 1; // unavailable, no box, no hook
    attachfakes::useConfig(nullptr);
    attachfakes::calls().clear();
}

// The attachments made, as the number of slSetD3DDevice calls.
int attachments()
{
    int n = 0;
    for (const std::string& call : attachfakes::calls())
        n += call == "slSetD3DDevice";
    return n;
}

struct DeviceCase {
    const char* name;
    Loaded loaded;
    HRESULT created;
    IID riid;
    bool withDevice;
    int upgrade;
    HRESULT expected;
    bool wrapped;
    int attachments;
};

class DeviceCreation : public testing::TestWithParam<DeviceCase> {};

TEST_P(DeviceCreation, WrapsAndAttachesPerTheRules)
{
    const DeviceCase& c = GetParam();
    prepare(c.loaded, c.upgrade);
    RecordingObject native;
    void* out = c.withDevice ? &native : nullptr;
    EXPECT_EQ(fsr2bridge::wrapCreatedDevice(c.created, c.riid, c.withDevice ? &out : nullptr), c.expected);
    if (c.wrapped) {
        auto* proxy = static_cast<fsr2bridge::D3D12DeviceProxy*>(out);
        EXPECT_EQ(fsr2bridge::nativeDeviceOf(proxy), native.as<ID3D12Device>());
        EXPECT_EQ(proxy->upgraded, upgradedObject.as<ID3D12Device10>());
    } else if (c.withDevice) {
        EXPECT_EQ(out, &native) << "the system device stays with the host";
    }
    EXPECT_EQ(attachments(), c.attachments);
}

const IID device5 = __uuidof(ID3D12Device5);
const DeviceCase deviceCases[] = {
    {"Wrapped", Loaded::yes, S_OK, device5, true, 0, S_OK, true, 1},
    {"SystemFailureUnchanged", Loaded::yes, E_NOINTERFACE, device5, true, 0, E_NOINTERFACE, false, 0},
    {"NullOutPointerUnchanged", Loaded::yes, S_FALSE, device5, false, 0, S_FALSE, false, 0},
    {"OtherInterfaceLeftAlone", Loaded::yes, S_OK, __uuidof(ID3D12Device), true, 0, S_OK, false, 0},
    {"PassThroughAttachesTheSystemDevice", Loaded::passThrough, S_OK, device5, true, 0, S_OK, false, 1},
    {"BeforeStreamlineIsLoadedPassesThrough", Loaded::no, S_OK, device5, true, 0, S_OK, false, 1},
    {"RefusedUpgrade", Loaded::yes, S_OK, device5, true, 1, E_UNEXPECTED, false, 0},
};
INSTANTIATE_TEST_SUITE_P(Entry, DeviceCreation, testing::ValuesIn(deviceCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(DeviceCreation, EveryDeviceIsWrappedAndAttachedAgain)
{
    prepare(Loaded::yes);
    RecordingObject first, second;
    void* a = &first;
    void* b = &second;
    EXPECT_EQ(fsr2bridge::wrapCreatedDevice(S_OK, device5, &a), S_OK);
    EXPECT_EQ(fsr2bridge::wrapCreatedDevice(S_OK, device5, &b), S_OK);
    EXPECT_NE(a, b);
    EXPECT_EQ(fsr2bridge::nativeDeviceOf(a), first.as<ID3D12Device>());
    EXPECT_EQ(fsr2bridge::nativeDeviceOf(b), second.as<ID3D12Device>());
    EXPECT_EQ(attachments(), 2);
}

// The factory steps share the process-wide loader-attempted flag, so they run as one ordered story.
TEST(FactoryCreation, LoadsStreamlineOnceThenWrapsEveryFactory)
{
    struct Step {
        const char* name;
        Loaded loaded;
        bool loadSucceeds;
        HRESULT created;
        int upgrade;
        HRESULT expected;
        bool wrapped;
        int loadsAfter;
    };
    const Step steps[] = {
        {"failed system call starts nothing", Loaded::no, false, E_FAIL, 0, E_FAIL, false, 0},
        {"first factory: the load fails", Loaded::no, false, S_OK, 0, E_UNEXPECTED, false, 1},
        {"after a failed load: passed through, no second load", Loaded::no, true, S_OK, 0, S_OK, false, 1},
        {"loaded: wrapped", Loaded::yes, true, S_OK, 0, S_OK, true, 1},
        {"pass-through: the system factory", Loaded::passThrough, true, S_OK, 0, S_OK, false, 1},
        {"refused upgrade", Loaded::yes, true, S_OK, 1, E_UNEXPECTED, false, 1},
        {"positive success is left alone", Loaded::yes, true, S_FALSE, 0, S_FALSE, false, 1},
    };
    loaderfakes::loads = 0;
    for (const Step& s : steps) {
        SCOPED_TRACE(s.name);
        prepare(s.loaded, s.upgrade);
        loaderfakes::loadResult = s.loadSucceeds;
        RecordingObject native;
        void* out = &native;
        EXPECT_EQ(fsr2bridge::wrapCreatedFactory(s.created, &out), s.expected);
        if (s.wrapped) {
            auto* proxy = static_cast<fsr2bridge::DXGIFactoryProxy*>(out);
            EXPECT_EQ(proxy->native, native.as<IDXGIFactory7>());
            EXPECT_EQ(proxy->upgraded, upgradedObject.as<IDXGIFactory7>());
        } else {
            EXPECT_EQ(out, &native);
        }
        EXPECT_EQ(loaderfakes::loads, s.loadsAfter);
        EXPECT_TRUE(fsr2bridge::streamlineLoadAttempted() || s.loadsAfter == 0);
    }
}

} // namespace
