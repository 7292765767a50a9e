// The creation hooks' decisions: which devices and factories are wrapped, attached or passed through, the
// single Streamline load, and the module's attach failing without d3d12.dll.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../proxies/recording_fake.h"
#include "entry/creation_hooks.h"
#include "proxies/D3D12DeviceProxy.h"
#include "proxies/DXGIFactoryProxy.h"
#include "tests/support/fake_streamline.h"
#include "upscaler/upscaler_state.h"

using fakes::RecordingObject;
using testsupport::Entry;
using testsupport::FakeStreamline;

namespace {

RecordingObject upgradedObject;

enum class Loaded { yes, no, passThrough };

// Streamline as loaded, not loaded or passed through; its upgrade answers `upgrade`, slSetD3DDevice
// `setDevice`. Device attachment finds the fake in this program and learns that neither Reflex nor DLSS is
// there (no box, no hook).
void script(FakeStreamline& fake, Loaded loaded, int upgrade = 0, int setDevice = 0)
{
    fake.passThrough = loaded == Loaded::passThrough;
    if (loaded == Loaded::no)
        fake.remove(Entry::slUpgradeInterface);
    else
        fake.restore(Entry::slUpgradeInterface);
    fake.upgradedInterface = &upgradedObject;
    fake.answer(Entry::slUpgradeInterface, static_cast<sl::Result>(upgrade));
    fake.answer(Entry::slSetD3DDevice, static_cast<sl::Result>(setDevice));
    fake.answer(Entry::slIsFeatureSupported, sl::Result::eErrorIO);
    fsr2bridge::streamlineLoader = {&testsupport::fakeLoadStreamline, &testsupport::fakePassThroughMode};
}

FakeStreamline& prepare(Loaded loaded, int upgrade = 0, int setDevice = 0)
{
    FakeStreamline& fake = testsupport::installFakeStreamline(GetModuleHandleW(nullptr));
    script(fake, loaded, upgrade, setDevice);
    return fake;
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
    int setDevice = 0; // what slSetD3DDevice answers
};

class DeviceCreation : public testing::TestWithParam<DeviceCase> {};

TEST_P(DeviceCreation, WrapsAndAttachesPerTheRules)
{
    const DeviceCase& c = GetParam();
    const FakeStreamline& fake = prepare(c.loaded, c.upgrade, c.setDevice);
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
    EXPECT_EQ(fake.count(Entry::slSetD3DDevice), static_cast<std::size_t>(c.attachments))
        << "attachments, each beginning with slSetD3DDevice";
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
    {"UpgradeWarningStillWraps", Loaded::yes, S_OK, device5, true, 39, S_OK, true, 1},
    // Streamline serves the first device only: a later one reaches the game as the system made it.
    {"DeviceStreamlineRefusesIsHandedOutUnwrapped", Loaded::yes, S_OK, device5, true, 0, S_OK, false, 1, 19},
    {"FailedAttachmentKeepsTheProxy", Loaded::yes, S_OK, device5, true, 0, S_OK, true, 1, 1},
};
INSTANTIATE_TEST_SUITE_P(Entry, DeviceCreation, testing::ValuesIn(deviceCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(DeviceCreation, EveryDeviceIsWrappedAndAttachedAgain)
{
    const FakeStreamline& fake = prepare(Loaded::yes);
    RecordingObject first, second;
    void* a = &first;
    void* b = &second;
    EXPECT_EQ(fsr2bridge::wrapCreatedDevice(S_OK, device5, &a), S_OK);
    EXPECT_EQ(fsr2bridge::wrapCreatedDevice(S_OK, device5, &b), S_OK);
    EXPECT_NE(a, b);
    EXPECT_EQ(fsr2bridge::nativeDeviceOf(a), first.as<ID3D12Device>());
    EXPECT_EQ(fsr2bridge::nativeDeviceOf(b), second.as<ID3D12Device>());
    EXPECT_EQ(fake.count(Entry::slSetD3DDevice), 2u);
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
        {"upgrade warning: wrapped", Loaded::yes, true, S_OK, 39, S_OK, true, 1},
        {"positive success is left alone", Loaded::yes, true, S_FALSE, 0, S_FALSE, false, 1},
    };
    FakeStreamline& fake = prepare(Loaded::no);
    for (const Step& s : steps) {
        SCOPED_TRACE(s.name);
        script(fake, s.loaded, s.upgrade);
        fake.loadSucceeds = s.loadSucceeds;
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
        EXPECT_EQ(fake.count(Entry::loadStreamline), static_cast<std::size_t>(s.loadsAfter));
        EXPECT_TRUE(fsr2bridge::streamlineLoadAttempted() || s.loadsAfter == 0);
    }
}

// Start-up connects the layers: the upscaler reaches the system device behind our device proxies.
TEST(ModuleEntry, InstallingTheHooksConnectsTheLayers)
{
    RecordingObject upgraded, native;
    fsr2bridge::D3D12DeviceProxy proxy(upgraded.as<ID3D12Device10>(), native.as<ID3D12Device10>());
    fsr2bridge::publishSystemDeviceLookup(nullptr);
    EXPECT_EQ(fsr2bridge::systemDeviceOf(&proxy), static_cast<void*>(&proxy)) << "without the lookup";
    fsr2bridge::installCreationHooks();
    EXPECT_EQ(fsr2bridge::systemDeviceOf(&proxy), native.as<ID3D12Device>());
    EXPECT_EQ(fsr2bridge::systemDeviceOf(&native), native.as<ID3D12Device>());
}

} // namespace
