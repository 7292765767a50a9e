// Trampolines built for every relocation kind, near and beyond rel32 reach, and each refusal.
// Every branch and RIP operand of the result must still reach the original's absolute target.
#include "hooking/instruction_decoder.h"
#include "hooking/trampoline_builder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

using namespace fsr2bridge;

constexpr std::uintptr_t kSource = 0x7FF600001000ull;
constexpr std::int64_t kNear = 0x10000;
constexpr std::int64_t kFar = 0x100000000ll; // beyond any rel32

// The absolute addresses the trampoline leads to outside itself, in order.
std::vector<std::uintptr_t> externalTargets(const Trampoline& t, std::uintptr_t base, bool& decodedAll)
{
    std::vector<std::uintptr_t> out;
    decodedAll = true;
    const std::uint8_t absJump[] = {0xFF, 0x25, 0, 0, 0, 0};
    const std::uint8_t absCall[] = {0xFF, 0x15, 0x02, 0, 0, 0, 0xEB, 0x08};
    for (std::size_t at = 0; at < t.size;) {
        const std::uint8_t* p = t.code + at;
        std::uint64_t q = 0;
        if (t.size - at >= 14 && std::memcmp(p, absJump, sizeof absJump) == 0) {
            std::memcpy(&q, p + 6, 8);
            out.push_back(q);
            at += 14;
            continue;
        }
        if (t.size - at >= 16 && std::memcmp(p, absCall, sizeof absCall) == 0) {
            std::memcpy(&q, p + 8, 8);
            out.push_back(q);
            at += 16;
            continue;
        }
        DecodedInstruction insn;
        if (decodeInstruction(p, t.size - at, insn) != DecodeStatus::ok) {
            decodedAll = false;
            return out;
        }
        std::uintptr_t next = base + at + insn.length;
        std::uintptr_t target = 0;
        bool has = false;
        if (insn.ripRelative) {
            std::int32_t d;
            std::memcpy(&d, p + insn.displacementOffset, 4);
            target = next + d;
            has = true;
        } else if (insn.relativeSize != 0) {
            target = next + relativeDisplacement(p, insn);
            has = true;
        }
        if (has && (target < base || target >= base + t.size)) {
            out.push_back(target);
        }
        at += insn.length;
    }
    return out;
}

struct Case {
    const char* what;
    std::vector<std::uint8_t> code;
    std::int64_t distance;
    TrampolineStatus status;
    std::size_t moved = 0;
    std::vector<std::int64_t> targets = {}; // relative to kSource
    bool pushesReturn = false;
    std::size_t padding = 0;
};

const Case kCases[] = {
    {"RIP-relative load", {0x48, 0x8B, 0x05, 0x10, 0, 0, 0, 0xC3}, kNear, TrampolineStatus::ok, 7, {0x17, 7}},
    {"RIP-relative store", {0x89, 0x0D, 0x20, 0, 0, 0, 0xC3}, kNear, TrampolineStatus::ok, 6, {0x26, 6}},
    {"RIP-relative out of reach", {0x48, 0x8B, 0x05, 0x10, 0, 0, 0, 0xC3}, kFar, TrampolineStatus::unmovable},
    {"call rel32", {0xE8, 0, 1, 0, 0, 0x90}, kNear, TrampolineStatus::ok, 5, {0x105, 5}, true},
    {"call rel32 far", {0xE8, 0, 1, 0, 0, 0x90}, kFar, TrampolineStatus::ok, 5, {0x105, 5}, true},
    {"call [rip+x] marks return addresses",
     {0xFF, 0x15, 0, 1, 0, 0},
     kNear,
     TrampolineStatus::ok,
     6,
     {0x106, 6},
     true},
    {"jmp rel32 (already hooked)", {0xE9, 0, 1, 0, 0}, kNear, TrampolineStatus::ok, 5, {0x105}},
    {"jmp rel32 far", {0xE9, 0, 1, 0, 0}, kFar, TrampolineStatus::ok, 5, {0x105}},
    {"jmp rel8 widened", {0x31, 0xC0, 0x31, 0xD2, 0xEB, 0x10}, kNear, TrampolineStatus::ok, 6, {0x16}},
    {"jmp rel8 far", {0x31, 0xC0, 0x31, 0xD2, 0xEB, 0x10}, kFar, TrampolineStatus::ok, 6, {0x16}},
    {"jz rel8 widened",
     {0x85, 0xC9, 0x74, 0x10, 0xB8, 1, 0, 0, 0},
     kNear,
     TrampolineStatus::ok,
     9,
     {0x14, 9}},
    {"jz rel8 far", {0x85, 0xC9, 0x74, 0x10, 0xB8, 1, 0, 0, 0}, kFar, TrampolineStatus::ok, 9, {0x14, 9}},
    {"jnz rel32 backwards",
     {0x85, 0xC9, 0x0F, 0x85, 0x00, 0xFF, 0xFF, 0xFF},
     kNear,
     TrampolineStatus::ok,
     8,
     {8 - 0x100, 8}},
    {"jrcxz", {0x31, 0xC0, 0xE3, 0x10, 0xFF, 0xC0}, kNear, TrampolineStatus::ok, 6, {0x14, 6}},
    {"jump to the end of the moved bytes",
     {0x74, 0x03, 0x90, 0x90, 0x90},
     kNear,
     TrampolineStatus::ok,
     5,
     {5, 5}},
    {"import stub jmp [rip+x]", {0xFF, 0x25, 0x00, 0x10, 0, 0}, kNear, TrampolineStatus::ok, 6, {0x1006}},
    {"mov rax,imm64; jmp rax",
     {0x48, 0xB8, 1, 2, 3, 4, 5, 6, 7, 8, 0xFF, 0xE0},
     kFar,
     TrampolineStatus::ok,
     10,
     {10}},
    {"hot-patch prologue", {0x48, 0x8D, 0x64, 0x24, 0x00, 0x55}, kNear, TrampolineStatus::ok, 5, {5}},
    // refusals
    {"ret only", {0xC3}, kNear, TrampolineStatus::tooShort},
    {"returns after 3 bytes", {0x31, 0xC0, 0xC3}, kNear, TrampolineStatus::tooShort},
    {"int3 padding after 2 bytes", {0x31, 0xC0, 0xCC, 0xCC, 0xCC}, kNear, TrampolineStatus::tooShort},
    // short functions: padding (CC, 90, 00) up to the 5th byte joins the patch
    {"short jump ends the function early",
     {0xEB, 0x10, 0xCC, 0xCC, 0xCC},
     kNear,
     TrampolineStatus::ok,
     2,
     {0x12},
     false,
     3},
    {"indirect jump ends it early",
     {0xFF, 0xE0, 0xCC, 0xCC, 0xCC},
     kNear,
     TrampolineStatus::ok,
     2,
     {},
     false,
     3},
    {"ret and int3 padding", {0xC3, 0xCC, 0xCC, 0xCC, 0xCC}, kNear, TrampolineStatus::ok, 1, {}, false, 4},
    {"xor; ret; nop padding", {0x31, 0xC0, 0xC3, 0x90, 0x90}, kNear, TrampolineStatus::ok, 3, {}, false, 2},
    {"xor; ret; zero padding", {0x31, 0xC0, 0xC3, 0x00, 0x00}, kNear, TrampolineStatus::ok, 3, {}, false, 2},
    {"ret 8; padding", {0xC2, 0x08, 0x00, 0xCC, 0xCC}, kNear, TrampolineStatus::ok, 3, {}, false, 2},
    {"jz; ret; padding", {0x74, 0x10, 0xC3, 0xCC, 0xCC}, kNear, TrampolineStatus::ok, 3, {0x12}, false, 2},
    {"jz into the padding", {0x74, 0x02, 0xC3, 0xCC, 0xCC}, kNear, TrampolineStatus::jumpsIntoPatch},
    {"padding one byte short of the next function",
     {0x31, 0xC0, 0xC3, 0xCC, 0x48, 0x83, 0xEC, 0x28},
     kNear,
     TrampolineStatus::tooShort},
    {"next function directly behind the ret",
     {0x31, 0xC0, 0xC3, 0x48, 0x83, 0xEC, 0x28},
     kNear,
     TrampolineStatus::tooShort},
    {"padding cut off by the end of readable memory",
     {0x31, 0xC0, 0xC3, 0xCC},
     kNear,
     TrampolineStatus::tooShort},
    {"ud2 is no return", {0x0F, 0x0B, 0xCC, 0xCC, 0xCC}, kNear, TrampolineStatus::tooShort},
    {"hlt is no return", {0xF4, 0xCC, 0xCC, 0xCC, 0xCC}, kNear, TrampolineStatus::tooShort},
    {"far return is no ordinary end", {0xCB, 0xCC, 0xCC, 0xCC, 0xCC}, kNear, TrampolineStatus::tooShort},
    {"loop back to the start", {0x90, 0x90, 0x75, 0xFC, 0x90, 0xC3}, kNear, TrampolineStatus::jumpsIntoPatch},
    {"forward jump inside the patch",
     {0x74, 0x01, 0x90, 0x90, 0x90, 0x90},
     kNear,
     TrampolineStatus::jumpsIntoPatch},
    {"unknown opcode", {0x90, 0x06, 0x90, 0x90, 0x90}, kNear, TrampolineStatus::unknownInstruction},
    {"xbegin cannot move", {0xC7, 0xF8, 0, 0, 0, 0}, kNear, TrampolineStatus::unmovable},
    {"EIP-relative (67) wraps at 4 GiB",
     {0x67, 0x8B, 0x05, 0x10, 0, 0, 0, 0xC3},
     kNear,
     TrampolineStatus::unmovable},
    {"code ends before 5 bytes", {0x90, 0x90, 0x90}, kNear, TrampolineStatus::tooShort},
};

TEST(Trampoline, RelocatesEveryKindAndRefusesTheRest)
{
    for (const Case& c : kCases) {
        const std::uintptr_t tramp = kSource + c.distance;
        Trampoline t;
        TrampolineStatus s = buildTrampoline(c.code.data(), c.code.size(), kSource, tramp, t);
        EXPECT_EQ(s, c.status) << c.what;
        if (s != TrampolineStatus::ok || c.status != TrampolineStatus::ok) {
            continue;
        }
        EXPECT_EQ(t.movedBytes, c.moved) << c.what;
        EXPECT_EQ(t.paddingBytes, c.padding) << c.what;
        if (c.padding != 0) {
            // Nothing follows the moved code: no jump back into the patch.
            EXPECT_EQ(t.newOffset[t.count], t.size) << c.what;
        }
        EXPECT_EQ(t.pushesReturnAddress, c.pushesReturn) << c.what;
        bool decodedAll = false;
        std::vector<std::uintptr_t> got = externalTargets(t, tramp, decodedAll);
        EXPECT_TRUE(decodedAll) << c.what;
        std::vector<std::uintptr_t> want;
        for (std::int64_t off : c.targets) {
            want.push_back(kSource + off);
        }
        EXPECT_EQ(got, want) << c.what;
    }
}

TEST(Trampoline, InstructionPointersMoveOnlyAtBoundaries)
{
    // push rbx; sub rsp,20h; mov rbx,rcx
    const std::vector<std::uint8_t> code = {0x40, 0x53, 0x48, 0x83, 0xEC, 0x20, 0x48, 0x8B, 0xD9, 0xC3};
    for (std::int64_t distance : {kNear, kFar}) {
        const std::uintptr_t tramp = kSource + distance;
        Trampoline t;
        ASSERT_EQ(buildTrampoline(code.data(), code.size(), kSource, tramp, t), TrampolineStatus::ok);
        ASSERT_EQ(t.movedBytes, 6u);
        const struct {
            std::size_t sourceOffset;
            bool moves;
        } points[] = {{0, true}, {1, false}, {2, true}, {3, false}, {5, false}, {6, false}, {9, false}};
        for (const auto& p : points) {
            std::uintptr_t ip = kSource + p.sourceOffset;
            std::uintptr_t in = ipIntoTrampoline(t, kSource, tramp, ip);
            EXPECT_EQ(in != ip, p.moves) << "offset " << p.sourceOffset;
            if (p.moves) {
                EXPECT_EQ(ipOutOfTrampoline(t, kSource, tramp, in), ip) << "offset " << p.sourceOffset;
            }
        }
        // Standing on the jump back means the moved code is done: continue behind it.
        EXPECT_EQ(ipOutOfTrampoline(t, kSource, tramp, tramp + t.newOffset[t.count]), kSource + 6);
        EXPECT_EQ(ipOutOfTrampoline(t, kSource, tramp, tramp + t.newOffset[t.count] + 1),
                  tramp + t.newOffset[t.count] + 1);
    }
}

} // namespace
