#include "hooking/instruction_decoder.h"

#include <array>
#include <cstring>

namespace fsr2bridge {
namespace {

// Operand layout of an opcode, by map.
enum : std::uint8_t {
    none = 0,
    modRM = 1,
    imm8 = 2,
    immZ = 4, // 16 bits with the operand-size prefix, else 32
    imm16 = 8,
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
    X,     X,     S,     M,     S,     S,     S,     S,     IZ,    M|IZ,  I8,    M|I8,  N,     N,     N,     N,     // 6
    S,     S,     S,     S,     S,     S,     S,     S,     S,     S,     S,     S,     S,     S,     S,     S,     // 7
    M|I8,  M|IZ,  X,     M|I8,  M,     M,     M,     M,     M,     M,     M,     M,     M,     M,     M,     S,     // 8
    N,     N,     N,     N,     N,     N,     N,     N,     N,     N,     X,     N,     N,     N,     N,     N,     // 9
    S,     S,     S,     S,     N,     N,     N,     N,     I8,    IZ,    N,     N,     N,     N,     N,     N,     // A
    I8,    I8,    I8,    I8,    I8,    I8,    I8,    I8,    S,     S,     S,     S,     S,     S,     S,     S,     // B
    M|I8,  M|I8,  S,     S,     S,     S,     M|I8,  S,     S,     N,     S,     S,     S,     I8,    X,     S,     // C
    M,     M,     M,     M,     X,     X,     X,     N,     M,     M,     M,     M,     M,     M,     M,     M,     // D
    S,     S,     S,     S,     I8,    I8,    I8,    I8,    S,     S,     X,     S,     N,     N,     N,     N,     // E
    S,     N,     S,     S,     S,     N,     S,     S,     N,     N,     N,     N,     N,     N,     M,     S,     // F
};

constexpr std::array<std::uint8_t, 256> twoByteMap = {
    //  0      1      2      3      4      5      6      7      8      9      A      B      C      D      E      F
    M,     M,     M,     M,     X,     N,     N,     N,     N,     N,     X,     S,     X,     M,     N,     M|I8,  // 0
    M,     M,     M,     M,     M,     M,     M,     M,     M,     M,     M,     M,     M,     M,     M,     M,     // 1
    M,     M,     M,     M,     X,     X,     X,     X,     M,     M,     M,     M,     M,     M,     M,     M,     // 2
    N,     N,     N,     N,     N,     N,     X,     N,     S,     X,     S,     X,     X,     X,     X,     X,     // 3
    M,     M,     M,     M,     M,     M,     M,     M,     M,     M,     M,     M,     M,     M,     M,     M,     // 4
    M,     M,     M,     M,     M,     M,     M,     M,     M,     M,     M,     M,     M,     M,     M,     M,     // 5
    M,     M,     M,     M,     M,     M,     M,     M,     M,     M,     M,     M,     M,     M,     M,     M,     // 6
    M|I8,  M|I8,  M|I8,  M|I8,  M,     M,     M,     N,     S,     M,     X,     X,     M,     M,     M,     M,     // 7
    S,     S,     S,     S,     S,     S,     S,     S,     S,     S,     S,     S,     S,     S,     S,     S,     // 8
    M,     M,     M,     M,     M,     M,     M,     M,     M,     M,     M,     M,     M,     M,     M,     M,     // 9
    N,     N,     N,     M,     M|I8,  M,     X,     X,     N,     N,     N,     M,     M|I8,  M,     M,     M,     // A
    M,     M,     M,     M,     M,     M,     M,     M,     M,     M,     M|I8,  M,     M,     M,     M,     M,     // B
    M,     M,     M|I8,  M,     M|I8,  M|I8,  M|I8,  M,     N,     N,     N,     N,     N,     N,     N,     N,     // C
    M,     M,     M,     M,     M,     M,     M,     M,     M,     M,     M,     M,     M,     M,     M,     M,     // D
    M,     M,     M,     M,     M,     M,     M,     M,     M,     M,     M,     M,     M,     M,     M,     M,     // E
    M,     M,     M,     M,     M,     M,     M,     M,     M,     M,     M,     M,     M,     M,     M,     M,     // F
};
// clang-format on

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
    bool repne = false;
    bool rep = false;
    bool rexW = false;
    bool rex = false;
    bool lock = false;
};

// Failure kinds inside the decoder; `truncated` wins only when the buffer really ran out.
struct Failure {
    DecodeStatus status;
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
                p_.rex = false;
                p_.rexW = false;
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
                p_.rex = true;
                p_.rexW = (b & 0x08) != 0;
            } else {
                out_.prefixCount = static_cast<std::uint8_t>(cur_.pos());
                return DecodeStatus::ok;
            }
            cur_.skip(1);
        }
    }

    std::size_t immZSize() const { return p_.operandSize && !p_.rexW ? 2 : 4; }

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

    // ModRM, SIB and displacement; `reg` receives ModRM.reg.
    DecodeStatus modrm(std::uint8_t* reg = nullptr, std::uint8_t* whole = nullptr)
    {
        if (!need(1)) {
            return status_;
        }
        std::uint8_t m = cur_.take();
        if (reg) {
            *reg = (m >> 3) & 7;
        }
        if (whole) {
            *whole = m;
        }
        std::uint8_t mod = m >> 6, rm = m & 7;
        if (mod == 3) {
            return DecodeStatus::ok;
        }
        std::size_t disp = mod == 1 ? 1 : mod == 2 ? 4 : 0;
        if (rm == 4) {
            if (!need(1)) {
                return status_;
            }
            std::uint8_t sib = cur_.take();
            if (mod == 0 && (sib & 7) == 5) {
                disp = 4;
            }
        } else if (mod == 0 && rm == 5) {
            out_.ripRelative = true;
            out_.displacementOffset = static_cast<std::uint8_t>(cur_.pos());
            disp = 4;
        }
        return imm(disp);
    }

    DecodeStatus fromTable(std::uint8_t flags)
    {
        if (flags & invalid) {
            return DecodeStatus::unknown;
        }
        if (flags & modRM) {
            DecodeStatus s = modrm();
            if (s != DecodeStatus::ok) {
                return s;
            }
        }
        if (flags & imm8) {
            return imm(1);
        }
        if (flags & immZ) {
            return imm(immZSize());
        }
        if (flags & imm16) {
            return imm(2);
        }
        return DecodeStatus::ok;
    }

    DecodeStatus oneByte(std::uint8_t op)
    {
        std::uint8_t flags = oneByteMap[op];
        if (!(flags & special)) {
            return fromTable(flags);
        }
        if (op >= 0x70 && op <= 0x7F) {
            out_.condition = op & 0x0F;
            return relative(1, FlowKind::conditional);
        }
        if (op >= 0xB8 && op <= 0xBF) {
            return imm(p_.rexW ? 8 : p_.operandSize ? 2 : 4);
        }
        if (op >= 0xA0 && op <= 0xA3) {
            return imm(p_.addressSize ? 4 : 8);
        }
        switch (op) {
        case 0x0F:
            return twoByte();
        case 0x62:
            return evex();
        case 0xC4:
        case 0xC5:
            return vex(op);
        case 0x8F: {
            // POP r/m64 is /0; other reg values introduce AMD's XOP encoding.
            if (!need(1)) {
                return status_;
            }
            if (((cur_.peek() >> 3) & 7) != 0) {
                return DecodeStatus::unknown;
            }
            return modrm();
        }
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
        case 0xC7: {
            std::uint8_t reg = 0, m = 0;
            if (!need(1)) {
                return status_;
            }
            if (cur_.peek() == 0xF8) { // XBEGIN rel
                cur_.skip(1);
                if (p_.operandSize) {
                    return DecodeStatus::unknown;
                }
                return relative(4, FlowKind::relativeOther);
            }
            DecodeStatus s = modrm(&reg, &m);
            return s != DecodeStatus::ok ? s : imm(immZSize());
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
            std::uint8_t reg = 0;
            DecodeStatus s = modrm(&reg);
            if (s != DecodeStatus::ok || reg > 1) {
                return s;
            }
            return imm(op == 0xF6 ? 1 : immZSize());
        }
        case 0xFF: {
            std::uint8_t reg = 0;
            DecodeStatus s = modrm(&reg);
            if (reg == 4 || reg == 5) {
                out_.flow = FlowKind::end;
            }
            out_.call = reg == 2 || reg == 3;
            return s;
        }
        default:
            // Prefix bytes cannot reach here; REX-like bytes after a prefix run were consumed.
            return DecodeStatus::unknown;
        }
    }

    DecodeStatus twoByte()
    {
        if (!need(1)) {
            return status_;
        }
        std::uint8_t op = cur_.take();
        out_.opcode = op;
        std::uint8_t flags = twoByteMap[op];
        if (!(flags & special)) {
            return fromTable(flags);
        }
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
        case 0x38:
            if (!need(1)) {
                return status_;
            }
            out_.opcode = cur_.take();
            return modrm();
        case 0x3A:
            if (!need(1)) {
                return status_;
            }
            out_.opcode = cur_.take();
            return fromTable(modRM | imm8);
        case 0x78: {
            // EXTRQ / INSERTQ (with 66 / F2) carry two byte immediates; VMREAD has none.
            DecodeStatus s = modrm();
            if (s != DecodeStatus::ok) {
                return s;
            }
            return p_.operandSize || p_.repne ? imm(2) : DecodeStatus::ok;
        }
        default:
            return DecodeStatus::unknown;
        }
    }

    // Opcode, ModRM and immediate of a VEX/EVEX-encoded instruction in the given map.
    DecodeStatus vectorBody(unsigned map, bool allowNoModRM)
    {
        if (!need(1)) {
            return status_;
        }
        std::uint8_t op = cur_.take();
        out_.opcode = op;
        if (map == 1 && op == 0x77 && allowNoModRM) { // VZEROUPPER / VZEROALL
            return DecodeStatus::ok;
        }
        DecodeStatus s = modrm();
        if (s != DecodeStatus::ok) {
            return s;
        }
        bool hasImm = map == 3 ||
                      (map == 1 && ((op >= 0x70 && op <= 0x73) || op == 0xC2 || (op >= 0xC4 && op <= 0xC6)));
        return hasImm ? imm(1) : DecodeStatus::ok;
    }

    bool prefixedVector() const { return p_.rex || p_.operandSize || p_.rep || p_.repne || p_.lock; }

    DecodeStatus vex(std::uint8_t op)
    {
        if (prefixedVector()) {
            return DecodeStatus::unknown;
        }
        unsigned map = 1;
        if (op == 0xC4) {
            if (!need(2)) {
                return status_;
            }
            map = cur_.take() & 0x1F;
            cur_.skip(1);
            if (map < 1 || map > 3) {
                return DecodeStatus::unknown;
            }
        } else {
            if (!need(1)) {
                return status_;
            }
            cur_.skip(1);
        }
        return vectorBody(map, true);
    }

    DecodeStatus evex()
    {
        if (prefixedVector()) {
            return DecodeStatus::unknown;
        }
        if (!need(3)) {
            return status_;
        }
        std::uint8_t p0 = cur_.take();
        std::uint8_t p1 = cur_.take();
        cur_.skip(1);
        unsigned map = p0 & 0x07;
        // Bit 2 of P1 is fixed to one; maps 1-3 and the FP16 maps 5-6 are known.
        if (!(p1 & 0x04) || (p0 & 0x08) || !(map == 1 || map == 2 || map == 3 || map == 5 || map == 6)) {
            return DecodeStatus::unknown;
        }
        return vectorBody(map, false);
    }

    Cursor cur_;
    DecodedInstruction& out_;
    Prefixes p_;
    DecodeStatus status_ = DecodeStatus::unknown;
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
