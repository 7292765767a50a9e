#include "hooking/instruction_decoder.h"

#include <array>
#include <cstring>

namespace fsr2bridge {
namespace {

// Operand layout of a one-byte opcode.
enum : std::uint8_t {
    none = 0,
    modRM = 1,
    imm8 = 2,
    immZ = 4, // 16 bits with the operand-size prefix, else 32
    invalid = 16,
    special = 32, // handled by the decoder's code
};

constexpr std::uint8_t M = modRM, I8 = imm8, IZ = immZ, X = invalid, S = special, N = none;

// clang-format off
constexpr std::array<std::uint8_t, 256> oneByteMap = {
    //  0      1      2      3      4      5      6      7      8      9      A      B      C      D      E      F
    M,     M,     M,     M,     I8,    IZ,    X,     X,     M,     M,     M,     M,     I8,    IZ,    X,     S,     // 0
    M,     M,     M,     M,     I8,    IZ,    X,     X,     M,     M,     M,     M,     I8,    IZ,    X,     X,     // 1
    M,     M,     M,     M,     I8,    IZ,    S,     X,     M,     M,     M,     M,     I8,    IZ,    S,     X,     // 2
    M,     M,     M,     M,     I8,    IZ,    S,     X,     M,     M,     M,     M,     I8,    IZ,    S,     X,     // 3
    S,     S,     S,     S,     S,     S,     S,     S,     S,     S,     S,     S,     S,     S,     S,     S,     // 4
    N,     N,     N,     N,     N,     N,     N,     N,     N,     N,     N,     N,     N,     N,     N,     N,     // 5
    X,     X,     X,     M,     S,     S,     S,     S,     IZ,    M|IZ,  I8,    M|I8,  N,     N,     N,     N,     // 6
    S,     S,     S,     S,     S,     S,     S,     S,     S,     S,     S,     S,     S,     S,     S,     S,     // 7
    S,     S,     X,     S,     M,     M,     M,     M,     M,     M,     M,     M,     S,     S,     S,     S,     // 8
    N,     N,     N,     N,     N,     N,     N,     N,     N,     N,     X,     N,     N,     N,     N,     N,     // 9
    S,     S,     S,     S,     N,     N,     N,     N,     I8,    IZ,    N,     N,     N,     N,     N,     N,     // A
    I8,    I8,    I8,    I8,    I8,    I8,    I8,    I8,    S,     S,     S,     S,     S,     S,     S,     S,     // B
    M|I8,  M|I8,  S,     S,     S,     S,     S,     S,     S,     N,     S,     S,     S,     I8,    X,     S,     // C
    M,     M,     M,     M,     X,     X,     X,     N,     S,     S,     S,     S,     S,     S,     S,     S,     // D
    S,     S,     S,     S,     I8,    I8,    I8,    I8,    S,     S,     X,     S,     N,     N,     N,     N,     // E
    S,     N,     S,     S,     S,     N,     S,     S,     N,     N,     N,     N,     N,     N,     S,     S,     // F
};
// clang-format on

// Which ModRM forms an opcode takes, one letter per mandatory prefix (none, 66, F3, F2): B both, m a memory
// operand only, r a register operand only, '.' neither (the encoding is refused). Opcodes with the same
// letter under every prefix ignore them (66 sets the operand size); the others take their meaning from them.
struct Forms {
    char byPrefix[5];
    std::uint8_t layout; // modRM, modRM | imm8, or none
};

constexpr Forms refused{"....", none};
constexpr Forms all{"BBBB", modRM};
constexpr Forms packed{"BB..", modRM}; // MMX and SSE2 integer: no prefix or 66
constexpr Forms sse2Only{".B..", modRM};

// The two-byte map (0F xx) as far as the decoder knows it exactly: general-purpose instructions, MMX and SSE
// to SSE3. Groups, branches and the control-register moves are handled in code.
constexpr std::array<Forms, 256> twoByteForms = [] {
    std::array<Forms, 256> t{};
    for (Forms& f : t)
        f = refused;
    const auto set = [&t](unsigned from, unsigned to, Forms f) {
        for (unsigned op = from; op <= to; ++op)
            t[op] = f;
    };
    set(0x05, 0x05, {"BBBB", none});  // syscall
    set(0x0B, 0x0B, {"BBBB", none});  // ud2
    set(0x10, 0x11, all);             // movups, movupd, movss, movsd
    set(0x12, 0x12, {"BmBB", modRM}); // movlps/movhlps, movlpd, movsldup, movddup
    set(0x13, 0x13, {"mm..", modRM});
    set(0x14, 0x15, packed);          // unpcklps/pd, unpckhps/pd
    set(0x16, 0x16, {"BmB.", modRM}); // movhps/movlhps, movhpd, movshdup
    set(0x17, 0x17, {"mm..", modRM});
    set(0x18, 0x18, all); // prefetch hints and hinting NOPs
    set(0x19, 0x19, all);
    set(0x1C, 0x1F, all);                    // hinting NOPs, endbr64, nop r/m
    set(0x28, 0x29, packed);                 // movaps, movapd
    set(0x2A, 0x2A, all);                    // cvtpi2ps, cvtpi2pd, cvtsi2ss, cvtsi2sd
    set(0x2B, 0x2B, {"mm..", modRM});        // movntps, movntpd
    set(0x2C, 0x2D, all);                    // cvt(t)ps2pi, cvt(t)pd2pi, cvt(t)ss2si, cvt(t)sd2si
    set(0x2E, 0x2F, packed);                 // ucomiss/sd, comiss/sd
    set(0x31, 0x31, {"BBBB", none});         // rdtsc
    set(0x40, 0x4F, all);                    // cmovcc
    set(0x50, 0x50, {"rr..", modRM});        // movmskps, movmskpd
    set(0x51, 0x51, all);                    // sqrt
    set(0x52, 0x53, {"B.B.", modRM});        // rsqrt, rcp
    set(0x54, 0x57, packed);                 // and, andn, or, xor
    set(0x58, 0x5A, all);                    // add, mul, cvtps2pd/pd2ps/ss2sd/sd2ss
    set(0x5B, 0x5B, {"BBB.", modRM});        // cvtdq2ps, cvtps2dq, cvttps2dq
    set(0x5C, 0x5F, all);                    // sub, min, div, max
    set(0x60, 0x6B, packed);                 // punpck*, pcmpgt*, packs*
    set(0x6C, 0x6D, sse2Only);               // punpcklqdq, punpckhqdq
    set(0x6E, 0x6E, packed);                 // movd/movq to mm, xmm
    set(0x6F, 0x6F, {"BBB.", modRM});        // movq mm, movdqa, movdqu
    set(0x70, 0x70, {"BBBB", modRM | imm8}); // pshufw, pshufd, pshufhw, pshuflw
    set(0x74, 0x76, packed);                 // pcmpeq*
    set(0x7C, 0x7D, {".B.B", modRM});        // haddpd/ps, hsubpd/ps
    set(0x7E, 0x7E, {"BBB.", modRM});        // movd/movq from mm, xmm; movq xmm
    set(0x7F, 0x7F, {"BBB.", modRM});        // movq mm, movdqa, movdqu stores
    set(0x90, 0x9F, all);                    // setcc
    set(0xA2, 0xA2, {"BBBB", none});         // cpuid
    set(0xA3, 0xA3, all);                    // bt
    set(0xA4, 0xA4, {"BBBB", modRM | imm8}); // shld imm8
    set(0xA5, 0xA5, all);                    // shld cl
    set(0xAB, 0xAB, all);                    // bts
    set(0xAC, 0xAC, {"BBBB", modRM | imm8}); // shrd imm8
    set(0xAD, 0xAD, all);                    // shrd cl
    set(0xAF, 0xAF, all);                    // imul
    set(0xB0, 0xB1, all);                    // cmpxchg
    set(0xB3, 0xB3, all);                    // btr
    set(0xB6, 0xB7, all);                    // movzx
    set(0xB8, 0xB8, {"..B.", modRM});        // popcnt
    set(0xBB, 0xBB, all);                    // btc
    set(0xBC, 0xBD, all);                    // bsf/tzcnt, bsr/lzcnt
    set(0xBE, 0xBF, all);                    // movsx
    set(0xC0, 0xC1, all);                    // xadd
    set(0xC2, 0xC2, {"BBBB", modRM | imm8}); // cmpps/pd/ss/sd
    set(0xC3, 0xC3, {"m...", modRM});        // movnti
    set(0xC4, 0xC4, {"BB..", modRM | imm8}); // pinsrw
    set(0xC5, 0xC5, {"rr..", modRM | imm8}); // pextrw
    set(0xC6, 0xC6, {"BB..", modRM | imm8}); // shufps, shufpd
    set(0xC8, 0xCF, {"BBBB", none});         // bswap
    set(0xD0, 0xD0, {".B.B", modRM});        // addsubpd/ps
    set(0xD1, 0xD5, packed);
    set(0xD6, 0xD6, {".Brr", modRM}); // movq, movq2dq, movdq2q
    set(0xD7, 0xD7, {"rr..", modRM}); // pmovmskb
    set(0xD8, 0xE5, packed);
    set(0xE6, 0xE6, {".BBB", modRM}); // cvttpd2dq, cvtdq2pd, cvtpd2dq
    set(0xE7, 0xE7, {"mm..", modRM}); // movntq, movntdq
    set(0xE8, 0xEF, packed);
    set(0xF0, 0xF0, {"...m", modRM}); // lddqu
    set(0xF1, 0xF6, packed);
    set(0xF7, 0xF7, {"rr..", modRM}); // maskmovq, maskmovdqu
    set(0xF8, 0xFE, packed);
    return t;
}();

// 0F 38 xx: SSSE3 and SSE4.1 as far as known exactly.
constexpr std::array<Forms, 256> threeByte38Forms = [] {
    std::array<Forms, 256> t{};
    for (Forms& f : t)
        f = refused;
    for (unsigned op : {0x00u, 0x01u, 0x02u, 0x03u, 0x04u, 0x05u, 0x06u, 0x07u, 0x08u, 0x09u, 0x0Au, 0x0Bu,
                        0x1Cu, 0x1Du, 0x1Eu})
        t[op] = packed;
    for (unsigned op : {0x10u, 0x14u, 0x15u, 0x17u, 0x20u, 0x21u, 0x22u, 0x23u, 0x24u, 0x25u,
                        0x28u, 0x29u, 0x2Bu, 0x30u, 0x31u, 0x32u, 0x33u, 0x34u, 0x35u, 0x37u,
                        0x38u, 0x39u, 0x3Au, 0x3Bu, 0x3Cu, 0x3Du, 0x3Eu, 0x3Fu, 0x40u, 0x41u})
        t[op] = sse2Only;
    t[0x2A] = {".m..", modRM}; // movntdqa
    return t;
}();

// 0F 3A xx, each with an imm8: SSSE3, SSE4.1 and SSE4.2 as far as known exactly.
constexpr std::array<Forms, 256> threeByte3AForms = [] {
    std::array<Forms, 256> t{};
    for (Forms& f : t)
        f = refused;
    for (unsigned op : {0x08u, 0x09u, 0x0Au, 0x0Bu, 0x0Cu, 0x0Du, 0x0Eu, 0x14u, 0x15u, 0x16u, 0x17u,
                        0x20u, 0x21u, 0x22u, 0x40u, 0x41u, 0x42u, 0x44u, 0x60u, 0x61u, 0x62u, 0x63u})
        t[op] = {".B..", modRM | imm8};
    t[0x0F] = {"BB..", modRM | imm8}; // palignr
    return t;
}();

// x87 (D8-DF): the ModRM.reg values whose memory form exists, and for each reg value the register forms (bit
// rm).
constexpr std::uint8_t x87Memory[8] = {0xFF, 0xFD, 0xFF, 0xAF, 0xFF, 0xDF, 0xFF, 0xFF};
constexpr std::uint8_t x87Registers[8][8] = {
    {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, // D8
    {0xFF, 0xFF, 0x01, 0xFF, 0x33, 0x7F, 0xFF, 0xFF}, // D9: fnop; fchs fabs ftst fxam; the constants
    {0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x02, 0x00, 0x00}, // DA: fcmov; fucompp
    {0xFF, 0xFF, 0xFF, 0xFF, 0x1F, 0xFF, 0xFF, 0x00}, // DB: fcmovn; fneni fndisi fnclex fninit fsetpm
    {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, // DC
    {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00}, // DD
    {0xFF, 0xFF, 0xFF, 0x02, 0xFF, 0xFF, 0xFF, 0xFF}, // DE: fcompp
    {0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0xFF, 0xFF, 0x00}, // DF: fnstsw ax
};

bool isLegacyPrefix(std::uint8_t b)
{
    switch (b) {
    case 0x26:
    case 0x2E:
    case 0x36:
    case 0x3E:
    case 0x64:
    case 0x65:
    case 0x66:
    case 0x67:
    case 0xF0:
    case 0xF2:
    case 0xF3:
        return true;
    default:
        return false;
    }
}

// Reads the instruction's bytes one by one, never past `available`.
class Cursor {
public:
    Cursor(const std::uint8_t* code, std::size_t available) : code_(code), available_(available) {}
    bool has(std::size_t n) const { return pos_ + n <= available_ && pos_ + n <= 15; }
    std::uint8_t peek() const { return code_[pos_]; }
    std::uint8_t take() { return code_[pos_++]; }
    void skip(std::size_t n) { pos_ += n; }
    std::size_t pos() const { return pos_; }
    bool overLimit() const { return pos_ > 15; }
    bool beyond(std::size_t n) const { return pos_ + n > available_; }

private:
    const std::uint8_t* code_;
    std::size_t available_;
    std::size_t pos_ = 0;
};

struct Prefixes {
    bool operandSize = false;
    bool addressSize = false;
    bool lock = false;
    bool rep = false, repne = false;
    std::uint8_t rex = 0; // the REX byte directly before the opcode, or 0
    bool rexW() const { return (rex & 0x08) != 0; }
    bool rexR() const { return (rex & 0x04) != 0; }
};

struct ModRm {
    std::uint8_t mod, reg, rm;
    bool memory() const { return mod != 3; }
};

class Decoder {
public:
    Decoder(const std::uint8_t* code, std::size_t available, DecodedInstruction& out)
        : cur_(code, available), out_(out)
    {
    }

    DecodeStatus run()
    {
        out_ = DecodedInstruction{};
        DecodeStatus s = readPrefixes();
        if (s != DecodeStatus::ok) {
            return s;
        }
        if (!need(1)) {
            return status_;
        }
        std::uint8_t op = cur_.take();
        out_.opcode = op;
        s = oneByte(op);
        if (s != DecodeStatus::ok) {
            return s;
        }
        if (cur_.overLimit()) {
            return DecodeStatus::unknown;
        }
        // LOCK only on the instructions that take it, and only with a memory destination.
        if (p_.lock && !lockable_) {
            return DecodeStatus::unknown;
        }
        out_.length = static_cast<std::uint8_t>(cur_.pos());
        return DecodeStatus::ok;
    }

private:
    // True when n more bytes can be read; otherwise records why not.
    bool need(std::size_t n)
    {
        if (cur_.has(n)) {
            return true;
        }
        status_ = cur_.beyond(n) && cur_.pos() + n <= 15 ? DecodeStatus::truncated : DecodeStatus::unknown;
        return false;
    }

    DecodeStatus readPrefixes()
    {
        for (;;) {
            if (!need(1)) {
                return status_;
            }
            std::uint8_t b = cur_.peek();
            if (isLegacyPrefix(b)) {
                // A REX prefix only counts directly in front of the opcode.
                p_.rex = 0;
                switch (b) {
                case 0x66:
                    p_.operandSize = true;
                    break;
                case 0x67:
                    p_.addressSize = true;
                    break;
                case 0xF2:
                    p_.repne = true;
                    break;
                case 0xF3:
                    p_.rep = true;
                    break;
                case 0xF0:
                    p_.lock = true;
                    break;
                default:
                    break;
                }
            } else if ((b & 0xF0) == 0x40) {
                p_.rex = b;
            } else {
                out_.prefixCount = static_cast<std::uint8_t>(cur_.pos());
                return DecodeStatus::ok;
            }
            cur_.skip(1);
        }
    }

    std::size_t immZSize() const { return p_.operandSize && !p_.rexW() ? 2 : 4; }

    DecodeStatus imm(std::size_t n)
    {
        if (!need(n)) {
            return status_;
        }
        cur_.skip(n);
        return DecodeStatus::ok;
    }

    DecodeStatus relative(std::size_t n, FlowKind flow)
    {
        out_.flow = flow;
        out_.relativeOffset = static_cast<std::uint8_t>(cur_.pos());
        out_.relativeSize = static_cast<std::uint8_t>(n);
        return imm(n);
    }

    // Reads the ModRM byte alone, so that its form can be checked before the rest is measured.
    DecodeStatus readModRm(ModRm& m)
    {
        if (!need(1)) {
            return status_;
        }
        const std::uint8_t b = cur_.take();
        m = ModRm{static_cast<std::uint8_t>(b >> 6), static_cast<std::uint8_t>((b >> 3) & 7),
                  static_cast<std::uint8_t>(b & 7)};
        modRm_ = m;
        haveModRm_ = true;
        return DecodeStatus::ok;
    }

    // SIB and displacement of a ModRM already read.
    DecodeStatus address(const ModRm& m)
    {
        if (!m.memory()) {
            return DecodeStatus::ok;
        }
        std::size_t disp = m.mod == 1 ? 1 : m.mod == 2 ? 4 : 0;
        if (m.rm == 4) {
            if (!need(1)) {
                return status_;
            }
            std::uint8_t sib = cur_.take();
            if (m.mod == 0 && (sib & 7) == 5) {
                disp = 4;
            }
        } else if (m.mod == 0 && m.rm == 5) {
            out_.ripRelative = true;
            out_.displacementOffset = static_cast<std::uint8_t>(cur_.pos());
            disp = 4;
        }
        return imm(disp);
    }

    DecodeStatus modrm(ModRm& m)
    {
        const DecodeStatus s = readModRm(m);
        return s != DecodeStatus::ok ? s : address(m);
    }

    // A ModRM whose form `valid` accepts, then the immediate.
    template <class Valid> DecodeStatus checkedModrm(Valid&& valid, std::size_t immediate = 0)
    {
        ModRm m;
        DecodeStatus s = readModRm(m);
        if (s != DecodeStatus::ok) {
            return s;
        }
        if (!valid(m)) {
            return DecodeStatus::unknown;
        }
        s = address(m);
        return s != DecodeStatus::ok ? s : imm(immediate);
    }

    DecodeStatus fromTable(std::uint8_t flags, bool lockable = false)
    {
        if (flags & invalid) {
            return DecodeStatus::unknown;
        }
        if (flags & modRM) {
            ModRm m;
            DecodeStatus s = modrm(m);
            if (s != DecodeStatus::ok) {
                return s;
            }
            lockable_ = lockable && m.memory();
        }
        if (flags & imm8) {
            return imm(1);
        }
        if (flags & immZ) {
            return imm(immZSize());
        }
        return DecodeStatus::ok;
    }

    DecodeStatus oneByte(std::uint8_t op)
    {
        std::uint8_t flags = oneByteMap[op];
        if (!(flags & special)) {
            // ADD, OR, ADC, SBB, AND, SUB, XOR with a memory destination, and XCHG with memory.
            return fromTable(flags, (op < 0x38 && (op & 7) <= 1) || op == 0x86 || op == 0x87);
        }
        if (op >= 0xD8 && op <= 0xDF) {
            return checkedModrm([&](const ModRm& m) {
                const unsigned i = op - 0xD8u;
                return m.memory() ? ((x87Memory[i] >> m.reg) & 1) != 0
                                  : ((x87Registers[i][m.reg] >> m.rm) & 1) != 0;
            });
        }
        if (op >= 0x70 && op <= 0x7F) {
            out_.condition = op & 0x0F;
            return relative(1, FlowKind::conditional);
        }
        if (op >= 0xB8 && op <= 0xBF) {
            return imm(p_.rexW() ? 8 : p_.operandSize ? 2 : 4);
        }
        if (op >= 0xA0 && op <= 0xA3) {
            return imm(p_.addressSize ? 4 : 8);
        }
        switch (op) {
        case 0x0F:
            return twoByte();
        case 0x62: // EVEX: not known exactly
            return DecodeStatus::unknown;
        case 0xC4:
        case 0xC5:
            return vex(op);
        case 0x80:
        case 0x81:
        case 0x83: // the arithmetic group; all but CMP (/7) take LOCK with a memory destination
            return checkedModrm(
                [&](const ModRm& m) {
                    lockable_ = m.memory() && m.reg != 7;
                    return true;
                },
                op == 0x81 ? immZSize() : 1);
        case 0x8C:
        case 0x8E: // MOV from and to ES CS SS DS FS GS; never to CS
            return checkedModrm([&](const ModRm& m) { return m.reg <= 5 && !(op == 0x8E && m.reg == 1); });
        case 0x8D: // LEA takes a memory operand only
            return checkedModrm([](const ModRm& m) { return m.memory(); });
        case 0x8F:
            // POP r/m64 is /0; other reg values introduce AMD's XOP encoding.
            return checkedModrm([](const ModRm& m) { return m.reg == 0; });
        case 0xC2:
            out_.flow = FlowKind::end;
            return imm(2);
        case 0xCA:
            out_.flow = FlowKind::trap;
            return imm(2);
        case 0xC3:
            out_.flow = FlowKind::end;
            return DecodeStatus::ok;
        case 0xCB:
        case 0xCF:
        case 0xCC:
        case 0xF4:
            out_.flow = FlowKind::trap;
            return DecodeStatus::ok;
        case 0xC6:
        case 0xC7: {
            if (!need(1)) {
                return status_;
            }
            if (cur_.peek() == 0xF8) { // XABORT imm8, XBEGIN rel
                cur_.skip(1);
                if (op == 0xC6) {
                    return imm(1);
                }
                if (p_.operandSize) {
                    return DecodeStatus::unknown;
                }
                return relative(4, FlowKind::relativeOther);
            }
            // MOV r/m, imm is /0; the other reg values are undefined.
            return checkedModrm([](const ModRm& m) { return m.reg == 0; }, op == 0xC6 ? 1 : immZSize());
        }
        case 0xC8:
            return imm(3);
        case 0xE0:
        case 0xE1:
        case 0xE2:
        case 0xE3:
            return relative(1, FlowKind::loopOrJcxz);
        case 0xE8:
        case 0xE9:
            // Intel and AMD disagree on the operand-size prefix here: never guess.
            if (p_.operandSize) {
                return DecodeStatus::unknown;
            }
            out_.call = op == 0xE8;
            return relative(4, op == 0xE8 ? FlowKind::relativeCall : FlowKind::relativeJump);
        case 0xEB:
            return relative(1, FlowKind::relativeJump);
        case 0xF6:
        case 0xF7: {
            ModRm m;
            DecodeStatus s = modrm(m);
            if (s != DecodeStatus::ok) {
                return s;
            }
            lockable_ = m.memory() && (m.reg == 2 || m.reg == 3); // NOT, NEG
            return m.reg > 1 ? DecodeStatus::ok : imm(op == 0xF6 ? 1 : immZSize());
        }
        case 0xFE:
        case 0xFF:
            // INC, DEC; then CALL, CALL far (memory), JMP, JMP far (memory), PUSH; FE has only INC and DEC.
            return checkedModrm([&](const ModRm& m) {
                if (m.reg > (op == 0xFE ? 1 : 6) || ((m.reg == 3 || m.reg == 5) && !m.memory())) {
                    return false;
                }
                lockable_ = m.memory() && m.reg <= 1;
                if (m.reg == 4 || m.reg == 5) {
                    out_.flow = FlowKind::end;
                }
                out_.call = m.reg == 2 || m.reg == 3;
                return true;
            });
        default:
            // Prefix bytes cannot reach here; REX-like bytes after a prefix run were consumed.
            return DecodeStatus::unknown;
        }
    }

    // The mandatory prefix of an instruction whose meaning depends on it: 0 none, 1 66, 2 F3, 3 F2; -1 when
    // more than one of them is given.
    int mandatoryPrefix() const
    {
        const int given = (p_.operandSize ? 1 : 0) + (p_.rep ? 1 : 0) + (p_.repne ? 1 : 0);
        if (given > 1) {
            return -1;
        }
        return p_.rep ? 2 : p_.repne ? 3 : p_.operandSize ? 1 : 0;
    }

    DecodeStatus withForms(const Forms& f)
    {
        const char* by = f.byPrefix;
        const bool prefixFree = by[0] == by[1] && by[0] == by[2] && by[0] == by[3];
        const int prefix = prefixFree ? 0 : mandatoryPrefix();
        const char form = prefix < 0 ? '.' : by[prefix];
        if (form == '.') {
            return DecodeStatus::unknown;
        }
        if (!(f.layout & modRM)) {
            return DecodeStatus::ok;
        }
        return checkedModrm([&](const ModRm& m) { return form == 'B' || (form == 'm') == m.memory(); },
                            (f.layout & imm8) ? 1 : 0);
    }

    DecodeStatus twoByte()
    {
        if (!need(1)) {
            return status_;
        }
        std::uint8_t op = cur_.take();
        out_.opcode = op;
        if (op >= 0x80 && op <= 0x8F) {
            if (p_.operandSize) {
                return DecodeStatus::unknown;
            }
            out_.condition = op & 0x0F;
            return relative(4, FlowKind::conditional);
        }
        switch (op) {
        case 0x0B: // UD2
            out_.flow = FlowKind::trap;
            return DecodeStatus::ok;
        case 0x20:
        case 0x21:
        case 0x22:
        case 0x23: {
            // MOV to and from control and debug registers: always a register operand, whatever the mod bits.
            // CR0, CR2-CR4 and CR8; DR0-DR7.
            if (!need(1)) {
                return status_;
            }
            const std::uint8_t reg = (cur_.take() >> 3) & 7;
            const bool control = op == 0x20 || op == 0x22;
            const bool known =
                control ? (p_.rexR() ? reg == 0 : reg == 0 || (reg >= 2 && reg <= 4)) : !p_.rexR();
            return known ? DecodeStatus::ok : DecodeStatus::unknown;
        }
        case 0x38:
        case 0x3A: {
            if (!need(1)) {
                return status_;
            }
            out_.opcode = cur_.take();
            return withForms((op == 0x38 ? threeByte38Forms : threeByte3AForms)[out_.opcode]);
        }
        case 0x71:
        case 0x72:
        case 0x73: {
            // Shifts by an immediate: register operands only; 73 /3 and /7 (whole-register shifts) need 66.
            const int prefix = mandatoryPrefix();
            if (prefix != 0 && prefix != 1) {
                return DecodeStatus::unknown;
            }
            const std::uint8_t regs = op == 0x73 ? (prefix == 1 ? 0xCC : 0x44) : 0x54;
            return checkedModrm([&](const ModRm& m) { return !m.memory() && ((regs >> m.reg) & 1) != 0; }, 1);
        }
        case 0xAE:
            // FXSAVE, FXRSTOR, LDMXCSR, STMXCSR, XSAVE, XRSTOR, XSAVEOPT, CLFLUSH: memory operands, no
            // mandatory prefix.
            if (mandatoryPrefix() != 0) {
                return DecodeStatus::unknown;
            }
            return checkedModrm([](const ModRm& m) { return m.memory(); });
        case 0xBA: // BT, BTS, BTR, BTC with an imm8
            return checkedModrm(
                [&](const ModRm& m) {
                    lockable_ = m.memory() && m.reg >= 5;
                    return m.reg >= 4;
                },
                1);
        case 0xC7: // CMPXCHG8B / CMPXCHG16B
            if (mandatoryPrefix() != 0) {
                return DecodeStatus::unknown;
            }
            lockable_ = true;
            return checkedModrm([](const ModRm& m) { return m.reg == 1 && m.memory(); });
        default: {
            const Forms& f = twoByteForms[op];
            // BTS, BTR, BTC, CMPXCHG and XADD with a memory destination.
            const bool lockable = op == 0xAB || op == 0xB3 || op == 0xBB || op == 0xB0 || op == 0xB1 ||
                                  op == 0xC0 || op == 0xC1;
            const DecodeStatus s = withForms(f);
            lockable_ = lockable && s == DecodeStatus::ok && modrmMemory();
            return s;
        }
        }
    }

    bool modrmMemory() const { return haveModRm_ && modRm_.memory(); }

    // VEX: the forms known exactly, with their rules on VEX.pp, VEX.L and VEX.vvvv; everything else is
    // refused.
    DecodeStatus vex(std::uint8_t op)
    {
        if (p_.rex != 0 || p_.operandSize || p_.rep || p_.repne || p_.lock) {
            return DecodeStatus::unknown;
        }
        unsigned map = 1;
        std::uint8_t last = 0; // W vvvv L pp (C5: R vvvv L pp)
        if (op == 0xC4) {
            if (!need(2)) {
                return status_;
            }
            map = cur_.take() & 0x1F;
            last = cur_.take();
        } else {
            if (!need(1)) {
                return status_;
            }
            last = cur_.take() & 0x7F;
        }
        if (!need(1)) {
            return status_;
        }
        const std::uint8_t opcode = cur_.take();
        out_.opcode = opcode;
        const unsigned pp = last & 3;
        const bool wide = (last & 0x04) != 0;      // VEX.L
        const bool noVvvv = (last & 0x78) == 0x78; // VEX.vvvv unused (stored inverted)
        // `memoryNeedsNoVvvv`: the memory form has no second source (VMOVSS/VMOVSD loads and stores).
        const auto body = [&](bool ppOk, bool vvvvOk, std::size_t immediate, bool memoryNeedsNoVvvv = false) {
            if (!ppOk || !vvvvOk) {
                return DecodeStatus::unknown;
            }
            return checkedModrm([&](const ModRm& m) { return !(memoryNeedsNoVvvv && m.memory() && !noVvvv); },
                                immediate);
        };
        if (map == 1) {
            switch (opcode) {
            case 0x10: // vmovups/upd; vmovss/sd (registers merge through vvvv; memory has none)
            case 0x11:
                return pp < 2 ? body(true, noVvvv, 0) : body(true, true, 0, true);
            case 0x28: // vmovaps/apd
            case 0x29:
                return body(pp < 2, noVvvv, 0);
            case 0x57: // vxorps/pd
                return body(pp < 2, true, 0);
            case 0x6F: // vmovdqa, vmovdqu
            case 0x7F:
                return body(pp == 1 || pp == 2, noVvvv, 0);
            case 0x70: // vpshufd, vpshufhw, vpshuflw
                return body(pp != 0, noVvvv, 1);
            case 0x77: // vzeroupper, vzeroall
                return pp == 0 && noVvvv ? DecodeStatus::ok : DecodeStatus::unknown;
            case 0xEF: // vpxor
                return body(pp == 1, true, 0);
            default:
                return DecodeStatus::unknown;
            }
        }
        if (map == 3 && opcode == 0x16) { // vpextrd/q
            return body(pp == 1 && !wide, noVvvv, 1);
        }
        return DecodeStatus::unknown;
    }

    Cursor cur_;
    DecodedInstruction& out_;
    Prefixes p_;
    DecodeStatus status_ = DecodeStatus::unknown;
    bool lockable_ = false;
    bool haveModRm_ = false;
    ModRm modRm_{}; // the last ModRM read
};

} // namespace

DecodeStatus decodeInstruction(const std::uint8_t* code, std::size_t available, DecodedInstruction& out)
{
    if (code == nullptr || available == 0) {
        out = DecodedInstruction{};
        return DecodeStatus::truncated;
    }
    return Decoder(code, available, out).run();
}

std::int64_t relativeDisplacement(const std::uint8_t* code, const DecodedInstruction& insn)
{
    if (insn.relativeSize == 1) {
        return static_cast<std::int8_t>(code[insn.relativeOffset]);
    }
    std::int32_t v = 0;
    std::memcpy(&v, code + insn.relativeOffset, sizeof v);
    return v;
}

} // namespace fsr2bridge
