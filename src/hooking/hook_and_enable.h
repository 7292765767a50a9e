#pragma once
// Create-and-enable in one step, as the system installs its hooks, and enabling several together.
#include <cstddef>

#include "hooking/MinHook.h"

namespace fsr2bridge {

// Hooks `target` and enables the hook at once. False at the first step that fails.
inline bool hookAndEnable(void* target, void* detour, void** trampoline) noexcept
{
    return MH_CreateHook(target, detour, trampoline) == MH_OK && MH_EnableHook(target) == MH_OK;
}

// The same for the function `name` exported by `module` (null: the host executable).
inline bool hookExportAndEnable(const wchar_t* module, const char* name, void* detour,
                                void** trampoline) noexcept
{
    void* target = nullptr;
    return MH_CreateHookApiEx(module, name, detour, trampoline, &target) == MH_OK &&
           MH_EnableHook(target) == MH_OK;
}

// Enables the hooks on `targets` (all created) in one step: the other threads stop once for all of them, and
// all or none go live. False, with none enabled and none left queued, when that fails.
inline bool enableTogether(void* const* targets, std::size_t count) noexcept
{
    std::size_t queued = 0;
    while (queued < count && MH_QueueEnableHook(targets[queued]) == MH_OK)
        ++queued;
    if (queued == count && (count == 0 || MH_ApplyQueued() == MH_OK))
        return true;
    while (queued > 0)
        MH_QueueDisableHook(targets[--queued]);
    return false;
}

} // namespace fsr2bridge
