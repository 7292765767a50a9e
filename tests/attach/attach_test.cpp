// Device attachment: the feature queries and their boxes, Frame Generation switched off and saved, Reflex
// start-up, and the host hooks in order; plus the check of the host's layout before the camera hook.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "attach_fakes.h"
#include "hooking/MinHook.h"
#include "streamline/device_attachment.h"
#include "streamline/streamline_api.h"
#include "testbed/world/box_catcher.h"

using attachfakes::calls;
using attachfakes::script;
using Strings = std::vector<std::string>;

namespace {

const wchar_t caption[] = L"An error occured!";

ID3D12Device* realDevice()
{
    static ID3D12Device* device = [] {
        ID3D12Device* created = nullptr;
        D3D12CreateDevice(nullptr, D3D_FEATURE_LEVEL_11_0, IID_PPV_ARGS(&created));
        return created;
    }();
    return device;
}

std::filesystem::path configPath()
{
    return std::filesystem::temp_directory_path() / L"attach_test_config.json";
}

fsr2bridge::Config& config()
{
    static fsr2bridge::Config* store = [] {
        std::filesystem::remove(configPath());
        return new fsr2bridge::Config(configPath().wstring());
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
    std::ifstream in(configPath());
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return text.find("\"enableFrameGeneration\": true") != std::string::npos;
}

class Attachment : public testing::Test {
protected:
    void SetUp() override
    {
        static const bool initialised = MH_Initialize() == MH_OK;
        ASSERT_TRUE(initialised);
        ASSERT_NE(realDevice(), nullptr);
        fsr2bridge::streamlineApi.interposerModule = GetModuleHandleW(nullptr);
        attachfakes::useConfig(&config());
        script = {};
        calls().clear();
    }
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
        {2, 7, nullptr}, // NIS is never asked about
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
    bool startReflexResult;
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
    script.reflex = s.reflex;
    script.dlss = s.dlss;
    script.frameGeneration = s.frameGeneration;
    script.startReflexResult = s.startReflexResult;
    testworld::BoxCatcher boxes;
    EXPECT_EQ(fsr2bridge::attachDevice(realDevice()), s.expectedResult);
    EXPECT_EQ(calls(), s.expectedCalls);
    std::vector<std::wstring> texts;
    for (const testworld::CaughtBox& box : boxes.boxes()) {
        EXPECT_EQ(box.caption, caption);
        texts.push_back(box.text);
    }
    EXPECT_EQ(texts, s.expectedBoxes);
    EXPECT_EQ(config().snapshot().enableFrameGeneration, s.frameGenerationSettingAfter);
    EXPECT_EQ(savedFrameGenerationSetting(), s.frameGenerationSettingAfter) << "config.json follows";
}

const Scenario scenarios[] = {
    {"FrameGenerationOffMakesTwoQueries",
     0,
     7,
     0,
     false,
     true,
     true,
     {"slSetD3DDevice", "query 3", "query 0", "startReflex"},
     {L"DLSS is not supported by the currently used GPU.\n"},
     false},
    {"DlssDriverOutOfDateStillStartsReflex",
     0,
     2,
     0,
     true,
     true,
     true,
     {"slSetD3DDevice", "query 3", "query 0", "query 1000", "startReflex"},
     {L"Your driver is out-of-date. Please upgrade your driver to be able to use DLSS.\n"},
     true},
    {"HardwareSchedulingOffTurnsFrameGenerationOffAndSaves",
     0,
     1,
     4,
     true,
     true,
     true,
     {"slSetD3DDevice", "query 3", "query 0", "query 1000", "startReflex"},
     {L"Please enable 'Hardware-accelerated GPU Scheduling' in your Windows settings to be able to use DLSS "
      L"Frame "
      L"Generation.\n"},
     false},
    {"UnlistedFrameGenerationResultStillTurnsItOff",
     0,
     1,
     1,
     true,
     true,
     true,
     {"slSetD3DDevice", "query 3", "query 0", "query 1000", "startReflex"},
     {},
     false},
    {"ReflexUnsupportedIsNotStarted",
     7,
     3,
     0,
     true,
     true,
     true,
     {"slSetD3DDevice", "query 3", "query 0", "query 1000"},
     {L"Reflex is not supported by the currently used GPU.\n",
      L"Please update Windows to be able to use DLSS.\n"},
     true},
    {"ReflexStartFailing",
     0,
     7,
     0,
     false,
     false,
     false,
     {"slSetD3DDevice", "query 3", "query 0", "startReflex"},
     {L"DLSS is not supported by the currently used GPU.\n"},
     false},
    {"EveryFeatureMissing",
     2,
     7,
     2,
     true,
     true,
     true,
     {"slSetD3DDevice", "query 3", "query 0", "query 1000"},
     {L"Your driver is out-of-date. Please upgrade your driver to be able to use Reflex.\n",
      L"DLSS is not supported by the currently used GPU.\n",
      L"Your driver is out-of-date. Please upgrade your driver to be able to use DLSS Frame Generation.\n"},
     false},
};
INSTANTIATE_TEST_SUITE_P(Attachment, AttachmentWithoutDlss, testing::ValuesIn(scenarios),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Attachment, WithoutInterposerNothingHappens)
{
    fsr2bridge::streamlineApi.interposerModule = nullptr;
    testworld::BoxCatcher boxes;
    EXPECT_FALSE(fsr2bridge::attachDevice(realDevice()));
    EXPECT_TRUE(calls().empty());
    EXPECT_TRUE(boxes.boxes().empty());
}

TEST_F(Attachment, RefusedDeviceStopsBeforeAnyQuery)
{
    script.setDeviceResult = 1;
    testworld::BoxCatcher boxes;
    EXPECT_FALSE(fsr2bridge::attachDevice(realDevice()));
    EXPECT_EQ(calls(), Strings{"slSetD3DDevice"});
    EXPECT_TRUE(boxes.boxes().empty());
}

// ---- the one attachment with DLSS: the hooks go in (once per process), so the second device fails ----

using Fsr2Create = std::uint32_t (*)(void*, const void*);
using Fsr2Destroy = std::uint32_t (*)(void*);
using Fsr2Register = std::uint32_t (*)(void*, void*, void*, void*);

TEST_F(Attachment, WithDlssTheHooksReplaceTheHostsFsr2AndASecondDeviceFails)
{
    setFrameGenerationSetting(true);
    testworld::BoxCatcher boxes;
    ASSERT_TRUE(fsr2bridge::attachDevice(realDevice()));
    EXPECT_EQ(calls(),
              (Strings{"slSetD3DDevice", "query 3", "query 0", "query 1000", "startReflex", "publish"}));
    EXPECT_TRUE(boxes.boxes().empty());

    const HMODULE host = GetModuleHandleW(nullptr);
    auto create =
        reinterpret_cast<Fsr2Create>(reinterpret_cast<void*>(GetProcAddress(host, "ffxFsr2ContextCreate")));
    auto dispatch =
        reinterpret_cast<Fsr2Create>(reinterpret_cast<void*>(GetProcAddress(host, "ffxFsr2ContextDispatch")));
    auto destroy =
        reinterpret_cast<Fsr2Destroy>(reinterpret_cast<void*>(GetProcAddress(host, "ffxFsr2ContextDestroy")));
    auto registerAliasable = reinterpret_cast<Fsr2Register>(
        reinterpret_cast<void*>(GetProcAddress(host, "ffxFsr2RegisterAliasableResources")));
    ASSERT_TRUE(create && dispatch && destroy && registerAliasable);
    calls().clear();
    create(nullptr, nullptr);
    dispatch(nullptr, nullptr);
    destroy(nullptr);
    registerAliasable(nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(calls(), (Strings{"replacement create", "replacement dispatch", "replacement destroy",
                                "replacement register"}));

    // A second device: Reflex start-up fails on its own hook in real life; here the hook creation fails.
    calls().clear();
    EXPECT_FALSE(fsr2bridge::attachDevice(realDevice()));
    EXPECT_EQ(calls(),
              (Strings{"slSetD3DDevice", "query 3", "query 0", "query 1000", "startReflex", "publish"}));
    calls().clear();
    create(nullptr, nullptr);
    EXPECT_EQ(calls(), Strings{"replacement create"}) << "the first attachment's hooks stay";
}

// ---- the host layout check ----

struct FakeImage {
    alignas(8) std::uint8_t bytes[4096] = {};

    FakeImage(std::uint32_t sizeOfImage, std::vector<IMAGE_SECTION_HEADER> sections, LONG ntAt = 0x80)
    {
        auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(bytes);
        dos->e_magic = IMAGE_DOS_SIGNATURE;
        dos->e_lfanew = ntAt;
        if (ntAt < 0 || ntAt > 4096 - static_cast<LONG>(sizeof(IMAGE_NT_HEADERS64)))
            return;
        auto* nt = reinterpret_cast<IMAGE_NT_HEADERS64*>(bytes + ntAt);
        nt->Signature = IMAGE_NT_SIGNATURE;
        nt->OptionalHeader.Magic = IMAGE_NT_OPTIONAL_HDR64_MAGIC;
        nt->OptionalHeader.SizeOfImage = sizeOfImage;
        nt->FileHeader.SizeOfOptionalHeader = sizeof(IMAGE_OPTIONAL_HEADER64);
        nt->FileHeader.NumberOfSections = static_cast<WORD>(sections.size());
        auto* table = reinterpret_cast<IMAGE_SECTION_HEADER*>(nt + 1);
        for (std::size_t i = 0;
             i < sections.size() &&
             (table + i + 1) <= reinterpret_cast<IMAGE_SECTION_HEADER*>(bytes + sizeof(bytes));
             ++i)
            table[i] = sections[i];
    }
};

IMAGE_SECTION_HEADER section(std::uint32_t begin, std::uint32_t size, DWORD characteristics)
{
    IMAGE_SECTION_HEADER s{};
    s.VirtualAddress = begin;
    s.Misc.VirtualSize = size;
    s.Characteristics = characteristics;
    return s;
}

TEST(HostLayout, CameraFunctionMustLieInCodeAndEveryFixedReadInsideTheImage)
{
    constexpr DWORD code = IMAGE_SCN_CNT_CODE | IMAGE_SCN_MEM_EXECUTE | IMAGE_SCN_MEM_READ;
    constexpr DWORD data = IMAGE_SCN_CNT_INITIALIZED_DATA | IMAGE_SCN_MEM_READ | IMAGE_SCN_MEM_WRITE;
    const std::uint32_t fullSize = 0x6000000;
    struct Case {
        const char* name;
        FakeImage image;
        bool fits;
    };
    const Case cases[] = {
        {"the game's layout",
         FakeImage(fullSize, {section(0x1000, 0x4000000, code), section(0x4001000, 0x1F00000, data)}), true},
        {"image ends before the last fixed read", FakeImage(0x5905AEC, {section(0x1000, 0x4000000, code)}),
         false},
        {"image ends just after the last fixed read",
         FakeImage(0x5905AED, {section(0x1000, 0x4000000, code)}), true},
        {"camera function in a data section",
         FakeImage(fullSize, {section(0x1000, 0x1000000, code), section(0x3000000, 0x1000000, data)}), false},
        {"camera function in no section", FakeImage(fullSize, {section(0x1000, 0x1000000, code)}), false},
        {"camera function at the first byte past a code section",
         FakeImage(fullSize, {section(0x1000, fsr2bridge::hostCameraFunctionOffset - 0x1000, code)}), false},
        {"headers placed outside the first page", FakeImage(fullSize, {}, 0x2000), false},
        {"negative header offset", FakeImage(fullSize, {}, -4), false},
        {"small program", FakeImage(0x20000, {section(0x1000, 0x10000, code)}), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(fsr2bridge::hostLayoutFits(c.image.bytes), c.fits);
    }
    EXPECT_FALSE(fsr2bridge::hostLayoutFits(nullptr));
    EXPECT_FALSE(fsr2bridge::hostLayoutFits(reinterpret_cast<const std::uint8_t*>(GetModuleHandleW(nullptr))))
        << "this test program is not the game";
}

} // namespace
