#include "hooking/hook_table.h"

#include "common/module_export.h"
#include "hooking/thread_freezer.h"

#include <cstring>

namespace fsr2bridge {
namespace {

// Slot layout: the relay (an absolute jump to the detour) first, the trampoline after it.
constexpr std::size_t relayOffset = 0;
constexpr std::size_t trampolineOffset = 16;
static_assert(trampolineOffset >= absoluteJumpSize);
static_assert(trampolineOffset + trampolineCapacity <= slotSize);

bool isExecutable(const void* p)
{
    MEMORY_BASIC_INFORMATION mbi;
    if (p == nullptr || VirtualQuery(p, &mbi, sizeof mbi) == 0 || mbi.State != MEM_COMMIT) {
        return false;
    }
    const DWORD exec = PAGE_EXECUTE | PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
    return (mbi.Protect & exec) != 0 && (mbi.Protect & PAGE_GUARD) == 0;
}

// Bytes readable from `p` on, capped at `cap`.
std::size_t readableBytes(const std::uint8_t* p, std::size_t cap)
{
    std::size_t total = 0;
    while (total < cap) {
        MEMORY_BASIC_INFORMATION mbi;
        if (VirtualQuery(p + total, &mbi, sizeof mbi) == 0 || mbi.State != MEM_COMMIT ||
            (mbi.Protect & (PAGE_NOACCESS | PAGE_GUARD)) != 0) {
            break;
        }
        total += static_cast<std::size_t>(static_cast<std::uint8_t*>(mbi.BaseAddress) + mbi.RegionSize -
                                          (p + total));
    }
    return total < cap ? total : cap;
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

std::uintptr_t addressOf(const void* p)
{
    return reinterpret_cast<std::uintptr_t>(p);
}

} // namespace

class HookTable::Locked {
public:
    explicit Locked(SRWLOCK& l) : l_(l) { AcquireSRWLockExclusive(&l_); }
    ~Locked() { ReleaseSRWLockExclusive(&l_); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

private:
    SRWLOCK& l_;
};

HookTable::Hook* HookTable::find(const void* target)
{
    for (Hook& h : hooks_) {
        if (h.target == target) {
            return &h;
        }
    }
    return nullptr;
}

// Writes or removes the patch of one hook while the other threads are frozen, and moves any
// of them that stands in the moved instructions.
static MH_STATUS switchOne(std::uint8_t* target, std::uint8_t* slot, const Trampoline& t,
                           const std::uint8_t (&saved)[patchSize], bool enable, ThreadFreezer& frozen)
{
    std::uint8_t patch[patchSize];
    if (enable) {
        if (!encodeJumpRel32(addressOf(target), addressOf(slot + relayOffset), patch)) {
            return MH_ERROR_MEMORY_ALLOC;
        }
    } else {
        std::memcpy(patch, saved, patchSize);
    }
    if (!writeCode(target, patch, patchSize)) {
        return MH_ERROR_MEMORY_PROTECT;
    }
    const std::uintptr_t from = addressOf(target), tramp = addressOf(slot + trampolineOffset);
    frozen.moveInstructionPointers([&](std::uintptr_t ip) {
        return enable ? ipIntoTrampoline(t, from, tramp, ip) : ipOutOfTrampoline(t, from, tramp, ip);
    });
    return MH_OK;
}

MH_STATUS HookTable::switchHooks(void* target, bool enable)
{
    Locked g(lock_);
    if (target == MH_ALL_HOOKS) {
        ThreadFreezer frozen;
        for (Hook& h : hooks_) {
            if (h.enabled != enable) {
                MH_STATUS s = switchOne(h.target, h.slot, h.trampoline, h.savedBytes, enable, frozen);
                if (s != MH_OK) {
                    return s;
                }
                h.enabled = enable;
            }
        }
        return MH_OK;
    }
    Hook* h = find(target);
    if (h == nullptr) {
        return MH_ERROR_NOT_CREATED;
    }
    if (h->enabled == enable) {
        return enable ? MH_ERROR_ENABLED : MH_ERROR_DISABLED;
    }
    ThreadFreezer frozen;
    MH_STATUS s = switchOne(h->target, h->slot, h->trampoline, h->savedBytes, enable, frozen);
    if (s == MH_OK) {
        h->enabled = enable;
    }
    return s;
}

MH_STATUS HookTable::create(void* target, void* detour, void** original)
{
    Locked g(lock_);
    if (!isExecutable(target) || !isExecutable(detour)) {
        return MH_ERROR_NOT_EXECUTABLE;
    }
    if (find(target) != nullptr) {
        return MH_ERROR_ALREADY_CREATED;
    }
    auto* code = static_cast<std::uint8_t*>(target);
    std::uint8_t* slot = memory_.allocate(addressOf(target));
    if (slot == nullptr) {
        return MH_ERROR_MEMORY_ALLOC;
    }
    Hook h{};
    h.target = code;
    h.detour = detour;
    h.slot = slot;
    const std::size_t available = readableBytes(code, 64);
    if (buildTrampoline(code, available, addressOf(code), addressOf(slot + trampolineOffset), h.trampoline) !=
        TrampolineStatus::ok) {
        memory_.release(slot);
        return MH_ERROR_UNSUPPORTED_FUNCTION;
    }
    std::memcpy(h.savedBytes, code, patchSize);
    encodeAbsoluteJump(addressOf(detour), slot + relayOffset);
    std::memcpy(slot + trampolineOffset, h.trampoline.code, h.trampoline.size);
    FlushInstructionCache(GetCurrentProcess(), slot, slotSize);
    try {
        hooks_.push_back(h);
    } catch (...) {
        memory_.release(slot);
        return MH_ERROR_MEMORY_ALLOC;
    }
    if (original != nullptr) {
        *original = slot + trampolineOffset;
    }
    return MH_OK;
}

MH_STATUS HookTable::createForExport(LPCWSTR module, LPCSTR name, void* detour, void** original,
                                     void** target)
{
    // Only modules already in the process: loading one could run code under the loader lock.
    HMODULE m = GetModuleHandleW(module);
    if (m == nullptr) {
        return MH_ERROR_MODULE_NOT_FOUND;
    }
    void* f = name != nullptr ? exportedFunction<void>(m, name) : nullptr;
    if (f == nullptr) {
        return MH_ERROR_FUNCTION_NOT_FOUND;
    }
    if (target != nullptr) {
        *target = f;
    }
    return create(f, detour, original);
}

MH_STATUS HookTable::removeLocked(Hook& h)
{
    bool keepSlot = h.trampoline.pushesReturnAddress;
    {
        ThreadFreezer frozen;
        if (h.enabled) {
            MH_STATUS s = switchOne(h.target, h.slot, h.trampoline, h.savedBytes, false, frozen);
            if (s != MH_OK) {
                return s;
            }
            h.enabled = false;
        }
        // A thread still inside the slot (mid-way through a widened branch) keeps it alive.
        const std::uintptr_t lo = addressOf(h.slot);
        frozen.moveInstructionPointers([&](std::uintptr_t ip) {
            keepSlot = keepSlot || (ip >= lo && ip < lo + slotSize);
            return ip;
        });
    }
    // A slot that a moved call may still return into is retired, never reused.
    if (!keepSlot) {
        memory_.release(h.slot);
    }
    hooks_.erase(hooks_.begin() + (&h - hooks_.data()));
    return MH_OK;
}

MH_STATUS HookTable::remove(void* target)
{
    Locked g(lock_);
    Hook* h = find(target);
    return h == nullptr ? MH_ERROR_NOT_CREATED : removeLocked(*h);
}

MH_STATUS HookTable::removeAll()
{
    Locked g(lock_);
    while (!hooks_.empty()) {
        MH_STATUS s = removeLocked(hooks_.back());
        if (s != MH_OK) {
            return s;
        }
    }
    memory_.trim();
    return MH_OK;
}

} // namespace fsr2bridge
