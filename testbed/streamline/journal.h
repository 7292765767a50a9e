#pragma once
// Reads the stand-in Streamline's journal (format in docs/testing.md): one entry
// per line, "<entry> key=value ...", values %XX-escaped.
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace fsr2bridge::standin {

struct JournalEntry {
    std::string name;
    std::map<std::string, std::string> fields;

    bool has(const std::string& key) const { return fields.count(key) != 0; }
    // The value, or "" when the key is absent.
    std::string text(const std::string& key) const
    {
        auto it = fields.find(key);
        return it == fields.end() ? std::string() : it->second;
    }
    // Decimal, negative or 0x hex; `fallback` when absent or not a number.
    std::int64_t integer(const std::string& key, std::int64_t fallback = -1) const
    {
        auto it = fields.find(key);
        if (it == fields.end() || it->second.empty())
            return fallback;
        const char* s = it->second.c_str();
        char* end = nullptr;
        std::int64_t v = 0;
        if (s[0] == '-') {
            v = std::strtoll(s, &end, 0);
        } else {
            v = static_cast<std::int64_t>(std::strtoull(s, &end, 0));
        }
        return (end && *end == '\0') ? v : fallback;
    }
    double number(const std::string& key, double fallback = 0.0) const
    {
        auto it = fields.find(key);
        if (it == fields.end())
            return fallback;
        char* end = nullptr;
        double v = std::strtod(it->second.c_str(), &end);
        return (end && *end == '\0') ? v : fallback;
    }
    // A comma-separated list of numbers (matrices, vectors, extents).
    std::vector<double> numbers(const std::string& key) const
    {
        std::vector<double> out;
        auto it = fields.find(key);
        if (it == fields.end() || it->second.empty())
            return out;
        const char* s = it->second.c_str();
        while (*s) {
            char* end = nullptr;
            out.push_back(std::strtod(s, &end));
            if (end == s)
                break;
            s = end;
            if (*s == ',')
                ++s;
        }
        return out;
    }
};

inline std::string unescapeJournalValue(std::string_view v)
{
    std::string out;
    out.reserve(v.size());
    for (std::size_t i = 0; i < v.size(); ++i) {
        if (v[i] == '%' && i + 2 < v.size()) {
            auto hex = [](char c) -> int {
                if (c >= '0' && c <= '9')
                    return c - '0';
                if (c >= 'A' && c <= 'F')
                    return c - 'A' + 10;
                if (c >= 'a' && c <= 'f')
                    return c - 'a' + 10;
                return -1;
            };
            int hi = hex(v[i + 1]), lo = hex(v[i + 2]);
            if (hi >= 0 && lo >= 0) {
                out.push_back(static_cast<char>(hi * 16 + lo));
                i += 2;
                continue;
            }
        }
        out.push_back(v[i]);
    }
    return out;
}

inline JournalEntry parseJournalLine(std::string_view line)
{
    JournalEntry e;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.remove_suffix(1);
    std::size_t pos = 0;
    bool first = true;
    while (pos < line.size()) {
        std::size_t end = line.find(' ', pos);
        if (end == std::string_view::npos)
            end = line.size();
        std::string_view word = line.substr(pos, end - pos);
        if (!word.empty()) {
            if (first) {
                e.name = std::string(word);
                first = false;
            } else {
                std::size_t eq = word.find('=');
                if (eq == std::string_view::npos) {
                    e.fields[std::string(word)] = std::string();
                } else {
                    e.fields[std::string(word.substr(0, eq))] = unescapeJournalValue(word.substr(eq + 1));
                }
            }
        }
        pos = end + 1;
    }
    return e;
}

// Every line of the journal, in file order; empty when the file is missing.
inline std::vector<JournalEntry> readJournal(const std::string& path)
{
    std::vector<JournalEntry> out;
    std::ifstream in(path, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line != "\r")
            out.push_back(parseJournalLine(line));
    }
    return out;
}

inline std::vector<JournalEntry> entriesNamed(const std::vector<JournalEntry>& journal, std::string_view name)
{
    std::vector<JournalEntry> out;
    for (const auto& e : journal)
        if (e.name == name)
            out.push_back(e);
    return out;
}

// How often each value of `key` occurs among the entries named `name`
// (markers by kind, evaluations by feature, ...). Entries without the key count under "".
inline std::map<std::string, std::size_t> tally(const std::vector<JournalEntry>& journal,
                                                std::string_view name, const std::string& key)
{
    std::map<std::string, std::size_t> counts;
    for (const auto& e : journal)
        if (e.name == name)
            ++counts[e.text(key)];
    return counts;
}

} // namespace fsr2bridge::standin
