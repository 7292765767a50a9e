#include "testbed/host/host_report.h"

#include <cstdio>

namespace hostgame {

void Report::put(const std::string& key, std::string value)
{
    for (auto& entry : entries_) {
        if (entry.first == key) {
            entry.second = std::move(value);
            return;
        }
    }
    entries_.emplace_back(key, std::move(value));
}

void Report::set(const std::string& key, std::uint64_t value)
{
    put(key, std::to_string(value));
}

void Report::setHex(const std::string& key, std::uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
    put(key, text);
}

void Report::setText(const std::string& key, const std::string& value)
{
    put(key, value);
}

void Report::addBox(const std::wstring& caption, const std::wstring& text)
{
    boxes_.push_back("box: caption=\"" + escapeText(caption) + "\" text=\"" + escapeText(text) + "\"");
}

std::string Report::format() const
{
    std::string out;
    for (const auto& entry : entries_)
        out += "game: " + entry.first + "=" + entry.second + "\n";
    for (const auto& box : boxes_)
        out += box + "\n";
    return out;
}

std::string escapeText(const std::wstring& text)
{
    std::string out;
    for (wchar_t c : text) {
        char buffer[8];
        if (c == L'\n') {
            out += "\\n";
        } else if (c == L'\r') {
            out += "\\r";
        } else if (c == L'\t') {
            out += "\\t";
        } else if (c == L'"' || c == L'\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            std::snprintf(buffer, sizeof buffer, "\\x%02X", static_cast<unsigned>(c));
            out += buffer;
        } else if (c > 0x7E) {
            std::snprintf(buffer, sizeof buffer, "\\u%04X", static_cast<unsigned>(c));
            out += buffer;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

} // namespace hostgame
