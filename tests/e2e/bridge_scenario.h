#pragma once
// What the bridge's end-to-end programs share: the game folders and builds, running one scenario and
// reading its journal, and the frame road every fully bridged run shows.
#include "testbed/streamline/journal.h"
#include "tests/e2e/game_run.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace e2e {

using fsr2bridge::standin::entriesNamed;
using fsr2bridge::standin::JournalEntry;
using fsr2bridge::standin::readJournal;

inline const std::wstring layoutGame = windowsPath(E2E_HOST_GAME);
inline const std::wstring plainGame = windowsPath(E2E_HOST_GAME_PLAIN);
inline const std::wstring otherBuildGame = windowsPath(E2E_HOST_GAME_OTHERBUILD);
inline const std::wstring runsDir = windowsPath(E2E_RUNS_DIR);
inline const std::wstring testKeyBridge = windowsPath(E2E_BRIDGE);
inline const std::wstring signedInterposer = windowsPath(E2E_SIGNED_INTERPOSER);
inline const std::wstring unsignedInterposer = windowsPath(E2E_UNSIGNED_INTERPOSER);

inline constexpr std::uint32_t frames = 12;
inline const std::wstring gameArguments = L"--frames 12 --resize-at 0 --render 64x64 --display 128x128";

inline std::string narrow(const std::wstring& text)
{
    std::string out;
    for (wchar_t c : text)
        out.push_back(static_cast<char>(c));
    return out;
}

// A version-4 config.json with the defaults and the given keys changed.
inline std::string configWith(const std::map<std::string, std::string>& changes)
{
    std::map<std::string, std::string> keys = {{"dlssMode", "\"MaxPerformance\""},
                                               {"dlssPreset", "\"Default\""},
                                               {"enableFrameGeneration", "true"},
                                               {"enableNisSharpening", "true"},
                                               {"enableReflexSleep", "true"},
                                               {"enabled", "true"},
                                               {"reflexFpsCap", "0"},
                                               {"reflexMode", "\"LowLatencyWithBoost\""},
                                               {"version", "4"}};
    for (const auto& [key, value] : changes)
        keys[key] = value;
    std::string text = "{";
    for (const auto& [key, value] : keys)
        text += (text.size() > 1 ? ", \"" : "\"") + key + "\": " + value;
    return text + "}";
}

struct Scenario {
    GameFolder folder;
    std::wstring journalPath;
};

// The stand-in set of a modelled Streamline release ("2.1.1", "2.4.0", "2.7.2"): its signed interposer with
// the plug-ins and NGX libraries that release ships.
inline std::wstring releaseSet(const wchar_t* release)
{
    return windowsPath(E2E_RELEASES_DIR) + L"\\" + release;
}

inline Scenario scenario(const wchar_t* name, const std::wstring& interposer = signedInterposer)
{
    Scenario s;
    s.folder.path = runsDir + L"\\" + name;
    s.folder.bridge = testKeyBridge;
    s.folder.interposer = interposer;
    s.journalPath = s.folder.path + L"\\journal.txt";
    s.folder.environment[L"SL_STANDIN_JOURNAL"] = s.journalPath;
    return s;
}

struct Outcome {
    GameRun run;
    std::vector<JournalEntry> journal;
    bool journalExists = false;

    std::size_t count(const std::string& entry) const { return entriesNamed(journal, entry).size(); }
    std::size_t count(const std::string& entry, const std::string& key, const std::string& value) const
    {
        std::size_t n = 0;
        for (const auto& e : entriesNamed(journal, entry))
            n += e.text(key) == value ? 1 : 0;
        return n;
    }
};

inline Outcome play(const Scenario& s, const std::wstring& arguments = gameArguments,
                    const std::wstring& game = layoutGame)
{
    Outcome o;
    o.run = runGame(s.folder, game, arguments);
    o.journalExists = std::filesystem::exists(s.journalPath);
    if (o.journalExists)
        o.journal = readJournal(narrow(s.journalPath));
    return o;
}

inline std::string box(const char* caption, const char* text)
{
    return std::string("caption=\"") + caption + "\" text=\"" + text + "\\n\"";
}

// The frame road that every fully bridged run shows.
inline void expectBridgedFrames(const Outcome& o, std::uint32_t expectedFrames)
{
    EXPECT_EQ(o.run.exitCode, 0u) << o.run.output;
    EXPECT_EQ(o.run.number("frames_presented"), expectedFrames);
    EXPECT_EQ(o.run.value("factory_vtable"), "fsr2bridge.dll");
    EXPECT_EQ(o.run.value("device_vtable"), "fsr2bridge.dll");
    EXPECT_EQ(o.run.value("queue_vtable"), "fsr2bridge.dll");
    EXPECT_EQ(o.run.value("swapchain_vtable"), "fsr2bridge.dll");
    EXPECT_EQ(o.run.number("own_fsr2_dispatches"), 0u);
    EXPECT_EQ(o.run.number("own_fsr2_creates"), 0u);
    EXPECT_EQ(o.run.number("dispatch_ok"), expectedFrames);
    EXPECT_EQ(o.count("slEvaluateFeature", "feature", "0"), expectedFrames);
    EXPECT_EQ(o.count("slSetConstants"), expectedFrames);
    EXPECT_EQ(o.count("swapchain.Present", "result", "0x0"), expectedFrames);
    EXPECT_EQ(o.run.number("internal_mismatches"), 0u);
}

} // namespace e2e
