#include "tests/support/scratch_settings.h"

#include <windows.h>

#include <map>

namespace testsupport {

std::wstring scratchSettingsPath(const std::wstring& name)
{
    wchar_t directory[MAX_PATH];
    GetTempPathW(MAX_PATH, directory);
    return std::wstring(directory) + name + L"_" + std::to_wstring(GetCurrentProcessId()) + L"_config.json";
}

fsr2bridge::Config& scratchSettings(const std::wstring& name)
{
    static std::map<std::wstring, fsr2bridge::Config*> stores;
    fsr2bridge::Config*& store = stores[name];
    if (store == nullptr) {
        const std::wstring path = scratchSettingsPath(name);
        DeleteFileW(path.c_str());
        store = new fsr2bridge::Config(path);
    }
    return *store;
}

} // namespace testsupport
