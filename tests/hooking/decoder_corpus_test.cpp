// Compares the decoder with objdump over every instruction of the code sections of Wine's
// system DLLs: the length, and what a trampoline relies on besides it, the absolute address of a
// RIP-relative operand and the target of a relative branch. Leaves the tally for scripts/test.
#include "hooking/instruction_decoder.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

struct Stream {
    std::string name;
    std::uint64_t address = 0; // of the first byte
    std::vector<std::uint8_t> bytes;
    std::vector<std::size_t> starts; // instruction starts objdump decoded
    std::vector<std::size_t> lengths;
    std::vector<std::uint64_t> ripTargets;    // absolute RIP-relative address, 0 when none
    std::vector<std::uint64_t> branchTargets; // relative branch target, 0 when none
};

std::uint64_t hexNumber(const std::string& text)
{
    return std::strtoull(text.c_str(), nullptr, 16);
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

bool readReference(const char* path, std::vector<Stream>& streams)
{
    std::ifstream in(path);
    if (!in) {
        return false;
    }
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("section ", 0) == 0) {
            Stream next;
            const std::size_t cut = line.rfind(' ');
            next.name = line.substr(8, cut - 8);
            next.address = hexNumber(line.substr(cut + 1));
            streams.push_back(std::move(next));
            continue;
        }
        if (streams.empty() || line.empty()) {
            continue;
        }
        Stream& s = streams.back();
        bool bad = line[0] == '!';
        std::size_t start = s.bytes.size();
        std::size_t i = bad ? 1 : 0;
        for (; i + 1 < line.size() && line[i] != ' '; i += 2) {
            s.bytes.push_back(static_cast<std::uint8_t>(hexValue(line[i]) * 16 + hexValue(line[i + 1])));
        }
        if (!bad) {
            s.starts.push_back(start);
            s.lengths.push_back(s.bytes.size() - start);
            const bool hasTarget = i + 2 < line.size() && line[i] == ' ';
            const std::uint64_t target = hasTarget ? hexNumber(line.substr(i + 2)) : 0;
            s.ripTargets.push_back(hasTarget && line[i + 1] == 'r' ? target : 0);
            s.branchTargets.push_back(hasTarget && line[i + 1] == 'b' ? target : 0);
        }
    }
    return true;
}

struct Tally {
    std::size_t compared = 0, lengths = 0, ripChecked = 0, rips = 0, branchChecked = 0, branches = 0;
    std::vector<std::string> report;

    void add(const Stream& s, std::size_t at, const char* what, const std::string& detail)
    {
        if (report.size() >= 200) {
            return;
        }
        char head[200];
        std::snprintf(head, sizeof head, "  %s %s+0x%zx: %s, bytes", what, s.name.c_str(), at,
                      detail.c_str());
        std::string entry = head;
        for (std::size_t k = 0; k < 16 && at + k < s.bytes.size(); ++k) {
            char b[4];
            std::snprintf(b, sizeof b, " %02x", s.bytes[at + k]);
            entry += b;
        }
        report.push_back(entry);
    }
    std::size_t mismatches() const { return lengths + rips + branches; }
};

std::string addresses(std::uint64_t objdump, std::uint64_t decoder)
{
    char text[80];
    std::snprintf(text, sizeof text, "objdump %llx, decoder %llx", static_cast<unsigned long long>(objdump),
                  static_cast<unsigned long long>(decoder));
    return text;
}

// The decoder's view of one instruction against objdump's: its length, then whether it has a
// RIP-relative operand or a relative branch, and where that leads.
void compareOne(const Stream& s, std::size_t i, Tally& t)
{
    const std::size_t at = s.starts[i];
    const std::uint8_t* code = s.bytes.data() + at;
    fsr2bridge::DecodedInstruction insn;
    auto status = fsr2bridge::decodeInstruction(code, s.bytes.size() - at, insn);
    ++t.compared;
    if (status != fsr2bridge::DecodeStatus::ok || insn.length != s.lengths[i]) {
        ++t.lengths;
        char detail[80];
        std::snprintf(detail, sizeof detail, "objdump %zu, decoder %s%u", s.lengths[i],
                      status == fsr2bridge::DecodeStatus::ok        ? ""
                      : status == fsr2bridge::DecodeStatus::unknown ? "unknown/"
                                                                    : "truncated/",
                      insn.length);
        t.add(s, at, "length", detail);
        return;
    }
    const std::uint64_t next = s.address + at + insn.length;
    std::uint64_t rip = 0;
    if (insn.ripRelative) {
        std::int32_t disp = 0;
        std::memcpy(&disp, code + insn.displacementOffset, 4);
        rip = next + static_cast<std::int64_t>(disp);
    }
    if (insn.ripRelative || s.ripTargets[i] != 0) {
        ++t.ripChecked;
        if (rip != s.ripTargets[i]) {
            ++t.rips;
            t.add(s, at, "RIP-relative", addresses(s.ripTargets[i], rip));
        }
    }
    const std::uint64_t branch =
        insn.relativeSize != 0
            ? next + static_cast<std::uint64_t>(fsr2bridge::relativeDisplacement(code, insn))
            : 0;
    if (branch != 0 || s.branchTargets[i] != 0) {
        ++t.branchChecked;
        if (branch != s.branchTargets[i]) {
            ++t.branches;
            t.add(s, at, "branch", addresses(s.branchTargets[i], branch));
        }
    }
}

TEST(DecoderCorpus, MatchesObjdumpOnWineSystemDlls)
{
    std::vector<Stream> streams;
    ASSERT_TRUE(readReference("hooking/decoder_reference.txt", streams)) << "reference file missing";

    Tally t;
    for (const Stream& s : streams) {
        ASSERT_NE(s.address, 0u) << s.name;
        for (std::size_t i = 0; i < s.starts.size(); ++i) {
            compareOne(s, i, t);
        }
    }

    CreateDirectoryA("summaries", nullptr);
    if (FILE* f = std::fopen("summaries/decoder.txt", "w")) {
        std::fprintf(
            f,
            "decoder: %zu instructions compared, %zu mismatches (lengths %zu, RIP-relative addresses %zu "
            "of %zu, branch targets %zu of %zu)\n",
            t.compared, t.mismatches(), t.lengths, t.rips, t.ripChecked, t.branches, t.branchChecked);
        for (const std::string& r : t.report) {
            std::fprintf(f, "%s\n", r.c_str());
        }
        if (t.mismatches() > t.report.size()) {
            std::fprintf(f, "  ... and %zu more\n", t.mismatches() - t.report.size());
        }
        std::fclose(f);
    }
    for (std::size_t i = 0; i < t.report.size() && i < 20; ++i) {
        ADD_FAILURE() << t.report[i];
    }
    EXPECT_GE(t.compared, 500000u);
    EXPECT_GE(t.ripChecked, 10000u);
    EXPECT_GE(t.branchChecked, 50000u);
    EXPECT_EQ(t.mismatches(), 0u);
}

} // namespace
