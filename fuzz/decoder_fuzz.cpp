// The instruction decoder against Zydis: what the decoder accepts, Zydis must accept too, with the same
// length, the same RIP-relative displacement, the same relative branch field and the same way out of the
// straight-line flow. Refusing is always allowed: a hook then is not made.
#include <Zydis/Zydis.h>

#include "check.h"
#include "hooking/instruction_decoder.h"

using namespace fsr2bridge;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    DecodedInstruction insn;
    if (decodeInstruction(data, size, insn) != DecodeStatus::ok)
        return 0;
    static const ZydisDecoder zydis = [] {
        ZydisDecoder d;
        ZydisDecoderInit(&d, ZYDIS_MACHINE_MODE_LONG_64, ZYDIS_STACK_WIDTH_64);
        return d;
    }();
    ZydisDecodedInstruction z;
    ZydisDecodedOperand operands[ZYDIS_MAX_OPERAND_COUNT];
    require(ZYAN_SUCCESS(ZydisDecoderDecodeFull(&zydis, data, size, &z, operands)), "Zydis refuses it", data,
            size);
    require(z.length == insn.length, "length", data, size);

    bool ripRelative = false;
    for (unsigned i = 0; i < z.operand_count; ++i) {
        const ZydisDecodedOperand& op = operands[i];
        ripRelative =
            ripRelative || (op.type == ZYDIS_OPERAND_TYPE_MEMORY &&
                            (op.mem.base == ZYDIS_REGISTER_RIP || op.mem.base == ZYDIS_REGISTER_EIP));
    }
    require(ripRelative == insn.ripRelative, "RIP-relative operand", data, size);
    require(!ripRelative || (z.raw.disp.offset == insn.displacementOffset && z.raw.disp.size == 32),
            "RIP-relative displacement", data, size);

    const auto* relative = z.raw.imm[0].is_relative   ? &z.raw.imm[0]
                           : z.raw.imm[1].is_relative ? &z.raw.imm[1]
                                                      : nullptr;
    require((relative != nullptr) == (insn.relativeSize != 0), "relative branch", data, size);
    require(relative == nullptr ||
                (relative->offset == insn.relativeOffset && relative->size == 8u * insn.relativeSize),
            "relative branch field", data, size);

    require(insn.call == (z.mnemonic == ZYDIS_MNEMONIC_CALL), "call", data, size);
    // A far return stops the function's flow as a trap does; a near one and any indirect jump end it.
    const bool leaves = (z.mnemonic == ZYDIS_MNEMONIC_RET && z.meta.branch_type != ZYDIS_BRANCH_TYPE_FAR) ||
                        (z.mnemonic == ZYDIS_MNEMONIC_JMP && relative == nullptr);
    require(leaves == (insn.flow == FlowKind::end), "return or indirect jump", data, size);
    return 0;
}
