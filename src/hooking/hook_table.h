#pragma once
// A table of function hooks: creates, enables, disables and removes them. The MinHook C API
// runs on one process-wide table; a test harness may keep a table of its own so that its hooks
// and the system's stay independent, like two hooking libraries in one process.
//
// Every change of state that touches more than one hook is all or none: when one hook cannot be
// switched, the ones already switched in that call are switched back before the error returns.
// Nothing is written unless every other thread is confirmed suspended.

#include "hooking/MinHook.h"
#include "hooking/hook_platform.h"
#include "hooking/near_memory.h"
#include "hooking/trampoline_builder.h"

#include <vector>

namespace fsr2bridge {

class ThreadFreezer;

// Finds an export of a module already loaded (it loads nothing: that could run code under the
// loader lock). MH_ERROR_MODULE_NOT_FOUND, MH_ERROR_FUNCTION_NOT_FOUND or MH_OK.
MH_STATUS findExport(LPCWSTR module, LPCSTR name, void*& function);

// The platform of the process-wide table behind the MinHook API, from the next MH_Initialize on: tests fail
// single steps of code that hooks through that API. False (nothing changed) while the engine is initialised.
bool useProcessHookPlatform(HookPlatform& platform);

class HookTable {
public:
    explicit HookTable(HookPlatform& platform = systemHookPlatform()) : platform_(platform), memory_(platform)
    {
    }
    HookTable(const HookTable&) = delete;
    HookTable& operator=(const HookTable&) = delete;
    ~HookTable() = default; // hooks and their memory stay: code may still run through them

    MH_STATUS create(void* target, void* detour, void** original);
    MH_STATUS createForExport(LPCWSTR module, LPCSTR name, void* detour, void** original, void** target);
    MH_STATUS remove(void* target);
    // Disables every hook, then frees them all; when that fails, nothing is freed.
    MH_STATUS removeAll();
    // target == MH_ALL_HOOKS switches every hook that is not in that state yet.
    MH_STATUS enable(void* target) { return switchDirectly(target, true); }
    MH_STATUS disable(void* target) { return switchDirectly(target, false); }
    // Records the state the next applyQueued gives a hook (or every hook). Enabling or
    // disabling directly records it too.
    MH_STATUS queueEnable(void* target) { return queue(target, true); }
    MH_STATUS queueDisable(void* target) { return queue(target, false); }
    MH_STATUS applyQueued();

    std::size_t size() const { return hooks_.size(); }
    bool isEnabled(const void* target);

private:
    struct Hook {
        std::uint8_t* target;
        void* detour;
        std::uint8_t* slot;
        Trampoline trampoline;
        std::uint8_t savedBytes[patchSize];
        bool enabled;
        bool queued;  // the state applyQueued gives it
        bool pending; // to be switched by the running call
    };
    class Locked;

    Hook* find(const void* target);
    MH_STATUS switchDirectly(void* target, bool enable);
    MH_STATUS queue(void* target, bool enable);
    // Marks the hooks whose state differs from wanted(hook), freezes the threads when there are
    // any and switches them all or none.
    template <class Wanted> MH_STATUS switchWhere(Wanted&& wanted);
    MH_STATUS switchMarked(ThreadFreezer& frozen);
    MH_STATUS switchOne(Hook& h, bool enable, ThreadFreezer& frozen);
    MH_STATUS removeLocked(Hook& h);
    static bool slotInUse(const Hook& h, const ThreadFreezer& frozen);
    bool isExecutable(const void* p);
    std::size_t readableBytes(const std::uint8_t* p, std::size_t cap);

    HookPlatform& platform_;
    SRWLOCK lock_ = SRWLOCK_INIT;
    std::vector<Hook> hooks_;
    NearMemory memory_;
};

} // namespace fsr2bridge
