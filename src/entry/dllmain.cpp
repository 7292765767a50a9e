#include <filesystem>
#include <system_error>

#include "common/log.h"
#include "entry/creation_hooks.h"
#include "streamline/interposer_check.h"

namespace {

// A dxgi.dll next to the game's working directory (an overlay, say) is loaded before the hooks go in, so
// that the hook lands on the module the game will use.
void loadLocalDxgi() noexcept
{
    try {
        std::error_code error;
        const std::filesystem::path path = std::filesystem::current_path(error) / L"dxgi.dll";
        if (!error && std::filesystem::exists(path, error)) {
            const HMODULE local = LoadLibraryW(path.c_str());
            fsr2bridge::logLine(local != nullptr
                                    ? "%s loaded before the hooks (a dxgi.dll in the working directory)"
                                    : "%s (a dxgi.dll in the working directory) could not be loaded",
                                fsr2bridge::toUtf8(path.wstring()).c_str());
        }
    } catch (...) {
        // Best effort: the hooks go in whatever happened here.
    }
}

} // namespace

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    if (reason != DLL_PROCESS_ATTACH)
        return TRUE;
    loadLocalDxgi();
    if (!fsr2bridge::installCreationHooks()) {
        // The loader unloads the module: its log is written now, and no thread of it may stay behind.
        fsr2bridge::logLine("fsr2bridge is not active in this process: its attach failed, so it is unloaded");
        fsr2bridge::writeLogNow();
        return FALSE;
    }
    // Only once the attach stands: the module stays loaded for the writer thread, which runs after we return.
    fsr2bridge::startLog();
    // The interposer's signature is verified while the game boots; its first factory takes the result.
    fsr2bridge::startEarlyInterposerCheck();
    return TRUE;
}
