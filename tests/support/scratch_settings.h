#pragma once
// A settings store of a test program's own, on a file in %TEMP% that no other program uses.
#include <string>

#include "settings/config.h"

namespace testsupport {

// The store for `name` (one per name and process, kept to the end), freshly created with the defaults; its
// file is <temp>\<name>_<process id>_config.json.
fsr2bridge::Config& scratchSettings(const std::wstring& name);
std::wstring scratchSettingsPath(const std::wstring& name);

} // namespace testsupport
