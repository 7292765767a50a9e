#pragma once
// The settings store: one record of nine settings, read from and written to
// config.json. Readers take a snapshot (a copy made under the store's lock).
#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <mutex>
#include <string>

namespace fsr2bridge {

// The numbers are those Streamline expects (sl::DLSSMode, sl::ReflexMode,
// sl::DLSSPreset); the enumerator names are the names written in config.json.
enum class DlssMode : std::uint32_t {
    MaxPerformance = 1,
    Balanced = 2,
    MaxQuality = 3,
    UltraPerformance = 4,
    DLAA = 6
};
enum class ReflexMode : std::uint32_t { LowLatency = 1, LowLatencyWithBoost = 2 };
enum class DlssPreset : std::uint32_t { Default = 0, A = 1, B = 2, C = 3, D = 4, E = 5, F = 6, G = 7 };

inline constexpr std::uint32_t currentSettingsVersion = 4;

struct Settings {
    std::uint32_t version = currentSettingsVersion; // format version that was loaded
    bool enabled = true;
    bool enableReflexSleep = true;
    bool enableFrameGeneration = true;
    DlssMode dlssMode = DlssMode::MaxPerformance;
    ReflexMode reflexMode = ReflexMode::LowLatencyWithBoost;
    std::uint32_t reflexFpsCap = 0; // 0 = no cap
    bool enableNisSharpening = true;
    DlssPreset dlssPreset = DlssPreset::Default;

    friend bool operator==(const Settings&, const Settings&) = default;
};

// What loading config.json found and did.
enum class SettingsFileState : std::uint8_t {
    read,       // read as it was, not rewritten
    created,    // absent or unreadable: written with the defaults
    upgraded,   // an older format version: brought up to date and rewritten
    repaired,   // damaged: the values read before the damage kept, the rest defaults, rewritten
    unreadable, // there, but it could not be opened: the defaults, and the file is never written
};

struct SettingsLoadOutcome {
    SettingsFileState state = SettingsFileState::read;
    std::uint32_t fromVersion = 0; // upgraded: the version the file had
    std::string why;               // created, repaired, unreadable: what was wrong with the file
};

// Construction reads, upgrades or repairs the file and never fails; save
// replaces the file in one step (keeping its attributes), writes it in place
// when no temporary file can be made beside it, leaves a read-only or locked
// file alone and fails silently. A file that is there but cannot be opened
// (after a brief wait for a lock to go) is never written: the store runs with
// the defaults. Neither throws.
class Config {
public:
    explicit Config(std::wstring path);
    Config(const Config&) = delete;
    Config& operator=(const Config&) = delete;

    Settings snapshot() const;
    void replace(const Settings& settings);
    // Logs where it saved, or why it could not.
    void save();
    const SettingsLoadOutcome& loadOutcome() const noexcept { return outcome_; }

private:
    void load();

    const std::wstring path_;
    Settings settings_;
    mutable std::mutex lock_;
    SettingsLoadOutcome outcome_;
};

// For the log: every setting as name=value ("enabled=true dlssMode=MaxPerformance ..."), enumerations by
// their names (a number without a name as the number), and what loading did with the file.
std::string settingsSummary(const Settings& record);
std::string describeSettingsLoad(const SettingsLoadOutcome& outcome);

// Enumeration names. A value without a name is written as the table's first
// name; a JSON value matching no name (any non-string included) reads as the
// table's first number. Neither direction fails.
void to_json(nlohmann::json& j, const DlssMode& value);
void from_json(const nlohmann::json& j, DlssMode& value);
void to_json(nlohmann::json& j, const ReflexMode& value);
void from_json(const nlohmann::json& j, ReflexMode& value);
void to_json(nlohmann::json& j, const DlssPreset& value);
void from_json(const nlohmann::json& j, DlssPreset& value);

// The pure steps of loading and saving, for the store and its tests.
// readSettings stores each value into `record` as soon as it is read and throws
// at the first missing key or wrongly typed value, leaving the rest untouched.
void readSettings(const nlohmann::json& document, Settings& record);
// Brings a record of an older format version up to date; true when it changed
// (the file must then be rewritten).
bool upgradeSettings(Settings& record);
// The exact bytes of config.json for a record: sorted keys, indent 4, CRLF line
// ends, no final line end.
std::string settingsFileText(const Settings& record);
// A JSON number (or boolean) as an unsigned 32-bit value: integers modulo 2^32,
// floating point truncated toward zero first (non-finite gives 0). Throws for
// any other JSON type.
std::uint32_t readUnsigned32(const nlohmann::json& value);

} // namespace fsr2bridge
