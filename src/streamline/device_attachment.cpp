#include "streamline/device_attachment.h"

#include "hooking/MinHook.h"
#include "settings/config.h"
#include "streamline/loader.h"
#include "streamline/reflex.h"
#include "streamline/streamline_api.h"
#include "upscaler/fsr2_replacements.h"
#include "upscaler/host_hooks.h"
#include "upscaler/upscaler_state.h"

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

// Asks for one feature; shows the box for its result, if any. True when available.
bool featureAvailable(sl::PFun_slIsFeatureSupported* isSupported, sl::Feature feature,
                      const sl::AdapterInfo& adapter) noexcept
{
    const sl::Result result = isSupported(feature, adapter);
    if (result == sl::Result::eOk)
        return true;
    if (const wchar_t* text = featureUnavailableText(feature, result))
        MessageBoxW(nullptr, text, attachmentBoxCaption, MB_OK | MB_ICONERROR);
    return false;
}

// Turns Frame Generation off for this run and later ones.
void disableFrameGeneration(Config& settings, Settings snapshot) noexcept
{
    snapshot.enableFrameGeneration = false;
    try {
        settings.replace(snapshot);
        settings.save();
    } catch (...) {
        // The setting stays off for this run; the file keeps its old value.
    }
}

bool hookAndEnable(void* target, void* detour, void** trampoline) noexcept
{
    return MH_CreateHook(target, detour, trampoline) == MH_OK && MH_EnableHook(target) == MH_OK;
}

bool hookExportAndEnable(const char* name, void* detour, void** trampoline) noexcept
{
    void* target = nullptr;
    return MH_CreateHookApiEx(nullptr, name, detour, trampoline, &target) == MH_OK &&
           MH_EnableHook(target) == MH_OK;
}

bool installHostHooks(HMODULE host) noexcept
{
    auto* image = reinterpret_cast<std::uint8_t*>(host);
    // On another build of the host the camera function is not where we expect it: DLSS still replaces FSR2,
    // with neutral camera data and without Frame Generation requests.
    if (hostLayoutFits(image) &&
        !hookAndEnable(image + hostCameraFunctionOffset, reinterpret_cast<void*>(&hostCameraHook),
                       hostCameraTrampolineSlot()))
        return false;
    return hookExportAndEnable("ffxFsr2ContextCreate", reinterpret_cast<void*>(&fsr2ContextCreateReplacement),
                               fsr2TrampolineSlot(Fsr2Entry::create)) &&
           hookExportAndEnable("ffxFsr2ContextDispatch",
                               reinterpret_cast<void*>(&fsr2ContextDispatchReplacement),
                               fsr2TrampolineSlot(Fsr2Entry::dispatch)) &&
           hookExportAndEnable("ffxFsr2ContextDestroy",
                               reinterpret_cast<void*>(&fsr2ContextDestroyReplacement),
                               fsr2TrampolineSlot(Fsr2Entry::destroy)) &&
           hookExportAndEnable("ffxFsr2RegisterAliasableResources",
                               reinterpret_cast<void*>(&fsr2RegisterAliasableResourcesReplacement), nullptr);
}

template <class F> F* lookUp(HMODULE module, const char* name) noexcept
{
    return reinterpret_cast<F*>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

LUID adapterLuidOf(ID3D12Device* device) noexcept
{
#if defined(_MSC_VER) || !defined(_WIN32)
    return device->GetAdapterLuid();
#else
    LUID luid{};
    device->GetAdapterLuid(&luid);
    return luid;
#endif
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

bool hostLayoutFits(const std::uint8_t* image) noexcept
{
    if (image == nullptr)
        return false;
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image);
    // The headers of a mapped image fit in its first page.
    constexpr LONG headerPage = 4096;
    if (dos->e_magic != IMAGE_DOS_SIGNATURE || dos->e_lfanew < 0 ||
        dos->e_lfanew > headerPage - static_cast<LONG>(sizeof(IMAGE_NT_HEADERS64)))
        return false;
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(image + dos->e_lfanew);
    if (nt->Signature != IMAGE_NT_SIGNATURE || nt->OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC)
        return false;
    if (nt->OptionalHeader.SizeOfImage < hostFixedReadsEnd)
        return false;
    const std::size_t sectionsAt = static_cast<std::size_t>(dos->e_lfanew) +
                                   offsetof(IMAGE_NT_HEADERS64, OptionalHeader) +
                                   nt->FileHeader.SizeOfOptionalHeader;
    const std::size_t count = nt->FileHeader.NumberOfSections;
    if (sectionsAt + count * sizeof(IMAGE_SECTION_HEADER) > static_cast<std::size_t>(headerPage))
        return false;
    const auto* sections = reinterpret_cast<const IMAGE_SECTION_HEADER*>(image + sectionsAt);
    for (std::size_t i = 0; i < count; ++i) {
        const IMAGE_SECTION_HEADER& s = sections[i];
        const std::uint64_t begin = s.VirtualAddress;
        const std::uint64_t end = begin + (s.Misc.VirtualSize != 0 ? s.Misc.VirtualSize : s.SizeOfRawData);
        if (hostCameraFunctionOffset >= begin && hostCameraFunctionOffset < end)
            return (s.Characteristics & IMAGE_SCN_MEM_EXECUTE) != 0;
    }
    return false;
}

static bool attachDeviceSteps(ID3D12Device* device);

bool attachDevice(ID3D12Device* device) noexcept
{
    try {
        return attachDeviceSteps(device);
    } catch (...) {
        return false; // a step beyond our control threw: the attachment stops there
    }
}

static bool attachDeviceSteps(ID3D12Device* device)
{
    const HMODULE interposer = streamlineApi.interposerModule;
    if (device == nullptr || interposer == nullptr)
        return false;
    auto* setDevice = lookUp<sl::PFun_slSetD3DDevice>(interposer, "slSetD3DDevice");
    if (setDevice == nullptr || setDevice(device) != sl::Result::eOk)
        return false;
    LUID luid = adapterLuidOf(device);
    sl::AdapterInfo adapter{};
    adapter.deviceLUID = reinterpret_cast<std::uint8_t*>(&luid);
    adapter.deviceLUIDSizeInBytes = sizeof(LUID);
    auto* isSupported = lookUp<sl::PFun_slIsFeatureSupported>(interposer, "slIsFeatureSupported");
    if (isSupported == nullptr)
        return false;

    const bool reflex = featureAvailable(isSupported, sl::kFeatureReflex, adapter);
    const bool dlss = featureAvailable(isSupported, sl::kFeatureDLSS, adapter);
    Config* settings = settingsStore();
    if (settings != nullptr) {
        Settings snapshot;
        try {
            snapshot = settings->snapshot();
        } catch (...) {
            snapshot.enableFrameGeneration = false; // cannot tell: leave Frame Generation alone
        }
        if (snapshot.enableFrameGeneration && !featureAvailable(isSupported, sl::kFeatureDLSS_G, adapter))
            disableFrameGeneration(*settings, snapshot);
    }

    if (reflex && !startReflex())
        return false;
    if (!dlss)
        return true;
    const HMODULE host = GetModuleHandleW(nullptr);
    publishUpscalerState(interposer, settings, host);
    return installHostHooks(host);
}

} // namespace fsr2bridge
