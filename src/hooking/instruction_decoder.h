#pragma once
// Length decoder for x86-64 machine code: tells how long one instruction is and which of its
// parts a copy at another address has to adjust. Pure computation over a byte buffer.
//
// What it does not know exactly, it refuses: undefined and invalid encodings (ModRM extensions that
// do not exist, register forms of memory-only instructions, LOCK where it faults, MOV to CS), and
// whole areas it leaves out (EVEX, VEX beyond a few moves and logic operations, the newer 0F 38 and
// 0F 3A instructions, system instructions). A refused instruction is never moved into a trampoline.

#include <cstddef>
#include <cstdint>

namespace fsr2bridge {

enum class DecodeStatus : std::uint8_t {
    ok,
    truncated, // the buffer ends inside the instruction
    unknown,   // an encoding the decoder does not know exactly; its length is not guessed
};

// How an instruction leaves the straight-line flow.
enum class FlowKind : std::uint8_t {
    next,          // falls through to the following instruction
    relativeCall,  // E8 rel32
    relativeJump,  // E9 rel32, EB rel8
    conditional,   // Jcc rel8 / rel32
    loopOrJcxz,    // E0..E3 rel8
    relativeOther, // XBEGIN and other relative forms that cannot be moved
    end,           // RET, indirect JMP: the function leaves here; the following bytes need not be code
    trap,          // INT3, UD2, HLT, far returns: execution stops or faults; no ordinary end either
};

struct DecodedInstruction {
    std::uint8_t length = 0;
    std::uint8_t prefixCount = 0; // legacy and REX prefixes in front of the opcode (VEX/EVEX not counted)
    std::uint8_t opcode = 0;      // last opcode byte
    bool ripRelative = false;     // ModRM addresses memory relative to the next instruction
    std::uint8_t displacementOffset = 0; // where the 32-bit RIP displacement starts
    FlowKind flow = FlowKind::next;
    std::uint8_t relativeOffset = 0; // where a branch's relative displacement starts
    std::uint8_t relativeSize = 0;   // 1 or 4
    std::uint8_t condition = 0;      // condition code (low nibble of Jcc)
    bool call = false;               // pushes a return address (CALL rel32 or CALL r/m)
};

// Decodes the instruction at code[0]; at most `available` bytes are read.
DecodeStatus decodeInstruction(const std::uint8_t* code, std::size_t available, DecodedInstruction& out);

// The branch displacement of a decoded relative branch, sign-extended.
std::int64_t relativeDisplacement(const std::uint8_t* code, const DecodedInstruction& insn);

} // namespace fsr2bridge
