// What fsr2bridge.log tells a player about a run of the stand-in game: each scenario is its own game process
// in its own folder, and its log must say, in order, what the system did and why.
#include "testbed/host/host_report.h"
#include "tests/e2e/game_run.h"

#include "common/log.h"
#include "common/message_box.h"
#include "streamline/loader.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

using namespace e2e;

namespace {

const std::wstring layoutGame = windowsPath(E2E_HOST_GAME);
const std::wstring otherBuildGame = windowsPath(E2E_HOST_GAME_OTHERBUILD);
const std::wstring runsDir = windowsPath(E2E_RUNS_DIR);
const std::wstring testKeyBridge = windowsPath(E2E_BRIDGE);
const std::wstring signedInterposer = windowsPath(E2E_SIGNED_INTERPOSER);
const std::wstring unsignedInterposer = windowsPath(E2E_UNSIGNED_INTERPOSER);
const std::wstring interposersDir = windowsPath(E2E_INTERPOSERS_DIR);

const std::wstring gameArguments = L"--frames 8 --resize-at 0 --render 64x64 --display 128x128";

std::string utf8(const std::wstring& text)
{
    return fsr2bridge::toUtf8(text);
}

GameFolder bridged(const wchar_t* name, const std::wstring& interposer = signedInterposer)
{
    GameFolder folder;
    folder.path = runsDir + L"\\log_" + name;
    folder.bridge = testKeyBridge;
    folder.interposer = interposer;
    return folder;
}

std::string interposerPathIn(const GameFolder& folder)
{
    return utf8(folder.path) + "\\streamline\\sl.interposer.dll";
}

// The log's lines without their time and thread; every line must have both.
std::vector<std::string> logLines(const std::string& log)
{
    static const std::regex prefix(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[\d+\] )");
    std::vector<std::string> lines;
    std::istringstream in(log);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        std::smatch match;
        EXPECT_TRUE(std::regex_search(line, match, prefix)) << "no time and thread: " << line;
        lines.push_back(match.empty() ? line : match.suffix().str());
    }
    return lines;
}

// Each fragment is in a line that comes after the line of the fragment before it.
void expectInOrder(const std::vector<std::string>& lines, const std::vector<std::string>& fragments)
{
    std::size_t next = 0;
    for (const std::string& fragment : fragments) {
        std::size_t at = next;
        while (at < lines.size() && lines[at].find(fragment) == std::string::npos)
            ++at;
        if (at == lines.size()) {
            std::string all;
            for (const auto& l : lines)
                all += l + "\n";
            ADD_FAILURE() << "not in the log (after line " << next << "): " << fragment << "\n" << all;
            return;
        }
        next = at + 1;
    }
}

bool anyLineHas(const std::vector<std::string>& lines, const std::string& fragment)
{
    for (const auto& line : lines)
        if (line.find(fragment) != std::string::npos)
            return true;
    return false;
}

// The build, the process, Windows and the working directory open every log.
void expectStartLines(const std::vector<std::string>& lines, const GameFolder& folder)
{
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[0].rfind("fsr2bridge ", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1].rfind("process ", 0), 0u) << lines[1];
    EXPECT_TRUE(std::regex_search(lines[2], std::regex("^Windows 10\\.0 build [0-9]+"))) << lines[2];
    EXPECT_EQ(lines[3], "working directory " + utf8(folder.path));
    // Nothing lost on the way.
    EXPECT_FALSE(anyLineHas(lines, "log records dropped"));
    EXPECT_FALSE(anyLineHas(lines, "size limit"));
}

const std::string boxCaption = fsr2bridge::toUtf8(fsr2bridge::errorBoxCaption);

std::string caughtBox(const std::wstring& text)
{
    return "caption=\"" + hostgame::escapeText(fsr2bridge::errorBoxCaption) + "\" text=\"" +
           hostgame::escapeText(text) + "\"";
}

TEST(Log, NormalRunSaysWhatWasLoadedAskedAndHooked)
{
    const GameFolder folder = bridged(L"normal");
    // With a transparency mask: its views need the device's view hook, installed on the first dispatch.
    const GameRun run = runGame(folder, layoutGame, gameArguments + L" --mask");
    ASSERT_EQ(run.exitCode, 0u) << run.output;
    EXPECT_TRUE(run.boxes.empty());
    const auto lines = logLines(run.file(L"fsr2bridge.log"));
    expectStartLines(lines, folder);
    const std::string config = utf8(folder.path) + "\\config.json";
    const std::string interposer = interposerPathIn(folder);
    expectInOrder(lines, {
                             "settings: " + config + " created with the defaults: it was not found",
                             "settings: saved " + config,
                             "settings in use: enabled=true dlssMode=MaxPerformance dlssPreset=Default "
                             "enableFrameGeneration=true",
                             "Streamline: looking for the interposer at " + interposer,
                             "Streamline: File '" + interposer +
                                 "' is signed by NVIDIA and the signature was verified.",
                             "Streamline: interposer loaded at ",
                             "Streamline: slInit returned 0 (eOk)",
                             "Streamline: loaded and initialised",
                             " attached to Streamline; adapter LUID ",
                             "Reflex: available",
                             "DLSS: available",
                             "DLSS Frame Generation: available",
                             ", DXGI's adapter 0 of 1", // the adapter named, read from the game's factory
                             "hook on PeekMessageA installed",
                             "Reflex started: mode 2, frame limit 0 us, sleep on",
                             "hook on the game's camera function installed",
                             "hook on ffxFsr2ContextCreate installed",
                             "hook on ffxFsr2ContextDispatch installed",
                             "hook on ffxFsr2ContextDestroy installed",
                             "hook on ffxFsr2RegisterAliasableResources installed",
                             "DLSS is in place of the game's FSR2",
                             "hook on the device's CreateShaderResourceView at 0x",
                         });
    EXPECT_TRUE(anyLineHas(lines, "installed (views of the transparency mask)"));
    EXPECT_FALSE(anyLineHas(lines, "message box"));
    EXPECT_FALSE(anyLineHas(lines, "not available"));
}

// A later build of the game: the log says why the camera hook stayed out, and that DLSS still came in.
TEST(Log, AnotherGameBuildSaysWhyTheCameraHookStaysOut)
{
    const GameFolder folder = bridged(L"other_build");
    const GameRun run = runGame(folder, otherBuildGame, gameArguments);
    ASSERT_EQ(run.exitCode, 0u) << run.output;
    const auto lines = logLines(run.file(L"fsr2bridge.log"));
    expectStartLines(lines, folder);
    expectInOrder(lines, {
                             "Streamline: loaded and initialised",
                             "DLSS: available",
                             "camera hook skipped: +0x33E4D68 lies inside the function at ",
                             "hook on ffxFsr2ContextCreate installed",
                             "hook on ffxFsr2RegisterAliasableResources installed",
                             "DLSS is in place of the game's FSR2",
                         });
    EXPECT_FALSE(anyLineHas(lines, "hook on the game's camera function"));
}

enum class Setup { nothing, folderInPlace, file };

struct RejectedCase {
    const wchar_t* name;
    Setup setup;
    std::wstring interposer; // Setup::file: the module placed as streamline\sl.interposer.dll
    std::string reason;      // the log line that says why (<path>: the interposer's path)
    fsr2bridge::StartFailure box;
};

std::string withPath(std::string text, const std::string& path)
{
    const std::size_t at = text.find("<path>");
    return at == std::string::npos ? text : text.replace(at, 6, path);
}

TEST(Log, EachRejectedInterposerIsExplainedInTheLogAndInOneBox)
{
    using fsr2bridge::StartFailure;
    const std::string notSigned =
        "Streamline: File '<path>' is NOT correctly signed - Streamline will not load "
        "unsecured modules (failed step: ";
    const RejectedCase cases[] = {
        {L"missing", Setup::nothing, L"", "Streamline: <path> does not exist",
         StartFailure::interposerMissing},
        {L"folder", Setup::folderInPlace, L"", "Streamline: <path> is not a file (a folder has its name)",
         StartFailure::interposerNotAFile},
        {L"unsigned", Setup::file, unsignedInterposer, notSigned + "primaryTrust)",
         StartFailure::interposerRejected},
        {L"otherkey", Setup::file, interposersDir + L"\\otherkey\\sl.interposer.dll",
         notSigned + "vendorKey)", StartFailure::interposerRejected},
        {L"tampered", Setup::file, interposersDir + L"\\tampered\\sl.interposer.dll",
         notSigned + "primaryTrust)", StartFailure::interposerRejected},
        {L"nonested", Setup::file, interposersDir + L"\\nonested\\sl.interposer.dll",
         "Streamline: File '<path>' does not have the secondary NVIDIA signature - Streamline will not load "
         "unsecured modules (failed step: secondaryCount)",
         StartFailure::interposerRejected},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(utf8(c.name));
        GameFolder folder = bridged(c.name, c.setup == Setup::file ? c.interposer : std::wstring());
        if (c.setup == Setup::folderInPlace) {
            std::filesystem::remove_all(folder.path);
            std::filesystem::create_directories(std::filesystem::path(folder.path) / L"streamline" /
                                                L"sl.interposer.dll");
            folder.fresh = false;
        }
        const GameRun run = runGame(folder, layoutGame, gameArguments);
        const std::string path = interposerPathIn(folder);
        // The factory fails as before: the game stops.
        EXPECT_EQ(run.exitCode, 3u) << run.output;
        EXPECT_EQ(run.value("factory_hr"), "0x8000FFFF");
        EXPECT_EQ(run.value("streamline_loaded"), "0");
        // One box, with the full path, what to do, and that the game stops.
        const std::wstring widePath(folder.path + L"\\streamline\\sl.interposer.dll");
        ASSERT_EQ(run.boxes.size(), 1u) << run.output;
        EXPECT_EQ(run.boxes[0], caughtBox(fsr2bridge::startFailureText(c.box, widePath)));

        const auto lines = logLines(run.file(L"fsr2bridge.log"));
        expectStartLines(lines, folder);
        expectInOrder(lines,
                      {
                          "settings in use: ",
                          "Streamline: looking for the interposer at " + path,
                          withPath(c.reason, path),
                          "message box \"" + boxCaption + "\": fsr2bridge could not start NVIDIA Streamline.",
                          "Streamline: not loaded; the game's first DXGI factory fails (E_UNEXPECTED) and "
                          "the game will stop",
                      });
        EXPECT_FALSE(anyLineHas(lines, "attached to Streamline"));
    }
}

TEST(Log, FrameGenerationUnavailableIsExplainedAndTheNextStartDoesNotAsk)
{
    GameFolder folder = bridged(L"no_fg");
    folder.environment[L"SL_STANDIN_SUPPORTED_DLSS_G"] = L"4";
    const GameRun first = runGame(folder, layoutGame, gameArguments);
    ASSERT_EQ(first.exitCode, 0u) << first.output;
    const std::string config = utf8(folder.path) + "\\config.json";
    const std::string firstLog = first.file(L"fsr2bridge.log");
    const auto lines = logLines(firstLog);
    expectStartLines(lines, folder);
    expectInOrder(lines,
                  {
                      "DLSS: available",
                      "DLSS Frame Generation: not available (slIsFeatureSupported returned 4, "
                      "eErrorOSDisabledHWS)",
                      "message box \"" + boxCaption +
                          "\": Please enable 'Hardware-accelerated GPU Scheduling' in your Windows settings "
                          "to be able to use DLSS Frame Generation.",
                      "DLSS Frame Generation switched off in config.json",
                      "settings: saved " + config,
                      // Which adapter refused it (named only when something is unavailable).
                      "adapter LUID ",
                      "DLSS is in place of the game's FSR2",
                  });

    folder.fresh = false;
    const GameRun second = runGame(folder, layoutGame, gameArguments);
    ASSERT_EQ(second.exitCode, 0u) << second.output;
    EXPECT_TRUE(second.boxes.empty());
    const auto again = logLines(second.file(L"fsr2bridge.log"));
    expectStartLines(again, folder);
    expectInOrder(again, {
                             "settings: " + config + " read",
                             "settings in use: enabled=true dlssMode=MaxPerformance dlssPreset=Default "
                             "enableFrameGeneration=false",
                             "DLSS: available",
                             "DLSS Frame Generation: not asked (\"enableFrameGeneration\" is false)",
                             "DLSS is in place of the game's FSR2",
                         });
    EXPECT_FALSE(anyLineHas(again, "settings: saved"));
    // The first run's log is kept beside the new one.
    EXPECT_EQ(second.file(L"fsr2bridge.previous.log"), firstLog);
}

// A bad Frame Generation status during play: the box is shown from the frame's path, so its line comes as a
// record, with what the upscaler did about it.
TEST(Log, BadFrameGenerationStatusNamesTheBoxAndTheHold)
{
    GameFolder folder = bridged(L"bad_fg_status");
    folder.environment[L"SL_STANDIN_DLSSG_STATUS"] = L"16";
    const GameRun run = runGame(folder, layoutGame, gameArguments);
    ASSERT_EQ(run.exitCode, 0u) << run.output;
    ASSERT_EQ(run.boxes.size(), 1u) << run.output;
    const auto lines = logLines(run.file(L"fsr2bridge.log"));
    expectStartLines(lines, folder);
    expectInOrder(lines,
                  {
                      "DLSS is in place of the game's FSR2",
                      "message box \"DLSS-G Error occured\": Got invalid DLSSG status while evaluating "
                      "DLSS! Failed Status: 16",
                  });
    EXPECT_TRUE(anyLineHas(lines, "Frame Generation off after the bad status 16"));
}

TEST(Log, PassThroughSaysTheSettingTurnedItOff)
{
    GameFolder folder = bridged(L"disabled");
    folder.configJson =
        R"({"version": 4, "enabled": false, "enableReflexSleep": true,)"
        R"( "enableFrameGeneration": true, "dlssMode": "Balanced", "reflexMode": "LowLatency",)"
        R"( "reflexFpsCap": 0, "enableNisSharpening": true, "dlssPreset": "Default"})";
    const GameRun run = runGame(folder, layoutGame, gameArguments);
    ASSERT_EQ(run.exitCode, 0u) << run.output;
    EXPECT_TRUE(run.boxes.empty());
    const auto lines = logLines(run.file(L"fsr2bridge.log"));
    expectStartLines(lines, folder);
    expectInOrder(lines, {
                             "settings: " + utf8(folder.path) + "\\config.json read",
                             "settings in use: enabled=false dlssMode=Balanced",
                             "Streamline: not loaded: \"enabled\" is false in config.json (pass-through mode",
                             "not attached: Streamline is not loaded",
                         });
    EXPECT_FALSE(anyLineHas(lines, "looking for the interposer"));
}

// A game folder nothing can be written into: under Wine the tests run as root, whom no folder refuses, so
// the folder is made to refuse the two files the system writes. A folder named fsr2bridge.log takes the
// log's place, and config.json is read-only (the settings never write over a read-only file). With Frame
// Generation unavailable the system even tries to save. The game must run as always, without a log.
TEST(Log, ReadOnlyGameFolderRunsWithoutALogAndWithoutError)
{
    GameFolder folder = bridged(L"read_only");
    folder.environment[L"SL_STANDIN_SUPPORTED_DLSS_G"] = L"4";
    const std::filesystem::path root(folder.path);
    const std::wstring config = (root / L"config.json").wstring();
    SetFileAttributesW(config.c_str(), FILE_ATTRIBUTE_NORMAL);
    std::filesystem::remove_all(root);
    std::filesystem::create_directories(root / L"fsr2bridge.log");
    const std::string configText =
        R"({"version": 4, "enabled": true, "enableReflexSleep": true, "enableFrameGeneration": true,)"
        R"( "dlssMode": "MaxPerformance", "reflexMode": "LowLatencyWithBoost", "reflexFpsCap": 0,)"
        R"( "enableNisSharpening": true, "dlssPreset": "Default"})";
    {
        std::ofstream out(root / L"config.json", std::ios::binary);
        out << configText;
    }
    ASSERT_TRUE(SetFileAttributesW(config.c_str(), FILE_ATTRIBUTE_READONLY));
    folder.fresh = false;

    const GameRun run = runGame(folder, layoutGame, gameArguments);
    SetFileAttributesW(config.c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(run.exitCode, 0u) << run.output;
    EXPECT_EQ(run.number("frames_presented"), 8u);
    EXPECT_EQ(run.value("swapchain_vtable"), "fsr2bridge.dll");
    EXPECT_EQ(run.number("own_fsr2_dispatches"), 0u);
    // Only the box that Frame Generation is unavailable; nothing about the log.
    ASSERT_EQ(run.boxes.size(), 1u) << run.output;
    EXPECT_NE(run.boxes[0].find("Hardware-accelerated GPU Scheduling"), std::string::npos);
    // No log anywhere, the folder in its place untouched, config.json as it was.
    EXPECT_TRUE(std::filesystem::is_directory(root / L"fsr2bridge.log"));
    EXPECT_TRUE(std::filesystem::is_empty(root / L"fsr2bridge.log"));
    EXPECT_FALSE(std::filesystem::exists(root / L"fsr2bridge.previous.log"));
    EXPECT_EQ(run.file(L"config.json"), configText);
}

// The Streamline set in the folder, listed with every version and its gaps named: complete, partial and mixed
// sets of the modelled releases, each row with the lines that must come in order and the boxes.
TEST(Log, EachStreamlineSetIsListedWithItsGaps)
{
    const std::wstring releases = windowsPath(E2E_RELEASES_DIR);
    struct Case {
        const wchar_t* name;
        const wchar_t* release;
        std::vector<std::wstring> leaveOut;
        std::map<std::wstring, std::wstring> replace; // name -> release whose file takes its place
        const char* preset;
        std::map<std::wstring, std::wstring> environment;
        std::vector<std::string> lines;
        std::vector<std::string> boxes; // a fragment of each box, in order
    };
    const Case cases[] = {
        {L"set_272",
         L"2.7.2",
         {},
         {},
         "Default",
         {},
         {"Streamline: sl.interposer.dll version 2.7.2.0 (Streamline 2.7.2)",
          "Streamline: nvngx_dlss.dll version 310.1.0.0", "Streamline: nvngx_dlssg.dll version 310.1.0.0",
          "Streamline: sl.common.dll version 2.7.2.0", "Streamline: sl.dlss.dll version 2.7.2.0",
          "Streamline: sl.dlss_g.dll version 2.7.2.0", "Streamline: sl.nis.dll version 2.7.2.0",
          "Streamline: sl.pcl.dll version 2.7.2.0", "Streamline: sl.reflex.dll version 2.7.2.0",
          "Streamline: the set is complete (Streamline 2.7.2)", "Streamline: slInit returned 0",
          "Reflex: available", "DLSS Frame Generation: available"},
         {}},
        {L"set_272_no_pcl",
         L"2.7.2",
         {L"sl.pcl.dll"},
         {},
         "Default",
         {},
         {"Streamline: sl.interposer.dll version 2.7.2.0",
          "Streamline: the set is incomplete: sl.pcl.dll is missing (Streamline 2.3 and later cannot start "
          "Reflex without it, and DLSS Frame Generation needs Reflex); copy it from the same Streamline "
          "release as sl.interposer.dll (2.7.2)",
          "Reflex: not available (slIsFeatureSupported returned 31, eErrorFeatureMissing)",
          "Reflex: likely cause: The file sl.pcl.dll is missing from the streamline folder (",
          "DLSS Frame Generation: available",
          // Frame Generation needs Reflex: it stays off for the run, with no box, and DLSS runs on.
          "DLSS Frame Generation off for this run: it needs Reflex, which is not running",
          "DLSS is in place of the game's FSR2"},
         {}},
        {L"set_272_mixed",
         L"2.7.2",
         {},
         {{L"sl.dlss_g.dll", L"2.4.0"}, {L"sl.dlss.dll", L"2.4.0"}},
         "Default",
         // Frame Generation's plug-in asks for a newer driver: its box gets the mixed set as a paragraph.
         {{L"SL_STANDIN_SUPPORTED_DLSS_G", L"2"}},
         {"Streamline: sl.dlss.dll version 2.4.0.0", "Streamline: sl.dlss_g.dll version 2.4.0.0",
          "Streamline: the set is mixed: sl.dlss.dll is version 2.4.0.0, sl.interposer.dll 2.7.2.0; copy all "
          "of Streamline's files from one release",
          "Streamline: the set is mixed: sl.dlss_g.dll is version 2.4.0.0, sl.interposer.dll 2.7.2.0",
          "DLSS Frame Generation: likely cause: The file sl.dlss_g.dll in the streamline folder (",
          "message box \"" + boxCaption +
              "\": Your driver is out-of-date. Please upgrade your driver to be able to "
              "use DLSS Frame Generation.  The file sl.dlss_g.dll in the streamline folder ("},
         {"use DLSS Frame Generation.\\n\\nThe file sl.dlss_g.dll in the streamline folder (",
          "is from Streamline 2.4.0, but sl.interposer.dll is from 2.7.2. Copy all of Streamline's files "
          "from "
          "one release into that folder.\\n\""}},
        {L"set_240_no_ngx",
         L"2.4.0",
         {L"nvngx_dlssg.dll"},
         {},
         "Default",
         {},
         {"Streamline: the set is incomplete: nvngx_dlssg.dll is missing (DLSS Frame Generation cannot run "
          "without it)",
          "DLSS Frame Generation: not available (slIsFeatureSupported returned 6, "
          "eErrorNoSupportedAdapterFound)",
          "DLSS Frame Generation: likely cause: The file nvngx_dlssg.dll is missing from the streamline "
          "folder (",
          // A missing file is no verdict of the machine: config.json keeps the setting for when it is there.
          "DLSS Frame Generation off for this run: a file of the streamline folder is missing"},
         {}},
        {L"set_272_preset_g",
         L"2.7.2",
         {},
         {},
         "G",
         {},
         {"settings in use: enabled=true dlssMode=MaxPerformance dlssPreset=G",
          "Streamline: the set is complete (Streamline 2.7.2)",
          "DLSS preset G counts as the default with Streamline 2.7.2 (its presets G, H and I revert to the "
          "default): \"dlssPreset\": \"G\" in config.json has no effect; choose one of A to F"},
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(utf8(c.name));
        GameFolder folder = bridged(c.name, L"");
        folder.streamlineSet = releases + L"\\" + c.release;
        folder.leaveOut = c.leaveOut;
        folder.environment = c.environment;
        for (const auto& [name, release] : c.replace)
            folder.replace[name] = releases + L"\\" + release + L"\\" + name;
        folder.configJson = std::string(R"({"version": 4, "enabled": true, "enableReflexSleep": true,)") +
                            R"( "enableFrameGeneration": true, "dlssMode": "MaxPerformance", "reflexMode":)" +
                            R"( "LowLatencyWithBoost", "reflexFpsCap": 0, "enableNisSharpening": true,)" +
                            R"( "dlssPreset": ")" + c.preset + "\"}";
        const GameRun run = runGame(folder, layoutGame, gameArguments);
        EXPECT_EQ(run.exitCode, 0u) << run.output;
        const auto lines = logLines(run.file(L"fsr2bridge.log"));
        expectStartLines(lines, folder);
        expectInOrder(lines, c.lines);
        EXPECT_EQ(anyLineHas(lines, "DLSS preset G counts as the default"), std::string(c.preset) == "G");
        // The setting is switched off only for the machine's own verdict, and never tried without its files.
        EXPECT_EQ(run.file(L"config.json").find("\"enableFrameGeneration\": true") != std::string::npos,
                  !anyLineHas(lines, "switched off in config.json"));
        EXPECT_FALSE(anyLineHas(lines, "a Frame Generation function of Streamline is missing"));
        // Each fragment in the one box, if any.
        EXPECT_EQ(run.boxes.size(), c.boxes.empty() ? 0u : 1u) << run.output;
        for (const std::string& fragment : c.boxes)
            EXPECT_NE(run.output.find(fragment), std::string::npos) << fragment << "\n" << run.output;
    }
}

} // namespace
