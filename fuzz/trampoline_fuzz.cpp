// The trampoline builder against Zydis: every moved instruction must still do what it did at the target. Its
// copy in the trampoline is walked with Zydis along every path: a branch must reach its old target (a
// condition with the same test, or the opposite one skipping over it), a call must call it and come back, a
// RIP-relative operand must address the same byte, anything else must be copied unchanged, and the end must
// lead back behind the moved bytes. Input: a flag byte (bit 0: the trampoline is near, within 2 GiB, or
// anywhere), the distance, then the target's code.
#include <Zydis/Zydis.h>

#include <cstring>

#include "check.h"
#include "hooking/trampoline_builder.h"

using namespace fsr2bridge;

namespace {

const std::uint8_t* input;
std::size_t inputSize;

void expect(bool holds, const char* rule)
{
    require(holds, rule, input, inputSize);
}

const ZydisDecoder& zydis()
{
    static const ZydisDecoder decoder = [] {
        ZydisDecoder d;
        ZydisDecoderInit(&d, ZYDIS_MACHINE_MODE_LONG_64, ZYDIS_STACK_WIDTH_64);
        return d;
    }();
    return decoder;
}

struct Insn {
    ZydisDecodedInstruction z;
    ZydisDecodedOperand ops[ZYDIS_MAX_OPERAND_COUNT];
};

Insn decode(const std::uint8_t* code, std::size_t n)
{
    Insn i;
    expect(ZYAN_SUCCESS(ZydisDecoderDecodeFull(&zydis(), code, n, &i.z, i.ops)), "Zydis decodes the code");
    return i;
}

// Where a relative branch or a RIP-relative operand leads (0: nowhere); `relative` tells which it was.
std::uint64_t destination(const Insn& i, std::uint64_t at, bool* relative = nullptr)
{
    for (unsigned k = 0; k < i.z.operand_count_visible; ++k) {
        const auto& op = i.ops[k];
        const bool branch = op.type == ZYDIS_OPERAND_TYPE_IMMEDIATE && op.imm.is_relative;
        ZyanU64 address = 0;
        if (branch || (op.type == ZYDIS_OPERAND_TYPE_MEMORY && op.mem.base == ZYDIS_REGISTER_RIP)) {
            expect(ZYAN_SUCCESS(ZydisCalcAbsoluteAddress(&i.z, &op, at, &address)), "absolute address");
            if (relative != nullptr)
                *relative = branch;
            return address;
        }
    }
    return 0;
}

// Which test a conditional branch makes (-1: none): Jcc by their condition code, LOOPcc and JrCXZ by 16 plus
// their opcode's low bits.
int condition(const Insn& i)
{
    if (i.z.meta.category != ZYDIS_CATEGORY_COND_BR)
        return -1;
    return i.z.opcode >= 0xE0 && i.z.opcode <= 0xE3 ? 16 + (i.z.opcode & 3) : i.z.opcode & 15;
}

// Follows the trampoline's code from `at` until it leaves [begin, end) or reaches `end`: unconditional
// jumps (relative, or through a 64-bit slot in the code) are followed, calls noted and stepped over, and at
// the first conditional branch the path splits (taken / not taken).
struct Walk {
    const Trampoline& t;
    std::uint64_t base; // the trampoline's address
    std::uint64_t calls[4] = {};
    int callCount = 0;

    // Returns where the path leaves; `test` receives the condition passed on the way (taken: its code, not
    // taken: its code + 32; -1 when none).
    std::uint64_t follow(std::uint64_t at, std::uint64_t begin, std::uint64_t end, int& test, bool taken)
    {
        for (int steps = 0; steps < 8 && at >= begin && at < end; ++steps) {
            const Insn i = decode(t.code + (at - base), end - at);
            const std::uint64_t next = at + i.z.length;
            std::uint64_t to = destination(i, at);
            if (i.z.mnemonic == ZYDIS_MNEMONIC_CALL || i.z.mnemonic == ZYDIS_MNEMONIC_JMP) {
                if (i.ops[0].type == ZYDIS_OPERAND_TYPE_MEMORY) { // through a slot inside the trampoline
                    expect(to >= base && to + 8 <= base + t.size, "slot inside the trampoline");
                    std::memcpy(&to, t.code + (to - base), 8);
                }
                if (i.z.mnemonic == ZYDIS_MNEMONIC_CALL) {
                    expect(callCount < 4, "calls");
                    calls[callCount++] = to;
                    at = next;
                } else {
                    at = to;
                }
                continue;
            }
            const int c = condition(i);
            if (c >= 0) {
                expect(test < 0, "one condition per moved instruction");
                test = taken ? c : c + 32;
                at = taken ? to : next;
                continue;
            }
            expect(to == 0 && i.z.meta.category != ZYDIS_CATEGORY_RET, "only branches lead away");
            at = next;
        }
        expect(at < begin || at >= end, "the path leaves within a few steps");
        return at;
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    input = data;
    inputSize = size;
    if (size < 9)
        return 0;
    std::int64_t distance = 0;
    std::size_t codeAt = 0;
    if (data[0] & 1) {
        std::memcpy(&distance, data + 1, 8);
        codeAt = 9;
    } else {
        std::int32_t near = 0;
        std::memcpy(&near, data + 1, 4);
        distance = near;
        codeAt = 5;
    }
    const std::uint8_t* code = data + codeAt;
    const std::size_t available = size - codeAt;
    const std::uint64_t source = 0x00007FF612340000;
    const std::uint64_t base = source + static_cast<std::uint64_t>(distance);
    if (base + trampolineCapacity > source && base < source + available)
        return 0; // a trampoline is never made over its own target
    Trampoline t;
    if (buildTrampoline(code, available, source, base, t) != TrampolineStatus::ok)
        return 0;
    expect(t.movedBytes + t.paddingBytes >= patchSize && t.movedBytes + t.paddingBytes <= available &&
               t.size <= trampolineCapacity && t.count >= 1,
           "sizes");

    for (std::size_t k = 0; k <= t.count; ++k) {
        const std::uint64_t from = source + t.oldOffset[k], to = base + t.newOffset[k];
        expect(k == t.count || (ipIntoTrampoline(t, source, base, from) == to &&
                                ipOutOfTrampoline(t, source, base, to) == from),
               "instruction pointers move between the copies");
        const std::uint64_t begin = to, end = k < t.count ? base + t.newOffset[k + 1] : base + t.size;
        Walk walk{t, base};
        int takenTest = -1, otherTest = -1;
        if (k == t.count) { // the jump back, unless the last moved instruction left
            if (begin < end)
                expect(walk.follow(begin, begin, end, takenTest, true) == source + t.movedBytes, "jump back");
            continue;
        }
        const Insn old = decode(code + t.oldOffset[k], available - t.oldOffset[k]);
        expect(old.z.length == t.oldOffset[k + 1] - t.oldOffset[k], "whole instructions");
        bool branch = false;
        const std::uint64_t target = destination(old, from, &branch);
        if (branch && target >= base && target < base + trampolineCapacity)
            return 0; // no code branches into a slot allocated for the trampoline
        if (!branch) {
            // Copied; a RIP-relative operand adjusted to address the same byte.
            const Insn copy = decode(t.code + t.newOffset[k], end - begin);
            expect(copy.z.length == old.z.length && end - begin == old.z.length, "copied whole");
            expect(destination(copy, to) == target, "RIP-relative operand");
            for (unsigned b = 0; b < old.z.length; ++b) {
                const bool displacement =
                    target != 0 && b >= old.z.raw.disp.offset && b < old.z.raw.disp.offset + 4u;
                expect(displacement || t.code[t.newOffset[k] + b] == code[t.oldOffset[k] + b],
                       "copied unchanged");
            }
            continue;
        }
        const std::uint64_t taken = walk.follow(begin, begin, end, takenTest, true);
        const std::uint64_t notTaken = walk.follow(begin, begin, end, otherTest, false);
        const int test = condition(old);
        if (old.z.mnemonic == ZYDIS_MNEMONIC_CALL) {
            expect(walk.callCount == 2 && walk.calls[0] == target && taken == end && takenTest < 0, "call");
        } else if (test < 0) {
            expect(taken == target && walk.callCount == 0 && takenTest < 0, "jump");
        } else {
            // Taken under the old test, or not taken under its opposite (LOOPcc and JrCXZ have none).
            const bool same =
                takenTest == test && taken == target && notTaken == end && otherTest == test + 32;
            const bool opposite = test < 16 && takenTest == (test ^ 1) && taken == end &&
                                  notTaken == target && otherTest == (test ^ 1) + 32;
            expect((same || opposite) && walk.callCount == 0, "conditional branch");
        }
    }
    return 0;
}
