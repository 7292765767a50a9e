#pragma once
// A table of function hooks: creates, enables, disables and removes them. The MinHook C API
// runs on one process-wide table; a test harness may keep a table of its own so that its hooks
// and the system's stay independent, like two hooking libraries in one process.

#include "hooking/MinHook.h"
#include "hooking/near_memory.h"
#include "hooking/trampoline_builder.h"

#include <vector>

namespace fsr2bridge {

class HookTable {
public:
    HookTable() = default;
    HookTable(const HookTable&) = delete;
    HookTable& operator=(const HookTable&) = delete;
    ~HookTable() = default; // hooks and their memory stay: code may still run through them

    MH_STATUS create(void* target, void* detour, void** original);
    MH_STATUS createForExport(LPCWSTR module, LPCSTR name, void* detour, void** original, void** target);
    MH_STATUS remove(void* target);
    MH_STATUS removeAll();
    // target == MH_ALL_HOOKS switches every hook that is not in that state yet.
    MH_STATUS enable(void* target) { return switchHooks(target, true); }
    MH_STATUS disable(void* target) { return switchHooks(target, false); }

private:
    struct Hook {
        std::uint8_t* target;
        void* detour;
        std::uint8_t* slot;
        Trampoline trampoline;
        std::uint8_t savedBytes[patchSize];
        bool enabled;
    };
    class ThreadsFrozen;
    class Locked;

    Hook* find(const void* target);
    MH_STATUS switchHooks(void* target, bool enable);
    MH_STATUS removeLocked(Hook& h);

    SRWLOCK lock_ = SRWLOCK_INIT;
    std::vector<Hook> hooks_;
    NearMemory memory_;
};

} // namespace fsr2bridge
