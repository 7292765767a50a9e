#include "common/log_format.h"

#include <cstdio>
#include <cstring>

namespace fsr2bridge {

void LineBuffer::append(std::string_view text) noexcept
{
    for (char c : text)
        append(c);
}

void LineBuffer::append(char c) noexcept
{
    // The last three bytes stay free for the "..." that marks a cut line.
    if (size_ + 3 < capacity) {
        data_[size_++] = c;
    } else if (!truncated_) {
        truncated_ = true;
        std::memcpy(data_ + size_, "...", 3);
        size_ += 3;
    }
}

void LineBuffer::appendUnsigned(std::uint64_t value, unsigned minimumDigits) noexcept
{
    char digits[20];
    unsigned n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0 && n < sizeof digits);
    while (n < minimumDigits && n < sizeof digits)
        digits[n++] = '0';
    while (n > 0)
        append(digits[--n]);
}

void LineBuffer::appendSigned(std::int64_t value) noexcept
{
    if (value < 0) {
        append('-');
        // Through unsigned arithmetic so that the most negative value negates too.
        appendUnsigned(0 - static_cast<std::uint64_t>(value));
    } else {
        appendUnsigned(static_cast<std::uint64_t>(value));
    }
}

void LineBuffer::appendHex(std::uint64_t value) noexcept
{
    static constexpr char hexDigits[] = "0123456789ABCDEF";
    append("0x");
    int shift = 60;
    while (shift > 0 && ((value >> shift) & 0xF) == 0)
        shift -= 4;
    for (; shift >= 0; shift -= 4)
        append(hexDigits[(value >> shift) & 0xF]);
}

void LineBuffer::appendDouble(double value) noexcept
{
    char text[40];
    const int n = std::snprintf(text, sizeof text, "%.9g", value);
    if (n > 0)
        append(std::string_view(text, static_cast<std::size_t>(n) < sizeof text ? n : sizeof text - 1));
}

void LineBuffer::appendText(std::string_view text) noexcept
{
    for (char c : text)
        append(static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? ' ' : c);
}

namespace {

void appendArgument(LineBuffer& line, LogArgType type, std::uint8_t size, bool hex,
                    std::uint64_t value) noexcept
{
    if (hex || type == LogArgType::pointer) {
        // A negative number in hexadecimal shows as its own width (0x8000FFFF for an HRESULT).
        if (size > 0 && size < 8)
            value &= (std::uint64_t{1} << (size * 8)) - 1;
        line.appendHex(value);
        return;
    }
    switch (type) {
    case LogArgType::size:
        line.appendUnsigned(value >> 32);
        line.append('x');
        line.appendUnsigned(value & 0xFFFFFFFF);
        break;
    case LogArgType::unsignedInteger:
        line.appendUnsigned(value);
        break;
    case LogArgType::signedInteger:
        line.appendSigned(static_cast<std::int64_t>(value));
        break;
    case LogArgType::boolean:
        line.append(value ? "true" : "false");
        break;
    case LogArgType::floating: {
        double d;
        std::memcpy(&d, &value, sizeof d);
        line.appendDouble(d);
        break;
    }
    case LogArgType::pointer:
        break;
    }
}

// Walks the kind's text; `argument(index, hex)` writes placeholder `index`, `name(index)` the name of
// argument `index` ({n}, after it).
template <class Placeholder, class Name>
void appendFormat(LineBuffer& line, const char* format, Placeholder argument, Name name) noexcept
{
    std::uint32_t index = 0;
    for (const char* c = format; *c; ++c) {
        if (*c == '{' && c[1] == 'n' && c[2] == '}') {
            name(index - 1);
            c += 2;
        } else if (*c == '{' && c[1] == '}') {
            argument(index++, false);
            ++c;
        } else if (*c == '{' && c[1] == 'x' && c[2] == '}') {
            argument(index++, true);
            c += 2;
        } else {
            line.append(*c);
        }
    }
}

} // namespace

void appendEvent(LineBuffer& line, const LogKind& kind, const std::uint64_t* args,
                 std::uint32_t count) noexcept
{
    if (!kind.format)
        return;
    const auto present = [&](std::uint32_t index) { return index < count && index < kind.argCount && args; };
    appendFormat(
        line, kind.format,
        [&](std::uint32_t index, bool hex) {
            if (present(index))
                appendArgument(line, kind.types[index], kind.sizes[index], hex, args[index]);
            else
                line.append('?');
        },
        [&](std::uint32_t index) {
            const char* name =
                present(index) && kind.namers[index] ? kind.namers[index](args[index]) : nullptr;
            line.append(name ? std::string_view(name) : std::string_view("?"));
        });
}

void appendRepeatSummary(LineBuffer& line, const LogKind& kind, std::uint64_t more,
                         std::uint64_t total) noexcept
{
    if (kind.format)
        appendFormat(
            line, kind.format, [&](std::uint32_t, bool) { line.append("..."); },
            [&](std::uint32_t) { line.append("..."); });
    line.append(" (again ");
    line.appendUnsigned(more);
    line.append(more == 1 ? " time, " : " times, ");
    line.appendUnsigned(total);
    line.append(" in all)");
}

void appendLinePrefix(LineBuffer& line, const SYSTEMTIME& time, std::uint32_t thread) noexcept
{
    line.appendUnsigned(time.wYear, 4);
    line.append('-');
    line.appendUnsigned(time.wMonth, 2);
    line.append('-');
    line.appendUnsigned(time.wDay, 2);
    line.append(' ');
    line.appendUnsigned(time.wHour, 2);
    line.append(':');
    line.appendUnsigned(time.wMinute, 2);
    line.append(':');
    line.appendUnsigned(time.wSecond, 2);
    line.append('.');
    line.appendUnsigned(time.wMilliseconds, 3);
    line.append(" [");
    line.appendUnsigned(thread);
    line.append("] ");
}

std::uint64_t fileTimeAt(const ClockAnchor& anchor, std::int64_t counter) noexcept
{
    if (anchor.frequency <= 0)
        return anchor.fileTime;
    // Whole seconds and the rest apart, so that long runs do not overflow.
    const std::int64_t delta = counter - anchor.counter;
    const std::int64_t seconds = delta / anchor.frequency;
    const std::int64_t rest = delta % anchor.frequency;
    const std::int64_t units = seconds * 10'000'000 + rest * 10'000'000 / anchor.frequency;
    if (units < 0 && static_cast<std::uint64_t>(-units) > anchor.fileTime)
        return 0;
    return anchor.fileTime + static_cast<std::uint64_t>(units);
}

std::vector<std::string> startLines(const StartFacts& facts)
{
    std::vector<std::string> lines;
    lines.push_back("fsr2bridge " + facts.version + " (commit " + facts.commit + ") " + facts.module);
    lines.push_back("process " + facts.process + " (pid " + std::to_string(facts.processId) + ")");
    std::string windows = "Windows " + std::to_string(facts.windowsMajor) + "." +
                          std::to_string(facts.windowsMinor) + " build " + std::to_string(facts.windowsBuild);
    if (!facts.wine.empty())
        windows += " (Wine " + facts.wine + ")";
    lines.push_back(windows);
    lines.push_back("working directory " + facts.directory);
    return lines;
}

} // namespace fsr2bridge
