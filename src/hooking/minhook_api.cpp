// MinHook's C API over the process-wide hook table.

#include "hooking/MinHook.h"
#include "hooking/hook_table.h"

#include <new>
#include <optional>

namespace fsr2bridge {
namespace {

struct ApiState {
    ApiState() { table.emplace(systemHookPlatform()); }
    SRWLOCK lock = SRWLOCK_INIT;
    bool initialized = false;
    std::optional<HookTable> table;
};

ApiState& api()
{
    // Built once and never destroyed: hooks may run while the process shuts down.
    alignas(ApiState) static unsigned char storage[sizeof(ApiState)];
    static ApiState* instance = new (storage) ApiState();
    return *instance;
}

// Runs `op` on the table when the engine is initialised.
template <class Op> MH_STATUS whenInitialized(Op&& op)
{
    ApiState& a = api();
    AcquireSRWLockShared(&a.lock);
    MH_STATUS s = a.initialized ? op(*a.table) : MH_ERROR_NOT_INITIALIZED;
    ReleaseSRWLockShared(&a.lock);
    return s;
}

} // namespace

bool useProcessHookPlatform(HookPlatform& platform)
{
    ApiState& a = api();
    AcquireSRWLockExclusive(&a.lock);
    const bool free = !a.initialized && a.table->size() == 0;
    if (free) {
        a.table.reset();
        a.table.emplace(platform);
    }
    ReleaseSRWLockExclusive(&a.lock);
    return free;
}
} // namespace fsr2bridge

using fsr2bridge::api;
using fsr2bridge::ApiState;
using fsr2bridge::HookTable;
using fsr2bridge::whenInitialized;

extern "C" {

MH_STATUS WINAPI MH_Initialize(VOID)
{
    ApiState& a = api();
    AcquireSRWLockExclusive(&a.lock);
    MH_STATUS s = a.initialized ? MH_ERROR_ALREADY_INITIALIZED : MH_OK;
    a.initialized = true;
    ReleaseSRWLockExclusive(&a.lock);
    return s;
}

MH_STATUS WINAPI MH_Uninitialize(VOID)
{
    ApiState& a = api();
    AcquireSRWLockExclusive(&a.lock);
    MH_STATUS s = MH_ERROR_NOT_INITIALIZED;
    if (a.initialized) {
        // Every hook is disabled first; when one cannot be, nothing is freed and the engine stays.
        s = a.table->removeAll();
        a.initialized = s != MH_OK;
    }
    ReleaseSRWLockExclusive(&a.lock);
    return s;
}

MH_STATUS WINAPI MH_CreateHook(LPVOID pTarget, LPVOID pDetour, LPVOID* ppOriginal)
{
    return whenInitialized([&](HookTable& t) { return t.create(pTarget, pDetour, ppOriginal); });
}

// The module and the function are looked up first: their errors come before the engine's state.
MH_STATUS WINAPI MH_CreateHookApiEx(LPCWSTR pszModule, LPCSTR pszProcName, LPVOID pDetour, LPVOID* ppOriginal,
                                    LPVOID* ppTarget)
{
    void* target = nullptr;
    const MH_STATUS found = fsr2bridge::findExport(pszModule, pszProcName, target);
    if (found != MH_OK) {
        return found;
    }
    if (ppTarget != nullptr) {
        *ppTarget = target;
    }
    return MH_CreateHook(target, pDetour, ppOriginal);
}

MH_STATUS WINAPI MH_CreateHookApi(LPCWSTR pszModule, LPCSTR pszProcName, LPVOID pDetour, LPVOID* ppOriginal)
{
    return MH_CreateHookApiEx(pszModule, pszProcName, pDetour, ppOriginal, nullptr);
}

MH_STATUS WINAPI MH_RemoveHook(LPVOID pTarget)
{
    return whenInitialized([&](HookTable& t) { return t.remove(pTarget); });
}

MH_STATUS WINAPI MH_EnableHook(LPVOID pTarget)
{
    return whenInitialized([&](HookTable& t) { return t.enable(pTarget); });
}

MH_STATUS WINAPI MH_DisableHook(LPVOID pTarget)
{
    return whenInitialized([&](HookTable& t) { return t.disable(pTarget); });
}

MH_STATUS WINAPI MH_QueueEnableHook(LPVOID pTarget)
{
    return whenInitialized([&](HookTable& t) { return t.queueEnable(pTarget); });
}

MH_STATUS WINAPI MH_QueueDisableHook(LPVOID pTarget)
{
    return whenInitialized([&](HookTable& t) { return t.queueDisable(pTarget); });
}

MH_STATUS WINAPI MH_ApplyQueued(VOID)
{
    return whenInitialized([](HookTable& t) { return t.applyQueued(); });
}

const char* WINAPI MH_StatusToString(MH_STATUS status)
{
    switch (status) {
    case MH_UNKNOWN:
        return "MH_UNKNOWN";
    case MH_OK:
        return "MH_OK";
    case MH_ERROR_ALREADY_INITIALIZED:
        return "MH_ERROR_ALREADY_INITIALIZED";
    case MH_ERROR_NOT_INITIALIZED:
        return "MH_ERROR_NOT_INITIALIZED";
    case MH_ERROR_ALREADY_CREATED:
        return "MH_ERROR_ALREADY_CREATED";
    case MH_ERROR_NOT_CREATED:
        return "MH_ERROR_NOT_CREATED";
    case MH_ERROR_ENABLED:
        return "MH_ERROR_ENABLED";
    case MH_ERROR_DISABLED:
        return "MH_ERROR_DISABLED";
    case MH_ERROR_NOT_EXECUTABLE:
        return "MH_ERROR_NOT_EXECUTABLE";
    case MH_ERROR_UNSUPPORTED_FUNCTION:
        return "MH_ERROR_UNSUPPORTED_FUNCTION";
    case MH_ERROR_MEMORY_ALLOC:
        return "MH_ERROR_MEMORY_ALLOC";
    case MH_ERROR_MEMORY_PROTECT:
        return "MH_ERROR_MEMORY_PROTECT";
    case MH_ERROR_MODULE_NOT_FOUND:
        return "MH_ERROR_MODULE_NOT_FOUND";
    case MH_ERROR_FUNCTION_NOT_FOUND:
        return "MH_ERROR_FUNCTION_NOT_FOUND";
    }
    return "(unknown)";
}

} // extern "C"
