// What the log writer makes of a record: arguments by type, hexadecimal of negative numbers, cut lines,
// the repeat summary, the line prefix and the clock conversion.
#include "common/log_format.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>

namespace fsr2bridge {
namespace {

enum class Small : std::uint8_t { seven = 7 };
enum class Negative : int { minusTwo = -2 };
enum class Named : int { minusOne = -1, two = 2 };
const char* logName(Named value) noexcept
{
    return value == Named::two ? "two" : nullptr;
}

static_assert(logdetail::placeholderCount("") == 0);
static_assert(logdetail::placeholderCount("a {} b {x} c") == 2);
static_assert(logdetail::placeholderCount("{}{}{}{}") == 4);
static_assert(logdetail::placeholderCount("{y}") == -1);
static_assert(logdetail::placeholderCount("a } b") == -1);
static_assert(logdetail::placeholderCount("open {") == -1);
static_assert(logdetail::placeholderCount("{} ({n}) {x}") == 2);
static_assert(logdetail::placeholderCount("{n} {}") == -1);

constexpr LogEvent<std::uint32_t> unsignedKind{"n={}"};
constexpr LogEvent<std::int32_t> signedKind{"n={}"};
constexpr LogEvent<std::int32_t> signedHexKind{"n={x}"};
constexpr LogEvent<long> hresultKind{"failed with {x}"};
constexpr LogEvent<std::int64_t, std::int64_t> wideKind{"{} {x}"};
constexpr LogEvent<std::uint64_t, std::uint64_t> maxKind{"{} {x}"};
constexpr LogEvent<bool, bool> boolKind{"{} {}"};
constexpr LogEvent<float, double> floatKind{"{} {}"};
constexpr LogEvent<const void*> pointerKind{"at {}"};
constexpr LogEvent<Small, Negative> enumKind{"{} {}"};
constexpr LogEvent<std::uint16_t> shortHexKind{"{x}"};
constexpr LogEvent<> plainKind{"no arguments"};
constexpr LogEvent<LogSize, LogSize> sizeKind{"render {} for {}"};
constexpr LogEvent<Named, Small> namedKind{"{} ({n}), {} ({n})"};
constexpr LogEvent<std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t> fourKind{"{}x{} -> {}x{}"};

struct EventCase {
    const char* name;
    const LogKind& kind;
    std::uint64_t args[maxLogArgs];
    std::uint32_t count;
    const char* expected;
};

template <class T> std::uint64_t arg(T value)
{
    return logdetail::encodeArg(value);
}

TEST(LogFormat, ArgumentsShowAsTheirTypeSays)
{
    const EventCase cases[] = {
        {"unsigned", unsignedKind, {arg(42u)}, 1, "n=42"},
        {"signed", signedKind, {arg(-5)}, 1, "n=-5"},
        {"signed in hex keeps its width", signedHexKind, {arg(-1)}, 1, "n=0xFFFFFFFF"},
        {"an HRESULT", hresultKind, {arg(static_cast<long>(0x8000FFFFu))}, 1, "failed with 0x8000FFFF"},
        {"most negative 64-bit",
         wideKind,
         {arg(INT64_MIN), arg(INT64_MIN)},
         2,
         "-9223372036854775808 0x8000000000000000"},
        {"largest 64-bit",
         maxKind,
         {arg(UINT64_MAX), arg(UINT64_MAX)},
         2,
         "18446744073709551615 0xFFFFFFFFFFFFFFFF"},
        {"zero in hex", shortHexKind, {arg(std::uint16_t{0})}, 1, "0x0"},
        {"bool", boolKind, {arg(true), arg(false)}, 2, "true false"},
        {"floating point", floatKind, {arg(0.5f), arg(-1.25e10)}, 2, "0.5 -1.25e+10"},
        {"pointer", pointerKind, {arg(reinterpret_cast<const void*>(0x1234ABCD))}, 1, "at 0x1234ABCD"},
        {"null pointer", pointerKind, {arg(static_cast<const void*>(nullptr))}, 1, "at 0x0"},
        {"enumerations by their numbers", enumKind, {arg(Small::seven), arg(Negative::minusTwo)}, 2, "7 -2"},
        {"no arguments", plainKind, {}, 0, "no arguments"},
        {"sizes",
         sizeKind,
         {arg(LogSize{64, 64}), arg(LogSize{3840, 2160})},
         2,
         "render 64x64 for 3840x2160"},
        {"names of enumerations that have them",
         namedKind,
         {arg(Named::two), arg(Small::seven)},
         2,
         "2 (two), 7 (?)"},
        {"a value without a name", namedKind, {arg(Named::minusOne), arg(Small::seven)}, 2, "-1 (?), 7 (?)"},
        {"four arguments", fourKind, {1280, 720, 2560, 1440}, 4, "1280x720 -> 2560x1440"},
        {"missing arguments", fourKind, {1280, 720}, 2, "1280x720 -> ?x?"},
    };
    for (const EventCase& c : cases) {
        SCOPED_TRACE(c.name);
        LineBuffer line;
        appendEvent(line, c.kind, c.args, c.count);
        EXPECT_EQ(line.view(), c.expected);
    }
}

TEST(LogFormat, TheRepeatSummaryHidesTheArgumentsAndCounts)
{
    static LogError<long, Named> failure{"slSetTag failed with {x} ({n}) on viewport {}"};
    struct Case {
        std::uint64_t more, total;
        const char* expected;
    };
    const Case cases[] = {
        {1, 2, "slSetTag failed with ... (...) on viewport ... (again 1 time, 2 in all)"},
        {999, 1000, "slSetTag failed with ... (...) on viewport ... (again 999 times, 1000 in all)"},
    };
    for (const Case& c : cases) {
        LineBuffer line;
        appendRepeatSummary(line, failure, c.more, c.total);
        EXPECT_EQ(line.view(), c.expected);
    }
}

TEST(LogFormat, LinesAreCutAndKeptOnOneLine)
{
    struct Case {
        const char* name;
        std::string text;
        std::string expected;
    };
    const std::string longText(3000, 'a');
    const Case cases[] = {
        {"short", "plain text", "plain text"},
        {"line breaks and tabs become spaces", "one\r\ntwo\tthree", "one  two three"},
        {"UTF-8 stays as it is", "Z:\\spiele\\\xC3\xBC\xE2\x9C\x93", "Z:\\spiele\\\xC3\xBC\xE2\x9C\x93"},
        {"too long: cut and marked", longText, std::string(LineBuffer::capacity - 3, 'a') + "..."},
        {"a character is never cut", std::string(1020, 'x') + "\xE2\x9C\x93" + longText,
         std::string(1020, 'x') + "..."},
        {"ill-formed UTF-8 shows as U+FFFD", "a\xC3(\xED\xA0\x80\xFF",
         "a\xEF\xBF\xBD(\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"C1 controls and line separators become spaces",
         "a\xC2\x85"
         "b\xE2\x80\xA8"
         "c",
         "a b c"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LineBuffer line;
        line.appendText(c.text);
        EXPECT_EQ(line.view(), c.expected);
        EXPECT_LE(line.view().size(), LineBuffer::capacity);
        EXPECT_EQ(line.truncated(), c.text.size() > LineBuffer::capacity - 3);
    }
}

TEST(LogFormat, LinePrefixHasDateTimeAndThread)
{
    SYSTEMTIME time{};
    time.wYear = 2024;
    time.wMonth = 5;
    time.wDay = 3;
    time.wHour = 7;
    time.wMinute = 8;
    time.wSecond = 9;
    time.wMilliseconds = 12;
    LineBuffer line;
    appendLinePrefix(line, time, 4321);
    EXPECT_EQ(line.view(), "2024-05-03 07:08:09.012 [4321] ");
}

TEST(LogFormat, CounterReadingsBecomeWallClockTime)
{
    struct Case {
        const char* name;
        ClockAnchor anchor;
        std::int64_t counter;
        std::uint64_t expected;
    };
    const std::uint64_t base = 133'000'000'000'000'000ull;
    const Case cases[] = {
        {"at the anchor", {1000, 10'000'000, base}, 1000, base},
        {"one second later", {1000, 10'000'000, base}, 10'001'000, base + 10'000'000},
        {"before the anchor (logged before the start)", {1000, 10'000'000, base}, 500, base - 500},
        {"odd frequency", {0, 3'579'545, base}, 3'579'545 * 2 + 1'789'772, base + 24'999'998},
        {"a month at 10 MHz does not overflow",
         {0, 10'000'000, base},
         10'000'000ll * 86400 * 30,
         base + 10'000'000ull * 86400 * 30},
        {"no frequency", {0, 0, base}, 12345, base},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(fileTimeAt(c.anchor, c.counter), c.expected);
    }
}

TEST(LogFormat, StartLinesNameVersionProcessWindowsAndFolder)
{
    StartFacts facts;
    facts.version = "0.1.0";
    facts.commit = "0123456789ab";
    facts.module = "C:\\game\\fsr2bridge.dll";
    facts.process = "C:\\game\\game.exe";
    facts.processId = 77;
    facts.windowsMajor = 10;
    facts.windowsMinor = 0;
    facts.windowsBuild = 19045;
    facts.directory = "C:\\game";
    const std::vector<std::string> expected = {
        "fsr2bridge 0.1.0 (commit 0123456789ab) C:\\game\\fsr2bridge.dll",
        "process C:\\game\\game.exe (pid 77)",
        "Windows 10.0 build 19045",
        "working directory C:\\game",
    };
    EXPECT_EQ(startLines(facts), expected);
    facts.wine = "8.0";
    EXPECT_EQ(startLines(facts)[2], "Windows 10.0 build 19045 (Wine 8.0)");
}

} // namespace
} // namespace fsr2bridge
