// Compares the decoder's instruction lengths with objdump's boundaries over every instruction
// of the code sections of Wine's system DLLs, and leaves the tally for scripts/test to print.
#include "hooking/instruction_decoder.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

struct Stream {
    std::string name;
    std::vector<std::uint8_t> bytes;
    std::vector<std::size_t> starts; // instruction starts objdump decoded
    std::vector<std::size_t> lengths;
};

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
            streams.push_back(Stream{line.substr(8), {}, {}, {}});
            continue;
        }
        if (streams.empty() || line.empty()) {
            continue;
        }
        Stream& s = streams.back();
        bool bad = line[0] == '!';
        std::size_t start = s.bytes.size();
        for (std::size_t i = bad ? 1 : 0; i + 1 < line.size(); i += 2) {
            s.bytes.push_back(static_cast<std::uint8_t>(hexValue(line[i]) * 16 + hexValue(line[i + 1])));
        }
        if (!bad) {
            s.starts.push_back(start);
            s.lengths.push_back(s.bytes.size() - start);
        }
    }
    return true;
}

TEST(DecoderCorpus, MatchesObjdumpOnWineSystemDlls)
{
    std::vector<Stream> streams;
    ASSERT_TRUE(readReference("hooking/decoder_reference.txt", streams)) << "reference file missing";

    std::size_t compared = 0, mismatches = 0;
    std::vector<std::string> report;
    for (const Stream& s : streams) {
        for (std::size_t i = 0; i < s.starts.size(); ++i) {
            const std::size_t at = s.starts[i];
            fsr2bridge::DecodedInstruction insn;
            auto status = fsr2bridge::decodeInstruction(s.bytes.data() + at, s.bytes.size() - at, insn);
            ++compared;
            if (status == fsr2bridge::DecodeStatus::ok && insn.length == s.lengths[i]) {
                continue;
            }
            ++mismatches;
            if (report.size() < 200) {
                char head[160];
                std::snprintf(head, sizeof head, "  mismatch %s+0x%zx: objdump %zu, decoder %s%u, bytes",
                              s.name.c_str(), at, s.lengths[i],
                              status == fsr2bridge::DecodeStatus::ok        ? ""
                              : status == fsr2bridge::DecodeStatus::unknown ? "unknown/"
                                                                            : "truncated/",
                              insn.length);
                std::string entry = head;
                for (std::size_t k = 0; k < 16 && at + k < s.bytes.size(); ++k) {
                    char b[4];
                    std::snprintf(b, sizeof b, " %02x", s.bytes[at + k]);
                    entry += b;
                }
                report.push_back(entry);
            }
        }
    }

    CreateDirectoryA("summaries", nullptr);
    if (FILE* f = std::fopen("summaries/decoder.txt", "w")) {
        std::fprintf(f, "decoder: %zu instructions compared, %zu mismatches\n", compared, mismatches);
        for (const std::string& r : report) {
            std::fprintf(f, "%s\n", r.c_str());
        }
        if (mismatches > report.size()) {
            std::fprintf(f, "  ... and %zu more\n", mismatches - report.size());
        }
        std::fclose(f);
    }
    for (std::size_t i = 0; i < report.size() && i < 20; ++i) {
        ADD_FAILURE() << report[i];
    }
    EXPECT_GE(compared, 500000u);
    EXPECT_EQ(mismatches, 0u);
}

} // namespace
