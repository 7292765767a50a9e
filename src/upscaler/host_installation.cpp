#include "upscaler/host_installation.h"

#include <cstddef>
#include <cstring>
#include <iterator>

#include "common/log.h"
#include "hooking/hook_and_enable.h"
#include "upscaler/fsr2_replacements.h"
#include "upscaler/host_hooks.h"
#include "upscaler/host_layout.h"
#include "upscaler/upscaler_state.h"

namespace fsr2bridge {

namespace {

// The guard's decision with its reason, in the log.
void logCameraTarget(const CameraTargetCheck& c) noexcept
{
    const auto at = static_cast<unsigned>(hostlayout::cameraFunction);
    switch (c.verdict) {
    case CameraTarget::functionStart:
        logLine("camera hook allowed: the game's function table has a function beginning at +0x%X", at);
        return;
    case CameraTarget::paddedStart:
        logLine("camera hook allowed: no function-table entry covers +0x%X and byte 0x%02X before it ends "
                "the code before",
                at, c.byteBefore);
        return;
    case CameraTarget::sectionStart:
        logLine("camera hook allowed: no function-table entry covers +0x%X, which begins its code section",
                at);
        return;
    case CameraTarget::notAnImage:
        logLine("camera hook skipped: the game's executable has no readable 64-bit headers");
        return;
    case CameraTarget::imageTooSmall:
        logLine("camera hook skipped: the game's image is too small for the camera data (another build)");
        return;
    case CameraTarget::notInCode:
        logLine("camera hook skipped: +0x%X is not in an executable section (another build)", at);
        return;
    case CameraTarget::insideFunction:
        logLine("camera hook skipped: +0x%X lies inside the function at +0x%X..+0x%X of the game's function "
                "table (another build)",
                at, static_cast<unsigned>(c.entryBegin), static_cast<unsigned>(c.entryEnd));
        return;
    case CameraTarget::otherLength:
        logLine(
            "camera hook skipped: the function at +0x%X of the game's function table is 0x%X bytes long, the "
            "known build's 0x%X (another build)",
            at, static_cast<unsigned>(c.entryEnd - c.entryBegin),
            static_cast<unsigned>(hostlayout::cameraFunctionLength));
        return;
    case CameraTarget::otherCode:
        logLine(
            "camera hook skipped: the code at +0x%X is not the known build's camera function (another build)",
            at);
        return;
    case CameraTarget::noStart:
        logLine("camera hook skipped: no function-table entry covers +0x%X and byte 0x%02X before it is no "
                "padding (another build)",
                at, c.byteBefore);
        return;
    case CameraTarget::dataNotWritable:
        logLine("camera hook skipped: the object pointer at +0x%X is not in writable data (another build)",
                static_cast<unsigned>(c.pointerAt));
        return;
    }
}

template <class F> void* detour(F* function) noexcept
{
    return reinterpret_cast<void*>(function);
}

constexpr const char* cameraHookName = "the game's camera function";

// Takes back hooks that were created but are not to go live; a trampoline slot left filled is never called.
void removeHooks(void* const* targets, std::size_t count) noexcept
{
    for (std::size_t i = 0; i < count; ++i) {
        if (targets[i] != nullptr) // null would mean every hook
            MH_RemoveHook(targets[i]);
    }
}

} // namespace

bool installHostHooks(void* cameraFunction) noexcept
{
    struct ExportHook {
        const char* name;
        void* detour;
        void** trampoline;
    };
    const ExportHook exports[] = {
        {"ffxFsr2ContextCreate", detour(&fsr2ContextCreateReplacement),
         fsr2TrampolineSlot(Fsr2Entry::create)},
        {"ffxFsr2ContextDispatch", detour(&fsr2ContextDispatchReplacement),
         fsr2TrampolineSlot(Fsr2Entry::dispatch)},
        {"ffxFsr2ContextDestroy", detour(&fsr2ContextDestroyReplacement),
         fsr2TrampolineSlot(Fsr2Entry::destroy)},
        {"ffxFsr2RegisterAliasableResources", detour(&fsr2RegisterAliasableResourcesReplacement), nullptr},
    };
    // The camera hook first, so that it is live no later than the dispatch that reads what it copies. It may
    // fail on its own: DLSS then runs with neutral camera data.
    void* created[1 + std::size(exports)] = {};
    const char* names[1 + std::size(exports)] = {};
    std::size_t count = 0;
    if (cameraFunction != nullptr) {
        if (MH_CreateHook(cameraFunction, detour(&hostCameraHook), hostCameraTrampolineSlot()) == MH_OK) {
            names[count] = cameraHookName;
            created[count++] = cameraFunction;
        } else {
            logLine("hook on %s could not be made: DLSS runs with neutral camera data", cameraHookName);
        }
    }
    const bool withCamera = count == 1;
    // The four FSR2 hooks are all or none: the game's own FSR2 would take our record in a context for its
    // own.
    for (const ExportHook& hook : exports) {
        void* function = nullptr;
        if (MH_CreateHookApiEx(nullptr, hook.name, hook.detour, hook.trampoline, &function) != MH_OK) {
            removeHooks(created, count);
            logLine("hook on %s could not be made: no host hook is installed, the game's own FSR2 runs",
                    hook.name);
            return false;
        }
        names[count] = hook.name;
        created[count++] = function;
    }
    // Enabled together, so that the game's threads stop once rather than once per hook.
    bool enabled = enableTogether(created, count);
    if (!enabled && withCamera) {
        logLine("hook on %s could not be enabled: DLSS runs with neutral camera data", cameraHookName);
        removeHooks(created, 1);
        created[0] = nullptr;
        enabled = enableTogether(created + 1, count - 1);
    }
    if (!enabled) {
        removeHooks(created, count);
        logLine("the FSR2 hooks could not be enabled: no host hook is installed, the game's own FSR2 runs");
        return false;
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (created[i] != nullptr)
            logLine("hook on %s installed", names[i]);
    }
    return true;
}

bool installUpscaler(HMODULE upscalerModule, Config* settings) noexcept
{
    const HMODULE host = GetModuleHandleW(nullptr);
    publishUpscalerState(upscalerModule, settings, host);
    auto* image = reinterpret_cast<std::uint8_t*>(host);
    // On another build of the host the camera function is not where we expect it: DLSS still replaces FSR2,
    // with neutral camera data and without Frame Generation requests.
    const CameraTargetCheck target = checkCameraTarget(image);
    logCameraTarget(target);
    const bool installed =
        installHostHooks(cameraHookAllowed(target.verdict) ? image + hostlayout::cameraFunction : nullptr);
    if (installed)
        logLine("DLSS is in place of the game's FSR2");
    return installed;
}

} // namespace fsr2bridge
