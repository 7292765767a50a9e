#pragma once
// An executable page for synthetic functions: code at chosen offsets, CC everywhere else.

#include <windows.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace hooktest {

using Fn = long long (*)(long long);

class CodePage {
public:
    CodePage()
        : base_(static_cast<std::uint8_t*>(
              VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE)))
    {
        std::memset(base_, 0xCC, 4096);
    }
    ~CodePage() { VirtualFree(base_, 0, MEM_RELEASE); }
    CodePage(const CodePage&) = delete;
    CodePage& operator=(const CodePage&) = delete;
    void put(std::size_t at, const std::vector<std::uint8_t>& bytes)
    {
        std::memcpy(base_ + at, bytes.data(), bytes.size());
        FlushInstructionCache(GetCurrentProcess(), base_ + at, bytes.size());
    }
    std::uint8_t* at(std::size_t offset) const { return base_ + offset; }
    Fn fn(std::size_t offset = 0) const { return reinterpret_cast<Fn>(base_ + offset); }
    bool holds(std::size_t at, const std::vector<std::uint8_t>& bytes) const
    {
        return std::memcmp(base_ + at, bytes.data(), bytes.size()) == 0;
    }

private:
    std::uint8_t* base_;
};

// mov eax,imm32; ret — a function that returns `value`, with a 5-byte first instruction.
inline std::vector<std::uint8_t> returning(std::uint32_t value)
{
    return {0xB8,
            static_cast<std::uint8_t>(value),
            static_cast<std::uint8_t>(value >> 8),
            static_cast<std::uint8_t>(value >> 16),
            static_cast<std::uint8_t>(value >> 24),
            0xC3};
}

} // namespace hooktest
