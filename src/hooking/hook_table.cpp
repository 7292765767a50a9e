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

std::uintptr_t addressOf(const void* p)
{
    return reinterpret_cast<std::uintptr_t>(p);
}

// A freeze that failed leaves every thread running: nothing may be written.
MH_STATUS freezeFailure()
{
    return MH_ERROR_MEMORY_ALLOC;
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

MH_STATUS findExport(LPCWSTR module, LPCSTR name, void*& function)
{
    HMODULE m = GetModuleHandleW(module);
    if (m == nullptr) {
        return MH_ERROR_MODULE_NOT_FOUND;
    }
    void* f = name != nullptr ? exportedFunction<void>(m, name) : nullptr;
    if (f == nullptr) {
        return MH_ERROR_FUNCTION_NOT_FOUND;
    }
    function = f;
    return MH_OK;
}

bool HookTable::isExecutable(const void* p)
{
    MEMORY_BASIC_INFORMATION mbi;
    if (p == nullptr || !platform_.query(addressOf(p), mbi) || mbi.State != MEM_COMMIT) {
        return false;
    }
    const DWORD exec = PAGE_EXECUTE | PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
    return (mbi.Protect & exec) != 0 && (mbi.Protect & PAGE_GUARD) == 0;
}

// Bytes readable from `p` on, capped at `cap`.
std::size_t HookTable::readableBytes(const std::uint8_t* p, std::size_t cap)
{
    std::size_t total = 0;
    while (total < cap) {
        MEMORY_BASIC_INFORMATION mbi;
        if (!platform_.query(addressOf(p + total), mbi) || mbi.State != MEM_COMMIT ||
            (mbi.Protect & (PAGE_NOACCESS | PAGE_GUARD)) != 0) {
            break;
        }
        total += static_cast<std::size_t>(static_cast<std::uint8_t*>(mbi.BaseAddress) + mbi.RegionSize -
                                          (p + total));
    }
    return total < cap ? total : cap;
}

HookTable::Hook* HookTable::find(const void* target)
{
    for (Hook& h : hooks_) {
        if (h.target == target) {
            return &h;
        }
    }
    return nullptr;
}

bool HookTable::isEnabled(const void* target)
{
    Locked g(lock_);
    const Hook* h = find(target);
    return h != nullptr && h->enabled;
}

// Writes or removes the patch of one hook while the other threads are frozen. The order keeps
// every thread on valid code whichever step fails: enabling moves the threads that stand in the
// bytes to be replaced into the trampoline before the patch is written; disabling restores the
// bytes before moving threads out of the trampoline (one left there finishes it and jumps back).
MH_STATUS HookTable::switchOne(Hook& h, bool enable, ThreadFreezer& frozen)
{
    const std::uintptr_t from = addressOf(h.target), tramp = addressOf(h.slot + trampolineOffset);
    const Trampoline& t = h.trampoline;
    if (enable) {
        std::uint8_t patch[patchSize];
        if (!encodeJumpRel32(from, addressOf(h.slot + relayOffset), patch)) {
            return MH_ERROR_MEMORY_ALLOC;
        }
        if (!frozen.moveInstructionPointers(
                [&](std::uintptr_t ip) { return ipIntoTrampoline(t, from, tramp, ip); })) {
            return MH_UNKNOWN;
        }
        if (!platform_.writeCode(h.target, patch, patchSize)) {
            return MH_ERROR_MEMORY_PROTECT;
        }
    } else {
        if (!platform_.writeCode(h.target, h.savedBytes, patchSize)) {
            return MH_ERROR_MEMORY_PROTECT;
        }
        frozen.moveInstructionPointers(
            [&](std::uintptr_t ip) { return ipOutOfTrampoline(t, from, tramp, ip); });
    }
    h.enabled = enable;
    return MH_OK;
}

MH_STATUS HookTable::switchMarked(ThreadFreezer& frozen)
{
    for (std::size_t i = 0; i < hooks_.size(); ++i) {
        if (!hooks_[i].pending) {
            continue;
        }
        const MH_STATUS s = switchOne(hooks_[i], !hooks_[i].enabled, frozen);
        if (s == MH_OK) {
            continue;
        }
        // Back to where the call started. A hook that cannot go back keeps the state it has.
        for (std::size_t j = i; j-- > 0;) {
            if (hooks_[j].pending) {
                switchOne(hooks_[j], !hooks_[j].enabled, frozen);
            }
        }
        return s;
    }
    return MH_OK;
}

template <class Wanted> MH_STATUS HookTable::switchWhere(Wanted&& wanted)
{
    bool any = false;
    for (Hook& h : hooks_) {
        h.pending = h.enabled != wanted(static_cast<const Hook&>(h));
        any = any || h.pending;
    }
    if (!any) {
        return MH_OK;
    }
    ThreadFreezer frozen(platform_);
    return frozen.ready() ? switchMarked(frozen) : freezeFailure();
}

MH_STATUS HookTable::switchDirectly(void* target, bool enable)
{
    Locked g(lock_);
    if (target == MH_ALL_HOOKS) {
        const MH_STATUS s = switchWhere([&](const Hook&) { return enable; });
        if (s == MH_OK) {
            for (Hook& h : hooks_) {
                h.queued = enable;
            }
        }
        return s;
    }
    Hook* hook = find(target);
    if (hook == nullptr) {
        return MH_ERROR_NOT_CREATED;
    }
    if (hook->enabled == enable) {
        return enable ? MH_ERROR_ENABLED : MH_ERROR_DISABLED;
    }
    const MH_STATUS s = switchWhere([&](const Hook& h) { return &h == hook ? enable : h.enabled; });
    if (s == MH_OK) {
        hook->queued = enable;
    }
    return s;
}

MH_STATUS HookTable::queue(void* target, bool enable)
{
    Locked g(lock_);
    if (target == MH_ALL_HOOKS) {
        for (Hook& h : hooks_) {
            h.queued = enable;
        }
        return MH_OK;
    }
    Hook* hook = find(target);
    if (hook == nullptr) {
        return MH_ERROR_NOT_CREATED;
    }
    hook->queued = enable;
    return MH_OK;
}

MH_STATUS HookTable::applyQueued()
{
    Locked g(lock_);
    return switchWhere([](const Hook& h) { return h.queued; });
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
    const std::uintptr_t from = addressOf(code);
    const bool built = buildTrampoline(code, available, from, addressOf(slot + trampolineOffset),
                                       h.trampoline) == TrampolineStatus::ok;
    // Padding that a function table claims as the start of another function is no padding.
    if (!built || (h.trampoline.paddingBytes != 0 &&
                   platform_.functionBeginsIn(from + h.trampoline.movedBytes, from + patchSize))) {
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
    void* function = nullptr;
    const MH_STATUS found = findExport(module, name, function);
    if (found != MH_OK) {
        return found;
    }
    if (target != nullptr) {
        *target = function;
    }
    return create(function, detour, original);
}

// A slot outlives its hook when a thread stands in it (mid-way through a widened branch) or a
// moved call may still return into it; such a slot is retired, never reused.
bool HookTable::slotInUse(const Hook& h, const ThreadFreezer& frozen)
{
    return h.trampoline.pushesReturnAddress ||
           frozen.anyStandsIn(addressOf(h.slot), addressOf(h.slot) + slotSize);
}

MH_STATUS HookTable::removeLocked(Hook& h)
{
    bool keepSlot = false;
    {
        ThreadFreezer frozen(platform_);
        if (!frozen.ready()) {
            return freezeFailure();
        }
        if (h.enabled) {
            MH_STATUS s = switchOne(h, false, frozen);
            if (s != MH_OK) {
                return s;
            }
        }
        keepSlot = slotInUse(h, frozen);
    }
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
    if (hooks_.empty()) {
        memory_.trim();
        return MH_OK;
    }
    {
        ThreadFreezer frozen(platform_);
        if (!frozen.ready()) {
            return freezeFailure();
        }
        for (Hook& h : hooks_) {
            h.pending = h.enabled;
        }
        const MH_STATUS s = switchMarked(frozen);
        if (s != MH_OK) {
            return s;
        }
        for (Hook& h : hooks_) {
            if (!slotInUse(h, frozen)) {
                memory_.release(h.slot);
            }
        }
    }
    hooks_.clear();
    memory_.trim();
    return MH_OK;
}

} // namespace fsr2bridge
