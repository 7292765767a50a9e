#include "hooking/near_memory.h"

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

} // namespace

bool withinReach(std::uintptr_t target, std::uintptr_t start, std::size_t size)
{
    std::uintptr_t end = start + size;
    std::uintptr_t lo = target > nearReach ? target - nearReach : 0;
    std::uintptr_t hi = target + nearReach;
    return start >= lo && end <= hi && end >= start;
}

// A block exactly at `at`, kept only when all of it lies within reach of `target`.
std::uint8_t* NearMemory::tryBlock(std::uintptr_t target, std::uintptr_t at)
{
    if (at == 0 || !withinReach(target, at, blockSize)) {
        return nullptr;
    }
    std::uint8_t* p = platform_.reserveAt(at, blockSize);
    if (p != nullptr && !withinReach(target, reinterpret_cast<std::uintptr_t>(p), blockSize)) {
        platform_.releaseBlock(p);
        return nullptr;
    }
    return p;
}

std::uint8_t* NearMemory::reserveBlockNear(std::uintptr_t target)
{
    const AddressSpace space = platform_.addressSpace();
    const std::uintptr_t granularity = space.granularity != 0 ? space.granularity : 0x10000;
    // Address 0 would ask for "anywhere": the search stays at or above one granule.
    const std::uintptr_t lowest =
        alignUp(space.lowest > granularity ? space.lowest : granularity, granularity);
    const std::uintptr_t start = alignDown(target, granularity);

    // Downwards: each free region is tried at its highest granule below the target.
    for (std::uintptr_t at = start; at >= lowest + granularity;) {
        at -= granularity;
        if (!withinReach(target, at, blockSize)) {
            break;
        }
        MEMORY_BASIC_INFORMATION mbi;
        if (!platform_.query(at, mbi)) {
            break;
        }
        if (mbi.State == MEM_FREE) {
            if (std::uint8_t* p = tryBlock(target, at)) {
                return p;
            }
        }
        std::uintptr_t regionBase = reinterpret_cast<std::uintptr_t>(
            mbi.State == MEM_FREE || mbi.AllocationBase == nullptr ? mbi.BaseAddress : mbi.AllocationBase);
        at = alignDown(regionBase, granularity);
    }
    // Upwards: the first granule of each free region above the target.
    for (std::uintptr_t at = start + granularity; at + blockSize <= space.highest;) {
        if (!withinReach(target, at, blockSize)) {
            break;
        }
        MEMORY_BASIC_INFORMATION mbi;
        if (!platform_.query(at, mbi)) {
            break;
        }
        if (mbi.State == MEM_FREE) {
            if (std::uint8_t* p = tryBlock(target, at)) {
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
        platform_.releaseBlock(base);
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
            platform_.releaseBlock(b.base);
        } else {
            blocks_[kept++] = b;
        }
    }
    blocks_.resize(kept);
    return kept;
}

} // namespace fsr2bridge
