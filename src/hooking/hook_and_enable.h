#pragma once
// Create-and-enable in one step, as every hook of the system is installed.
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

} // namespace fsr2bridge
