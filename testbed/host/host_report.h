#pragma once
// What the stand-in game saw, printed as machine-readable "game: key=value"
// lines (and one "box:" line per caught message box).
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace hostgame {

class Report {
public:
    void set(const std::string& key, std::uint64_t value);
    void setHex(const std::string& key, std::uint32_t value);
    void setText(const std::string& key, const std::string& value);
    void addBox(const std::wstring& caption, const std::wstring& text);
    // Every entry in the order first set, then the boxes.
    std::string format() const;

private:
    void put(const std::string& key, std::string value);
    std::vector<std::pair<std::string, std::string>> entries_;
    std::vector<std::string> boxes_;
};

// Control characters become \n, \r, \t or \xNN; quotes and backslashes are
// escaped; other characters beyond ASCII become \uXXXX.
std::string escapeText(const std::wstring& text);

} // namespace hostgame
