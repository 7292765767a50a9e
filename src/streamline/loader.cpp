#include "streamline/loader.h"

#include <windows.h>

#include <exception>
#include <filesystem>
#include <memory>
#include <system_error>

#include "streamline/signature.h"
#include "streamline/streamline_api.h"

namespace fsr2bridge {

namespace {

Config* configInstance = nullptr;
bool passThrough = false;

constexpr sl::Feature featuresToLoad[] = {sl::kFeatureReflex, sl::kFeatureDLSS, sl::kFeatureDLSS_G,
                                          sl::kFeatureNIS};
constexpr std::uint32_t applicationId = 141959980;
constexpr char engineVersion[] = "1.0.0";
constexpr char projectId[] = "{E57EBA73-277D-4D76-8C29-60AB8155FA36}";

// Exists and is a regular file (links followed). The errors that mean absence
// (file or path not found, bad network path, invalid name) and every other
// file-system error alike give false.
bool isRegularFile(const std::filesystem::path& path)
{
    std::error_code error;
    const bool exists = std::filesystem::exists(path, error);
    if (error || !exists) {
        return false;
    }
    const std::filesystem::file_status status = std::filesystem::status(path, error);
    return !error && status.type() == std::filesystem::file_type::regular;
}

// All three or none: a half-fetched set would have later factories wrapped by a Streamline that failed.
bool fetchCoreEntryPoints(HMODULE module)
{
    StreamlineApi& api = streamlineApi;
    if (fetchCoreFunction(api.slUpgradeInterface, module, "slUpgradeInterface") != nullptr &&
        fetchCoreFunction(api.slGetNativeInterface, module, "slGetNativeInterface") != nullptr &&
        fetchCoreFunction(api.slGetFeatureFunction, module, "slGetFeatureFunction") != nullptr) {
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
    if (!isRegularFile(interposerPath)) {
        return false;
    }
    const std::wstring interposer = interposerPath.wstring();
    // Held from its verification until it is loaded: the file verified is the file loaded.
    ModuleFileHold hold;
    if (!checkModuleSignature(interposer.c_str(), hold).accepted) {
        return false;
    }
    streamlineApi.interposerModule = LoadLibraryW(interposer.c_str());
    hold.release();
    if (streamlineApi.interposerModule == nullptr) {
        return false;
    }
    const std::wstring directory = streamlineDirectory.wstring();
    InterposerPreferences preferences;
    fillPreferences(preferences, directory);

    sl::PFun_slInit* slInit = nullptr;
    if (fetchCoreFunction(slInit, streamlineApi.interposerModule, "slInit") == nullptr ||
        slInit(preferences.preferences, sl::kSDKVersion) != sl::Result::eOk) {
        return false;
    }
    return fetchCoreEntryPoints(streamlineApi.interposerModule);
}

} // namespace

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
            return false;
        }
        configInstance = new Config((workingDirectory / L"config.json").wstring());
        passThrough = !configInstance->snapshot().enabled;
        if (passThrough) {
            return true;
        }
        return loadInterposer(workingDirectory);
    } catch (...) {
        // A file-system or allocation failure ends the load; nothing may reach the host.
        return false;
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
