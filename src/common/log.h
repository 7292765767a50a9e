#pragma once
// The log: fsr2bridge.log in the game's working directory, one timestamped UTF-8 line per event.
//
//   logEvent(kind, args...)  any thread, per-frame paths too: one fixed-size record into a preallocated ring
//                            (no formatting, no allocation, no lock, no file call)
//   logError(kind, args...)  the same for errors that may repeat every frame: the first occurrence is logged
//                            in full, later ones only counted; the writer sums them up now and then
//   logLine(format, ...)     off the per-frame paths only (start-up, attachment, context creation):
//   printf-style
//                            text, formatted on the calling thread (allocates, takes a lock)
//
// Kinds are declared once, at namespace scope, next to the code that logs them:
//
//   inline constexpr LogEvent<std::uint32_t, HRESULT> presentRefused{"present {} refused with {x}"};
//   LogError<HRESULT> slSetTagFailed{"slSetTag failed with {x}"};   // not const: it counts
//
// A kind's text holds one placeholder per argument, in order: {} shows the argument as its type says
// (decimal, true/false, a float, a pointer in hex, a LogSize as WxH), {x} in hexadecimal. {n} takes no
// argument: it names the one before it, for an enumeration with a logName(value) found by argument-dependent
// lookup ("15 ({n})" gives "15 (eErrorNGXFailed)"), and shows "?" for others. The count is checked when
// compiling. Arguments are integers, enumerations, bool, floating point, pointers or LogSize (at most four).
//
// One writer thread, started with the log, formats and writes; records made before the start wait in the
// ring. A full ring drops records (the writer says how many), but never the first report of a counted
// error. A log that cannot be written is silently skipped. The log of another running copy of the game in
// the same folder is left alone: this one is then written as fsr2bridge.<process id>.log.
#include <atomic>
#include <bit>
#include <concepts>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>

namespace fsr2bridge {

inline constexpr std::uint32_t maxLogArgs = 4;

// How the writer shows one argument for "{}".
enum class LogArgType : std::uint8_t { unsignedInteger, signedInteger, boolean, floating, pointer, size };

// Two extents shown as WxH (a render or output size): one argument.
struct LogSize {
    std::uint32_t width, height;
};

// The name of an enumeration's value (a static string; null when it has none), for {n}.
using LogNamer = const char* (*)(std::uint64_t encoded) noexcept;

struct LogKind {
    const char* format;
    bool counted; // a LogError: first occurrence in full, later ones counted
    std::uint8_t argCount;
    LogArgType types[maxLogArgs];
    std::uint8_t sizes[maxLogArgs];   // bytes of each argument's type, for {x} of negative numbers
    LogNamer namers[maxLogArgs] = {}; // for {n}: null for types without names
};

namespace logdetail {

template <class T> constexpr LogArgType argType()
{
    using U = std::remove_cvref_t<T>;
    if constexpr (std::is_same_v<U, LogSize>)
        return LogArgType::size;
    else if constexpr (std::is_same_v<U, bool>)
        return LogArgType::boolean;
    else if constexpr (std::is_enum_v<U>)
        return argType<std::underlying_type_t<U>>();
    else if constexpr (std::is_floating_point_v<U>)
        return LogArgType::floating;
    else if constexpr (std::is_pointer_v<U>)
        return LogArgType::pointer;
    else if constexpr (std::is_integral_v<U>)
        return std::is_signed_v<U> ? LogArgType::signedInteger : LogArgType::unsignedInteger;
    else
        static_assert(std::is_void_v<U>,
                      "a log argument is an integer, enumeration, bool, float, pointer or LogSize");
}

template <class T> std::uint64_t encodeArg(T value) noexcept
{
    using U = std::remove_cvref_t<T>;
    if constexpr (std::is_same_v<U, LogSize>)
        return (std::uint64_t{value.width} << 32) | value.height;
    else if constexpr (std::is_same_v<U, bool>)
        return value ? 1 : 0;
    else if constexpr (std::is_enum_v<U>)
        return encodeArg(static_cast<std::underlying_type_t<U>>(value));
    else if constexpr (std::is_floating_point_v<U>)
        return std::bit_cast<std::uint64_t>(static_cast<double>(value));
    else if constexpr (std::is_pointer_v<U>)
        return reinterpret_cast<std::uintptr_t>(value);
    else if constexpr (std::is_signed_v<U>)
        return static_cast<std::uint64_t>(static_cast<std::int64_t>(value));
    else
        return static_cast<std::uint64_t>(value);
}

// An enumeration with a logName(value) found by argument-dependent lookup.
template <class T>
concept NamedLogArg = std::is_enum_v<T> && requires(T value)
{
    {
        logName(value)
        } -> std::convertible_to<const char*>;
};

template <class T> constexpr LogNamer namerOf()
{
    using U = std::remove_cvref_t<T>;
    if constexpr (NamedLogArg<U>)
        return [](std::uint64_t encoded) noexcept -> const char* {
            return logName(static_cast<U>(static_cast<std::underlying_type_t<U>>(encoded)));
        };
    else
        return nullptr;
}

// Placeholders in a kind's text that take an argument; -1 when a brace is not part of "{}", "{x}" or "{n}",
// or a "{n}" has no argument before it.
consteval int placeholderCount(const char* format)
{
    int count = 0;
    for (const char* c = format; *c; ++c) {
        if (*c == '}')
            return -1;
        if (*c != '{')
            continue;
        if (c[1] == 'n' && c[2] == '}') {
            if (count == 0)
                return -1;
            c += 2;
            continue;
        }
        if (c[1] == '}') {
            ++c;
        } else if (c[1] == 'x' && c[2] == '}') {
            c += 2;
        } else {
            return -1;
        }
        ++count;
    }
    return count;
}

template <class... Args> consteval LogKind makeKind(const char* format, bool counted)
{
    static_assert(sizeof...(Args) <= maxLogArgs, "at most four log arguments");
    if (placeholderCount(format) != static_cast<int>(sizeof...(Args)))
        throw "the text needs one {} or {x} per argument";
    return LogKind{format,
                   counted,
                   static_cast<std::uint8_t>(sizeof...(Args)),
                   {argType<Args>()...},
                   {static_cast<std::uint8_t>(sizeof(std::remove_cvref_t<Args>))...},
                   {namerOf<Args>()...}};
}

} // namespace logdetail

// An event kind with typed arguments; declare it constexpr.
template <class... Args> struct LogEvent : LogKind {
    consteval LogEvent(const char* format) : LogKind(logdetail::makeKind<Args...>(format, false)) {}
};

// An error kind: the first occurrence is logged in full, later ones only counted. Declare it as a plain
// (non-const) variable with static storage; it belongs to the log it is first used with.
struct LogErrorKind : LogKind {
    constexpr explicit LogErrorKind(const LogKind& kind) : LogKind(kind) {}
    std::atomic<std::uint64_t> occurrences{0};
    // The first occurrence when the ring had no room for it: the writer takes it from here, so that it
    // and the summary of its repeats are never lost.
    std::uint64_t firstArgs[maxLogArgs] = {};
    std::uint32_t firstArgCount = 0;
    std::uint32_t firstThread = 0;
    std::int64_t firstTime = 0;
    LogErrorKind* nextKept = nullptr;
};

template <class... Args> struct LogError : LogErrorKind {
    consteval LogError(const char* format) : LogErrorKind(logdetail::makeKind<Args...>(format, true)) {}
};

// Sizes and intervals of one log. The defaults are the game's.
struct LogOptions {
    std::uint32_t ringCapacity = 1024;               // records (a power of two)
    std::uint64_t byteLimit = 64 * 1024;             // bytes per start, the closing line included
    std::uint32_t pollMilliseconds = 50;             // the writer looks for records this often
    std::uint32_t repeatSummaryMilliseconds = 10000; // counted errors are summed up this often
};

class LogWriter;

// One log file with its ring and writer thread. The game has one (processLog()); tests make their own.
class Logger {
public:
    explicit Logger(const LogOptions& options = {});
    ~Logger(); // stops the writer; the process log is never destroyed
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    // Starts the writer thread, which keeps <directory>\fsr2bridge.log as fsr2bridge.previous.log, opens a
    // new one and writes the start-up lines. Returns at once (safe under the loader lock); false when the
    // thread could not be made or the log was started before.
    bool start(const std::wstring& directory) noexcept;
    // Writes what is pending and ends the writer; later records are refused. For tests.
    void stop() noexcept;
    // Instead of start: opens the log as start does, writes what was logged so far on the calling thread
    // and closes it again; later records are refused. For a module that is about to be unloaded, which may
    // leave no thread behind (safe under the loader lock). False when the log could not be written or was
    // started before.
    bool writeNow(const std::wstring& directory) noexcept;
    // Waits until all logged before the call is written and counted errors are summed up. False on
    // timeout, before start, and when the log could not be opened. Off the per-frame paths only.
    bool flush(std::uint32_t timeoutMilliseconds) noexcept;

    // One record; false when it was refused or dropped. Per-frame safe.
    bool record(const LogKind& kind, const std::uint64_t* args, std::uint32_t count) noexcept;
    // Counts an error occurrence; the first is recorded. Per-frame safe.
    void error(LogErrorKind& kind, const std::uint64_t* args, std::uint32_t count) noexcept;
    // One line of UTF-8 text (line breaks become spaces). Off the per-frame paths only.
    void text(std::string_view utf8) noexcept;

    // Records are taken (started or not yet started; false once the file failed, the limit was reached or
    // after stop).
    bool accepting() const noexcept;
    // Records lost to a full ring so far.
    std::uint64_t droppedRecords() const noexcept;

private:
    std::unique_ptr<LogWriter> writer_;
};

// The game's log; records before startLog wait in its ring.
Logger& processLog() noexcept;

// Starts the game's log in `directory` (the current directory when empty). Called from DllMain.
bool startLog(const std::wstring& directory = {}) noexcept;
// Writes the game's log at once, in the current directory, without a thread (Logger::writeNow): for an
// attach that fails.
bool writeLogNow() noexcept;

template <class... Args>
inline void logEvent(const LogEvent<Args...>& kind, std::type_identity_t<Args>... args) noexcept
{
    const std::uint64_t encoded[sizeof...(Args) + 1] = {logdetail::encodeArg<Args>(args)..., 0};
    processLog().record(kind, encoded, sizeof...(Args));
}

template <class... Args>
inline void logError(LogError<Args...>& kind, std::type_identity_t<Args>... args) noexcept
{
    const std::uint64_t encoded[sizeof...(Args) + 1] = {logdetail::encodeArg<Args>(args)..., 0};
    processLog().error(kind, encoded, sizeof...(Args));
}

// A formatted line (printf rules) off the per-frame paths; %s takes UTF-8 (see toUtf8).
void logLine(const char* format, ...) noexcept
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
void logText(std::string_view utf8) noexcept;
// Waits (at most `timeoutMilliseconds`) until the game's log has written everything logged so far: for
// a line that must reach the file before the game may quit.
bool flushLog(std::uint32_t timeoutMilliseconds = 500) noexcept;

// UTF-16 (paths, Windows texts) to UTF-8, a lone surrogate as U+FFFD; empty when memory runs out.
std::string toUtf8(std::wstring_view text) noexcept;

} // namespace fsr2bridge
