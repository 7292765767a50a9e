#include "streamline/device_attachment.h"

#include <wrl/client.h>

#include <string>
#include <type_traits>

#include "common/log.h"
#include "common/module_export.h"
#include "streamline/adapter_names.h"
#include "streamline/device_loss.h"
#include "streamline/feature_support.h"
#include "streamline/loader.h"
#include "streamline/reflex.h"
#include "streamline/streamline_api.h"
#include "streamline/streamline_files.h"

namespace fsr2bridge {

namespace {

struct FeatureTexts {
    sl::Feature feature;
    const wchar_t* driverOutOfDate;
    const wchar_t* osOutOfDate;
    const wchar_t* hardwareSchedulingOff;
    const wchar_t* adapterNotSupported;
};

constexpr FeatureTexts featureTexts[] = {
    {sl::kFeatureReflex,
     L"Your driver is out-of-date. Please upgrade your driver to be able to use Reflex.\n",
     L"Please update Windows to be able to use Reflex.\n", nullptr,
     L"Reflex is not supported by the currently used GPU.\n"},
    {sl::kFeatureDLSS, L"Your driver is out-of-date. Please upgrade your driver to be able to use DLSS.\n",
     L"Please update Windows to be able to use DLSS.\n", nullptr,
     L"DLSS is not supported by the currently used GPU.\n"},
    {sl::kFeatureDLSS_G,
     L"Your driver is out-of-date. Please upgrade your driver to be able to use DLSS Frame Generation.\n",
     L"Please update Windows to be able to use DLSS Frame Generation.\n",
     L"Please enable 'Hardware-accelerated GPU Scheduling' in your Windows settings to be able to use DLSS "
     L"Frame "
     L"Generation.\n",
     L"DLSS Frame Generation is not supported by the currently used GPU.\n"},
};

const char* featureName(sl::Feature feature) noexcept
{
    switch (feature) {
    case sl::kFeatureReflex:
        return "Reflex";
    case sl::kFeatureDLSS:
        return "DLSS";
    case sl::kFeatureDLSS_G:
        return "DLSS Frame Generation";
    case sl::kFeatureNIS:
        return "NIS";
    default:
        return "feature";
    }
}

// Asks for one feature; logs the answer and shows the box for its result, if any. True when available.
bool featureAvailable(sl::PFun_slIsFeatureSupported* isSupported, sl::Feature feature,
                      const sl::AdapterInfo& adapter, sl::Result* answer = nullptr) noexcept
{
    const sl::Result result = isSupported(feature, adapter);
    if (answer != nullptr)
        *answer = result;
    if (streamlineAccepted(result, StreamlineCall::slIsFeatureSupported)) {
        logLine("%s: available", featureName(feature));
        return true;
    }
    logLine("%s: not available (slIsFeatureSupported returned %d, %s)", featureName(feature),
            static_cast<int>(result), streamlineResultName(result));
    explainUnavailableFeature(featureName(feature), feature, result, featureUnavailableText(feature, result));
    return false;
}

// An answer that says a file of the installed set is missing, not what the machine can do: the plug-in did
// not load (31), or no adapter is supported (6) where the set lacks a file Frame Generation needs (its NGX
// library). The player who copies the file expects Frame Generation back without editing config.json.
bool installationGap(sl::Result result) noexcept
{
    return result == sl::Result::eErrorFeatureMissing ||
           (result == sl::Result::eErrorNoSupportedAdapterFound &&
            likelyCause(streamlineInventory(), sl::kFeatureDLSS_G, result).kind != LikelyCause::Kind::none);
}

// Turns Frame Generation off for this run and later ones: the machine's own verdict.
void disableFrameGeneration(Config& settings, Settings snapshot) noexcept
{
    snapshot.enableFrameGeneration = false;
    try {
        logLine(
            "DLSS Frame Generation switched off in config.json (\"enableFrameGeneration\": false) for this "
            "run and the next ones");
        settings.replace(snapshot);
        settings.save();
    } catch (...) {
        // The setting stays off for this run; the file keeps its old value.
    }
}

UpscalerInstaller upscalerInstaller = nullptr;

// Reflex is optional: DLSS runs without it. Frame Generation does not (Streamline paces the generated frames
// by Reflex's markers), so without Reflex it is off for this run; the setting stays as it is.
void startReflexIfAvailable(bool available, Config* settings) noexcept
{
    if (available && !startReflex(settings))
        logLine("Reflex did not start: DLSS runs without it");
    if (reflexRunning())
        return;
    bool frameGenerationWanted = false;
    try {
        frameGenerationWanted = settings != nullptr && settings->snapshot().enableFrameGeneration;
    } catch (...) {
    }
    if (frameGenerationWanted)
        logLine("DLSS Frame Generation off for this run: it needs Reflex, which is not running");
}

// NIS is asked without a box: without it DLSS writes the game's output itself, as with sharpening off.
void askForNis(sl::PFun_slIsFeatureSupported* isSupported, const sl::AdapterInfo& adapter) noexcept
{
    const sl::Result result = isSupported(sl::kFeatureNIS, adapter);
    const bool available = streamlineAccepted(result, StreamlineCall::slIsFeatureSupported);
    recordNisSupport(available);
    if (available)
        logLine("NIS is available: sharpening runs after DLSS when it is on");
    else
        logLine("NIS is not available (%d): DLSS writes the game's output itself", static_cast<int>(result));
}

AttachmentOutcome attachDeviceSteps(ID3D12Device* device)
{
    const HMODULE interposer = streamlineApi.interposerModule;
    if (device == nullptr || interposer == nullptr) {
        logLine("device %p not attached: Streamline is not loaded", static_cast<void*>(device));
        return AttachmentOutcome::failed;
    }
    auto* setDevice = exportedFunction<sl::PFun_slSetD3DDevice>(interposer, "slSetD3DDevice");
    if (setDevice == nullptr) {
        logLine("device %p not attached: the interposer does not export slSetD3DDevice",
                static_cast<void*>(device));
        return AttachmentOutcome::failed;
    }
    const sl::Result bound = setDevice(device);
    if (bound == sl::Result::eErrorInvalidIntegration) {
        // Streamline serves the first device it was given and no other.
        recordRefusedDevice(device);
        if (attachmentLost())
            logLine(
                "Streamline refused the game's new device after the loss (%d): the game plays on with its "
                "own FSR2; DLSS, Frame Generation and Reflex come back when the game is started again",
                static_cast<int>(bound));
        else
            logLine("Streamline refused a second device (%d): the game gets it as the system made it",
                    static_cast<int>(bound));
        return AttachmentOutcome::deviceRefused;
    }
    if (!streamlineAccepted(bound, StreamlineCall::slSetD3DDevice)) {
        logLine("device %p not attached: slSetD3DDevice returned %d (%s)", static_cast<void*>(device),
                static_cast<int>(bound), streamlineResultName(bound));
        return AttachmentOutcome::failed;
    }
    recordAttachedDevice(device);
    LUID luid = adapterLuidOf(device);
    logLine("device %p attached to Streamline; adapter LUID %08lX:%08lX", static_cast<void*>(device),
            static_cast<unsigned long>(luid.HighPart), static_cast<unsigned long>(luid.LowPart));
    sl::AdapterInfo adapter{};
    adapter.deviceLUID = reinterpret_cast<std::uint8_t*>(&luid);
    adapter.deviceLUIDSizeInBytes = sizeof(LUID);
    auto* isSupported = exportedFunction<sl::PFun_slIsFeatureSupported>(interposer, "slIsFeatureSupported");
    if (isSupported == nullptr) {
        logLine("features not asked: the interposer does not export slIsFeatureSupported");
        return AttachmentOutcome::failed;
    }

    recordFrameGenerationMissing(false);
    const bool reflex = featureAvailable(isSupported, sl::kFeatureReflex, adapter);
    const bool dlss = featureAvailable(isSupported, sl::kFeatureDLSS, adapter);
    bool frameGenerationRefused = false;
    Config* settings = settingsStore();
    if (settings != nullptr) {
        Settings snapshot;
        try {
            snapshot = settings->snapshot();
        } catch (...) {
            snapshot.enableFrameGeneration = false; // cannot tell: leave Frame Generation alone
        }
        if (!snapshot.enableFrameGeneration) {
            logLine("DLSS Frame Generation: not asked (\"enableFrameGeneration\" is false)");
        } else if (sl::Result answer{};
                   !featureAvailable(isSupported, sl::kFeatureDLSS_G, adapter, &answer)) {
            frameGenerationRefused = true;
            if (installationGap(answer)) {
                recordFrameGenerationMissing(true);
                logLine(
                    "DLSS Frame Generation off for this run: a file of the streamline folder is missing (see "
                    "the likely cause above); config.json keeps \"enableFrameGeneration\": true, so it "
                    "runs once the file is there");
            } else {
                disableFrameGeneration(*settings, snapshot);
            }
        }
    }
    logAdapterName(luid, !reflex || !dlss || frameGenerationRefused);
    askForNis(isSupported, adapter);

    if (!startFrameTokens()) {
        logLine("device attachment stopped: Streamline gives no frame token, so DLSS is not put in place of "
                "FSR2");
        return AttachmentOutcome::failed;
    }
    startReflexIfAvailable(reflex, settings);
    if (!dlss) {
        logLine("DLSS is not available: the game's own FSR2 stays");
        return AttachmentOutcome::completed;
    }
    const bool installed = upscalerInstaller == nullptr || upscalerInstaller(interposer, settings);
    return installed ? AttachmentOutcome::completed : AttachmentOutcome::failed;
}

} // namespace

const wchar_t* featureUnavailableText(sl::Feature feature, sl::Result result) noexcept
{
    for (const FeatureTexts& texts : featureTexts) {
        if (texts.feature != feature)
            continue;
        switch (result) {
        case sl::Result::eErrorDriverOutOfDate:
            return texts.driverOutOfDate;
        case sl::Result::eErrorOSOutOfDate:
            return texts.osOutOfDate;
        case sl::Result::eErrorOSDisabledHWS:
            return texts.hardwareSchedulingOff;
        case sl::Result::eErrorAdapterNotSupported:
            return texts.adapterNotSupported;
        default:
            return nullptr;
        }
    }
    return nullptr;
}

void setUpscalerInstaller(UpscalerInstaller installer) noexcept
{
    upscalerInstaller = installer;
}

AttachmentOutcome attachDeviceOutcome(ID3D12Device* device) noexcept
{
    try {
        return attachDeviceSteps(device);
    } catch (...) {
        return AttachmentOutcome::failed; // a step beyond our control threw: the attachment stops there
    }
}

bool attachDevice(ID3D12Device* device) noexcept
{
    return attachDeviceOutcome(device) == AttachmentOutcome::completed;
}

} // namespace fsr2bridge
