#include "hooking/near_memory.h"

#include <windows.h>

#include <cstring>

namespace fsr2bridge {
namespace {

std::uintptr_t alignDown(std::uintptr_t v, std::uintptr_t a)
{
    return v - v % a;
}

std::uintptr_t alignUp(std::uintptr_t v, std::uintptr_t a)
{
    return alignDown(v + a - 1, a);
}

std::uint8_t* tryReserve(std::uintptr_t at, std::size_t size)
{
    void* p =
        VirtualAlloc(reinterpret_cast<void*>(at), size, MEM_RESERVE | MEM_COMMIT, PAGE_EXECUTE_READWRITE);
    return static_cast<std::uint8_t*>(p);
}

} // namespace

bool withinReach(std::uintptr_t target, std::uintptr_t start, std::size_t size)
{
    std::uintptr_t end = start + size;
    std::uintptr_t lo = target > nearReach ? target - nearReach : 0;
    std::uintptr_t hi = target + nearReach;
    return start >= lo && end <= hi && end >= start;
}

std::uint8_t* NearMemory::reserveBlockNear(std::uintptr_t target)
{
    SYSTEM_INFO si;
    GetSystemInfo(&si);
    const std::uintptr_t granularity = si.dwAllocationGranularity;
    const std::uintptr_t minApp = reinterpret_cast<std::uintptr_t>(si.lpMinimumApplicationAddress);
    const std::uintptr_t maxApp = reinterpret_cast<std::uintptr_t>(si.lpMaximumApplicationAddress);
    const std::uintptr_t start = alignDown(target, granularity);

    // Downwards: each free region is tried at its highest granule below the target.
    for (std::uintptr_t at = start; at >= minApp && at >= granularity;) {
        at -= granularity;
        if (!withinReach(target, at, blockSize)) {
            break;
        }
        MEMORY_BASIC_INFORMATION mbi;
        if (VirtualQuery(reinterpret_cast<void*>(at), &mbi, sizeof mbi) == 0) {
            break;
        }
        if (mbi.State == MEM_FREE) {
            if (std::uint8_t* p = tryReserve(at, blockSize)) {
                return p;
            }
        }
        std::uintptr_t regionBase = reinterpret_cast<std::uintptr_t>(
            mbi.State == MEM_FREE || mbi.AllocationBase == nullptr ? mbi.BaseAddress : mbi.AllocationBase);
        at = alignDown(regionBase, granularity);
    }
    // Upwards: the first granule of each free region above the target.
    for (std::uintptr_t at = start + granularity; at + blockSize <= maxApp;) {
        if (!withinReach(target, at, blockSize)) {
            break;
        }
        MEMORY_BASIC_INFORMATION mbi;
        if (VirtualQuery(reinterpret_cast<void*>(at), &mbi, sizeof mbi) == 0) {
            break;
        }
        if (mbi.State == MEM_FREE) {
            if (std::uint8_t* p = tryReserve(at, blockSize)) {
                return p;
            }
        }
        std::uintptr_t next =
            alignUp(reinterpret_cast<std::uintptr_t>(mbi.BaseAddress) + mbi.RegionSize, granularity);
        at = next > at ? next : at + granularity;
    }
    return nullptr;
}

std::uint8_t* NearMemory::allocate(std::uintptr_t target)
{
    for (Block& b : blocks_) {
        if (!withinReach(target, reinterpret_cast<std::uintptr_t>(b.base), blockSize) || b.used.all()) {
            continue;
        }
        for (std::size_t i = 0; i < slotsPerBlock; ++i) {
            if (!b.used[i]) {
                b.used.set(i);
                std::uint8_t* slot = b.base + i * slotSize;
                std::memset(slot, 0xCC, slotSize);
                return slot;
            }
        }
    }
    std::uint8_t* base = reserveBlockNear(target);
    if (base == nullptr) {
        return nullptr;
    }
    try {
        blocks_.push_back(Block{base, {}});
    } catch (...) {
        VirtualFree(base, 0, MEM_RELEASE);
        return nullptr;
    }
    blocks_.back().used.set(0);
    std::memset(base, 0xCC, slotSize);
    return base;
}

void NearMemory::release(std::uint8_t* slot)
{
    for (Block& b : blocks_) {
        if (slot >= b.base && slot < b.base + blockSize) {
            std::size_t i = static_cast<std::size_t>(slot - b.base) / slotSize;
            std::memset(b.base + i * slotSize, 0xCC, slotSize);
            b.used.reset(i);
            return;
        }
    }
}

std::size_t NearMemory::trim()
{
    std::size_t kept = 0;
    for (Block& b : blocks_) {
        if (b.used.none()) {
            VirtualFree(b.base, 0, MEM_RELEASE);
        } else {
            blocks_[kept++] = b;
        }
    }
    blocks_.resize(kept);
    return kept;
}

} // namespace fsr2bridge
