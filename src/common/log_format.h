#pragma once
// What the log writer puts into a line: pure formatting into fixed storage (no allocation).
#include "common/log.h"

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace fsr2bridge {

// One line under construction; what does not fit is cut (the end marked with "...").
class LineBuffer {
public:
    static constexpr std::size_t capacity = 1024;

    void clear() noexcept { size_ = 0, truncated_ = false; }
    void append(std::string_view text) noexcept;
    void append(char c) noexcept;
    void appendUnsigned(std::uint64_t value, unsigned minimumDigits = 1) noexcept;
    void appendSigned(std::int64_t value) noexcept;
    void appendHex(std::uint64_t value) noexcept; // 0x followed by upper-case digits
    void appendDouble(double value) noexcept;     // shortest of %g with up to 9 significant digits
    // Text with line breaks and other control characters shown as spaces.
    void appendText(std::string_view text) noexcept;

    std::string_view view() const noexcept { return {data_, size_}; }
    bool truncated() const noexcept { return truncated_; }

private:
    char data_[capacity];
    std::size_t size_ = 0;
    bool truncated_ = false;
};

// The kind's text with its arguments; arguments missing show as "?".
void appendEvent(LineBuffer& line, const LogKind& kind, const std::uint64_t* args,
                 std::uint32_t count) noexcept;
// The kind's text with "..." in place of each argument, and how often it happened since the last summary.
void appendRepeatSummary(LineBuffer& line, const LogKind& kind, std::uint64_t more,
                         std::uint64_t total) noexcept;
// "YYYY-MM-DD hh:mm:ss.mmm [thread] "
void appendLinePrefix(LineBuffer& line, const SYSTEMTIME& time, std::uint32_t thread) noexcept;

// A timestamp (ticks at `frequency` per second) as wall-clock time, from one reading of both clocks.
struct ClockAnchor {
    std::int64_t counter;
    std::int64_t frequency;
    std::uint64_t fileTime; // 100 ns units since 1601 (UTC)
};
std::uint64_t fileTimeAt(const ClockAnchor& anchor, std::int64_t counter) noexcept;

// What the first lines of every log say.
struct StartFacts {
    std::string version;
    std::string commit;
    std::string module;  // the DLL's path
    std::string process; // the executable's path
    std::uint32_t processId = 0;
    std::uint32_t windowsMajor = 0, windowsMinor = 0, windowsBuild = 0;
    std::string wine;      // Wine's version when running under it
    std::string directory; // the working directory
};
std::vector<std::string> startLines(const StartFacts& facts);

} // namespace fsr2bridge
