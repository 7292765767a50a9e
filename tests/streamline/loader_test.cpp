#include "streamline/loader.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "standin_world.h"
#include "streamline/streamline_api.h"
#include "testbed/streamline/journal.h"

namespace {

using namespace fsr2bridge;
using namespace fsr2bridge::testing;

// Exit code of the child that runs loadStreamline in its current directory.
constexpr DWORD loaded = 1;              // loadStreamline returned true
constexpr DWORD passThrough = 2;         // passThroughMode()
constexpr DWORD coreEntryPoints = 4;     // the three core pointers are set
constexpr DWORD interposerLoaded = 8;    // interposerModule is set
constexpr DWORD storeCreated = 16;       // settingsStore() is set
constexpr DWORD someCoreEntryPoint = 32; // one of the three core pointers is set (a half-done fetch)

int runLoaderChild()
{
    DWORD code = 0;
    code |= loadStreamline() ? loaded : 0u;
    code |= passThroughMode() ? passThrough : 0u;
    const StreamlineApi& api = streamlineApi;
    code |=
        api.slUpgradeInterface && api.slGetNativeInterface && api.slGetFeatureFunction ? coreEntryPoints : 0u;
    code |= api.slUpgradeInterface || api.slGetNativeInterface || api.slGetFeatureFunction
                ? someCoreEntryPoint
                : 0u;
    code |= api.interposerModule != nullptr ? interposerLoaded : 0u;
    code |= settingsStore() != nullptr ? storeCreated : 0u;
    return static_cast<int>(code);
}

// Runs this program with --load in `dir`, standard output into `stdoutFile`.
DWORD runChild(const std::wstring& dir, const std::wstring& stdoutFile)
{
    return runThisProgram(L"--load", dir, stdoutFile);
}

// The child's standard output, CRT text-mode line ends turned back into "\n".
std::string readText(const std::wstring& path)
{
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    std::string text(std::istreambuf_iterator<char>(in), {});
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) {
            out += text[i];
        }
    }
    return out;
}

enum class Place { nothing, emptyStreamlineDir, directoryInPlace, file };
enum class Line { none, accepted, rejected };

struct LoaderCase {
    const char* name;
    Place place;
    const char* source; // stand-in build below testbed/streamline, for Place::file
    const char* config; // config.json text, or null for none
    const char* fail;   // SL_STANDIN_FAIL, or null
    DWORD code;
    bool journalCreated;
    int slInitResult; // -1: no slInit call journalled
    Line line;
};

const char* const disabledConfig =
    R"({"version": 1, "enabled": false, "enableReflexSleep": true, "enableFrameGeneration": false})";

class LoaderSteps : public ::testing::TestWithParam<LoaderCase> {};

TEST_P(LoaderSteps, EndsAsExpected)
{
    const LoaderCase& c = GetParam();
    const std::wstring dir =
        freshDirectory(L"loader_cases\\" + std::wstring(c.name, c.name + std::strlen(c.name)));
    switch (c.place) {
    case Place::nothing:
        break;
    case Place::emptyStreamlineDir:
        CreateDirectoryW((dir + L"\\streamline").c_str(), nullptr);
        break;
    case Place::directoryInPlace:
        CreateDirectoryW((dir + L"\\streamline").c_str(), nullptr);
        CreateDirectoryW((dir + L"\\streamline\\sl.interposer.dll").c_str(), nullptr);
        break;
    case Place::file:
        ASSERT_TRUE(placeInterposer(dir, standinFile(c.source)));
        break;
    }
    if (c.config != nullptr) {
        writeText(dir + L"\\config.json", c.config);
    }
    const std::wstring journal = dir + L"\\journal.txt";
    SetEnvironmentVariableW(L"SL_STANDIN_JOURNAL", journal.c_str());
    if (c.fail != nullptr) {
        SetEnvironmentVariableA("SL_STANDIN_FAIL", c.fail);
    } else {
        SetEnvironmentVariableW(L"SL_STANDIN_FAIL", nullptr);
    }
    const std::wstring stdoutFile = dir + L"\\stdout.txt";
    EXPECT_EQ(runChild(dir, stdoutFile), c.code);

    EXPECT_EQ(GetFileAttributesW(journal.c_str()) != INVALID_FILE_ATTRIBUTES, c.journalCreated);
    const auto entries = standin::readJournal(narrow(journal));
    const auto inits = standin::entriesNamed(entries, "slInit");
    if (c.slInitResult < 0) {
        EXPECT_TRUE(inits.empty());
    } else {
        ASSERT_EQ(inits.size(), 1u);
        EXPECT_EQ(inits[0].integer("result"), c.slInitResult);
    }

    const std::string path = narrow(dir) + "\\streamline\\sl.interposer.dll";
    std::string expected;
    if (c.line == Line::accepted) {
        expected = "File '" + path + "' is signed by NVIDIA and the signature was verified.\n";
    } else if (c.line == Line::rejected) {
        expected =
            "File '" + path + "' is NOT correctly signed - Streamline will not load unsecured modules\n";
    }
    EXPECT_EQ(readText(stdoutFile), expected);
    // A config.json is written when missing: the store exists on every path.
    EXPECT_NE(GetFileAttributesW((dir + L"\\config.json").c_str()), INVALID_FILE_ATTRIBUTES);
}

INSTANTIATE_TEST_SUITE_P(
    Standin, LoaderSteps,
    ::testing::Values(LoaderCase{"success", Place::file, "signed/sl.interposer.dll", nullptr, nullptr,
                                 loaded | coreEntryPoints | someCoreEntryPoint | interposerLoaded |
                                     storeCreated,
                                 true, 0, Line::accepted},
                      LoaderCase{"no_directory", Place::nothing, nullptr, nullptr, nullptr, storeCreated,
                                 false, -1, Line::none},
                      LoaderCase{"no_file", Place::emptyStreamlineDir, nullptr, nullptr, nullptr,
                                 storeCreated, false, -1, Line::none},
                      LoaderCase{"directory_in_place", Place::directoryInPlace, nullptr, nullptr, nullptr,
                                 storeCreated, false, -1, Line::none},
                      LoaderCase{"unsigned", Place::file, "sl.interposer.dll", nullptr, nullptr, storeCreated,
                                 false, -1, Line::rejected},
                      LoaderCase{"no_slinit", Place::file, "signed/noinit/sl.interposer.dll", nullptr,
                                 nullptr, interposerLoaded | storeCreated, true, -1, Line::accepted},
                      LoaderCase{"slinit_fails", Place::file, "signed/sl.interposer.dll", nullptr, "slInit",
                                 interposerLoaded | storeCreated, true, 1, Line::accepted},
                      LoaderCase{"no_core_export", Place::file, "signed/nocore/sl.interposer.dll", nullptr,
                                 nullptr, interposerLoaded | storeCreated, true, 0, Line::accepted},
                      LoaderCase{"pass_through", Place::file, "signed/sl.interposer.dll", disabledConfig,
                                 nullptr, loaded | passThrough | storeCreated, false, -1, Line::none}),
    [](const ::testing::TestParamInfo<LoaderCase>& info) { return std::string(info.param.name); });

TEST(LoaderPreferences, RecordPassedToSlInit)
{
    const std::wstring dir = freshDirectory(L"loader_cases\\preferences");
    ASSERT_TRUE(placeInterposer(dir, standinFile("signed/sl.interposer.dll")));
    const std::wstring journal = dir + L"\\journal.txt";
    SetEnvironmentVariableW(L"SL_STANDIN_JOURNAL", journal.c_str());
    SetEnvironmentVariableW(L"SL_STANDIN_FAIL", nullptr);
    ASSERT_EQ(runChild(dir, dir + L"\\stdout.txt"),
              DWORD(loaded | coreEntryPoints | someCoreEntryPoint | interposerLoaded | storeCreated));
    const auto inits = standin::entriesNamed(standin::readJournal(narrow(journal)), "slInit");
    ASSERT_EQ(inits.size(), 1u);
    const standin::JournalEntry& e = inits[0];
    const std::string streamlineDir = narrow(dir) + "\\streamline";
    const std::pair<const char*, std::string> fields[] = {
        {"sdkVersion", "0x000200010001FEDC"},
        {"type", "{1CA10965-BF8E-432B-8DA1-6716D879FB14}"},
        {"version", "1"},
        {"next", "null"},
        {"showConsole", "0"},
        {"logLevel", "1"},
        {"plugins", streamlineDir},
        {"numPlugins", "1"},
        {"logs", streamlineDir},
        {"allocateCallback", "null"},
        {"releaseCallback", "null"},
        {"logMessageCallback", "null"},
        {"features", "3,0,1000,2"},
        {"numFeatures", "4"},
        {"applicationId", "141959980"},
        {"engine", "0"},
        {"engineVersion", "1.0.0"},
        {"projectId", "{E57EBA73-277D-4D76-8C29-60AB8155FA36}"},
        {"renderAPI", "1"},
    };
    for (const auto& [key, value] : fields) {
        if (std::string(key) == "sdkVersion") {
            EXPECT_EQ(static_cast<std::uint64_t>(e.integer(key)), 0x000200010001FEDCull);
        } else {
            EXPECT_EQ(e.text(key), value) << key;
        }
    }
    EXPECT_EQ(e.integer("flags"), 0x4D);
}

// The first-use rule of the lazy slots, against recording functions.
int featureFetches = 0;
sl::Result fetchResult = sl::Result::eOk;
sl::Result fakeReflexSleep(const sl::FrameToken&)
{
    return sl::Result::eOk;
}
sl::Result fakeGetFeatureFunction(sl::Feature feature, const char* name, void*& function)
{
    ++featureFetches;
    if (fetchResult == sl::Result::eOk && feature == sl::kFeatureReflex &&
        std::string(name) == "slReflexSleep") {
        function = reinterpret_cast<void*>(&fakeReflexSleep);
    }
    return fetchResult;
}

TEST(LazyFetch, FeatureSlotFilledOnceAndRetriedAfterFailure)
{
    StreamlineApi saved = streamlineApi;
    streamlineApi.slGetFeatureFunction = &fakeGetFeatureFunction;
    sl::PFun_slReflexSleep* slot = nullptr;
    featureFetches = 0;

    fetchResult = sl::Result::eErrorIO;
    EXPECT_EQ(fetchFeatureFunction(slot, sl::kFeatureReflex, "slReflexSleep"), nullptr);
    EXPECT_EQ(slot, nullptr);
    fetchResult = sl::Result::eOk;
    EXPECT_EQ(fetchFeatureFunction(slot, sl::kFeatureDLSS, "slReflexSleep"),
              nullptr); // succeeded, no function
    EXPECT_EQ(fetchFeatureFunction(slot, sl::kFeatureReflex, "slReflexSleep"), &fakeReflexSleep);
    EXPECT_EQ(fetchFeatureFunction(slot, sl::kFeatureReflex, "slReflexSleep"), &fakeReflexSleep);
    EXPECT_EQ(featureFetches, 3); // the filled slot is not fetched again

    sl::PFun_slSetTag* core = nullptr;
    EXPECT_EQ(fetchCoreFunction(core, nullptr, "slSetTag"), nullptr);
    EXPECT_EQ(fetchCoreFunction(core, GetModuleHandleW(L"kernel32.dll"), "slSetTag"), nullptr);
    EXPECT_EQ(core, nullptr);
    streamlineApi = saved;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc >= 2 && std::strcmp(argv[1], "--load") == 0) {
        return runLoaderChild();
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
