#pragma once
#include <cstdint>
#include <string>

#include "settings/config.h"
#include "streamline/sl_types.h"

namespace fsr2bridge {

// Creates the process-wide Config from config.json in the current directory and
// decides pass-through mode; outside pass-through mode verifies, loads and
// initialises streamline\sl.interposer.dll and fetches its core entry points.
// True: pass-through chosen, or Streamline loaded.
bool loadStreamline() noexcept;

// True when the settings said `enabled` false. False before the loader ran.
bool passThroughMode() noexcept;

// The process-wide settings store; null before the loader ran.
Config* settingsStore() noexcept;

// Why the game cannot start with the system: the interposer is missing, is not a file, or was rejected.
enum class StartFailure { interposerMissing, interposerNotAFile, interposerRejected };

// The text of the box that explains it: what was looked for where, what to do, and that the game stops.
std::wstring startFailureText(StartFailure reason, const std::wstring& interposerPath);

// Shows that box ("An error occured!", MB_OK | MB_ICONERROR) once per process; later calls show nothing.
void explainStartFailure(StartFailure reason, const std::wstring& interposerPath) noexcept;

// The record handed to slInit. Its pointers refer to `streamlineDirectory` and
// to the loader's feature list, so it is valid while that string lives.
struct InterposerPreferences {
    const wchar_t* pluginPaths[1] = {};
    sl::Preferences preferences{};
};
void fillPreferences(InterposerPreferences& out, const std::wstring& streamlineDirectory);

} // namespace fsr2bridge
