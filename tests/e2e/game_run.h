#pragma once
// Runs the stand-in game as its own process in a fresh game folder and
// collects what it left: its report lines, its boxes, its stdout and files.
#include <windows.h>

#include <map>
#include <string>
#include <vector>

namespace e2e {

// A Unix path of the build tree as Wine sees it (drive Z:).
std::wstring windowsPath(const std::string& unixPath);

struct GameFolder {
    std::wstring path;       // the game's working directory
    std::wstring bridge;     // DLL copied in as fsr2bridge.dll; empty: none
    std::wstring interposer; // copied to streamline\sl.interposer.dll; empty: none
    // A Streamline set: every file of this folder is copied into streamline\, but those named in
    // `leaveOut` (a partial set); `replace` then copies single files over them (a mixed set: name -> file).
    std::wstring streamlineSet;
    std::vector<std::wstring> leaveOut;
    std::map<std::wstring, std::wstring> replace;
    std::string configJson; // written as config.json unless empty
    std::map<std::wstring, std::wstring> environment;
    bool fresh = true; // false: keep what an earlier run left in the folder
};

struct GameRun {
    DWORD exitCode = 0;
    std::string output;                        // everything the game printed
    std::map<std::string, std::string> values; // "game: key=value" lines
    std::vector<std::string> boxes;            // "box: ..." lines
    std::wstring folder;

    std::string value(const std::string& key) const;
    unsigned long long number(const std::string& key) const; // 0 when missing
    bool printed(const std::string& text) const { return output.find(text) != std::string::npos; }
    std::string file(const std::wstring& name) const; // contents of a file in the game folder
};

// Lays out the folder (removing an older one of the same name), runs `game`
// there with `arguments` and waits (at most `timeoutMs`).
GameRun runGame(const GameFolder& folder, const std::wstring& game, const std::wstring& arguments,
                DWORD timeoutMs = 120000);

// Parses "game: key=value" and "box: ..." lines.
void parseReport(const std::string& output, std::map<std::string, std::string>& values,
                 std::vector<std::string>& boxes);

} // namespace e2e
