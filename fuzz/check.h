#pragma once
// What a fuzz target says when the code under test broke a rule: the rule and the input, then a crash that
// libFuzzer keeps as a finding.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

inline void require(bool holds, const char* rule, const std::uint8_t* data, std::size_t size)
{
    if (holds)
        return;
    std::fprintf(stderr, "rule broken: %s; input", rule);
    for (std::size_t i = 0; i < size && i < 64; ++i)
        std::fprintf(stderr, " %02x", data[i]);
    std::fprintf(stderr, "\n");
    std::abort();
}
