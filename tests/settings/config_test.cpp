// The settings store on real files under Wine: what each document loads as, and
// the exact bytes left in config.json afterwards.
#include "file_fixture.h"

#include "settings/file_operations.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <thread>
#include <utility>

namespace {

using fsr2bridge::Config;
using fsr2bridge::DlssMode;
using fsr2bridge::DlssPreset;
using fsr2bridge::ReflexMode;
using fsr2bridge::Settings;
using settings_test::ScratchDirectory;

const std::string defaultFile = "{\r\n"
                                "    \"dlssMode\": \"MaxPerformance\",\r\n"
                                "    \"dlssPreset\": \"Default\",\r\n"
                                "    \"enableFrameGeneration\": true,\r\n"
                                "    \"enableNisSharpening\": true,\r\n"
                                "    \"enableReflexSleep\": true,\r\n"
                                "    \"enabled\": true,\r\n"
                                "    \"reflexFpsCap\": 0,\r\n"
                                "    \"reflexMode\": \"LowLatencyWithBoost\",\r\n"
                                "    \"version\": 4\r\n"
                                "}";

// The file layout for a record, spelled out line by line.
std::string fileFor(const char* dlssMode, const char* preset, bool frameGeneration, bool nis, bool sleep,
                    bool enabled, const char* fpsCap, const char* reflexMode)
{
    auto flag = [](bool b) { return b ? "true" : "false"; };
    return std::string("{\r\n") + "    \"dlssMode\": \"" + dlssMode + "\",\r\n" + "    \"dlssPreset\": \"" +
           preset + "\",\r\n" + "    \"enableFrameGeneration\": " + flag(frameGeneration) + ",\r\n" +
           "    \"enableNisSharpening\": " + flag(nis) + ",\r\n" +
           "    \"enableReflexSleep\": " + flag(sleep) + ",\r\n" + "    \"enabled\": " + flag(enabled) +
           ",\r\n" + "    \"reflexFpsCap\": " + fpsCap + ",\r\n" + "    \"reflexMode\": \"" + reflexMode +
           "\",\r\n" + "    \"version\": 4\r\n}";
}

Settings with(void (*change)(Settings&))
{
    Settings s;
    change(s);
    return s;
}

const char* const unchanged = nullptr;

struct LoadCase {
    const char* name;
    const char* input; // nullptr: no file
    Settings expected;
    std::string expectedFile; // empty with `keep`: the input stays byte for byte
    bool keep;
};

const std::string fullV4 =
    "{\"version\":4,\"enabled\":false,\"enableReflexSleep\":false,"
    "\"enableFrameGeneration\":false,\"dlssMode\":\"DLAA\",\"reflexMode\":\"LowLatency\","
    "\"reflexFpsCap\":144,\"enableNisSharpening\":false,\"dlssPreset\":\"E\"}";

Settings fullV4Record()
{
    Settings s;
    s.enabled = false;
    s.enableReflexSleep = false;
    s.enableFrameGeneration = false;
    s.dlssMode = DlssMode::DLAA;
    s.reflexMode = ReflexMode::LowLatency;
    s.reflexFpsCap = 144;
    s.enableNisSharpening = false;
    s.dlssPreset = DlssPreset::E;
    return s;
}

class ConfigLoad : public ScratchDirectory {};

TEST_F(ConfigLoad, EachDocumentLoadsAndLeavesTheExpectedFile)
{
    static const std::string v4Extra = fullV4.substr(0, fullV4.size() - 1) + ",\"extra\":[1,2]}";
    static const std::string v7 = "{\"version\":7" + fullV4.substr(12);
    static const std::string vMinus1 = "{\"version\":-1" + fullV4.substr(12);
    static const std::string vWrapped = "{\"version\":4294967300" + fullV4.substr(12);
    static const std::string fpsMinus1 = "{\"version\":4,\"enabled\":true,\"enableReflexSleep\":true,"
                                         "\"enableFrameGeneration\":true,\"dlssMode\":\"Balanced\","
                                         "\"reflexMode\":\"LowLatencyWithBoost\",\"reflexFpsCap\":-1,"
                                         "\"enableNisSharpening\":true,\"dlssPreset\":\"G\"}";
    static const std::string commented = "// settings\n" + fullV4;
    static const std::string trailing = fullV4 + " x";
    static const std::string ctrlZ = fullV4 + "\r\n\x1A trailing bytes of an old editor";
    static const std::string badUtf8 = "{\"version\":4,\"dlssMode\":\"\xC3\x28\"}";

    const LoadCase cases[] = {
        {"no file", nullptr, Settings{}, defaultFile, false},
        {"empty file", "", Settings{}, defaultFile, false},
        {"syntax error", "{\"version\": 4,", Settings{}, defaultFile, false},
        {"trailing text", trailing.c_str(), Settings{}, defaultFile, false},
        {"comment", commented.c_str(), Settings{}, defaultFile, false},
        {"invalid UTF-8", badUtf8.c_str(), Settings{}, defaultFile, false},
        {"array at top", "[4]", Settings{}, defaultFile, false},
        {"number at top", "4", Settings{}, defaultFile, false},
        {"empty object", "{}", Settings{}, defaultFile, false},
        {"version as string", "{\"version\":\"4\"}", Settings{}, defaultFile, false},
        {"version null", "{\"version\":null}", Settings{}, defaultFile, false},
        {"version 0 only", "{\"version\":0}", with([](Settings& s) { s.enableFrameGeneration = false; }),
         fileFor("MaxPerformance", "Default", false, true, true, true, "0", "LowLatencyWithBoost"), false},
        {"version true reads 1",
         "{\"version\":true,\"enabled\":false,\"enableReflexSleep\":true,"
         "\"enableFrameGeneration\":true}",
         with([](Settings& s) { s.enabled = false; }),
         fileFor("MaxPerformance", "Default", true, true, true, false, "0", "LowLatencyWithBoost"), false},
        {"version 1 keeps its flags, ignores later keys",
         "{\"version\":1,\"enabled\":false,\"enableReflexSleep\":false,\"enableFrameGeneration\":true,"
         "\"dlssMode\":\"DLAA\",\"reflexFpsCap\":30}",
         with([](Settings& s) {
             s.enabled = false;
             s.enableReflexSleep = false;
         }),
         fileFor("MaxPerformance", "Default", true, true, false, false, "0", "LowLatencyWithBoost"), false},
        {"version 2.9 reads as 2",
         "{\"version\":2.9,\"enabled\":true,\"enableReflexSleep\":true,\"enableFrameGeneration\":false,"
         "\"dlssMode\":\"MaxQuality\",\"reflexMode\":\"LowLatency\",\"reflexFpsCap\":60.7,"
         "\"enableNisSharpening\":false,\"dlssPreset\":\"B\"}",
         with([](Settings& s) {
             s.enableFrameGeneration = false;
             s.dlssMode = DlssMode::MaxQuality;
             s.reflexMode = ReflexMode::LowLatency;
             s.reflexFpsCap = 60;
         }),
         fileFor("MaxQuality", "Default", false, true, true, true, "60", "LowLatency"), false},
        {"version 3 gains the default preset",
         "{\"version\":3,\"enabled\":true,\"enableReflexSleep\":true,\"enableFrameGeneration\":true,"
         "\"dlssMode\":\"Balanced\",\"reflexMode\":\"LowLatencyWithBoost\",\"reflexFpsCap\":0,"
         "\"enableNisSharpening\":false,\"dlssPreset\":\"C\"}",
         with([](Settings& s) {
             s.dlssMode = DlssMode::Balanced;
             s.enableNisSharpening = false;
         }),
         fileFor("Balanced", "Default", true, false, true, true, "0", "LowLatencyWithBoost"), false},
        {"complete version 4 is not rewritten", fullV4.c_str(), fullV4Record(), "", true},
        {"extra key survives", v4Extra.c_str(), fullV4Record(), "", true},
        {"version 7 reads everything", v7.c_str(), with([](Settings& s) {
             s = fullV4Record();
             s.version = 7;
         }),
         "", true},
        {"version -1 wraps", vMinus1.c_str(), with([](Settings& s) {
             s = fullV4Record();
             s.version = 4294967295u;
         }),
         "", true},
        {"version 2^32+4 wraps to 4", vWrapped.c_str(), fullV4Record(), "", true},
        {"reflexFpsCap -1 wraps", fpsMinus1.c_str(), with([](Settings& s) {
             s.dlssMode = DlssMode::Balanced;
             s.reflexFpsCap = 4294967295u;
             s.dlssPreset = DlssPreset::G;
         }),
         "", true},
        {"version 4 lacking enableNisSharpening",
         "{\"version\":4,\"enabled\":false,\"enableReflexSleep\":false,\"enableFrameGeneration\":false,"
         "\"dlssMode\":\"DLAA\",\"reflexMode\":\"LowLatency\",\"reflexFpsCap\":90,\"dlssPreset\":\"F\"}",
         with([](Settings& s) {
             s.enabled = false;
             s.enableReflexSleep = false;
             s.enableFrameGeneration = false;
             s.dlssMode = DlssMode::DLAA;
             s.reflexMode = ReflexMode::LowLatency;
             s.reflexFpsCap = 90;
         }),
         fileFor("DLAA", "Default", false, true, false, false, "90", "LowLatency"), false},
        {"enabled as number 1",
         "{\"version\":4,\"enabled\":1,\"enableReflexSleep\":false,\"enableFrameGeneration\":false,"
         "\"dlssMode\":\"DLAA\",\"reflexMode\":\"LowLatency\",\"reflexFpsCap\":90,"
         "\"enableNisSharpening\":false,\"dlssPreset\":\"F\"}",
         Settings{}, defaultFile, false},
        {"reflexFpsCap as string",
         "{\"version\":4,\"enabled\":false,\"enableReflexSleep\":true,\"enableFrameGeneration\":true,"
         "\"dlssMode\":\"UltraPerformance\",\"reflexMode\":\"LowLatency\",\"reflexFpsCap\":\"60\","
         "\"enableNisSharpening\":false,\"dlssPreset\":\"F\"}",
         with([](Settings& s) {
             s.enabled = false;
             s.dlssMode = DlssMode::UltraPerformance;
             s.reflexMode = ReflexMode::LowLatency;
         }),
         fileFor("UltraPerformance", "Default", true, true, true, false, "0", "LowLatency"), false},
        {"unknown names fall back, no error",
         "{\"version\":4,\"enabled\":true,\"enableReflexSleep\":true,\"enableFrameGeneration\":true,"
         "\"dlssMode\":\"dlaa\",\"reflexMode\":\"Off\",\"reflexFpsCap\":0,"
         "\"enableNisSharpening\":true,\"dlssPreset\":3}",
         with([](Settings& s) { s.reflexMode = ReflexMode::LowLatency; }), "", true},
        {"Ctrl-Z ends the text", ctrlZ.c_str(), fullV4Record(), "", true},
        {"huge float version", "{\"version\":1e400}", Settings{}, defaultFile, false},
    };

    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        if (c.input)
            put(c.input);
        Settings loaded;
        ASSERT_NO_THROW({
            Config config(configPath);
            loaded = config.snapshot();
        });
        EXPECT_TRUE(loaded == c.expected);
        EXPECT_EQ(loaded.version, c.expected.version);
        EXPECT_EQ(loaded.enabled, c.expected.enabled);
        EXPECT_EQ(loaded.enableFrameGeneration, c.expected.enableFrameGeneration);
        EXPECT_EQ(loaded.dlssMode, c.expected.dlssMode);
        EXPECT_EQ(loaded.reflexFpsCap, c.expected.reflexFpsCap);
        EXPECT_EQ(bytes().value_or("<missing>"), c.keep ? std::string(c.input) : c.expectedFile);
        EXPECT_TRUE(onlyConfigLeft());
    }
}

// config.json is read only up to 1 MiB: a larger file is no settings file and is
// replaced by the defaults.
TEST_F(ConfigLoad, OneMebibyteLimit)
{
    constexpr std::size_t limit = 1u << 20;
    const struct {
        const char* name;
        std::size_t size;
        bool read;
    } cases[] = {
        {"one byte under", limit - 1, true},
        {"exactly the limit", limit, true},
        {"one byte over", limit + 1, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        // A complete document, then whitespace up to the size.
        const std::string padded = fullV4 + std::string(c.size - fullV4.size(), ' ');
        put(padded);
        Settings loaded;
        {
            Config config(configPath);
            loaded = config.snapshot();
        }
        EXPECT_TRUE(loaded == (c.read ? fullV4Record() : Settings{}));
        EXPECT_TRUE(bytes().value_or("") == (c.read ? padded : defaultFile));
        EXPECT_TRUE(onlyConfigLeft());
    }
}

// What the log says about the file: whether it was read, created, upgraded or repaired, and what was wrong
// with a damaged one (the first problem the reading met).
TEST_F(ConfigLoad, OutcomeSaysWhatWasDoneAndWhy)
{
    using fsr2bridge::SettingsFileState;
    static const std::string tooLarge = fullV4 + std::string((1u << 20) + 1 - fullV4.size(), ' ');
    static const std::string version2 = "{\"version\":2,\"enabled\":true,\"enableReflexSleep\":true,"
                                        "\"enableFrameGeneration\":true,\"dlssMode\":\"Balanced\","
                                        "\"reflexMode\":\"LowLatency\",\"reflexFpsCap\":60}";
    const struct {
        const char* name;
        const char* input; // nullptr: no file
        SettingsFileState state;
        std::uint32_t fromVersion;
        const char* why;
    } cases[] = {
        {"no file", nullptr, SettingsFileState::created, 0, "it was not found"},
        {"complete", fullV4.c_str(), SettingsFileState::read, 0, ""},
        {"newer version",
         "{\"version\":7,\"enabled\":true,\"enableReflexSleep\":true,"
         "\"enableFrameGeneration\":true,\"dlssMode\":1,\"reflexMode\":1,\"reflexFpsCap\":0,"
         "\"enableNisSharpening\":true,\"dlssPreset\":0}",
         SettingsFileState::read, 0, ""},
        {"version 0", "{\"version\":0}", SettingsFileState::upgraded, 0, ""},
        {"version 2", version2.c_str(), SettingsFileState::upgraded, 2, ""},
        {"empty", "", SettingsFileState::repaired, 0, "it is not valid JSON (at byte 1)"},
        {"cut short", "{\"version\": 4,", SettingsFileState::repaired, 0,
         "it is not valid JSON (at byte 15)"},
        {"an array", "[4]", SettingsFileState::repaired, 0, "it is not a JSON object"},
        {"key missing", "{\"version\":4,\"enabled\":true}", SettingsFileState::repaired, 0,
         "\"enableReflexSleep\" is missing"},
        {"flag as number", "{\"version\":1,\"enabled\":1}", SettingsFileState::repaired, 0,
         "\"enabled\" is not true or false"},
        {"version as string", "{\"version\":\"4\"}", SettingsFileState::repaired, 0,
         "\"version\" is not a number"},
        {"cap as string",
         "{\"version\":2,\"enabled\":true,\"enableReflexSleep\":true,\"enableFrameGeneration\":true,"
         "\"dlssMode\":\"Balanced\",\"reflexMode\":\"LowLatency\",\"reflexFpsCap\":\"60\"}",
         SettingsFileState::repaired, 0, "\"reflexFpsCap\" is not a number"},
        {"over 1 MiB", tooLarge.c_str(), SettingsFileState::repaired, 0, "it is larger than 1 MiB"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        if (c.input)
            put(c.input);
        const Config config(configPath);
        const fsr2bridge::SettingsLoadOutcome& outcome = config.loadOutcome();
        EXPECT_EQ(outcome.state, c.state);
        EXPECT_EQ(outcome.fromVersion, c.fromVersion);
        EXPECT_EQ(outcome.why, c.why);
        // Everything but a plain read rewrote the file.
        EXPECT_EQ(bytes().value_or("<missing>") == (c.input ? c.input : "<missing>"),
                  c.state == SettingsFileState::read);
    }
}

// Only "not found" means there is no file. A file another program holds for a moment is read once it lets
// go; one that stays locked or refuses access runs the game with the defaults and is never written over.
HANDLE openFileRefusingReads(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                             DWORD disposition, DWORD flags, HANDLE templateFile)
{
    if (access == GENERIC_READ && std::wstring(path).ends_with(L"config.json")) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    return CreateFileW(path, access, share, security, disposition, flags, templateFile);
}

TEST_F(ConfigLoad, AFileThatCannotBeOpenedIsNotAbsent)
{
    using fsr2bridge::SettingsFileState;
    // The player's settings: off, Balanced, preset G, 144 fps.
    const std::string players = fileFor("Balanced", "G", true, true, true, false, "144", "LowLatency");
    Settings theirs;
    theirs.enabled = false;
    theirs.dlssMode = DlssMode::Balanced;
    theirs.dlssPreset = DlssPreset::G;
    theirs.reflexFpsCap = 144;
    theirs.reflexMode = ReflexMode::LowLatency;
    enum class Block { heldWithoutSharing, accessDenied, folder };
    const struct {
        const char* name;
        Block block;
        DWORD releaseAfterMs; // held without sharing: let go after this long
        SettingsFileState state;
        const char* why;
    } cases[] = {
        {"held for 0.4 s while it is read", Block::heldWithoutSharing, 400, SettingsFileState::read, ""},
        {"held for longer", Block::heldWithoutSharing, 2500, SettingsFileState::unreadable,
         "another program holds it open"},
        {"access denied", Block::accessDenied, 0, SettingsFileState::unreadable, "access is denied"},
        {"a folder of that name", Block::folder, 0, SettingsFileState::unreadable, "access is denied"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        if (c.block == Block::folder)
            ASSERT_TRUE(CreateDirectoryW(configPath.c_str(), nullptr));
        else
            put(players);
        std::thread releaser;
        if (c.block == Block::heldWithoutSharing) {
            HANDLE holder = CreateFileW(configPath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
            ASSERT_NE(holder, INVALID_HANDLE_VALUE);
            releaser = std::thread([holder, ms = c.releaseAfterMs] {
                Sleep(ms);
                CloseHandle(holder);
            });
        }
        if (c.block == Block::accessDenied)
            fsr2bridge::settingsFileOperations().openFile = &openFileRefusingReads;
        {
            Config config(configPath);
            EXPECT_EQ(config.loadOutcome().state, c.state);
            EXPECT_EQ(config.loadOutcome().why, c.why);
            EXPECT_TRUE(config.snapshot() == (c.state == SettingsFileState::read ? theirs : Settings{}));
            // Frame Generation found unavailable later: the save must not write over the player's file.
            config.replace(Settings{});
            config.save();
        }
        fsr2bridge::settingsFileOperations() = {};
        if (releaser.joinable())
            releaser.join();
        if (c.block == Block::folder) {
            EXPECT_NE(GetFileAttributesW(configPath.c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);
            RemoveDirectoryW(configPath.c_str());
        } else {
            EXPECT_EQ(bytes().value_or("<missing>"),
                      c.state == SettingsFileState::read ? defaultFile : players);
        }
        EXPECT_TRUE(onlyConfigLeft());
    }
}

TEST(SettingsForTheLog, EverySettingByNameAndWhatLoadingDid)
{
    using fsr2bridge::SettingsFileState;
    EXPECT_EQ(fsr2bridge::settingsSummary(Settings{}),
              "enabled=true dlssMode=MaxPerformance dlssPreset=Default enableFrameGeneration=true "
              "enableNisSharpening=true enableReflexSleep=true reflexMode=LowLatencyWithBoost reflexFpsCap=0 "
              "version=4");
    // Values without a name (the file cannot hold them, a record can) show as their numbers.
    Settings odd = fullV4Record();
    odd.dlssMode = static_cast<DlssMode>(5);
    odd.reflexMode = static_cast<ReflexMode>(0);
    odd.dlssPreset = static_cast<DlssPreset>(8);
    odd.version = 7;
    EXPECT_EQ(fsr2bridge::settingsSummary(odd),
              "enabled=false dlssMode=5 dlssPreset=8 enableFrameGeneration=false enableNisSharpening=false "
              "enableReflexSleep=false reflexMode=0 reflexFpsCap=144 version=7");
    EXPECT_EQ(fsr2bridge::describeSettingsLoad({SettingsFileState::read, 0, ""}), "read");
    EXPECT_EQ(fsr2bridge::describeSettingsLoad({SettingsFileState::created, 0, "it was not found"}),
              "created with the defaults: it was not found");
    EXPECT_EQ(fsr2bridge::describeSettingsLoad({SettingsFileState::upgraded, 1, ""}),
              "upgraded from version 1 to 4 (the new settings take their defaults)");
    EXPECT_EQ(fsr2bridge::describeSettingsLoad({SettingsFileState::repaired, 0, "\"enabled\" is missing"}),
              "repaired: \"enabled\" is missing; the settings read before that are kept, the others take "
              "their defaults");
    EXPECT_EQ(
        fsr2bridge::describeSettingsLoad({SettingsFileState::unreadable, 0, "access is denied"}),
        "could not be read (access is denied): the defaults are used this time, and the file is left as "
        "it is");
}

// A version 1e400 parses as infinity: it must not reach an undefined cast.
TEST(ReadUnsigned32, NumbersWrapOrTruncate)
{
    using nlohmann::json;
    struct Case {
        const char* text;
        std::uint32_t expected;
    } cases[] = {
        {"0", 0},
        {"4", 4},
        {"-1", 4294967295u},
        {"4294967296", 0},
        {"18446744073709551615", 4294967295u},
        {"-9223372036854775808", 0},
        {"2.9", 2},
        {"-2.9", 4294967294u},
        {"4294967297.5", 1},
        {"1e300", static_cast<std::uint32_t>(0)}, // 1e300 is a multiple of 2^32
        {"true", 1},
        {"false", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(fsr2bridge::readUnsigned32(json::parse(c.text)), c.expected);
    }
    for (const char* bad : {"null", "\"1\"", "[]", "{}"}) {
        SCOPED_TRACE(bad);
        EXPECT_ANY_THROW(fsr2bridge::readUnsigned32(json::parse(bad)));
    }
}

class ConfigSave : public ScratchDirectory {};

TEST_F(ConfigSave, ReplaceThenSaveWritesTheRecordExactly)
{
    put(fullV4.substr(0, fullV4.size() - 1) + ",\"extra\":1}");
    Config config(configPath);
    Settings s = config.snapshot();
    s.enableFrameGeneration = true;
    s.reflexFpsCap = 4294967295u;
    s.version = 9; // the file always says the current version
    config.replace(s);
    EXPECT_TRUE(config.snapshot() == s);
    config.save();
    EXPECT_EQ(bytes().value_or(""),
              fileFor("DLAA", "E", true, false, false, false, "4294967295", "LowLatency"));
    EXPECT_TRUE(onlyConfigLeft());
}

TEST_F(ConfigSave, UnnamedValuesAreWrittenAsTheFirstName)
{
    put(defaultFile);
    Config config(configPath);
    Settings s;
    s.dlssMode = static_cast<DlssMode>(5);
    s.reflexMode = static_cast<ReflexMode>(0);
    s.dlssPreset = static_cast<DlssPreset>(8);
    config.replace(s);
    config.save();
    EXPECT_EQ(bytes().value_or(""),
              fileFor("MaxPerformance", "Default", true, true, true, true, "0", "LowLatency"));
}

TEST_F(ConfigSave, ReadOnlyFileIsReadButNeverChanged)
{
    put(fullV4);
    ASSERT_TRUE(SetFileAttributesW(configPath.c_str(), FILE_ATTRIBUTE_READONLY));
    Config config(configPath);
    EXPECT_TRUE(config.snapshot() == fullV4Record());
    config.replace(Settings{});
    config.save();
    EXPECT_EQ(bytes().value_or(""), fullV4);
    EXPECT_TRUE(onlyConfigLeft());
}

TEST_F(ConfigSave, ReadOnlyBrokenFileStaysBroken)
{
    put("{broken");
    ASSERT_TRUE(SetFileAttributesW(configPath.c_str(), FILE_ATTRIBUTE_READONLY));
    Config config(configPath);
    EXPECT_TRUE(config.snapshot() == Settings{});
    EXPECT_EQ(bytes().value_or(""), "{broken");
    EXPECT_TRUE(onlyConfigLeft());
}

TEST_F(ConfigSave, FileHeldOpenWithoutWriteSharingIsNotChanged)
{
    put(fullV4);
    // Another program holds the file open and lets others only read it.
    HANDLE holder = CreateFileW(configPath.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    {
        Config config(configPath);
        EXPECT_TRUE(config.snapshot() == fullV4Record());
        config.replace(Settings{});
        config.save();
    }
    CloseHandle(holder);
    EXPECT_EQ(bytes().value_or(""), fullV4);
    EXPECT_TRUE(onlyConfigLeft());
}

TEST_F(ConfigSave, FileHeldOpenWithoutDeleteSharingIsNotChangedAndLeavesNoTemporary)
{
    put(fullV4);
    // Writable by others, but it cannot be replaced while this handle is open:
    // the save gets as far as its temporary file and must remove it again.
    HANDLE holder = CreateFileW(configPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    {
        Config config(configPath);
        config.replace(Settings{});
        config.save();
    }
    CloseHandle(holder);
    EXPECT_EQ(bytes().value_or(""), fullV4);
    EXPECT_TRUE(onlyConfigLeft());
}

// A save replaces the file without changing its nature: its attributes stay,
// also when it has to be written in place.
TEST_F(ConfigSave, FileKeepsItsAttributes)
{
    const std::string saved = fileFor("DLAA", "E", true, false, false, false, "144", "LowLatency");
    const struct {
        const char* name;
        DWORD attributes;
        bool inPlace; // no temporary file can be made
    } cases[] = {
        {"hidden", FILE_ATTRIBUTE_HIDDEN, false},
        {"hidden and system", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM, false},
        {"plain", FILE_ATTRIBUTE_NORMAL, false},
        {"hidden, in place", FILE_ATTRIBUTE_HIDDEN, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        put(fullV4);
        ASSERT_TRUE(SetFileAttributesW(configPath.c_str(), c.attributes));
        HANDLE blocker = c.inPlace ? blockTemporary() : INVALID_HANDLE_VALUE;
        ASSERT_EQ(c.inPlace, blocker != INVALID_HANDLE_VALUE);
        Config config(configPath);
        Settings s = config.snapshot();
        s.enableFrameGeneration = true;
        config.replace(s);
        config.save();
        EXPECT_EQ(bytes().value_or(""), saved);
        const DWORD kept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_READONLY;
        EXPECT_EQ(GetFileAttributesW(configPath.c_str()) & kept, c.attributes & kept);
        if (c.inPlace) {
            CloseHandle(blocker);
            DeleteFileW(temporaryName().c_str());
        }
        EXPECT_TRUE(onlyConfigLeft());
    }
}

// Where no temporary file can be made beside config.json (as in a folder
// without the right to create files), the save is written in place rather than
// lost; a read-only file is still left alone.
TEST_F(ConfigSave, NoTemporaryFileWritesInPlace)
{
    const std::string upgraded =
        fileFor("MaxPerformance", "Default", false, true, true, true, "0", "LowLatencyWithBoost");
    const std::string longer = "{\"version\":0, \"padding\":\"" + std::string(600, 'x') + "\"}";
    const struct {
        const char* name;
        const char* before; // null: no config.json yet
        DWORD attributes;
        std::string after;
    } cases[] = {
        {"existing file", "{\"version\":0}", FILE_ATTRIBUTE_NORMAL, upgraded},
        {"longer file is cut to the new length", longer.c_str(), FILE_ATTRIBUTE_NORMAL, upgraded},
        {"no file", nullptr, FILE_ATTRIBUTE_NORMAL, defaultFile},
        {"read-only file", "{\"version\":0}", FILE_ATTRIBUTE_READONLY, "{\"version\":0}"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        if (c.before) {
            put(c.before);
            ASSERT_TRUE(SetFileAttributesW(configPath.c_str(), c.attributes));
        }
        HANDLE blocker = blockTemporary();
        ASSERT_NE(blocker, INVALID_HANDLE_VALUE);
        {
            Config config(configPath);
        }
        CloseHandle(blocker);
        EXPECT_EQ(bytes().value_or("<missing>"), c.after);
        DeleteFileW(temporaryName().c_str());
        EXPECT_TRUE(onlyConfigLeft());
    }
}

// Another program holding config.json open so that it cannot be replaced: the
// save tries again for a short while, then leaves the file as it was.
TEST_F(ConfigSave, SharingViolationIsRetriedBriefly)
{
    const struct {
        const char* name;
        DWORD access;
        DWORD share;
        DWORD releaseAfterMs; // 0: held throughout
    } cases[] = {
        {"writer, lets others read; lets go", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, 30},
        {"reader that denies deleting; lets go", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, 30},
        {"writer, lets others read; holds on", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, 0},
        {"reader that denies deleting; holds on", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, 0},
    };
    const std::string off = fileFor("DLAA", "E", false, false, false, false, "144", "LowLatency");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        put(fullV4.substr(0, fullV4.size() - 1) + ",\"extra\":1}");
        const std::string before = bytes().value_or("");
        Config config(configPath);
        HANDLE holder = CreateFileW(configPath.c_str(), c.access, c.share, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(holder, INVALID_HANDLE_VALUE);
        std::thread releaser;
        if (c.releaseAfterMs != 0)
            releaser = std::thread([&] {
                Sleep(c.releaseAfterMs);
                CloseHandle(holder);
            });
        config.save();
        if (releaser.joinable())
            releaser.join();
        else
            CloseHandle(holder);
        EXPECT_EQ(bytes().value_or(""), c.releaseAfterMs != 0 ? off : before);
        EXPECT_TRUE(onlyConfigLeft());
    }
}

// ReplaceFileW failing as Windows documents it when a scanner or sync client holds the new file: with
// ERROR_UNABLE_TO_MOVE_REPLACEMENT (1176) the old file is already gone, with _2 (1177) it lives on under
// another name; the new file is still under the temporary name in both. Wine never fails this way.
struct FailingReplace {
    DWORD error = 0;
    DWORD holdNewFileMs = 0; // the scanner lets go of the new file after this long; INFINITE: not at all
    HANDLE scanner = INVALID_HANDLE_VALUE;
    std::thread release;
    bool oldNameEmpty = false; // seen at the failure: config.json had gone
} failingReplace;

BOOL WINAPI replaceFailing(LPCWSTR replaced, LPCWSTR replacement, LPCWSTR, DWORD, LPVOID, LPVOID)
{
    FailingReplace& f = failingReplace;
    if (f.error == ERROR_UNABLE_TO_MOVE_REPLACEMENT)
        DeleteFileW(replaced);
    else if (f.error == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2)
        MoveFileW(replaced, (std::wstring(replaced) + L".old").c_str());
    f.oldNameEmpty = GetFileAttributesW(replaced) == INVALID_FILE_ATTRIBUTES;
    if (f.holdNewFileMs != 0)
        f.scanner =
            CreateFileW(replacement, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (f.holdNewFileMs != 0 && f.holdNewFileMs != INFINITE)
        f.release = std::thread([&f] {
            Sleep(f.holdNewFileMs);
            CloseHandle(std::exchange(f.scanner, INVALID_HANDLE_VALUE));
        });
    SetLastError(f.error);
    return FALSE;
}

TEST_F(ConfigSave, AReplaceThatHalfFailsLeavesAConfigJson)
{
    const std::string saved = fileFor("DLAA", "E", true, false, false, false, "144", "LowLatency");
    const struct {
        const char* name;
        DWORD error;
        DWORD holdNewFileMs;
        const char* expected; // config.json afterwards, "<missing>" when there is none
        bool oldNameEmpty;
        std::vector<std::wstring> others; // files left beside it
    } cases[] = {
        {"1176: the new file is moved into place", ERROR_UNABLE_TO_MOVE_REPLACEMENT, 0, "new", true, {}},
        {"1177: the old file under another name",
         ERROR_UNABLE_TO_MOVE_REPLACEMENT_2,
         0,
         "new",
         true,
         {L"config.json.old"}},
        {"1176, the scanner lets go", ERROR_UNABLE_TO_MOVE_REPLACEMENT, 30, "new", true, {}},
        // The new file is the only copy of the settings: it stays.
        {"1176, the scanner holds on",
         ERROR_UNABLE_TO_MOVE_REPLACEMENT,
         INFINITE,
         "<missing>",
         true,
         {L"temporary"}},
        {"an ordinary failure leaves the old file", ERROR_ACCESS_DENIED, 0, "old", false, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        put(fullV4);
        Config config(configPath);
        Settings s = config.snapshot();
        s.enableFrameGeneration = true;
        config.replace(s);
        failingReplace.error = c.error;
        failingReplace.holdNewFileMs = c.holdNewFileMs;
        fsr2bridge::settingsFileOperations().replaceFile = &replaceFailing;
        config.save();
        fsr2bridge::settingsFileOperations() = {};
        if (failingReplace.release.joinable())
            failingReplace.release.join();
        if (failingReplace.scanner != INVALID_HANDLE_VALUE)
            CloseHandle(std::exchange(failingReplace.scanner, INVALID_HANDLE_VALUE));
        EXPECT_EQ(failingReplace.oldNameEmpty, c.oldNameEmpty);
        const std::string expected = std::string(c.expected) == "new"   ? saved
                                     : std::string(c.expected) == "old" ? fullV4
                                                                        : c.expected;
        EXPECT_EQ(bytes().value_or("<missing>"), expected);
        std::vector<std::wstring> others;
        for (const auto& name : files())
            if (name != L"config.json")
                others.push_back(directory + L"\\" + name == temporaryName() ? L"temporary" : name);
        EXPECT_EQ(others, c.others);
    }
}

TEST_F(ConfigSave, PathOutsideTheAnsiCodePageWorks)
{
    const std::wstring folder = directory + L"\\Spiele \u00FC\u20AC\u6E38\u620F";
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    const std::wstring path = folder + L"\\config.json";
    {
        Config config(path);
        EXPECT_TRUE(config.snapshot() == Settings{});
    }
    HANDLE file =
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    char buffer[512];
    DWORD got = 0;
    EXPECT_TRUE(ReadFile(file, buffer, sizeof buffer, &got, nullptr));
    CloseHandle(file);
    EXPECT_EQ(std::string(buffer, got), defaultFile);
    DeleteFileW(path.c_str());
    RemoveDirectoryW(folder.c_str());
}

TEST_F(ConfigSave, MissingDirectoryDirectoryOrEmptyPathWritesNothing)
{
    const std::wstring paths[] = {directory + L"\\absent\\config.json", directory, L""};
    for (const auto& path : paths) {
        Settings loaded;
        ASSERT_NO_THROW({
            Config config(path);
            config.save();
            loaded = config.snapshot();
        });
        EXPECT_TRUE(loaded == Settings{});
    }
    EXPECT_TRUE(files().empty());
}

TEST_F(ConfigSave, StaleTemporaryFromACrashedSaveIsReused)
{
    // A save killed before its move leaves its temporary file; the next save by
    // the same thread must still produce the file and clean up.
    const std::wstring stale = configPath + L"." + std::to_wstring(GetCurrentProcessId()) + L"." +
                               std::to_wstring(GetCurrentThreadId()) + L".tmp";
    put(stale, "garbage");
    Config config(configPath);
    EXPECT_EQ(bytes().value_or(""), defaultFile);
    EXPECT_TRUE(onlyConfigLeft());
}

TEST_F(ConfigSave, ConcurrentSavesLeaveOneCompleteFile)
{
    put(defaultFile);
    Config config(configPath);
    Settings off;
    off.enableFrameGeneration = false;
    config.replace(off);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 20; ++i)
                config.save();
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(bytes().value_or(""),
              fileFor("MaxPerformance", "Default", false, true, true, true, "0", "LowLatencyWithBoost"));
    EXPECT_TRUE(onlyConfigLeft());
}

TEST_F(ConfigSave, SnapshotsNeverSeeAHalfReplacedRecord)
{
    put(defaultFile);
    Config config(configPath);
    Settings a;
    Settings b;
    b.enabled = false;
    b.enableReflexSleep = false;
    b.enableFrameGeneration = false;
    b.dlssMode = DlssMode::DLAA;
    b.reflexMode = ReflexMode::LowLatency;
    b.reflexFpsCap = 77;
    b.enableNisSharpening = false;
    b.dlssPreset = DlssPreset::G;
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (int i = 0; !stop; ++i)
            config.replace(i % 2 ? a : b);
    });
    int torn = 0;
    for (int i = 0; i < 100000; ++i) {
        const Settings s = config.snapshot();
        if (!(s == a) && !(s == b))
            ++torn;
    }
    stop = true;
    writer.join();
    EXPECT_EQ(torn, 0);
}

} // namespace
