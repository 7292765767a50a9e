#include "streamline/loader.h"

#include <windows.h>

#include <atomic>
#include <exception>
#include <filesystem>
#include <memory>
#include <system_error>

#include "common/log.h"
#include "common/message_box.h"
#include "streamline/signature.h"
#include "streamline/streamline_api.h"
#include "streamline/streamline_files.h"

namespace fsr2bridge {

namespace {

Config* configInstance = nullptr;
bool passThrough = false;

constexpr sl::Feature featuresToLoad[] = {sl::kFeatureReflex, sl::kFeatureDLSS, sl::kFeatureDLSS_G,
                                          sl::kFeatureNIS};
constexpr std::uint32_t applicationId = 141959980;
constexpr char engineVersion[] = "1.0.0";
constexpr char projectId[] = "{E57EBA73-277D-4D76-8C29-60AB8155FA36}";

// The interposer exists and is a regular file (links followed). The errors that mean absence (file or path
// not found, bad network path, invalid name) and every other file-system error alike give false; the log
// says which it was, and the player is told in a box.
bool interposerFileInPlace(const std::filesystem::path& path)
{
    const std::string shown = toUtf8(path.wstring());
    std::error_code error;
    const bool exists = std::filesystem::exists(path, error);
    if (error || !exists) {
        if (error)
            logLine("Streamline: %s cannot be examined (%s)", shown.c_str(), error.message().c_str());
        else
            logLine("Streamline: %s does not exist", shown.c_str());
        explainStartFailure(StartFailure::interposerMissing, path.wstring());
        return false;
    }
    const std::filesystem::file_status status = std::filesystem::status(path, error);
    if (error || status.type() != std::filesystem::file_type::regular) {
        logLine("Streamline: %s is not a file (%s)", shown.c_str(),
                status.type() == std::filesystem::file_type::directory ? "a folder has its name"
                                                                       : "something else has its name");
        explainStartFailure(StartFailure::interposerNotAFile, path.wstring());
        return false;
    }
    return true;
}

// The signature check with its outcome logged; a rejection is explained to the player.
bool signatureAccepted(const std::wstring& interposer, ModuleFileHold& hold)
{
    const SignatureCheck check = checkModuleSignature(interposer.c_str(), hold);
    logLine("Streamline: %s", signatureLogText(check, toUtf8(interposer)).c_str());
    if (!check.accepted)
        explainStartFailure(StartFailure::interposerRejected, interposer);
    return check.accepted;
}

// slInit with the loader's preferences; its result logged.
bool initialiseStreamline(const std::wstring& streamlineDirectory)
{
    InterposerPreferences preferences;
    fillPreferences(preferences, streamlineDirectory);
    sl::PFun_slInit* slInit = nullptr;
    if (fetchCoreFunction(slInit, streamlineApi.interposerModule, "slInit") == nullptr) {
        logLine("Streamline: the interposer does not export slInit");
        return false;
    }
    const sl::Result result = slInit(preferences.preferences, sl::kSDKVersion);
    logLine("Streamline: slInit returned %d (%s)", static_cast<int>(result), streamlineResultName(result));
    return streamlineAccepted(result, StreamlineCall::slInit);
}

// One of the core entry points, fetched into its slot; a missing one is logged.
template <class F> bool fetchCoreEntryPoint(F*& slot, HMODULE module, const char* name)
{
    if (fetchCoreFunction(slot, module, name) != nullptr)
        return true;
    logLine("Streamline: the interposer does not export %s", name);
    return false;
}

// All three or none: a half-fetched set would have later factories wrapped by a Streamline that failed.
bool fetchCoreEntryPoints(HMODULE module)
{
    StreamlineApi& api = streamlineApi;
    if (fetchCoreEntryPoint(api.slUpgradeInterface, module, "slUpgradeInterface") &&
        fetchCoreEntryPoint(api.slGetNativeInterface, module, "slGetNativeInterface") &&
        fetchCoreEntryPoint(api.slGetFeatureFunction, module, "slGetFeatureFunction")) {
        return true;
    }
    api.slUpgradeInterface = nullptr;
    api.slGetNativeInterface = nullptr;
    api.slGetFeatureFunction = nullptr;
    return false;
}

bool loadInterposer(const std::filesystem::path& workingDirectory)
{
    const std::filesystem::path streamlineDirectory = workingDirectory / L"streamline";
    const std::filesystem::path interposerPath = streamlineDirectory / L"sl.interposer.dll";
    logLine("Streamline: looking for the interposer at %s", toUtf8(interposerPath.wstring()).c_str());
    if (!interposerFileInPlace(interposerPath)) {
        return false;
    }
    const std::wstring interposer = interposerPath.wstring();
    // Held from its verification until it is loaded: the file verified is the file loaded.
    ModuleFileHold hold;
    if (!signatureAccepted(interposer, hold)) {
        return false;
    }
    takeStreamlineInventory(streamlineDirectory, configInstance->snapshot().dlssPreset);
    streamlineApi.interposerModule = LoadLibraryW(interposer.c_str());
    const DWORD loadError = GetLastError();
    hold.release();
    if (streamlineApi.interposerModule == nullptr) {
        logLine("Streamline: the interposer could not be loaded (Windows error %lu)", loadError);
        return false;
    }
    logLine("Streamline: interposer loaded at %p", static_cast<void*>(streamlineApi.interposerModule));
    if (!initialiseStreamline(streamlineDirectory.wstring())) {
        return false;
    }
    return fetchCoreEntryPoints(streamlineApi.interposerModule);
}

// The load's outcome in the log. A failed load makes the game's factory fail: what led to it is written out
// before the game may quit.
bool reportLoad(bool loaded) noexcept
{
    if (loaded) {
        logLine("Streamline: loaded and initialised");
        return true;
    }
    logLine(
        "Streamline: not loaded; the game's first DXGI factory fails (E_UNEXPECTED) and the game will stop");
    flushLog();
    return false;
}

} // namespace

std::wstring startFailureText(StartFailure reason, const std::wstring& interposerPath)
{
    const wchar_t* what = L"";
    switch (reason) {
    case StartFailure::interposerMissing:
        what = L"That file does not exist.";
        break;
    case StartFailure::interposerNotAFile:
        what = L"Something other than a file (a folder, say) has that name.";
        break;
    case StartFailure::interposerRejected:
        what = L"That file is not correctly signed by NVIDIA (or was changed after signing), so it was not "
               L"loaded.";
        break;
    }
    return L"fsr2bridge could not start NVIDIA Streamline.\n\nIt looked for:\n" + interposerPath + L"\n" +
           what +
           L"\n\nInstall Streamline's files (sl.interposer.dll and its plug-ins) into that folder from an "
           L"official NVIDIA Streamline release, or remove fsr2bridge.dll from the game's folder to play "
           L"without it. Details are in fsr2bridge.log.\n\nThe game will now stop.";
}

void explainStartFailure(StartFailure reason, const std::wstring& interposerPath) noexcept
{
    static std::atomic<bool> shown{false};
    if (shown.exchange(true))
        return;
    try {
        showErrorBox(startFailureText(reason, interposerPath).c_str());
    } catch (...) {
        // Without memory for the text there is no box; the log has the reason.
    }
}

void fillPreferences(InterposerPreferences& out, const std::wstring& streamlineDirectory)
{
    out.pluginPaths[0] = streamlineDirectory.c_str();
    sl::Preferences& p = out.preferences;
    p = sl::Preferences{};
    p.showConsole = false;
    p.logLevel = sl::LogLevel::eDefault;
    p.pathsToPlugins = out.pluginPaths;
    p.numPathsToPlugins = 1;
    p.pathToLogsAndData = streamlineDirectory.c_str();
    p.flags = sl::kPreferenceDisableCLStateTracking | sl::kPreferenceUseManualHooking |
              sl::kPreferenceAllowOTA | sl::kPreferenceLoadDownloadedPlugins;
    p.featuresToLoad = featuresToLoad;
    p.numFeaturesToLoad = static_cast<std::uint32_t>(std::size(featuresToLoad));
    p.applicationId = applicationId;
    p.engine = sl::EngineType::eCustom;
    p.engineVersion = engineVersion;
    p.projectId = projectId;
    p.renderAPI = sl::RenderAPI::eD3D12;
}

bool loadStreamline() noexcept
{
    try {
        std::error_code error;
        const std::filesystem::path workingDirectory = std::filesystem::current_path(error);
        if (error) {
            // Without a current directory there is no config.json and no interposer to find.
            logLine("Streamline: the working directory cannot be read (%s)", error.message().c_str());
            return reportLoad(false);
        }
        configInstance = new Config((workingDirectory / L"config.json").wstring());
        passThrough = !configInstance->snapshot().enabled;
        if (passThrough) {
            logLine(
                "Streamline: not loaded: \"enabled\" is false in config.json (pass-through mode: the game "
                "runs unchanged)");
            return true;
        }
        return reportLoad(loadInterposer(workingDirectory));
    } catch (...) {
        // A file-system or allocation failure ends the load; nothing may reach the host.
        return reportLoad(false);
    }
}

bool passThroughMode() noexcept
{
    return passThrough;
}

Config* settingsStore() noexcept
{
    return configInstance;
}

} // namespace fsr2bridge
