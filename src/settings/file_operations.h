#pragma once
// The file operations the settings store makes through a seam it owns, so that a test can make them fail as
// Windows documents (a virus scanner or a sync client in the way) where the test world never would. They
// start as kernel32's own.
#include <windows.h>

namespace fsr2bridge {

struct SettingsFileOperations {
    decltype(&CreateFileW) openFile = &CreateFileW;
    decltype(&ReplaceFileW) replaceFile = &ReplaceFileW;
};

SettingsFileOperations& settingsFileOperations() noexcept;

} // namespace fsr2bridge
