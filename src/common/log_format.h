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

// One line under construction; what does not fit is cut (the end marked with "..."), and the line break
// always fits after it.
class LineBuffer {
public:
    static constexpr std::size_t capacity = 1024; // without the line break

    void clear() noexcept { size_ = 0, truncated_ = false, ended_ = false; }
    void append(std::string_view text) noexcept;
    void append(char c) noexcept;
    void appendUnsigned(std::uint64_t value, unsigned minimumDigits = 1) noexcept;
    void appendSigned(std::int64_t value) noexcept;
    void appendHex(std::uint64_t value) noexcept; // 0x followed by upper-case digits
    void appendDouble(double value) noexcept;     // shortest of %g with up to 9 significant digits
    // UTF-8 text, cut only between characters: control characters (C0, DEL, C1) and the Unicode line and
    // paragraph separators show as spaces, ill-formed bytes as U+FFFD.
    void appendText(std::string_view text) noexcept;
    // "\r\n", even behind a cut; nothing can be appended after it.
    void endLine() noexcept;

    std::string_view view() const noexcept { return {data_, size_}; }
    bool truncated() const noexcept { return truncated_; }

private:
    // Bytes that go in whole or not at all.
    void appendWhole(const char* bytes, std::size_t count) noexcept;

    char data_[capacity + 2];
    std::size_t size_ = 0;
    bool truncated_ = false;
    bool ended_ = false;
};

// The kind's text with its arguments; arguments missing show as "?".
void appendEvent(LineBuffer& line, const LogKind& kind, const std::uint64_t* args,
                 std::uint32_t count) noexcept;
// The kind's text with "..." in place of each argument, and how often it happened since the last summary.
void appendRepeatSummary(LineBuffer& line, const LogKind& kind, std::uint64_t more,
                         std::uint64_t total) noexcept;
// "YYYY-MM-DD hh:mm:ss.mmm [thread] "
void appendLinePrefix(LineBuffer& line, const SYSTEMTIME& time, std::uint32_t thread) noexcept;
// One whole line of the file: the prefix, the text (as appendText takes it) and the line break.
void appendLogLine(LineBuffer& line, const SYSTEMTIME& time, std::uint32_t thread,
                   std::string_view text) noexcept;

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
