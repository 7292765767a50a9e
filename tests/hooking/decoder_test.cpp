// Instruction lengths and relocation facts of the encodings that start real functions.
#include "hooking/instruction_decoder.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

using fsr2bridge::DecodedInstruction;
using fsr2bridge::decodeInstruction;
using fsr2bridge::DecodeStatus;
using fsr2bridge::FlowKind;

struct Case {
    const char* what;
    std::vector<std::uint8_t> bytes;
    DecodeStatus status;
    unsigned length;
    FlowKind flow = FlowKind::next;
    int ripDisplacementAt = -1; // where the RIP displacement sits, when there is one
    int relativeAt = -1;        // where a branch's displacement sits
};

// Padding after each case, so that a decoder reading too far still finds bytes.
const std::vector<std::uint8_t> kTail(16, 0xCC);

const Case kCases[] = {
    // MSVC prologues
    {"mov [rsp+8],rbx", {0x48, 0x89, 0x5C, 0x24, 0x08}, DecodeStatus::ok, 5},
    {"mov [rsp+10h],rsi", {0x48, 0x89, 0x74, 0x24, 0x10}, DecodeStatus::ok, 5},
    {"push rdi", {0x57}, DecodeStatus::ok, 1},
    {"push r15", {0x41, 0x57}, DecodeStatus::ok, 2},
    {"push rbx with REX (40 53)", {0x40, 0x53}, DecodeStatus::ok, 2},
    {"sub rsp,20h", {0x48, 0x83, 0xEC, 0x20}, DecodeStatus::ok, 4},
    {"sub rsp,88h", {0x48, 0x81, 0xEC, 0x88, 0x00, 0x00, 0x00}, DecodeStatus::ok, 7},
    {"mov rax,rsp", {0x48, 0x8B, 0xC4}, DecodeStatus::ok, 3},
    {"mov r11,rsp", {0x4C, 0x8B, 0xDC}, DecodeStatus::ok, 3},
    {"mov [r11+8],rbx", {0x49, 0x89, 0x5B, 0x08}, DecodeStatus::ok, 4},
    {"lea rbp,[rsp-5Fh]", {0x48, 0x8D, 0x6C, 0x24, 0xA1}, DecodeStatus::ok, 5},
    {"lea rbp,[rsp-100h] disp32", {0x48, 0x8D, 0xAC, 0x24, 0x00, 0xFF, 0xFF, 0xFF}, DecodeStatus::ok, 8},
    {"vmovaps [rsp+20h],xmm6 (VEX2)", {0xC5, 0xF8, 0x29, 0x74, 0x24, 0x20}, DecodeStatus::ok, 6},
    {"vmovaps [rax-38h],xmm8 (VEX2)", {0xC5, 0x78, 0x29, 0x40, 0xC8}, DecodeStatus::ok, 5},
    {"vmovaps [r11-18h],xmm6 (VEX3)", {0xC4, 0xC1, 0x78, 0x29, 0x73, 0xE8}, DecodeStatus::ok, 6},
    {"movaps [rsp+40h],xmm8", {0x44, 0x0F, 0x29, 0x44, 0x24, 0x40}, DecodeStatus::ok, 6},
    {"hot-patch lea rsp,[rsp+0]", {0x48, 0x8D, 0x64, 0x24, 0x00}, DecodeStatus::ok, 5},
    {"mov edi,edi", {0x8B, 0xFF}, DecodeStatus::ok, 2},
    {"endbr64", {0xF3, 0x0F, 0x1E, 0xFA}, DecodeStatus::ok, 4},
    {"nopw cs:[rax+rax+0]",
     {0x66, 0x2E, 0x0F, 0x1F, 0x84, 0x00, 0x00, 0x00, 0x00, 0x00},
     DecodeStatus::ok,
     10},
    // import stubs and far jumps
    {"jmp [rip+x]", {0xFF, 0x25, 0x10, 0x20, 0x00, 0x00}, DecodeStatus::ok, 6, FlowKind::end, 2},
    {"rex.w jmp [rip+x]", {0x48, 0xFF, 0x25, 0x10, 0x20, 0x00, 0x00}, DecodeStatus::ok, 7, FlowKind::end, 3},
    {"mov rax,imm64", {0x48, 0xB8, 1, 2, 3, 4, 5, 6, 7, 8}, DecodeStatus::ok, 10},
    {"jmp rax", {0xFF, 0xE0}, DecodeStatus::ok, 2, FlowKind::end},
    {"call [rip+x]", {0xFF, 0x15, 0x00, 0x10, 0x00, 0x00}, DecodeStatus::ok, 6, FlowKind::next, 2},
    // RIP-relative data
    {"mov rax,[rip+x]", {0x48, 0x8B, 0x05, 0x78, 0x56, 0x34, 0x12}, DecodeStatus::ok, 7, FlowKind::next, 3},
    {"cmp byte [rip+x],0",
     {0x80, 0x3D, 0x11, 0x22, 0x33, 0x00, 0x00},
     DecodeStatus::ok,
     7,
     FlowKind::next,
     2},
    {"mov dword [rip+x],imm32",
     {0xC7, 0x05, 1, 0, 0, 0, 2, 0, 0, 0},
     DecodeStatus::ok,
     10,
     FlowKind::next,
     2},
    {"lea rcx,[rip+x]", {0x48, 0x8D, 0x0D, 1, 2, 3, 4}, DecodeStatus::ok, 7, FlowKind::next, 3},
    {"vmovups ymm0,[rip+x]", {0xC5, 0xFC, 0x10, 0x05, 1, 2, 3, 4}, DecodeStatus::ok, 8, FlowKind::next, 4},
    {"sib base 101 mod 00 is not RIP", {0x8B, 0x04, 0x25, 1, 2, 3, 4}, DecodeStatus::ok, 7},
    // relative branches
    {"call rel32", {0xE8, 1, 2, 3, 4}, DecodeStatus::ok, 5, FlowKind::relativeCall, -1, 1},
    {"jmp rel32", {0xE9, 1, 2, 3, 4}, DecodeStatus::ok, 5, FlowKind::relativeJump, -1, 1},
    {"jmp rel8", {0xEB, 0x10}, DecodeStatus::ok, 2, FlowKind::relativeJump, -1, 1},
    {"jz rel8", {0x74, 0x10}, DecodeStatus::ok, 2, FlowKind::conditional, -1, 1},
    {"jnz rel32", {0x0F, 0x85, 1, 2, 3, 4}, DecodeStatus::ok, 6, FlowKind::conditional, -1, 2},
    {"bnd jmp rel32", {0xF2, 0xE9, 1, 2, 3, 4}, DecodeStatus::ok, 6, FlowKind::relativeJump, -1, 2},
    {"jrcxz", {0xE3, 0x05}, DecodeStatus::ok, 2, FlowKind::loopOrJcxz, -1, 1},
    {"loop", {0xE2, 0xFE}, DecodeStatus::ok, 2, FlowKind::loopOrJcxz, -1, 1},
    {"xbegin", {0xC7, 0xF8, 1, 2, 3, 4}, DecodeStatus::ok, 6, FlowKind::relativeOther, -1, 2},
    {"ret", {0xC3}, DecodeStatus::ok, 1, FlowKind::end},
    {"ret 8", {0xC2, 0x08, 0x00}, DecodeStatus::ok, 3, FlowKind::end},
    {"int3", {0xCC}, DecodeStatus::ok, 1, FlowKind::trap},
    {"ud2", {0x0F, 0x0B}, DecodeStatus::ok, 2, FlowKind::trap},
    {"hlt", {0xF4}, DecodeStatus::ok, 1, FlowKind::trap},
    {"retf", {0xCB}, DecodeStatus::ok, 1, FlowKind::trap},
    {"jmp far [rax] (FF /5)", {0xFF, 0x28}, DecodeStatus::ok, 2, FlowKind::end},
    // immediates
    {"mov ax,imm16", {0x66, 0xB8, 0x34, 0x12}, DecodeStatus::ok, 4},
    {"mov eax,imm32", {0xB8, 1, 2, 3, 4}, DecodeStatus::ok, 5},
    {"cmp cx,imm16", {0x66, 0x81, 0xF9, 0x34, 0x12}, DecodeStatus::ok, 5},
    {"66 with REX.W keeps imm32", {0x66, 0x48, 0x81, 0xF9, 1, 2, 3, 4}, DecodeStatus::ok, 8},
    {"mov rax,imm32 (C7)", {0x48, 0xC7, 0xC0, 1, 2, 3, 4}, DecodeStatus::ok, 7},
    {"test cl,1", {0xF6, 0xC1, 0x01}, DecodeStatus::ok, 3},
    {"test ecx,imm32", {0xF7, 0xC1, 1, 2, 3, 4}, DecodeStatus::ok, 6},
    {"neg eax (F7 /3, no imm)", {0xF7, 0xD8}, DecodeStatus::ok, 2},
    {"enter", {0xC8, 0x10, 0x00, 0x00}, DecodeStatus::ok, 4},
    {"push imm32", {0x68, 1, 2, 3, 4}, DecodeStatus::ok, 5},
    {"push imm8", {0x6A, 0x01}, DecodeStatus::ok, 2},
    {"imul eax,ecx,imm8", {0x6B, 0xC1, 0x10}, DecodeStatus::ok, 3},
    {"mov eax,moffs64", {0xA1, 1, 2, 3, 4, 5, 6, 7, 8}, DecodeStatus::ok, 9},
    {"mov eax,moffs32 (67)", {0x67, 0xA1, 1, 2, 3, 4}, DecodeStatus::ok, 6},
    {"lock cmpxchg [rcx],edx", {0xF0, 0x0F, 0xB1, 0x11}, DecodeStatus::ok, 4},
    {"pshufd xmm0,xmm1,imm8", {0x66, 0x0F, 0x70, 0xC1, 0x1B}, DecodeStatus::ok, 5},
    {"palignr xmm0,xmm1,8 (0F3A)", {0x66, 0x0F, 0x3A, 0x0F, 0xC1, 0x08}, DecodeStatus::ok, 6},
    {"pshufb xmm0,xmm1 (0F38)", {0x66, 0x0F, 0x38, 0x00, 0xC1}, DecodeStatus::ok, 5},
    {"bt eax,imm8 (0F BA)", {0x0F, 0xBA, 0xE0, 0x03}, DecodeStatus::ok, 4},
    {"vpextrd eax,xmm0,1 (VEX 0F3A)", {0xC4, 0xE3, 0x79, 0x16, 0xC0, 0x01}, DecodeStatus::ok, 6},
    {"vzeroupper", {0xC5, 0xF8, 0x77}, DecodeStatus::ok, 3},
    {"vpshufd ymm0,ymm1,imm8 (VEX 0F)", {0xC5, 0xFD, 0x70, 0xC1, 0x1B}, DecodeStatus::ok, 5},
    {"x87 fld qword [rsp+8]", {0xDD, 0x44, 0x24, 0x08}, DecodeStatus::ok, 4},
    {"mov rax,cr0 ignores the mod bits", {0x0F, 0x20, 0x05}, DecodeStatus::ok, 3},
    {"mov dr7,rax", {0x0F, 0x23, 0xF8}, DecodeStatus::ok, 3},
    // refusals
    {"push es is invalid in 64-bit mode", {0x06}, DecodeStatus::unknown, 0},
    {"0F 04 is undefined", {0x0F, 0x04}, DecodeStatus::unknown, 0},
    {"XOP (8F with reg != 0)", {0x8F, 0xE8, 0x78, 0xC2, 0xC1, 0x01}, DecodeStatus::unknown, 0},
    {"operand-size prefix on call rel", {0x66, 0xE8, 1, 2}, DecodeStatus::unknown, 0},
    {"operand-size prefix on jcc rel32", {0x66, 0x0F, 0x84, 1, 2}, DecodeStatus::unknown, 0},
    {"REX before VEX", {0x48, 0xC5, 0xF8, 0x77}, DecodeStatus::unknown, 0},
    {"EVEX with reserved bit clear", {0x62, 0xF1, 0x78, 0x48, 0x10, 0xC0}, DecodeStatus::unknown, 0},
    // encodings not known exactly: undefined, invalid, or only partly known forms
    {"EVEX vmovups zmm0,[rsp+40h]", {0x62, 0xF1, 0x7C, 0x48, 0x10, 0x44, 0x24, 0x01}, DecodeStatus::unknown, 0},
    {"FF /7", {0xFF, 0x38}, DecodeStatus::unknown, 0},
    {"FE /2", {0xFE, 0x10}, DecodeStatus::unknown, 0},
    {"C7 /1", {0xC7, 0x08, 1, 2, 3, 4}, DecodeStatus::unknown, 0},
    {"0F 00 /6", {0x0F, 0x00, 0x30}, DecodeStatus::unknown, 0},
    {"lea with a register operand", {0x48, 0x8D, 0xC1}, DecodeStatus::unknown, 0},
    {"call far with a register operand (FF /3)", {0xFF, 0xD8}, DecodeStatus::unknown, 0},
    {"lock on a register destination", {0xF0, 0x01, 0xC8}, DecodeStatus::unknown, 0},
    {"lock on mov", {0xF0, 0x89, 0x01}, DecodeStatus::unknown, 0},
    {"mov cs,ax", {0x8E, 0xC8}, DecodeStatus::unknown, 0},
    {"undefined x87 D9 D1", {0xD9, 0xD1}, DecodeStatus::unknown, 0},
    {"x87 DD /5 with memory", {0xDD, 0x28}, DecodeStatus::unknown, 0},
    {"mov rax,cr1", {0x0F, 0x20, 0xC8}, DecodeStatus::unknown, 0},
    {"VEX vmovaps with a second source", {0xC5, 0xF0, 0x29, 0x74, 0x24, 0x20}, DecodeStatus::unknown, 0},
    {"VEX map 0", {0xC4, 0xE0, 0x78, 0x29, 0xC0}, DecodeStatus::unknown, 0},
    {"movntps with a register operand", {0x0F, 0x2B, 0xC1}, DecodeStatus::unknown, 0},
    {"movdqu with two mandatory prefixes", {0x66, 0xF3, 0x0F, 0x6F, 0xC1}, DecodeStatus::unknown, 0},
    {"longer than 15 bytes", std::vector<std::uint8_t>(15, 0x66), DecodeStatus::unknown, 0},
};

TEST(Decoder, KnownEncodings)
{
    for (const Case& c : kCases) {
        std::vector<std::uint8_t> buf = c.bytes;
        buf.insert(buf.end(), kTail.begin(), kTail.end());
        DecodedInstruction insn;
        DecodeStatus s = decodeInstruction(buf.data(), buf.size(), insn);
        EXPECT_EQ(s, c.status) << c.what;
        if (s != DecodeStatus::ok || c.status != DecodeStatus::ok) {
            continue;
        }
        EXPECT_EQ(insn.length, c.length) << c.what;
        EXPECT_EQ(insn.flow, c.flow) << c.what;
        EXPECT_EQ(insn.ripRelative, c.ripDisplacementAt >= 0) << c.what;
        if (c.ripDisplacementAt >= 0) {
            EXPECT_EQ(insn.displacementOffset, c.ripDisplacementAt) << c.what;
        }
        if (c.relativeAt >= 0) {
            EXPECT_EQ(insn.relativeOffset, c.relativeAt) << c.what;
            EXPECT_EQ(insn.relativeOffset + insn.relativeSize, insn.length) << c.what;
        }
    }
}

// Any cut through a known instruction reports truncation, never a length.
TEST(Decoder, TruncatedBuffersAreNeverGivenALength)
{
    for (const Case& c : kCases) {
        if (c.status != DecodeStatus::ok) {
            continue;
        }
        for (std::size_t cut = 0; cut < c.length; ++cut) {
            DecodedInstruction insn;
            DecodeStatus s = decodeInstruction(c.bytes.data(), cut, insn);
            EXPECT_EQ(s, DecodeStatus::truncated) << c.what << " cut at " << cut;
        }
    }
}

TEST(Decoder, RelativeDisplacementIsSignExtended)
{
    const std::uint8_t back8[] = {0xEB, 0xFE};
    const std::uint8_t back32[] = {0xE9, 0xFB, 0xFF, 0xFF, 0xFF};
    DecodedInstruction insn;
    ASSERT_EQ(decodeInstruction(back8, sizeof back8, insn), DecodeStatus::ok);
    EXPECT_EQ(fsr2bridge::relativeDisplacement(back8, insn), -2);
    ASSERT_EQ(decodeInstruction(back32, sizeof back32, insn), DecodeStatus::ok);
    EXPECT_EQ(fsr2bridge::relativeDisplacement(back32, insn), -5);
}

} // namespace
