// The hook table behind the MinHook-compatible C API.

#include "hooking/MinHook.h"
#include "hooking/near_memory.h"
#include "hooking/thread_freezer.h"
#include "hooking/trampoline_builder.h"

#include <cstring>
#include <vector>

namespace fsr2bridge {
namespace {

// Slot layout: the relay (an absolute jump to the detour) first, the trampoline after it.
constexpr std::size_t kRelayOffset = 0;
constexpr std::size_t kTrampolineOffset = 16;
static_assert(kTrampolineOffset >= kAbsoluteJumpSize);
static_assert(kTrampolineOffset + kTrampolineCapacity <= kSlotSize);

struct Hook {
    std::uint8_t* target;
    void* detour;
    std::uint8_t* slot;
    Trampoline trampoline;
    std::uint8_t savedBytes[kPatchSize];
    bool enabled;

    std::uintptr_t trampolineAddress() const
    {
        return reinterpret_cast<std::uintptr_t>(slot + kTrampolineOffset);
    }
    std::uintptr_t targetAddress() const { return reinterpret_cast<std::uintptr_t>(target); }
};

struct Engine {
    SRWLOCK lock = SRWLOCK_INIT;
    bool initialized = false;
    std::vector<Hook> hooks;
    NearMemory memory;
};

Engine& engine()
{
    // Constant-initialised, never destroyed: hooks may run while the process shuts down.
    alignas(Engine) static unsigned char storage[sizeof(Engine)];
    static Engine* instance = new (storage) Engine();
    return *instance;
}

class Guard {
public:
    explicit Guard(SRWLOCK& l) : l_(l) { AcquireSRWLockExclusive(&l_); }
    ~Guard() { ReleaseSRWLockExclusive(&l_); }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

private:
    SRWLOCK& l_;
};

bool isExecutable(const void* p)
{
    MEMORY_BASIC_INFORMATION mbi;
    if (p == nullptr || VirtualQuery(p, &mbi, sizeof mbi) == 0 || mbi.State != MEM_COMMIT) {
        return false;
    }
    const DWORD exec = PAGE_EXECUTE | PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
    return (mbi.Protect & exec) != 0 && (mbi.Protect & PAGE_GUARD) == 0;
}

// Bytes readable at `p` within its region, capped at `cap`.
std::size_t readableBytes(const std::uint8_t* p, std::size_t cap)
{
    std::size_t total = 0;
    while (total < cap) {
        MEMORY_BASIC_INFORMATION mbi;
        if (VirtualQuery(p + total, &mbi, sizeof mbi) == 0 || mbi.State != MEM_COMMIT ||
            (mbi.Protect & (PAGE_NOACCESS | PAGE_GUARD)) != 0) {
            break;
        }
        std::size_t left = static_cast<std::uint8_t*>(mbi.BaseAddress) + mbi.RegionSize - (p + total);
        total += left;
    }
    return total < cap ? total : cap;
}

Hook* findHook(Engine& e, const void* target)
{
    for (Hook& h : e.hooks) {
        if (h.target == target) {
            return &h;
        }
    }
    return nullptr;
}

bool writeCode(std::uint8_t* at, const std::uint8_t* bytes, std::size_t n)
{
    DWORD old = 0;
    if (!VirtualProtect(at, n, PAGE_EXECUTE_READWRITE, &old)) {
        return false;
    }
    std::memcpy(at, bytes, n);
    DWORD ignored = 0;
    VirtualProtect(at, n, old, &ignored);
    FlushInstructionCache(GetCurrentProcess(), at, n);
    return true;
}

// Writes or removes the patch of one hook; other threads are frozen by the caller.
MH_STATUS switchHook(Hook& h, bool enable, ThreadFreezer& frozen)
{
    std::uint8_t patch[kPatchSize];
    if (enable) {
        if (!encodeJumpRel32(h.targetAddress(), reinterpret_cast<std::uintptr_t>(h.slot + kRelayOffset),
                             patch)) {
            return MH_ERROR_MEMORY_ALLOC;
        }
    } else {
        std::memcpy(patch, h.savedBytes, kPatchSize);
    }
    if (!writeCode(h.target, patch, kPatchSize)) {
        return MH_ERROR_MEMORY_PROTECT;
    }
    const std::uintptr_t from = h.targetAddress(), tramp = h.trampolineAddress();
    frozen.moveInstructionPointers([&](std::uintptr_t ip) {
        return enable ? ipIntoTrampoline(h.trampoline, from, tramp, ip)
                      : ipOutOfTrampoline(h.trampoline, from, tramp, ip);
    });
    h.enabled = enable;
    return MH_OK;
}

MH_STATUS switchHooks(Engine& e, void* target, bool enable)
{
    if (target == MH_ALL_HOOKS) {
        ThreadFreezer frozen;
        for (Hook& h : e.hooks) {
            if (h.enabled != enable) {
                MH_STATUS s = switchHook(h, enable, frozen);
                if (s != MH_OK) {
                    return s;
                }
            }
        }
        return MH_OK;
    }
    Hook* h = findHook(e, target);
    if (h == nullptr) {
        return MH_ERROR_NOT_CREATED;
    }
    if (h->enabled == enable) {
        return enable ? MH_ERROR_ENABLED : MH_ERROR_DISABLED;
    }
    ThreadFreezer frozen;
    return switchHook(*h, enable, frozen);
}

MH_STATUS createHook(Engine& e, void* target, void* detour, void** original)
{
    if (!isExecutable(target) || !isExecutable(detour)) {
        return MH_ERROR_NOT_EXECUTABLE;
    }
    if (findHook(e, target) != nullptr) {
        return MH_ERROR_ALREADY_CREATED;
    }
    auto* code = static_cast<std::uint8_t*>(target);
    const auto address = reinterpret_cast<std::uintptr_t>(target);
    std::uint8_t* slot = e.memory.allocate(address);
    if (slot == nullptr) {
        return MH_ERROR_MEMORY_ALLOC;
    }
    Hook h{};
    h.target = code;
    h.detour = detour;
    h.slot = slot;
    const std::size_t available = readableBytes(code, 64);
    if (buildTrampoline(code, available, address, h.trampolineAddress(), h.trampoline) !=
        TrampolineStatus::ok) {
        e.memory.release(slot);
        return MH_ERROR_UNSUPPORTED_FUNCTION;
    }
    std::memcpy(h.savedBytes, code, kPatchSize);
    encodeAbsoluteJump(reinterpret_cast<std::uintptr_t>(detour), slot + kRelayOffset);
    std::memcpy(slot + kTrampolineOffset, h.trampoline.code, h.trampoline.size);
    FlushInstructionCache(GetCurrentProcess(), slot, kSlotSize);
    try {
        e.hooks.push_back(h);
    } catch (...) {
        e.memory.release(slot);
        return MH_ERROR_MEMORY_ALLOC;
    }
    if (original != nullptr) {
        *original = slot + kTrampolineOffset;
    }
    return MH_OK;
}

MH_STATUS removeHook(Engine& e, void* target)
{
    Hook* h = findHook(e, target);
    if (h == nullptr) {
        return MH_ERROR_NOT_CREATED;
    }
    bool keepSlot = h->trampoline.pushesReturnAddress;
    {
        ThreadFreezer frozen;
        if (h->enabled) {
            MH_STATUS s = switchHook(*h, false, frozen);
            if (s != MH_OK) {
                return s;
            }
        }
        // A thread still inside the trampoline (mid-way through a widened branch) keeps it alive.
        const std::uintptr_t lo = reinterpret_cast<std::uintptr_t>(h->slot);
        frozen.moveInstructionPointers([&](std::uintptr_t ip) {
            if (ip >= lo && ip < lo + kSlotSize) {
                keepSlot = true;
            }
            return ip;
        });
    }
    // Slots that may still be returned to or run are retired, never reused.
    if (!keepSlot) {
        e.memory.release(h->slot);
    }
    e.hooks.erase(e.hooks.begin() + (h - e.hooks.data()));
    return MH_OK;
}

MH_STATUS findExport(LPCWSTR module, LPCSTR name, void** target)
{
    // Only modules already in the process: loading one here could run under the loader lock.
    HMODULE m = GetModuleHandleW(module);
    if (m == nullptr) {
        return MH_ERROR_MODULE_NOT_FOUND;
    }
    FARPROC f = name != nullptr ? GetProcAddress(m, name) : nullptr;
    if (f == nullptr) {
        return MH_ERROR_FUNCTION_NOT_FOUND;
    }
    *target = reinterpret_cast<void*>(f);
    return MH_OK;
}

} // namespace
} // namespace fsr2bridge

using namespace fsr2bridge;

extern "C" {

MH_STATUS WINAPI MH_Initialize(VOID)
{
    Engine& e = engine();
    Guard g(e.lock);
    if (e.initialized) {
        return MH_ERROR_ALREADY_INITIALIZED;
    }
    e.initialized = true;
    return MH_OK;
}

MH_STATUS WINAPI MH_Uninitialize(VOID)
{
    Engine& e = engine();
    Guard g(e.lock);
    if (!e.initialized) {
        return MH_ERROR_NOT_INITIALIZED;
    }
    while (!e.hooks.empty()) {
        MH_STATUS s = removeHook(e, e.hooks.back().target);
        if (s != MH_OK) {
            return s;
        }
    }
    e.memory.trim();
    e.initialized = false;
    return MH_OK;
}

MH_STATUS WINAPI MH_CreateHook(LPVOID pTarget, LPVOID pDetour, LPVOID* ppOriginal)
{
    Engine& e = engine();
    Guard g(e.lock);
    if (!e.initialized) {
        return MH_ERROR_NOT_INITIALIZED;
    }
    return createHook(e, pTarget, pDetour, ppOriginal);
}

MH_STATUS WINAPI MH_CreateHookApiEx(LPCWSTR pszModule, LPCSTR pszProcName, LPVOID pDetour, LPVOID* ppOriginal,
                                    LPVOID* ppTarget)
{
    Engine& e = engine();
    Guard g(e.lock);
    if (!e.initialized) {
        return MH_ERROR_NOT_INITIALIZED;
    }
    void* target = nullptr;
    MH_STATUS s = findExport(pszModule, pszProcName, &target);
    if (s != MH_OK) {
        return s;
    }
    if (ppTarget != nullptr) {
        *ppTarget = target;
    }
    return createHook(e, target, pDetour, ppOriginal);
}

MH_STATUS WINAPI MH_CreateHookApi(LPCWSTR pszModule, LPCSTR pszProcName, LPVOID pDetour, LPVOID* ppOriginal)
{
    return MH_CreateHookApiEx(pszModule, pszProcName, pDetour, ppOriginal, nullptr);
}

MH_STATUS WINAPI MH_RemoveHook(LPVOID pTarget)
{
    Engine& e = engine();
    Guard g(e.lock);
    if (!e.initialized) {
        return MH_ERROR_NOT_INITIALIZED;
    }
    return removeHook(e, pTarget);
}

MH_STATUS WINAPI MH_EnableHook(LPVOID pTarget)
{
    Engine& e = engine();
    Guard g(e.lock);
    if (!e.initialized) {
        return MH_ERROR_NOT_INITIALIZED;
    }
    return switchHooks(e, pTarget, true);
}

MH_STATUS WINAPI MH_DisableHook(LPVOID pTarget)
{
    Engine& e = engine();
    Guard g(e.lock);
    if (!e.initialized) {
        return MH_ERROR_NOT_INITIALIZED;
    }
    return switchHooks(e, pTarget, false);
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
