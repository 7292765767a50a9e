#include "upscaler/host_installation.h"

#include <cstddef>

#include "common/log.h"
#include "hooking/hook_and_enable.h"
#include "upscaler/fsr2_replacements.h"
#include "upscaler/host_hooks.h"
#include "upscaler/host_layout.h"
#include "upscaler/upscaler_state.h"

namespace fsr2bridge {

namespace {

template <class F> void* detour(F* function) noexcept
{
    return reinterpret_cast<void*>(function);
}

// The log's word on one host hook; passes `installed` on.
bool hostHookLogged(const char* target, bool installed) noexcept
{
    if (installed)
        logLine("hook on %s installed", target);
    else
        logLine("hook on %s could not be installed: the hooks after it are not installed", target);
    return installed;
}

// One of the host's FSR2 exports hooked and enabled, and logged.
bool hookHostExport(const char* name, void* replacement, void** trampoline) noexcept
{
    return hostHookLogged(name, hookExportAndEnable(nullptr, name, replacement, trampoline));
}

bool installHostHooks(HMODULE host) noexcept
{
    auto* image = reinterpret_cast<std::uint8_t*>(host);
    // On another build of the host the camera function is not where we expect it: DLSS still replaces FSR2,
    // with neutral camera data and without Frame Generation requests.
    if (hostLayoutFits(image) &&
        !hostHookLogged("the game's camera function",
                        hookAndEnable(image + hostlayout::cameraFunction, detour(&hostCameraHook),
                                      hostCameraTrampolineSlot())))
        return false;
    return hookHostExport("ffxFsr2ContextCreate", detour(&fsr2ContextCreateReplacement),
                          fsr2TrampolineSlot(Fsr2Entry::create)) &&
           hookHostExport("ffxFsr2ContextDispatch", detour(&fsr2ContextDispatchReplacement),
                          fsr2TrampolineSlot(Fsr2Entry::dispatch)) &&
           hookHostExport("ffxFsr2ContextDestroy", detour(&fsr2ContextDestroyReplacement),
                          fsr2TrampolineSlot(Fsr2Entry::destroy)) &&
           hookHostExport("ffxFsr2RegisterAliasableResources",
                          detour(&fsr2RegisterAliasableResourcesReplacement), nullptr);
}

} // namespace

bool installUpscaler(HMODULE upscalerModule, Config* settings) noexcept
{
    const HMODULE host = GetModuleHandleW(nullptr);
    publishUpscalerState(upscalerModule, settings, host);
    const bool installed = installHostHooks(host);
    if (installed)
        logLine("DLSS is in place of the game's FSR2");
    return installed;
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
    if (nt->OptionalHeader.SizeOfImage < hostlayout::fixedReadsEnd)
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
        if (hostlayout::cameraFunction >= begin && hostlayout::cameraFunction < end)
            return (s.Characteristics & IMAGE_SCN_MEM_EXECUTE) != 0;
    }
    return false;
}

} // namespace fsr2bridge
