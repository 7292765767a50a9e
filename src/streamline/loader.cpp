#include "streamline/loader.h"

#include <windows.h>

#include <atomic>
#include <exception>
#include <filesystem>
#include <memory>
#include <system_error>

#include "common/log.h"
#include "common/message_box.h"
#include "streamline/interposer_check.h"
#include "streamline/signature.h"
#include "streamline/startup_phases.h"
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

// The interposer's examination: the early one when it still stands for this path (the factory waits only for
// what is left of it), else one made now. Either way the file verified is held until it is loaded.
std::unique_ptr<InterposerExamination> examination(const std::filesystem::path& interposerPath)
{
    StartupPhases& phases = startupPhases();
    std::unique_ptr<InterposerExamination> result =
        takeEarlyInterposerCheck(interposerPath.wstring(), phases.signatureWait);
    if (result == nullptr)
        result = examineInterposer(interposerPath);
    phases.signature = result->milliseconds;
    phases.signatureEarly = result->early;
    return result;
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
    const long long start = performanceNow();
    const sl::Result result = slInit(preferences.preferences, sl::kSDKVersion);
    startupPhases().slInit = millisecondsSince(start);
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
    const std::filesystem::path interposerPath = interposerPathIn(workingDirectory);
    logLine("Streamline: looking for the interposer at %s", toUtf8(interposerPath.wstring()).c_str());
    // Held from its verification until it is loaded: the file verified is the file loaded.
    const std::unique_ptr<InterposerExamination> examined = examination(interposerPath);
    if (!reportExamination(*examined)) {
        return false;
    }
    takeStreamlineInventory(streamlineDirectory, configInstance->snapshot().dlssPreset);
    const long long start = performanceNow();
    streamlineApi.interposerModule = LoadLibraryW(examined->path.c_str());
    const DWORD loadError = GetLastError();
    startupPhases().load = millisecondsSince(start);
    examined->hold.release();
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
    logStartupPhases();
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
            dropEarlyInterposerCheck();
            logLine("Streamline: the working directory cannot be read (%s)", error.message().c_str());
            return reportLoad(false);
        }
        const long long start = performanceNow();
        configInstance = new Config((workingDirectory / L"config.json").wstring());
        startupPhases().settings = millisecondsSince(start);
        passThrough = !configInstance->snapshot().enabled;
        if (passThrough) {
            dropEarlyInterposerCheck();
            logLine(
                "Streamline: not loaded: \"enabled\" is false in config.json (pass-through mode: the game "
                "runs unchanged)");
            return true;
        }
        return reportLoad(loadInterposer(workingDirectory));
    } catch (...) {
        // A file-system or allocation failure ends the load; nothing may reach the host.
        dropEarlyInterposerCheck();
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
