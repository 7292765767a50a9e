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
    appendWhole(&c, 1);
}

void LineBuffer::appendWhole(const char* bytes, std::size_t count) noexcept
{
    // The last three bytes stay free for the "..." that marks a cut line; nothing follows a cut.
    if (truncated_ || ended_)
        return;
    if (size_ + count + 3 <= capacity) {
        std::memcpy(data_ + size_, bytes, count);
        size_ += count;
    } else {
        truncated_ = true;
        std::memcpy(data_ + size_, "...", 3);
        size_ += 3;
    }
}

void LineBuffer::endLine() noexcept
{
    if (ended_)
        return;
    std::memcpy(data_ + size_, "\r\n", 2);
    size_ += 2;
    ended_ = true;
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

namespace {

// The length of the well-formed UTF-8 character at text[at] and its code point, or 0 when the bytes there are
// ill-formed; then `skip` is how many of them make up the ill-formed part (the longest start of a character).
std::size_t utf8Character(std::string_view text, std::size_t at, std::uint32_t& code,
                          std::size_t& skip) noexcept
{
    const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[at + i]); };
    const std::uint8_t lead = byte(0);
    skip = 1;
    if (lead < 0x80) {
        code = lead;
        return 1;
    }
    std::size_t length = 0;
    std::uint8_t low = 0x80, high = 0xBF; // the range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;  // no overlong forms
        high = lead == 0xED ? 0x9F : 0xBF; // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF; // nothing past U+10FFFF
    } else {
        return 0;
    }
    code = lead & (0xFF >> (length + 1));
    for (std::size_t i = 1; i < length; ++i) {
        if (at + i >= text.size())
            return 0;
        const std::uint8_t next = byte(i);
        if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF))
            return 0;
        code = (code << 6) | (next & 0x3F);
        skip = i + 1;
    }
    return length;
}

} // namespace

void LineBuffer::appendText(std::string_view text) noexcept
{
    static constexpr char replacement[] = "\xEF\xBF\xBD"; // U+FFFD
    for (std::size_t at = 0; at < text.size() && !truncated_;) {
        std::uint32_t code = 0;
        std::size_t skip = 1;
        const std::size_t length = utf8Character(text, at, code, skip);
        if (length == 0) {
            appendWhole(replacement, 3);
            at += skip;
            continue;
        }
        const bool control = code < 0x20 || (code >= 0x7F && code < 0xA0) || code == 0x2028 || code == 0x2029;
        if (control)
            append(' ');
        else
            appendWhole(text.data() + at, length);
        at += length;
    }
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

void appendLogLine(LineBuffer& line, const SYSTEMTIME& time, std::uint32_t thread,
                   std::string_view text) noexcept
{
    appendLinePrefix(line, time, thread);
    line.appendText(text);
    line.endLine();
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

std::string toUtf8(std::wstring_view text) noexcept
{
    // UTF-16 code units; a surrogate without its partner becomes U+FFFD, as Windows converts it.
    try {
        std::string out;
        out.reserve(text.size());
        for (std::size_t i = 0; i < text.size(); ++i) {
            std::uint32_t code = static_cast<std::uint32_t>(text[i]);
            if (code >= 0xD800 && code <= 0xDBFF && i + 1 < text.size()) {
                const auto low = static_cast<std::uint32_t>(text[i + 1]);
                if (low >= 0xDC00 && low <= 0xDFFF) {
                    code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                    ++i;
                }
            }
            if ((code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF)
                code = 0xFFFD;
            if (code < 0x80) {
                out += static_cast<char>(code);
            } else if (code < 0x800) {
                out += static_cast<char>(0xC0 | (code >> 6));
                out += static_cast<char>(0x80 | (code & 0x3F));
            } else if (code < 0x10000) {
                out += static_cast<char>(0xE0 | (code >> 12));
                out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
                out += static_cast<char>(0x80 | (code & 0x3F));
            } else {
                out += static_cast<char>(0xF0 | (code >> 18));
                out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
                out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
                out += static_cast<char>(0x80 | (code & 0x3F));
            }
        }
        return out;
    } catch (...) {
        return {};
    }
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
