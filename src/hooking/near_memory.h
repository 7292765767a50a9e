#pragma once
// Executable memory for trampolines and relays, in fixed-size slots carved from 64 KiB blocks
// placed within reach of a rel32 jump from the hooked function. Not thread-safe: the hook
// table's lock guards it.

#include "hooking/hook_platform.h"

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace fsr2bridge {

inline constexpr std::size_t slotSize = 128;

// Both ends of any slot stay this close to the target, so rel32 jumps work both ways.
inline constexpr std::uint64_t nearReach = 0x7FF00000ull;

class NearMemory {
public:
    explicit NearMemory(HookPlatform& platform) : platform_(platform) {}
    NearMemory(const NearMemory&) = delete;
    NearMemory& operator=(const NearMemory&) = delete;
    ~NearMemory() = default; // blocks outlive the table on purpose: code may still run in them

    // A zeroed slot whose whole extent lies within nearReach of `target`, or null.
    std::uint8_t* allocate(std::uintptr_t target);
    void release(std::uint8_t* slot);
    // Frees every block without a slot in use; returns how many blocks stay.
    std::size_t trim();

private:
    static constexpr std::size_t blockSize = 0x10000;
    static constexpr std::size_t slotsPerBlock = blockSize / slotSize;
    struct Block {
        std::uint8_t* base;
        std::bitset<slotsPerBlock> used;
    };
    std::uint8_t* reserveBlockNear(std::uintptr_t target);
    std::uint8_t* tryBlock(std::uintptr_t target, std::uintptr_t at);
    HookPlatform& platform_;
    std::vector<Block> blocks_;
};

// True when [start, start + size) lies within nearReach of `target`.
bool withinReach(std::uintptr_t target, std::uintptr_t start, std::size_t size);

} // namespace fsr2bridge
