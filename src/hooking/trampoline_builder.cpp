#include "hooking/trampoline_builder.h"

#include "hooking/instruction_decoder.h"

#include <cstring>

namespace fsr2bridge {
namespace {

bool isPadding(std::uint8_t b)
{
    return b == 0xCC || b == 0x90 || b == 0x00;
}

bool fitsRel32(std::int64_t v)
{
    return v >= INT32_MIN && v <= INT32_MAX;
}

// Appends encoded bytes to the trampoline, refusing to overflow it.
class Emitter {
public:
    Emitter(Trampoline& t, std::uintptr_t base) : t_(t), base_(base) {}
    std::uintptr_t here() const { return base_ + t_.size; }
    bool room(std::size_t n) const { return t_.size + n <= trampolineCapacity; }
    void bytes(const void* p, std::size_t n)
    {
        std::memcpy(t_.code + t_.size, p, n);
        t_.size += n;
    }
    void byte(std::uint8_t b) { t_.code[t_.size++] = b; }
    void rel32(std::int32_t v) { bytes(&v, 4); }
    void u64(std::uint64_t v) { bytes(&v, 8); }

private:
    Trampoline& t_;
    std::uintptr_t base_;
};

// rel32 from the end of an instruction of `length` bytes placed at `at`.
bool rel32To(std::uintptr_t at, std::size_t length, std::uintptr_t target, std::int32_t& out)
{
    std::int64_t d = static_cast<std::int64_t>(target - (at + length));
    if (!fitsRel32(d)) {
        return false;
    }
    out = static_cast<std::int32_t>(d);
    return true;
}

bool emitBranch(Emitter& e, const DecodedInstruction& insn, const std::uint8_t* code, std::uintptr_t target)
{
    std::int32_t rel = 0;
    switch (insn.flow) {
    case FlowKind::relativeCall:
        if (rel32To(e.here(), 5, target, rel)) {
            if (!e.room(5)) {
                return false;
            }
            e.byte(0xE8);
            e.rel32(rel);
        } else {
            // CALL [RIP+2]; JMP +8; dq target
            if (!e.room(16)) {
                return false;
            }
            const std::uint8_t seq[] = {0xFF, 0x15, 0x02, 0x00, 0x00, 0x00, 0xEB, 0x08};
            e.bytes(seq, sizeof seq);
            e.u64(target);
        }
        return true;
    case FlowKind::relativeJump:
        if (rel32To(e.here(), 5, target, rel)) {
            if (!e.room(5)) {
                return false;
            }
            e.byte(0xE9);
            e.rel32(rel);
        } else {
            if (!e.room(absoluteJumpSize)) {
                return false;
            }
            std::uint8_t jmp[absoluteJumpSize];
            encodeAbsoluteJump(target, jmp);
            e.bytes(jmp, sizeof jmp);
        }
        return true;
    case FlowKind::conditional:
        if (rel32To(e.here(), 6, target, rel)) {
            if (!e.room(6)) {
                return false;
            }
            e.byte(0x0F);
            e.byte(static_cast<std::uint8_t>(0x80 | insn.condition));
            e.rel32(rel);
        } else {
            // The opposite condition skips an absolute jump to the target.
            if (!e.room(2 + absoluteJumpSize)) {
                return false;
            }
            e.byte(static_cast<std::uint8_t>(0x70 | (insn.condition ^ 1)));
            e.byte(absoluteJumpSize);
            std::uint8_t jmp[absoluteJumpSize];
            encodeAbsoluteJump(target, jmp);
            e.bytes(jmp, sizeof jmp);
        }
        return true;
    case FlowKind::loopOrJcxz: {
        // LOOPcc/JrCXZ have only rel8: take it to an absolute jump, else skip over it.
        std::size_t head = insn.length - 1; // prefixes + opcode
        if (!e.room(head + 1 + 2 + absoluteJumpSize)) {
            return false;
        }
        e.bytes(code, head);
        e.byte(2);
        e.byte(0xEB);
        e.byte(absoluteJumpSize);
        std::uint8_t jmp[absoluteJumpSize];
        encodeAbsoluteJump(target, jmp);
        e.bytes(jmp, sizeof jmp);
        return true;
    }
    default:
        return false;
    }
}

} // namespace

bool encodeJumpRel32(std::uintptr_t from, std::uintptr_t to, std::uint8_t out[patchSize])
{
    std::int32_t rel = 0;
    if (!rel32To(from, patchSize, to, rel)) {
        return false;
    }
    out[0] = 0xE9;
    std::memcpy(out + 1, &rel, 4);
    return true;
}

void encodeAbsoluteJump(std::uintptr_t to, std::uint8_t out[absoluteJumpSize])
{
    const std::uint8_t head[] = {0xFF, 0x25, 0x00, 0x00, 0x00, 0x00};
    std::memcpy(out, head, sizeof head);
    std::uint64_t v = to;
    std::memcpy(out + sizeof head, &v, 8);
}

TrampolineStatus buildTrampoline(const std::uint8_t* source, std::size_t available,
                                 std::uintptr_t sourceAddress, std::uintptr_t trampolineAddress,
                                 Trampoline& out)
{
    out = Trampoline{};
    Emitter e(out, trampolineAddress);
    std::uintptr_t branchTargets[maxMovedInstructions] = {};
    std::size_t branchCount = 0;
    bool flowEnded = false;
    bool leaves = false; // the last moved instruction returns or jumps away

    while (out.movedBytes < patchSize && !flowEnded) {
        if (out.count == maxMovedInstructions) {
            return TrampolineStatus::unknownInstruction;
        }
        const std::uint8_t* code = source + out.movedBytes;
        DecodedInstruction insn;
        DecodeStatus ds = decodeInstruction(code, available - out.movedBytes, insn);
        if (ds != DecodeStatus::ok) {
            return ds == DecodeStatus::truncated ? TrampolineStatus::tooShort
                                                 : TrampolineStatus::unknownInstruction;
        }
        std::uintptr_t at = sourceAddress + out.movedBytes;
        out.oldOffset[out.count] = static_cast<std::uint8_t>(out.movedBytes);
        out.newOffset[out.count] = static_cast<std::uint8_t>(out.size);
        out.pushesReturnAddress = out.pushesReturnAddress || insn.call;

        switch (insn.flow) {
        case FlowKind::relativeCall:
        case FlowKind::relativeJump:
        case FlowKind::conditional:
        case FlowKind::loopOrJcxz: {
            std::uintptr_t target = at + insn.length + relativeDisplacement(code, insn);
            branchTargets[branchCount++] = target;
            if (!emitBranch(e, insn, code, target)) {
                return TrampolineStatus::unmovable;
            }
            flowEnded = leaves = insn.flow == FlowKind::relativeJump;
            break;
        }
        case FlowKind::relativeOther:
            return TrampolineStatus::unmovable;
        default: {
            if (!e.room(insn.length)) {
                return TrampolineStatus::unmovable;
            }
            std::size_t start = out.size;
            e.bytes(code, insn.length);
            if (insn.ripRelative) {
                // With the address-size prefix the address wraps at 4 GiB (EIP-relative): another place
                // cannot reach the same byte.
                if (std::memchr(code, 0x67, insn.prefixCount) != nullptr) {
                    return TrampolineStatus::unmovable;
                }
                std::int32_t disp = 0;
                std::memcpy(&disp, code + insn.displacementOffset, 4);
                std::uintptr_t absolute = at + insn.length + disp;
                std::int32_t moved = 0;
                if (!rel32To(trampolineAddress + start, insn.length, absolute, moved)) {
                    return TrampolineStatus::unmovable;
                }
                std::memcpy(out.code + start + insn.displacementOffset, &moved, 4);
            }
            leaves = insn.flow == FlowKind::end;
            flowEnded = leaves || insn.flow == FlowKind::trap;
            break;
        }
        }
        out.movedBytes += insn.length;
        ++out.count;
    }

    if (out.movedBytes < patchSize) {
        // Only padding may follow up to the patch's end; a byte of anything else may be the next
        // function, which the patch must never reach into.
        if (!leaves || available < patchSize) {
            return TrampolineStatus::tooShort;
        }
        for (std::size_t i = out.movedBytes; i < patchSize; ++i) {
            if (!isPadding(source[i])) {
                return TrampolineStatus::tooShort;
            }
        }
        out.paddingBytes = patchSize - out.movedBytes;
    }

    // A branch back into the patched bytes would land in the patch or in a half instruction.
    const std::size_t patched = out.movedBytes + out.paddingBytes;
    for (std::size_t i = 0; i < branchCount; ++i) {
        if (branchTargets[i] >= sourceAddress && branchTargets[i] < sourceAddress + patched) {
            return TrampolineStatus::jumpsIntoPatch;
        }
    }

    out.oldOffset[out.count] = static_cast<std::uint8_t>(out.movedBytes);
    out.newOffset[out.count] = static_cast<std::uint8_t>(out.size);
    if (!flowEnded) {
        std::uintptr_t back = sourceAddress + out.movedBytes;
        std::uint8_t jmp[absoluteJumpSize];
        if (encodeJumpRel32(e.here(), back, jmp)) {
            if (!e.room(patchSize)) {
                return TrampolineStatus::unmovable;
            }
            e.bytes(jmp, patchSize);
        } else {
            if (!e.room(absoluteJumpSize)) {
                return TrampolineStatus::unmovable;
            }
            encodeAbsoluteJump(back, jmp);
            e.bytes(jmp, absoluteJumpSize);
        }
    }
    return TrampolineStatus::ok;
}

std::uintptr_t ipIntoTrampoline(const Trampoline& t, std::uintptr_t sourceAddress,
                                std::uintptr_t trampolineAddress, std::uintptr_t ip)
{
    if (ip < sourceAddress || ip >= sourceAddress + t.movedBytes) {
        return ip;
    }
    for (std::size_t i = 0; i < t.count; ++i) {
        if (ip == sourceAddress + t.oldOffset[i]) {
            return trampolineAddress + t.newOffset[i];
        }
    }
    return ip;
}

std::uintptr_t ipOutOfTrampoline(const Trampoline& t, std::uintptr_t sourceAddress,
                                 std::uintptr_t trampolineAddress, std::uintptr_t ip)
{
    if (ip < trampolineAddress || ip >= trampolineAddress + t.size) {
        return ip;
    }
    for (std::size_t i = 0; i <= t.count; ++i) {
        if (ip == trampolineAddress + t.newOffset[i]) {
            return sourceAddress + t.oldOffset[i];
        }
    }
    return ip;
}

} // namespace fsr2bridge
