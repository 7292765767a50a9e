// The log's line formatting with hostile text: the input as UTF-16 (code-unit pairs, as Windows hands over
// paths and message-box texts) through toUtf8 and logLine's formatting into one file line, and the input's
// bytes as UTF-8 text straight into a line. A line must be valid UTF-8 without control characters or line
// separators, no longer than the buffer, and end with exactly one line break.
#include <cstdio>
#include <string>

#include "check.h"
#include "common/log_format.h"

using namespace fsr2bridge;

namespace {

const std::uint8_t* input;
std::size_t inputSize;

// The line's text (without its line break) is well-formed UTF-8 with no character a line must not hold.
void checkLine(std::string_view line)
{
    require(line.size() >= 2 && line.substr(line.size() - 2) == "\r\n" &&
                line.size() <= LineBuffer::capacity + 2,
            "one line break at the end, within the buffer", input, inputSize);
    const auto* p = reinterpret_cast<const std::uint8_t*>(line.data());
    const std::size_t n = line.size() - 2;
    for (std::size_t i = 0; i < n;) {
        std::uint32_t c = p[i];
        std::size_t length = c < 0x80                 ? 1
                             : c >= 0xC2 && c <= 0xDF ? 2
                             : c >= 0xE0 && c <= 0xEF ? 3
                             : c >= 0xF0 && c <= 0xF4 ? 4
                                                      : 0;
        require(length != 0 && i + length <= n, "UTF-8 lead byte", input, inputSize);
        c &= 0xFF >> (length + (length > 1 ? 1 : 0));
        for (std::size_t k = 1; k < length; ++k) {
            require((p[i + k] & 0xC0) == 0x80, "UTF-8 continuation", input, inputSize);
            c = (c << 6) | (p[i + k] & 0x3F);
        }
        const std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
        require(c >= least[length] && c <= 0x10FFFF && !(c >= 0xD800 && c <= 0xDFFF), "UTF-8 character",
                input, inputSize);
        require(!(c < 0x20 || (c >= 0x7F && c < 0xA0) || c == 0x2028 || c == 0x2029), "no control character",
                input, inputSize);
        i += length;
    }
}

void line(std::string_view text)
{
    LineBuffer body, full;
    body.appendText(text);
    appendLogLine(full, SYSTEMTIME{2024, 5, 5, 3, 7, 8, 9, 12}, 4321, body.view());
    checkLine(full.view());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    input = data;
    inputSize = size;
    std::wstring wide;
    for (std::size_t i = 0; i + 1 < size; i += 2)
        wide += static_cast<wchar_t>(data[i] | (data[i + 1] << 8));
    const std::string utf8 = toUtf8(wide);
    // As logLine formats a message box's text.
    char text[LineBuffer::capacity];
    const int n =
        std::snprintf(text, sizeof text, "message box \"%s\": %s", "An error occured!", utf8.c_str());
    line(std::string_view(text, n < 0 ? 0 : static_cast<std::size_t>(n) < sizeof text ? n : sizeof text - 1));
    line(std::string_view(reinterpret_cast<const char*>(data), size));
    return 0;
}
