// Device attachment against the fake Streamline: the feature queries and their boxes, Frame Generation
// switched off and saved, Reflex start-up, and the upscaler put in place of the host's FSR2 in order.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/module_export.h"
#include "hooking/MinHook.h"
#include "hooking/hook_table.h"
#include "streamline/device_attachment.h"
#include "streamline/feature_support.h"
#include "streamline/loader.h"
#include "testbed/world/box_catcher.h"
#include "tests/hooking/scripted_platform.h"
#include "tests/support/d3d12_objects.h"
#include "tests/support/fake_streamline.h"
#include "upscaler/host_installation.h"
#include "upscaler/upscaler_state.h"

using testsupport::Entry;
using testsupport::FakeStreamline;
using Strings = std::vector<std::string>;

// The host's FSR2 exports: each notes that the host's own code ran.
extern "C" __declspec(dllexport) std::uint32_t ffxFsr2ContextCreate(void*, const void*)
{
    testsupport::fakeStreamline().note("host create");
    return 0;
}
extern "C" __declspec(dllexport) std::uint32_t ffxFsr2ContextDispatch(void*, const void*)
{
    testsupport::fakeStreamline().note("host dispatch");
    return 0;
}
extern "C" __declspec(dllexport) std::uint32_t ffxFsr2ContextDestroy(void*)
{
    testsupport::fakeStreamline().note("host destroy");
    return 0;
}
extern "C" __declspec(dllexport) std::uint32_t ffxFsr2RegisterAliasableResources(void*, void*, void*, void*)
{
    testsupport::fakeStreamline().note("host register");
    return 0;
}

namespace {

const wchar_t caption[] = L"An error occured!";

// The settings store device attachment reads is the loader's: made by a load in a folder of its own whose
// config.json leaves Streamline off (no interposer is needed for that).
std::filesystem::path settingsFolder()
{
    return std::filesystem::temp_directory_path() / ("attach_test_" + std::to_string(GetCurrentProcessId()));
}

fsr2bridge::Config& config()
{
    static fsr2bridge::Config* store = [] {
        std::filesystem::create_directories(settingsFolder());
        std::ofstream(settingsFolder() / "config.json") << R"({"version": 4, "enabled": false})";
        const std::filesystem::path before = std::filesystem::current_path();
        std::filesystem::current_path(settingsFolder());
        fsr2bridge::loadStreamline();
        std::filesystem::current_path(before);
        return fsr2bridge::settingsStore();
    }();
    return *store;
}

void setFrameGenerationSetting(bool enabled)
{
    fsr2bridge::Settings s = config().snapshot();
    s.enableFrameGeneration = enabled;
    config().replace(s);
    config().save();
}

bool savedFrameGenerationSetting()
{
    std::ifstream in(settingsFolder() / "config.json");
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return text.find("\"enableFrameGeneration\": true") != std::string::npos;
}

// The upscaler's installation, noted in the log where attachment runs it.
bool notedInstallation(HMODULE interposer, fsr2bridge::Config* settings) noexcept
{
    testsupport::fakeStreamline().note("install");
    return fsr2bridge::installUpscaler(interposer, settings);
}

// Only the attachment's own calls and Reflex start-up's first: the rest of the start-up is Reflex's.
Strings attachmentCalls(const FakeStreamline& fake)
{
    return fake.callsOf({Entry::slSetD3DDevice, Entry::slIsFeatureSupported, Entry::slReflexGetState});
}

class Attachment : public testing::Test {
protected:
    void SetUp() override
    {
        const MH_STATUS engine = MH_Initialize();
        ASSERT_TRUE(engine == MH_OK || engine == MH_ERROR_ALREADY_INITIALIZED);
        ASSERT_NE(testsupport::sharedDevice(), nullptr);
        ASSERT_NE(&config(), nullptr);
        // Each attachment here starts Reflex afresh: the hook of the one before goes.
        MH_RemoveHook(
            reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "PeekMessageA")));
        fsr2bridge::setUpscalerInstaller(&notedInstallation);
        fake = &testsupport::installFakeStreamline(GetModuleHandleW(nullptr));
    }

    FakeStreamline* fake = nullptr;
};

// ---- the box texts ----

TEST(FeatureBoxes, EveryTableRowAndNoBoxOtherwise)
{
    struct Row {
        sl::Feature feature;
        int result;
        const wchar_t* text;
    };
    const Row rows[] = {
        {3, 2, L"Your driver is out-of-date. Please upgrade your driver to be able to use Reflex.\n"},
        {0, 2, L"Your driver is out-of-date. Please upgrade your driver to be able to use DLSS.\n"},
        {1000, 2,
         L"Your driver is out-of-date. Please upgrade your driver to be able to use DLSS Frame "
         L"Generation.\n"},
        {3, 3, L"Please update Windows to be able to use Reflex.\n"},
        {0, 3, L"Please update Windows to be able to use DLSS.\n"},
        {1000, 3, L"Please update Windows to be able to use DLSS Frame Generation.\n"},
        {3, 4, nullptr},
        {0, 4, nullptr},
        {1000, 4,
         L"Please enable 'Hardware-accelerated GPU Scheduling' in your Windows settings to be able to use "
         L"DLSS Frame "
         L"Generation.\n"},
        {3, 7, L"Reflex is not supported by the currently used GPU.\n"},
        {0, 7, L"DLSS is not supported by the currently used GPU.\n"},
        {1000, 7, L"DLSS Frame Generation is not supported by the currently used GPU.\n"},
        {3, 1, nullptr},
        {0, 5, nullptr},
        {1000, 1, nullptr},
        {1000, 0, nullptr},
        {2, 7, nullptr}, // NIS is asked without a box
    };
    for (const Row& row : rows) {
        SCOPED_TRACE("feature " + std::to_string(row.feature) + " result " + std::to_string(row.result));
        const wchar_t* text =
            fsr2bridge::featureUnavailableText(row.feature, static_cast<sl::Result>(row.result));
        if (row.text == nullptr) {
            EXPECT_EQ(text, nullptr);
        } else {
            ASSERT_NE(text, nullptr);
            EXPECT_STREQ(text, row.text);
        }
    }
}

// ---- attachments without DLSS: no hook is installed, so every row runs in one process ----

struct Scenario {
    const char* name;
    int reflex, dlss, frameGeneration;
    bool frameGenerationSetting;
    bool startReflexResult; // false: Streamline refuses slReflexGetState
    bool expectedResult;
    Strings expectedCalls;
    std::vector<std::wstring> expectedBoxes;
    bool frameGenerationSettingAfter;
};

class AttachmentWithoutDlss : public Attachment, public testing::WithParamInterface<Scenario> {};

TEST_P(AttachmentWithoutDlss, QueriesBoxesAndSettingsFollowTheResults)
{
    const Scenario& s = GetParam();
    setFrameGenerationSetting(s.frameGenerationSetting);
    fake->answer(Entry::slIsFeatureSupported, sl::kFeatureReflex, static_cast<sl::Result>(s.reflex));
    fake->answer(Entry::slIsFeatureSupported, sl::kFeatureDLSS, static_cast<sl::Result>(s.dlss));
    fake->answer(Entry::slIsFeatureSupported, sl::kFeatureDLSS_G, static_cast<sl::Result>(s.frameGeneration));
    if (!s.startReflexResult)
        fake->answer(Entry::slReflexGetState, sl::Result::eErrorIO);
    testworld::BoxCatcher boxes;
    EXPECT_EQ(fsr2bridge::attachDevice(testsupport::sharedDevice()), s.expectedResult);
    EXPECT_EQ(attachmentCalls(*fake), s.expectedCalls);
    for (const sl::AdapterInfo& adapter : fake->adapters)
        EXPECT_EQ(adapter.deviceLUIDSizeInBytes, 8u);
    std::vector<std::wstring> texts;
    for (const testworld::CaughtBox& box : boxes.boxes()) {
        EXPECT_EQ(box.caption, caption);
        texts.push_back(box.text);
    }
    EXPECT_EQ(texts, s.expectedBoxes);
    EXPECT_EQ(config().snapshot().enableFrameGeneration, s.frameGenerationSettingAfter);
    EXPECT_EQ(savedFrameGenerationSetting(), s.frameGenerationSettingAfter) << "config.json follows";
    EXPECT_EQ(fsr2bridge::frameGenerationMissing(), s.frameGeneration == 31) << "off for this run only";
}

const Strings askedEverything = {"slSetD3DDevice",         "slIsFeatureSupported 3",
                                 "slIsFeatureSupported 0", "slIsFeatureSupported 1000",
                                 "slIsFeatureSupported 2", "slReflexGetState"};

const Scenario scenarios[] = {
    {"FrameGenerationOffIsNotAsked",
     0,
     7,
     0,
     false,
     true,
     true,
     {"slSetD3DDevice", "slIsFeatureSupported 3", "slIsFeatureSupported 0", "slIsFeatureSupported 2",
      "slReflexGetState"},
     {L"DLSS is not supported by the currently used GPU.\n"},
     false},
    {"DlssDriverOutOfDateStillStartsReflex",
     0,
     2,
     0,
     true,
     true,
     true,
     askedEverything,
     {L"Your driver is out-of-date. Please upgrade your driver to be able to use DLSS.\n"},
     true},
    {"HardwareSchedulingOffTurnsFrameGenerationOffAndSaves",
     0,
     1,
     4,
     true,
     true,
     true,
     askedEverything,
     {L"Please enable 'Hardware-accelerated GPU Scheduling' in your Windows settings to be able to use DLSS "
      L"Frame "
      L"Generation.\n"},
     false},
    // A plug-in that did not load is a gap in the installed files: the setting stays for when it is there.
    // No supported adapter with no file of the set to blame is the machine's verdict.
    {"MissingFrameGenerationPlugInKeepsTheSetting", 0, 1, 31, true, true, true, askedEverything, {}, true},
    {"NoAdapterForFrameGenerationTurnsItOff", 0, 1, 6, true, true, true, askedEverything, {}, false},
    {"UnlistedFrameGenerationResultStillTurnsItOff", 0, 1, 1, true, true, true, askedEverything, {}, false},
    {"ReflexUnsupportedIsNotStarted",
     7,
     3,
     0,
     true,
     true,
     true,
     {"slSetD3DDevice", "slIsFeatureSupported 3", "slIsFeatureSupported 0", "slIsFeatureSupported 1000",
      "slIsFeatureSupported 2"},
     {L"Reflex is not supported by the currently used GPU.\n",
      L"Please update Windows to be able to use DLSS.\n"},
     true},
    {"ReflexStartFailing",
     0,
     7,
     0,
     false,
     false,
     true,
     {"slSetD3DDevice", "slIsFeatureSupported 3", "slIsFeatureSupported 0", "slIsFeatureSupported 2",
      "slReflexGetState"},
     {L"DLSS is not supported by the currently used GPU.\n"},
     false},
    {"EveryFeatureMissing",
     2,
     7,
     2,
     true,
     true,
     true,
     {"slSetD3DDevice", "slIsFeatureSupported 3", "slIsFeatureSupported 0", "slIsFeatureSupported 1000",
      "slIsFeatureSupported 2"},
     {L"Your driver is out-of-date. Please upgrade your driver to be able to use Reflex.\n",
      L"DLSS is not supported by the currently used GPU.\n",
      L"Your driver is out-of-date. Please upgrade your driver to be able to use DLSS Frame Generation.\n"},
     false},
};
INSTANTIATE_TEST_SUITE_P(Attachment, AttachmentWithoutDlss, testing::ValuesIn(scenarios),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Attachment, WithoutInterposerNothingHappens)
{
    testsupport::installFakeStreamline(nullptr);
    testworld::BoxCatcher boxes;
    EXPECT_FALSE(fsr2bridge::attachDevice(testsupport::sharedDevice()));
    EXPECT_TRUE(fake->calls().empty());
    EXPECT_TRUE(boxes.boxes().empty());
}

TEST_F(Attachment, NisIsAskedWithoutABox)
{
    struct Case {
        sl::Result answer;
        bool available;
    };
    const Case cases[] = {{sl::Result::eOk, true},
                          {sl::Result::eWarnOutOfVRAM, true},
                          {sl::Result::eErrorAdapterNotSupported, false},
                          {sl::Result::eErrorFeatureNotSupported, false},
                          {sl::Result::eErrorDriverOutOfDate, false}};
    setFrameGenerationSetting(false);
    fake->answer(Entry::slIsFeatureSupported, sl::kFeatureDLSS,
                 sl::Result::eErrorIO); // no upscaler to install
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.answer));
        MH_RemoveHook(
            reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "PeekMessageA")));
        fsr2bridge::recordNisSupport(!c.available);
        fake->answer(Entry::slIsFeatureSupported, sl::kFeatureNIS, c.answer);
        testworld::BoxCatcher boxes;
        EXPECT_TRUE(fsr2bridge::attachDevice(testsupport::sharedDevice()));
        EXPECT_EQ(fsr2bridge::nisSupported(), c.available);
        EXPECT_TRUE(boxes.boxes().empty());
    }
}

TEST_F(Attachment, DeviceResultDecidesTheOutcome)
{
    struct Case {
        const char* name;
        sl::Result answer;
        fsr2bridge::AttachmentOutcome outcome;
        std::size_t calls;
    };
    const Case cases[] = {
        // Streamline serves the first device it was given: nothing else runs for another one.
        {"second device", sl::Result::eErrorInvalidIntegration, fsr2bridge::AttachmentOutcome::deviceRefused,
         1},
        {"failure", sl::Result::eErrorIO, fsr2bridge::AttachmentOutcome::failed, 1},
        {"warning", sl::Result::eWarnOutOfVRAM, fsr2bridge::AttachmentOutcome::completed, 4},
    };
    setFrameGenerationSetting(false);
    fake->answer(Entry::slIsFeatureSupported, sl::kFeatureDLSS,
                 sl::Result::eErrorIO); // no upscaler to install
    fake->answer(Entry::slIsFeatureSupported, sl::kFeatureReflex, sl::Result::eErrorIO); // no Reflex start
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake->answer(Entry::slSetD3DDevice, c.answer);
        fake->clearLog();
        testworld::BoxCatcher boxes;
        EXPECT_EQ(fsr2bridge::attachDeviceOutcome(testsupport::sharedDevice()), c.outcome);
        EXPECT_EQ(attachmentCalls(*fake).size(), c.calls) << "slSetD3DDevice and the three queries";
        EXPECT_TRUE(boxes.boxes().empty());
    }
}

TEST_F(Attachment, RefusedDeviceStopsBeforeAnyQuery)
{
    fake->answer(Entry::slSetD3DDevice, sl::Result::eErrorIO);
    testworld::BoxCatcher boxes;
    EXPECT_FALSE(fsr2bridge::attachDevice(testsupport::sharedDevice()));
    EXPECT_EQ(fake->calls(), Strings{"slSetD3DDevice"});
    EXPECT_TRUE(boxes.boxes().empty());
}

// ---- the attachments with DLSS: the upscaler goes in once per process, so later devices fail ----

using Fsr2Create = std::uint32_t (*)(void*, const void*);
using Fsr2Destroy = std::uint32_t (*)(void*);
using Fsr2Register = std::uint32_t (*)(void*, void*, void*, void*);

TEST_F(Attachment, WithDlssTheUpscalerReplacesTheHostsFsr2AndLaterDevicesFail)
{
    setFrameGenerationSetting(true);
    testworld::BoxCatcher boxes;
    const HMODULE program = GetModuleHandleW(nullptr);
    ASSERT_TRUE(fsr2bridge::attachDevice(testsupport::sharedDevice()));
    EXPECT_EQ(attachmentCalls(*fake), (Strings{"slSetD3DDevice", "slIsFeatureSupported 3",
                                               "slIsFeatureSupported 0", "slIsFeatureSupported 1000",
                                               "slIsFeatureSupported 2", "slReflexGetState", "install"}));
    EXPECT_TRUE(boxes.boxes().empty());
    EXPECT_EQ(fsr2bridge::viewportHandle().value, 0u) << "published for the upscaler";
    EXPECT_EQ(fsr2bridge::upscalerModule(), program);
    EXPECT_EQ(fsr2bridge::hostImageBase(), program);
    EXPECT_TRUE(fsr2bridge::upscalerSettings().enableFrameGeneration);

    auto create =
        fsr2bridge::exportedFunction<std::uint32_t(void*, const void*)>(program, "ffxFsr2ContextCreate");
    auto dispatch =
        fsr2bridge::exportedFunction<std::uint32_t(void*, const void*)>(program, "ffxFsr2ContextDispatch");
    auto destroy = fsr2bridge::exportedFunction<std::uint32_t(void*)>(program, "ffxFsr2ContextDestroy");
    auto registerAliasable = fsr2bridge::exportedFunction<std::uint32_t(void*, void*, void*, void*)>(
        program, "ffxFsr2RegisterAliasableResources");
    ASSERT_TRUE(create && dispatch && destroy && registerAliasable);
    const auto replacedOnly = [&] {
        fake->clearLog();
        // A null context: the replacements refuse it, the host's code would note itself and succeed.
        EXPECT_EQ(create(nullptr, nullptr), 0x80000000u);
        EXPECT_EQ(dispatch(nullptr, nullptr), 0x80000000u);
        EXPECT_EQ(destroy(nullptr), 0x80000000u);
        EXPECT_EQ(registerAliasable(nullptr, nullptr, nullptr, nullptr), 0u);
        EXPECT_TRUE(fake->calls().empty()) << "the host's own FSR2 never runs";
    };
    replacedOnly();

    // A second device with Reflex: start-up fails on its own PeekMessageA hook (Reflex runs from the first
    // device), then the installation on the first FSR2 hook.
    fake->clearLog();
    EXPECT_FALSE(fsr2bridge::attachDevice(testsupport::sharedDevice()));
    EXPECT_EQ(attachmentCalls(*fake),
              (Strings{"slSetD3DDevice", "slIsFeatureSupported 3", "slIsFeatureSupported 0",
                       "slIsFeatureSupported 1000", "slIsFeatureSupported 2", "install"}));
    // One without Reflex: the installation fails on the first FSR2 hook.
    fake->answer(Entry::slIsFeatureSupported, sl::kFeatureReflex, sl::Result::eErrorIO);
    fake->clearLog();
    EXPECT_FALSE(fsr2bridge::attachDevice(testsupport::sharedDevice()));
    EXPECT_EQ(attachmentCalls(*fake),
              (Strings{"slSetD3DDevice", "slIsFeatureSupported 3", "slIsFeatureSupported 0",
                       "slIsFeatureSupported 1000", "slIsFeatureSupported 2", "install"}));
    replacedOnly();
}

// The four FSR2 hooks go in all or none: the game's own FSR2 would take our record for its context. The
// camera hook may fail on its own (neutral camera data), never the FSR2 hooks because of it.
TEST(UpscalerInstallation, TheFsr2HooksGoInAllOrNoneTheCameraHookMayFailAlone)
{
    auto* page = static_cast<std::uint8_t*>(
        VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE));
    ASSERT_NE(page, nullptr);
    const std::uint8_t body[] = {0x48, 0x8D, 0x41, 0x01, 0x90, 0xC3}; // lea rax,[rcx+1]; nop; ret
    std::memcpy(page, body, sizeof body);
    MH_Uninitialize(); // whatever this program installed before
    const HMODULE program = GetModuleHandleW(nullptr);
    const char* names[] = {"ffxFsr2ContextCreate", "ffxFsr2ContextDispatch", "ffxFsr2ContextDestroy",
                           "ffxFsr2RegisterAliasableResources"};
    std::uint8_t* targets[] = {page, nullptr, nullptr, nullptr, nullptr}; // the camera function first
    std::uint8_t before[5][8];
    for (int i = 0; i < 5; ++i) {
        if (i > 0)
            targets[i] = fsr2bridge::exportedFunction<std::uint8_t>(program, names[i - 1]);
        ASSERT_NE(targets[i], nullptr);
        std::memcpy(before[i], targets[i], 8);
    }
    const auto at = [&](int i) { return reinterpret_cast<std::uintptr_t>(targets[i]); };
    struct Case {
        const char* name;
        int refused;   // the target whose hook cannot be made (-1: none)
        int unwritten; // the target whose code cannot be written (-1: none)
        bool installed;
        bool cameraLive, fsr2Live;
    };
    const Case cases[] = {
        {"all five", -1, -1, true, true, true},
        {"no camera hook can be made", 0, -1, true, false, true},
        {"the camera function cannot be written", -1, 0, true, false, true},
        {"no create hook", 1, -1, false, false, false},
        {"no dispatch hook", 2, -1, false, false, false},
        {"no destroy hook", 3, -1, false, false, false},
        {"no register-aliasable hook", 4, -1, false, false, false},
        {"the dispatch cannot be written", -1, 2, false, false, false},
    };
    hooktest::ScriptedPlatform platform;
    ASSERT_TRUE(fsr2bridge::useProcessHookPlatform(platform));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(MH_Initialize(), MH_OK);
        platform.heal();
        platform.failQueryAt = c.refused >= 0 ? at(c.refused) : 0;
        platform.failWriteAt = c.unwritten >= 0 ? at(c.unwritten) : 0;
        EXPECT_EQ(fsr2bridge::installHostHooks(page), c.installed);
        platform.heal();
        for (int i = 0; i < 5; ++i) {
            EXPECT_EQ(std::memcmp(targets[i], before[i], 8) != 0, i == 0 ? c.cameraLive : c.fsr2Live) << i;
            // What did not go live is not left created either, so that nothing switches it on later.
            EXPECT_EQ(MH_EnableHook(targets[i]) == MH_ERROR_NOT_CREATED,
                      !(i == 0 ? c.cameraLive : c.fsr2Live))
                << i;
        }
        ASSERT_EQ(MH_Uninitialize(), MH_OK);
    }
    EXPECT_TRUE(fsr2bridge::useProcessHookPlatform(fsr2bridge::systemHookPlatform()));
    ASSERT_EQ(MH_Initialize(), MH_OK);
    VirtualFree(page, 0, MEM_RELEASE);
}

} // namespace
