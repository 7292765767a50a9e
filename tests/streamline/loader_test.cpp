#include "streamline/loader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <regex>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "common/log.h"
#include "common/message_box.h"
#include "standin_world.h"
#include "streamline/file_version.h"
#include "streamline/interposer_check.h"
#include "streamline/startup_phases.h"
#include "streamline/streamline_api.h"
#include "streamline/streamline_files.h"
#include "testbed/streamline/journal.h"
#include "testbed/world/box_catcher.h"

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
constexpr DWORD swapRefused = 64;        // the interposer could not be swapped after its early check

// The child also keeps fsr2bridge.log in its directory and writes the boxes it caught to boxes.txt, each as
// caption, line feed, text, then a record separator (UTF-8).
constexpr char boxSeparator = '\x1E';

// With LOADER_SWAP set the interposer is checked early, as while a game boots, and then, before the load,
// "file": replaced by the module named in LOADER_SWAP_WITH; "folder": the streamline folder put aside and a
// new one with that module made; "directory": the check was made in the folder "before" (a copy) and the
// working directory changes to the game's folder.
bool checkEarlyThenSwap()
{
    char swap[16] = {};
    wchar_t with[MAX_PATH] = {};
    GetEnvironmentVariableA("LOADER_SWAP", swap, sizeof swap);
    GetEnvironmentVariableW(L"LOADER_SWAP_WITH", with, MAX_PATH);
    const std::string how = swap;
    const wchar_t* const interposer = L"streamline\\sl.interposer.dll";
    if (how == "directory") {
        CreateDirectoryW(L"before", nullptr);
        CreateDirectoryW(L"before\\streamline", nullptr);
        CopyFileW(interposer, L"before\\streamline\\sl.interposer.dll", FALSE);
        SetCurrentDirectoryW(L"before");
    }
    startEarlyInterposerCheck();
    while (!earlyInterposerCheckFinished())
        Sleep(5);
    if (how == "directory")
        SetCurrentDirectoryW(L"..");
    if (how == "file")
        return !CopyFileW(with, interposer, FALSE) && !DeleteFileW(interposer);
    if (how == "folder")
        return !(MoveFileW(L"streamline", L"streamline.verified") &&
                 CreateDirectoryW(L"streamline", nullptr) && CopyFileW(with, interposer, FALSE));
    return false;
}

int runLoaderChild()
{
    startLog();
    testworld::BoxCatcher catcher;
    DWORD code = 0;
    if (GetEnvironmentVariableA("LOADER_SWAP", nullptr, 0) > 0)
        code |= checkEarlyThenSwap() ? swapRefused : 0u;
    code |= loadStreamline() ? loaded : 0u;
    logStartupPhases(); // where a game's start-up ends, after its first device
    std::string boxes;
    for (const auto& box : catcher.boxes())
        boxes += toUtf8(box.caption) + "\n" + toUtf8(box.text) + boxSeparator;
    writeText(L"boxes.txt", boxes);
    flushLog(5000);
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
enum class Box { none, missing, notAFile, rejected };

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
    const char* logged;         // a line of fsr2bridge.log (the interposer's path stands for "<path>")
    Box box;                    // the one start-failure box the load shows, if any
    const char* swap = nullptr; // LOADER_SWAP: checked early, then swapped (checkEarlyThenSwap)
};

std::string replaced(std::string text, const std::string& what, const std::string& with)
{
    const std::size_t at = text.find(what);
    return at == std::string::npos ? text : text.replace(at, what.size(), with);
}

// What the log says whatever the case: where it looked, and a failed load's consequence last.
void expectLoaderLog(std::string log, const LoaderCase& c, const std::string& path)
{
    static const std::regex milliseconds(R"(\d+\.\d ms)");
    log = std::regex_replace(log, milliseconds, "<ms>");
    EXPECT_NE(log.find(replaced(c.logged, "<path>", path)), std::string::npos) << c.logged << "\n" << log;
    const bool passThroughCase = (c.code & passThrough) != 0;
    EXPECT_EQ(log.find("Streamline: looking for the interposer at " + path) != std::string::npos,
              !passThroughCase)
        << log;
    const bool failed = (c.code & loaded) == 0;
    EXPECT_EQ(log.find("Streamline: not loaded; the game's first DXGI factory fails (E_UNEXPECTED)") !=
                  std::string::npos,
              failed)
        << log;
    EXPECT_EQ(log.find("Streamline: loaded and initialised") != std::string::npos,
              !failed && !passThroughCase)
        << log;
    // The settings come first: read (or created) before anything is looked for.
    EXPECT_LT(log.find("settings: "), log.find("Streamline: ")) << log;
}

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
    SetEnvironmentVariableA("LOADER_SWAP", c.swap);
    SetEnvironmentVariableW(L"LOADER_SWAP_WITH", standinFile("sl.interposer.dll").c_str());
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

    expectLoaderLog(readText(dir + L"\\fsr2bridge.log"), c, path);
    const std::string boxes = readText(dir + L"\\boxes.txt");
    if (c.box == Box::none) {
        EXPECT_EQ(boxes, "");
    } else {
        const StartFailure reason = c.box == Box::missing    ? StartFailure::interposerMissing
                                    : c.box == Box::notAFile ? StartFailure::interposerNotAFile
                                                             : StartFailure::interposerRejected;
        const std::wstring wide(path.begin(), path.end());
        EXPECT_EQ(boxes,
                  toUtf8(errorBoxCaption) + "\n" + toUtf8(startFailureText(reason, wide)) + boxSeparator);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Standin, LoaderSteps,
    ::testing::Values(
        LoaderCase{"success", Place::file, "signed/sl.interposer.dll", nullptr, nullptr,
                   loaded | coreEntryPoints | someCoreEntryPoint | interposerLoaded | storeCreated, true, 0,
                   Line::accepted,
                   "Streamline: File '<path>' is signed by NVIDIA and the signature was verified.\n",
                   Box::none},
        LoaderCase{"no_directory", Place::nothing, nullptr, nullptr, nullptr, storeCreated, false, -1,
                   Line::none, "Streamline: <path> does not exist\n", Box::missing},
        LoaderCase{"no_file", Place::emptyStreamlineDir, nullptr, nullptr, nullptr, storeCreated, false, -1,
                   Line::none, "Streamline: <path> does not exist\n", Box::missing},
        LoaderCase{"directory_in_place", Place::directoryInPlace, nullptr, nullptr, nullptr, storeCreated,
                   false, -1, Line::none, "Streamline: <path> is not a file (a folder has its name)",
                   Box::notAFile},
        LoaderCase{"unsigned", Place::file, "sl.interposer.dll", nullptr, nullptr, storeCreated, false, -1,
                   Line::rejected,
                   "Streamline: File '<path>' is NOT correctly signed - Streamline will not load unsecured "
                   "modules (failed step: primaryTrust)\n",
                   Box::rejected},
        LoaderCase{"no_slinit", Place::file, "signed/noinit/sl.interposer.dll", nullptr, nullptr,
                   interposerLoaded | storeCreated, true, -1, Line::accepted,
                   "Streamline: the interposer does not export slInit", Box::none},
        LoaderCase{"slinit_fails", Place::file, "signed/sl.interposer.dll", nullptr, "slInit",
                   interposerLoaded | storeCreated, true, 1, Line::accepted,
                   "Streamline: slInit returned 1 (eErrorIO)", Box::none},
        LoaderCase{"no_core_export", Place::file, "signed/nocore/sl.interposer.dll", nullptr, nullptr,
                   interposerLoaded | storeCreated, true, 0, Line::accepted,
                   "Streamline: the interposer does not export slGetFeatureFunction", Box::none},
        LoaderCase{"pass_through", Place::file, "signed/sl.interposer.dll", disabledConfig, nullptr,
                   loaded | passThrough | storeCreated, false, -1, Line::none,
                   "Streamline: not loaded: \"enabled\" is false in config.json (pass-through mode",
                   Box::none},
        // Checked while the game boots: the file verified stays held until it is loaded, so it cannot be
        // replaced or deleted; a new folder in place of the one that held it (Windows refuses that too, Wine
        // does not) is not the file verified: it is examined afresh, and this unsigned one is refused.
        LoaderCase{
            "early_then_file_swapped", Place::file, "signed/sl.interposer.dll", nullptr, nullptr,
            swapRefused | loaded | coreEntryPoints | someCoreEntryPoint | interposerLoaded | storeCreated,
            true, 0, Line::accepted, "signature check <ms> (during the game's boot; the first factory waited",
            Box::none, "file"},
        LoaderCase{"early_then_folder_swapped", Place::file, "signed/sl.interposer.dll", nullptr, nullptr,
                   storeCreated, false, -1, Line::rejected,
                   "Streamline: File '<path>' is NOT correctly signed - Streamline will not load unsecured "
                   "modules (failed step: primaryTrust)\n",
                   Box::rejected, "folder"},
        // The game changed its working directory after the early check: the first factory's path is checked.
        LoaderCase{"early_then_directory_changed", Place::file, "signed/sl.interposer.dll", nullptr, nullptr,
                   loaded | coreEntryPoints | someCoreEntryPoint | interposerLoaded | storeCreated, true, 0,
                   Line::accepted, "signature check <ms> (in the first factory;", Box::none, "directory"}),
    [](const ::testing::TestParamInfo<LoaderCase>& info) { return std::string(info.param.name); });

// The start-failure box tells the player where the interposer was looked for, why it was not taken and
// both ways out, and that the game stops.
TEST(StartFailureBox, SaysWhereWhyWhatToDoAndThatTheGameStops)
{
    const std::wstring path = L"C:\\Games\\Some Game\\streamline\\sl.interposer.dll";
    const struct {
        StartFailure reason;
        const wchar_t* why;
    } cases[] = {
        {StartFailure::interposerMissing, L"does not exist"},
        {StartFailure::interposerNotAFile, L"Something other than a file"},
        {StartFailure::interposerRejected, L"not correctly signed by NVIDIA"},
    };
    std::set<std::wstring> texts;
    for (const auto& c : cases) {
        const std::wstring text = startFailureText(c.reason, path);
        SCOPED_TRACE(toUtf8(text));
        texts.insert(text);
        EXPECT_NE(text.find(L"\n" + path + L"\n"), std::wstring::npos)
            << "the full path on a line of its own";
        EXPECT_NE(text.find(c.why), std::wstring::npos);
        EXPECT_NE(text.find(L"official NVIDIA Streamline release"), std::wstring::npos);
        EXPECT_NE(text.find(L"remove fsr2bridge.dll"), std::wstring::npos);
        EXPECT_NE(text.find(L"fsr2bridge.log"), std::wstring::npos);
        EXPECT_EQ(text.substr(text.size() - 23), L"The game will now stop.");
    }
    EXPECT_EQ(texts.size(), std::size(cases));
}

TEST(StartFailureBox, ShownOncePerProcess)
{
    testworld::BoxCatcher catcher;
    explainStartFailure(StartFailure::interposerMissing, L"X:\\a\\streamline\\sl.interposer.dll");
    explainStartFailure(StartFailure::interposerRejected, L"X:\\b\\streamline\\sl.interposer.dll");
    const auto boxes = catcher.boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, L"An error occured!");
    EXPECT_EQ(boxes[0].text,
              startFailureText(StartFailure::interposerMissing, L"X:\\a\\streamline\\sl.interposer.dll"));
}

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

// The file version as read from the version resource: files of the stand-in sets, files without one, and a
// real image damaged at each step of the walk (read from memory).
TEST(FileVersionRead, FromTheVersionResourceOrUnknown)
{
    const std::pair<const char*, const char*> files[] = {
        {"signed/2.4.0/sl.interposer.dll", "2.4.0.0"},  {"signed/2.7.2/sl.dlss_g.dll", "2.7.2.0"},
        {"signed/2.1.1/nvngx_dlss.dll", "3.1.30.0"},    {"signed/2.7.2/nvngx_dlssg.dll", "310.1.0.0"},
        {"signed/noinit/sl.interposer.dll", "unknown"}, {"signed/2.4.0", "unknown"},
        {"signed/2.4.0/absent.dll", "unknown"},
    };
    for (const auto& [file, expected] : files)
        EXPECT_EQ(versionText(fileVersionOf(standinFile(file))), expected) << file;

    std::ifstream in(std::filesystem::path(standinFile("signed/2.4.0/sl.common.dll")), std::ios::binary);
    const std::vector<unsigned char> image((std::istreambuf_iterator<char>(in)),
                                           std::istreambuf_iterator<char>());
    ASSERT_GT(image.size(), 4096u);
    struct Memory final : ByteSource {
        std::vector<unsigned char> bytes;
        bool read(std::uint64_t offset, void* out, std::size_t size) noexcept override
        {
            if (offset > bytes.size() || size > bytes.size() - offset)
                return false;
            std::memcpy(out, bytes.data() + offset, size);
            return true;
        }
    };
    auto at = [](std::vector<unsigned char>& b, const std::vector<unsigned char>& pattern) {
        return std::search(b.begin(), b.end(), pattern.begin(), pattern.end());
    };
    const std::pair<const char*, std::function<void(std::vector<unsigned char>&)>> damages[] = {
        {"whole", [](std::vector<unsigned char>&) {}},
        {"no MZ", [](std::vector<unsigned char>& b) { b[0] = 'X'; }},
        {"PE header past the end", [](std::vector<unsigned char>& b) { std::memset(&b[0x3C], 0x7F, 4); }},
        {"headers only", [](std::vector<unsigned char>& b) { b.resize(1024); }},
        {"cut in the version resource",
         [&](std::vector<unsigned char>& b) {
             b.resize(at(b, {0xBD, 0x04, 0xEF, 0xFE}) - b.begin() + 2);
         }},
        {"fixed info signature broken",
         [&](std::vector<unsigned char>& b) {
             at(b, {0xBD, 0x04, 0xEF, 0xFE})[0] = 0;
         }},
    };
    for (const auto& [what, damage] : damages) {
        Memory memory;
        memory.bytes = image;
        damage(memory.bytes);
        EXPECT_EQ(versionText(imageFileVersion(memory)), std::string(what) == "whole" ? "2.4.0.0" : "unknown")
            << what;
    }
}

// Which file of the set keeps a feature from running: a complete 2.7.2 set with one change per row.
TEST(StreamlineSet, LikelyCauseOfAnUnavailableFeature)
{
    const FileVersion v272{2, 7, 2, 0, true}, v240{2, 4, 0, 0, true}, v211{2, 1, 1, 0, true};
    auto complete = [&](FileVersion interposer) {
        StreamlineInventory in;
        in.taken = true;
        in.directory = L"C:\\game\\streamline";
        in.interposer = interposer;
        for (std::size_t f = 0; f < setFileCount; ++f) {
            in.present[f] = true;
            in.versions[f] = interposer;
        }
        return in;
    };
    using Kind = LikelyCause::Kind;
    const auto missing = [](SetFile f) {
        return [f](StreamlineInventory& in) { in.present[std::size_t(f)] = false; };
    };
    struct Case {
        const char* name;
        FileVersion interposer;
        std::function<void(StreamlineInventory&)> change;
        sl::Feature feature;
        sl::Result result;
        Kind kind;
        SetFile file;
        bool throughReflex;
    };
    const auto none = [](StreamlineInventory&) {};
    const Case cases[] = {
        {"complete", v272, none, sl::kFeatureDLSS, sl::Result::eErrorFeatureMissing, Kind::none,
         SetFile::common, false},
        {"available", v272, missing(SetFile::pcl), sl::kFeatureReflex, sl::Result::eOk, Kind::none,
         SetFile::common, false},
        {"no pcl", v272, missing(SetFile::pcl), sl::kFeatureReflex, sl::Result::eErrorFeatureMissing,
         Kind::pclMissing, SetFile::pcl, false},
        {"no pcl, FG", v272, missing(SetFile::pcl), sl::kFeatureDLSS_G, sl::Result::eErrorIO,
         Kind::pclMissing, SetFile::pcl, true},
        {"no pcl in 2.1.1", v211, missing(SetFile::pcl), sl::kFeatureReflex, sl::Result::eErrorFeatureMissing,
         Kind::none, SetFile::common, false},
        {"2.4.0 reflex, 2.1.1 interposer", v211,
         [&](StreamlineInventory& in) {
             in.present[std::size_t(SetFile::pcl)] = false;
             in.versions[std::size_t(SetFile::reflex)] = v240;
         },
         sl::kFeatureReflex, sl::Result::eErrorFeatureMissing, Kind::pclMissing, SetFile::pcl, false},
        {"no FG NGX", v272, missing(SetFile::ngxDlssg), sl::kFeatureDLSS_G,
         sl::Result::eErrorNoSupportedAdapterFound, Kind::ngxMissing, SetFile::ngxDlssg, false},
        {"no common", v272, missing(SetFile::common), sl::kFeatureNIS, sl::Result::eErrorFeatureMissing,
         Kind::missing, SetFile::common, false},
        {"mixed DLSS, driver", v272,
         [&](StreamlineInventory& in) { in.versions[std::size_t(SetFile::dlss)] = v240; }, sl::kFeatureDLSS,
         sl::Result::eErrorDriverOutOfDate, Kind::otherRelease, SetFile::dlss, false},
        {"no DLSS, GPU", v272, missing(SetFile::dlss), sl::kFeatureDLSS,
         sl::Result::eErrorAdapterNotSupported, Kind::none, SetFile::common, false},
        {"not taken", v272,
         [](StreamlineInventory& in) {
             in.taken = false;
             in.present[0] = false;
         },
         sl::kFeatureNIS, sl::Result::eErrorFeatureMissing, Kind::none, SetFile::common, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StreamlineInventory in = complete(c.interposer);
        c.change(in);
        const LikelyCause cause = likelyCause(in, c.feature, c.result);
        EXPECT_EQ(cause.kind, c.kind);
        if (c.kind != Kind::none) {
            EXPECT_EQ(cause.file, c.file);
            const std::wstring text = likelyCauseText(in, cause);
            EXPECT_NE(text.find(setFileName(c.file)), std::wstring::npos);
            EXPECT_NE(text.find(L"C:\\game\\streamline"), std::wstring::npos);
        }
        EXPECT_EQ(cause.throughReflex, c.throughReflex);
    }

    // A bad Frame Generation status: the fixed text appended to the box, or nothing.
    StreamlineInventory noPcl = complete(v272);
    noPcl.present[std::size_t(SetFile::pcl)] = false;
    replaceStreamlineInventory(noPcl);
    wchar_t text[256] = L"status";
    EXPECT_GT(appendFrameGenerationStatusCause(2, text, 6, 256), 6u);
    EXPECT_NE(std::wstring(text).find(L"status\n\nLikely cause: sl.pcl.dll is missing"), std::wstring::npos);
    EXPECT_EQ(appendFrameGenerationStatusCause(2, text, 6, 40), 6u) << "no room: the box keeps its text";
    EXPECT_EQ(frameGenerationStatusCause(16), nullptr);
    replaceStreamlineInventory(complete(v272));
    EXPECT_EQ(frameGenerationStatusCause(16), nullptr);
    EXPECT_NE(std::wstring(frameGenerationStatusCause(1)).find(L"resolution"), std::wstring::npos);
    replaceStreamlineInventory(StreamlineInventory{});

    // What Frame Generation's plug-in does with its options: sl.dlss_g.dll's release, else the interposer's.
    const auto v = [](std::uint16_t minor, std::uint16_t patch) {
        return FileVersion{2, minor, patch, 0, true};
    };
    const std::tuple<FileVersion, FileVersion, bool, bool> releases[] = {
        {v211, {}, false, false},       {v(3, 0), {}, true, false},  {v240, {}, true, true},
        {v(4, 9), v(4, 9), true, true}, {v(4, 10), {}, true, false}, {v272, v240, true, true},
        {v240, v272, true, false}};
    for (const auto& [interposer, dlssg, retains, forgets] : releases) {
        StreamlineInventory in = complete(interposer);
        in.present[std::size_t(SetFile::dlssg)] = dlssg.known;
        in.versions[std::size_t(SetFile::dlssg)] = dlssg;
        const FrameGenerationRelease release = frameGenerationRelease(in);
        EXPECT_EQ(release.retainsResourcesWhenAsked, retains) << interposer.minor << "." << interposer.patch;
        EXPECT_EQ(release.forgetsOptionsEachPresent, forgets) << dlssg.minor << "." << dlssg.patch;
    }
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
