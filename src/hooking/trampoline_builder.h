#pragma once
// Builds the trampoline of a hook: the whole instructions that the 5-byte patch at the target
// overwrites, re-encoded to run at another address, followed by a jump back behind them.
// Pure computation: the caller reads the target's bytes and writes the result.

#include <cstddef>
#include <cstdint>

namespace fsr2bridge {

inline constexpr std::size_t patchSize = 5;            // JMP rel32
inline constexpr std::size_t trampolineCapacity = 112; // worst case: 5 widened instructions + jump back
inline constexpr std::size_t maxMovedInstructions = 8;

enum class TrampolineStatus : std::uint8_t {
    ok,
    unknownInstruction, // the decoder does not know an encoding in the patched bytes
    tooShort,           // the function stops before 5 bytes, and padding does not fill the rest
    jumpsIntoPatch,     // a branch in the moved bytes lands inside them
    unmovable,          // a RIP-relative operand or branch cannot be reached from the trampoline
};

struct Trampoline {
    std::uint8_t code[trampolineCapacity] = {};
    std::size_t size = 0;
    std::size_t movedBytes = 0; // bytes of whole instructions taken from the target
    // A function that returns or jumps away before 5 bytes is hookable when padding (CC, 90 or 00)
    // follows up to the 5th byte: the patch covers it. movedBytes + paddingBytes >= 5.
    std::size_t paddingBytes = 0;
    std::size_t count = 0; // instructions moved
    // Start of each moved instruction at the target and in the trampoline; entry `count` holds
    // the ends (the jump back).
    std::uint8_t oldOffset[maxMovedInstructions + 1] = {};
    std::uint8_t newOffset[maxMovedInstructions + 1] = {};
    bool pushesReturnAddress = false; // a moved call leaves return addresses inside the trampoline
};

// `source` holds `available` bytes read at `sourceAddress`; the trampoline is encoded for
// `trampolineAddress`.
TrampolineStatus buildTrampoline(const std::uint8_t* source, std::size_t available,
                                 std::uintptr_t sourceAddress, std::uintptr_t trampolineAddress,
                                 Trampoline& out);

// Where a suspended thread's instruction pointer goes when the patch is written (from the
// target into the trampoline) or removed (back). Returns `ip` unchanged when it is not at an
// instruction boundary of the moved code.
std::uintptr_t ipIntoTrampoline(const Trampoline& t, std::uintptr_t sourceAddress,
                                std::uintptr_t trampolineAddress, std::uintptr_t ip);
std::uintptr_t ipOutOfTrampoline(const Trampoline& t, std::uintptr_t sourceAddress,
                                 std::uintptr_t trampolineAddress, std::uintptr_t ip);

// JMP rel32 from `from` to `to`, when the distance fits.
bool encodeJumpRel32(std::uintptr_t from, std::uintptr_t to, std::uint8_t out[patchSize]);
// JMP [RIP+0] followed by the 8-byte target: reaches anywhere.
inline constexpr std::size_t absoluteJumpSize = 14;
void encodeAbsoluteJump(std::uintptr_t to, std::uint8_t out[absoluteJumpSize]);

} // namespace fsr2bridge
