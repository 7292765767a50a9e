#include "settings/config.h"

#include <windows.h>

#include <nlohmann/json.hpp>

#include "common/log.h"
#include "common/unique_handle.h"
#include "settings/file_operations.h"

#include <cmath>
#include <stdexcept>
#include <utility>

namespace fsr2bridge {
namespace {

using json = nlohmann::json;

// Name tables: ordered (value, name) pairs; the first pair is the fallback both ways.
template <class E> struct NamePair {
    E value;
    const char* name;
};

constexpr NamePair<DlssMode> dlssModeNames[] = {
    {DlssMode::MaxPerformance, "MaxPerformance"},
    {DlssMode::Balanced, "Balanced"},
    {DlssMode::MaxQuality, "MaxQuality"},
    {DlssMode::UltraPerformance, "UltraPerformance"},
    {DlssMode::DLAA, "DLAA"},
};

constexpr NamePair<ReflexMode> reflexModeNames[] = {
    {ReflexMode::LowLatency, "LowLatency"},
    {ReflexMode::LowLatencyWithBoost, "LowLatencyWithBoost"},
};

constexpr NamePair<DlssPreset> dlssPresetNames[] = {
    {DlssPreset::Default, "Default"},
    {DlssPreset::A, "A"},
    {DlssPreset::B, "B"},
    {DlssPreset::C, "C"},
    {DlssPreset::D, "D"},
    {DlssPreset::E, "E"},
    {DlssPreset::F, "F"},
    {DlssPreset::G, "G"},
};

template <class E, std::size_t N> void writeName(json& j, E value, const NamePair<E> (&table)[N])
{
    for (const auto& pair : table) {
        if (pair.value == value) {
            j = pair.name;
            return;
        }
    }
    j = table[0].name;
}

template <class E, std::size_t N> std::string nameOrNumber(E value, const NamePair<E> (&table)[N])
{
    for (const auto& pair : table)
        if (pair.value == value)
            return pair.name;
    return std::to_string(static_cast<std::uint32_t>(value));
}

template <class E, std::size_t N> E readName(const json& j, const NamePair<E> (&table)[N])
{
    // JSON equality with a string: only a string of exactly the same bytes matches.
    if (j.is_string()) {
        const auto& text = j.get_ref<const std::string&>();
        for (const auto& pair : table)
            if (text == pair.name)
                return pair.value;
    }
    return table[0].value;
}

struct ReadError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The member `key`; a document that is not an object, or lacks the key, is an error that says so.
const json& member(const json& document, const char* key)
{
    if (!document.is_object())
        throw ReadError("it is not a JSON object");
    const auto found = document.find(key);
    if (found == document.end())
        throw ReadError(std::string("\"") + key + "\" is missing");
    return *found;
}

bool readFlag(const json& document, const char* key)
{
    const json& value = member(document, key);
    if (!value.is_boolean())
        throw ReadError(std::string("\"") + key + "\" is not true or false");
    return value.get<bool>();
}

std::uint32_t readNumber(const json& document, const char* key)
{
    const json& value = member(document, key);
    if (!value.is_number() && !value.is_boolean())
        throw ReadError(std::string("\"") + key + "\" is not a number");
    return readUnsigned32(value);
}

// A config file is a few hundred bytes; anything far larger is not one.
constexpr DWORD maxSettingsFileBytes = 1u << 20;

enum class ReadOutcome { ok, cannotOpen, tooLarge, failed };

bool isSharingError(DWORD error)
{
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
           error == ERROR_UNABLE_TO_REMOVE_REPLACED;
}

// Only these say that there is no file; any other error (held open by another program, access denied, a
// cloud file not yet on the disk) is about a file the player has.
bool meansAbsent(DWORD error)
{
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// Reads the whole file and closes it again before anything else touches it.
// Others may read, write or delete the file meanwhile (as with the C runtime).
// `error` is Windows' error when it cannot be opened.
ReadOutcome readWholeFile(const std::wstring& path, std::string& bytes, DWORD& error)
{
    const UniqueHandle owner(settingsFileOperations().openFile(
        path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!owner) {
        error = GetLastError();
        return ReadOutcome::cannotOpen;
    }
    const HANDLE file = owner.get();
    ReadOutcome outcome = ReadOutcome::ok;
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file, &size)) {
        outcome = ReadOutcome::failed;
    } else if (size.QuadPart > maxSettingsFileBytes) {
        outcome = ReadOutcome::tooLarge;
    } else {
        try {
            bytes.resize(static_cast<std::size_t>(size.QuadPart));
            DWORD total = 0;
            while (total < bytes.size()) {
                DWORD got = 0;
                if (!ReadFile(file, bytes.data() + total, static_cast<DWORD>(bytes.size()) - total, &got,
                              nullptr) ||
                    got == 0)
                    break;
                total += got;
            }
            if (total != bytes.size())
                outcome = ReadOutcome::failed;
            // Read as the C runtime's text mode would: Ctrl-Z ends the text.
            // (Line ends need no translation: CR is JSON whitespace.)
            const std::size_t end = bytes.find('\x1A');
            if (end != std::string::npos)
                bytes.resize(end);
        } catch (...) {
            outcome = ReadOutcome::failed;
        }
    }
    return outcome;
}

// Reads the file, trying again for a while when it is there but cannot be opened: a scanner, a sync client
// or an editor's save holds it only for a moment, and that must not cost the player their settings.
ReadOutcome readSettingsFile(const std::wstring& path, std::string& bytes, DWORD& error)
{
    constexpr DWORD pauseMs = 50;
    constexpr int lockedAttempts = 21; // about a second for a file held open by another program
    constexpr int otherAttempts = 3;   // access denied and the like rarely go away
    for (int attempt = 1;; ++attempt) {
        const ReadOutcome outcome = readWholeFile(path, bytes, error);
        if (outcome != ReadOutcome::cannotOpen || meansAbsent(error) ||
            attempt >= (isSharingError(error) ? lockedAttempts : otherAttempts))
            return outcome;
        Sleep(pauseMs);
    }
}

enum class SaveOutcome { saved, leftAlone, sharingViolation, temporaryKept };

SaveOutcome failure(DWORD error)
{
    return isSharingError(error) ? SaveOutcome::sharingViolation : SaveOutcome::leftAlone;
}

// Attributes a rewritten file keeps. Read-only files are never rewritten.
constexpr DWORD keptAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                 FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// How a save may write the file.
enum class SaveWay {
    create,  // absent: a new file takes its name
    replace, // a new file replaces it
    inPlace, // writable, but no right to delete it: only overwriting works
};

struct SaveTarget {
    SaveWay way = SaveWay::create;
    DWORD attributes = FILE_ATTRIBUTE_NORMAL; // for the new file: the old one's kept attributes
};

bool canOpen(const std::wstring& path, DWORD access, DWORD& error)
{
    const UniqueHandle probe(settingsFileOperations().openFile(
        path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
        FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!probe)
        error = GetLastError();
    return static_cast<bool>(probe);
}

// The target may be written only when it is absent, or writable and not held
// open by someone who denies writing or deleting it; otherwise `refusal` says
// why it may not.
bool examineTarget(const std::wstring& path, SaveTarget& target, SaveOutcome& refusal)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return true; // absent (or unreachable: creating it fails later)
    refusal = SaveOutcome::leftAlone;
    if (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY))
        return false;
    if (attributes & keptAttributes)
        target.attributes = attributes & keptAttributes;
    // Replacing needs both writing and deleting (the file goes, its name stays).
    DWORD error = 0;
    if (canOpen(path, GENERIC_WRITE | DELETE, error)) {
        target.way = SaveWay::replace;
        return true;
    }
    if (error == ERROR_FILE_NOT_FOUND)
        return true;
    if (error == ERROR_ACCESS_DENIED && canOpen(path, GENERIC_WRITE, error)) {
        target.way = SaveWay::inPlace;
        return true;
    }
    refusal = failure(error);
    return false;
}

bool writeWholeFile(HANDLE file, const std::string& bytes)
{
    DWORD total = 0;
    while (total < bytes.size()) {
        DWORD written = 0;
        if (!WriteFile(file, bytes.data() + total, static_cast<DWORD>(bytes.size()) - total, &written,
                       nullptr) ||
            written == 0)
            return false;
        total += written;
    }
    return FlushFileBuffers(file) != 0;
}

// Overwrites the file itself (creating it when absent): not atomic, but it
// needs no right to create files beside it, and keeps the file as it is.
SaveOutcome writeInPlace(const std::wstring& path, const std::string& bytes)
{
    const UniqueHandle file(settingsFileOperations().openFile(
        path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return failure(GetLastError());
    return writeWholeFile(file.get(), bytes) && SetEndOfFile(file.get()) ? SaveOutcome::saved
                                                                         : SaveOutcome::leftAlone;
}

bool exists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Puts the temporary file where config.json is missing, trying again for a moment while someone (a scanner
// looking at the new file) holds it. After a replace that took the player's file away (`lastCopy`) the
// temporary file goes only once a config.json is in place again: until then it is the only copy.
SaveOutcome moveTemporaryIntoPlace(const std::wstring& temporary, const std::wstring& path, bool lastCopy)
{
    // The only copy is worth a longer wait (about a second) than a file that stays as it was.
    const int attempts = lastCopy ? 50 : 6;
    DWORD error = 0;
    for (int attempt = 1; attempt <= attempts; ++attempt) {
        if (MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            return SaveOutcome::saved;
        error = GetLastError();
        if (!isSharingError(error) || exists(path))
            break;
        Sleep(20);
    }
    if (lastCopy && !exists(path))
        return SaveOutcome::temporaryKept;
    DeleteFileW(temporary.c_str());
    return failure(error);
}

// Moves the finished temporary file into place: ReplaceFileW over an existing
// file (it keeps the file's attributes, security and identity), MoveFileExW
// where there is none. After any failure the player's file or the new one is
// in place under the file's name.
SaveOutcome moveIntoPlace(const std::wstring& temporary, const std::wstring& path, SaveWay way)
{
    if (way == SaveWay::replace) {
        if (settingsFileOperations().replaceFile(path.c_str(), temporary.c_str(), nullptr, 0, nullptr,
                                                 nullptr))
            return SaveOutcome::saved;
        const DWORD error = GetLastError();
        // A replace that half failed (ERROR_UNABLE_TO_MOVE_REPLACEMENT and _2: the old file already gone
        // from its name, the new one still under the temporary name) is finished by a move; one that left
        // the old file in place only loses the temporary file.
        if (error != ERROR_FILE_NOT_FOUND && exists(path)) {
            DeleteFileW(temporary.c_str());
            return failure(error);
        }
        return moveTemporaryIntoPlace(temporary, path, error != ERROR_FILE_NOT_FOUND);
    }
    return moveTemporaryIntoPlace(temporary, path, false);
}

// One attempt: writes `bytes` to a temporary file beside `path` and moves it
// over `path` in one step, so an interrupted save never leaves a truncated
// file behind. Where no temporary file can be created, or the file may be
// written but not replaced, writes in place.
SaveOutcome saveOnce(const std::wstring& path, const std::string& bytes)
{
    SaveTarget target;
    SaveOutcome refusal = SaveOutcome::leftAlone;
    if (!examineTarget(path, target, refusal))
        return refusal;
    if (target.way == SaveWay::inPlace)
        return writeInPlace(path, bytes);
    // One name per thread: concurrent saves never share a temporary file.
    const std::wstring temporary = path + L"." + std::to_wstring(GetCurrentProcessId()) + L"." +
                                   std::to_wstring(GetCurrentThreadId()) + L".tmp";
    HANDLE file = settingsFileOperations().openFile(temporary.c_str(), GENERIC_WRITE, 0, nullptr,
                                                    CREATE_ALWAYS, target.attributes, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return writeInPlace(path, bytes);
    const bool written = writeWholeFile(file, bytes);
    const bool closed = CloseHandle(file) != 0;
    if (!written || !closed) {
        DeleteFileW(temporary.c_str());
        return SaveOutcome::leftAlone;
    }
    return moveIntoPlace(temporary, path, target.way);
}

// Saves, retrying briefly while someone else has the file open in a way that
// blocks the save (a virus scanner or an editor usually lets go within
// milliseconds); a file that stays blocked is left as it was.
SaveOutcome replaceFileContents(const std::wstring& path, const std::string& bytes)
{
    // The process's own saves take turns: racing each other they would only
    // produce sharing violations.
    static std::mutex saving;
    std::lock_guard<std::mutex> turn(saving);
    constexpr int attempts = 6;
    constexpr DWORD pauseMs = 20;
    SaveOutcome outcome = SaveOutcome::sharingViolation;
    for (int attempt = 1; attempt <= attempts; ++attempt) {
        outcome = saveOnce(path, bytes);
        if (outcome != SaveOutcome::sharingViolation)
            return outcome;
        if (attempt < attempts)
            Sleep(pauseMs);
    }
    return outcome;
}

// Why a save left the file as it was, in the player's terms.
const char* saveRefusal(const std::wstring& path, SaveOutcome outcome)
{
    if (outcome == SaveOutcome::sharingViolation)
        return "another program holds it open";
    if (outcome == SaveOutcome::temporaryKept)
        return "Windows could not put the new file in place, often because another program held it; the "
               "settings are in the .tmp file beside it";
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return "a folder has its name";
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
        return "it is read-only";
    return "Windows did not let it be written";
}

// Why a file could not be opened for reading, in the player's terms.
std::string unopenedReason(DWORD error)
{
    if (meansAbsent(error))
        return "it was not found";
    if (isSharingError(error))
        return "another program holds it open";
    if (error == ERROR_ACCESS_DENIED)
        return "access is denied";
    return "Windows error " + std::to_string(error);
}

} // namespace

void to_json(json& j, const DlssMode& value)
{
    writeName(j, value, dlssModeNames);
}
void from_json(const json& j, DlssMode& value)
{
    value = readName(j, dlssModeNames);
}
void to_json(json& j, const ReflexMode& value)
{
    writeName(j, value, reflexModeNames);
}
void from_json(const json& j, ReflexMode& value)
{
    value = readName(j, reflexModeNames);
}
void to_json(json& j, const DlssPreset& value)
{
    writeName(j, value, dlssPresetNames);
}
void from_json(const json& j, DlssPreset& value)
{
    value = readName(j, dlssPresetNames);
}

std::uint32_t readUnsigned32(const json& value)
{
    switch (value.type()) {
    case json::value_t::number_integer:
        return static_cast<std::uint32_t>(value.get<std::int64_t>());
    case json::value_t::number_unsigned:
        return static_cast<std::uint32_t>(value.get<std::uint64_t>());
    case json::value_t::number_float: {
        // Truncate, then wrap like an integer; a plain cast would be undefined
        // for values outside the 32-bit range.
        const double truncated = std::trunc(value.get<double>());
        if (!std::isfinite(truncated))
            return 0;
        double wrapped = std::fmod(truncated, 4294967296.0);
        if (wrapped < 0)
            wrapped += 4294967296.0;
        return static_cast<std::uint32_t>(wrapped);
    }
    case json::value_t::boolean:
        return value.get<bool>() ? 1u : 0u;
    default:
        throw ReadError("not a number");
    }
}

void readSettings(const json& document, Settings& record)
{
    record.version = readNumber(document, "version");
    if (record.version >= 1) {
        record.enabled = readFlag(document, "enabled");
        record.enableReflexSleep = readFlag(document, "enableReflexSleep");
        record.enableFrameGeneration = readFlag(document, "enableFrameGeneration");
    }
    if (record.version >= 2) {
        record.dlssMode = member(document, "dlssMode").get<DlssMode>();
        record.reflexMode = member(document, "reflexMode").get<ReflexMode>();
        record.reflexFpsCap = readNumber(document, "reflexFpsCap");
    }
    if (record.version >= 3)
        record.enableNisSharpening = readFlag(document, "enableNisSharpening");
    if (record.version >= 4)
        record.dlssPreset = member(document, "dlssPreset").get<DlssPreset>();
}

bool upgradeSettings(Settings& record)
{
    if (record.version >= currentSettingsVersion)
        return false;
    // Each step runs after the previous one, starting from the loaded version.
    switch (record.version) {
    case 0:
        record.enabled = true;
        record.enableReflexSleep = true;
        record.enableFrameGeneration = false;
        [[fallthrough]];
    case 1:
        record.reflexMode = ReflexMode::LowLatencyWithBoost;
        record.reflexFpsCap = 0;
        record.dlssMode = DlssMode::MaxPerformance;
        [[fallthrough]];
    case 2:
        record.enableNisSharpening = true;
        [[fallthrough]];
    default:
        record.dlssPreset = DlssPreset::Default;
    }
    record.version = currentSettingsVersion;
    return true;
}

std::string settingsFileText(const Settings& record)
{
    json document = json::object(); // members are kept sorted by key
    document["version"] = currentSettingsVersion;
    document["enabled"] = record.enabled;
    document["enableReflexSleep"] = record.enableReflexSleep;
    document["enableFrameGeneration"] = record.enableFrameGeneration;
    document["enableNisSharpening"] = record.enableNisSharpening;
    document["dlssMode"] = record.dlssMode;
    document["reflexMode"] = record.reflexMode;
    document["dlssPreset"] = record.dlssPreset;
    document["reflexFpsCap"] = record.reflexFpsCap;
    const std::string text = document.dump(4);
    // The file has Windows line ends whatever the platform.
    std::string bytes;
    bytes.reserve(text.size() + 16);
    for (char c : text) {
        if (c == '\n')
            bytes += '\r';
        bytes += c;
    }
    return bytes;
}

Config::Config(std::wstring path) : path_(std::move(path))
{
    try {
        load();
    } catch (...) {
        // Nothing leaves construction; the record keeps what was read.
    }
}

void Config::load()
{
    const std::string path = toUtf8(path_);
    std::string bytes;
    DWORD error = 0;
    const ReadOutcome read = readSettingsFile(path_, bytes, error);
    if (read == ReadOutcome::cannotOpen) {
        outcome_ = {meansAbsent(error) ? SettingsFileState::created : SettingsFileState::unreadable, 0,
                    unopenedReason(error)};
    } else if (read == ReadOutcome::tooLarge) {
        outcome_ = {SettingsFileState::repaired, 0, "it is larger than 1 MiB"};
    } else if (read == ReadOutcome::failed) {
        outcome_ = {SettingsFileState::repaired, 0, "it could not be read"};
    } else {
        try {
            // Strict: exceptions on every error, no comments, nothing after the value.
            const json document = json::parse(bytes, nullptr, true, false);
            readSettings(document, settings_);
            const std::uint32_t loaded = settings_.version;
            if (upgradeSettings(settings_))
                outcome_ = {SettingsFileState::upgraded, loaded, {}};
        } catch (const json::parse_error& e) {
            outcome_ = {SettingsFileState::repaired, 0,
                        "it is not valid JSON (at byte " + std::to_string(e.byte) + ")"};
        } catch (const ReadError& e) {
            outcome_ = {SettingsFileState::repaired, 0, e.what()};
        } catch (...) {
            outcome_ = {SettingsFileState::repaired, 0, "it could not be read"};
        }
    }
    logLine("settings: %s %s", path.c_str(), describeSettingsLoad(outcome_).c_str());
    if (outcome_.state != SettingsFileState::read && outcome_.state != SettingsFileState::unreadable)
        save();
    logLine("settings in use: %s", settingsSummary(settings_).c_str());
}

Settings Config::snapshot() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return settings_;
}

void Config::replace(const Settings& settings)
{
    std::lock_guard<std::mutex> guard(lock_);
    settings_ = settings;
}

void Config::save()
{
    if (outcome_.state == SettingsFileState::unreadable) { // there, but not read: never overwritten
        logLine("settings: %s not saved: it could not be read at the start, so it is left as it is",
                toUtf8(path_).c_str());
        return;
    }
    try {
        const Settings record = snapshot();
        const SaveOutcome outcome = replaceFileContents(path_, settingsFileText(record));
        if (outcome == SaveOutcome::saved)
            logLine("settings: saved %s", toUtf8(path_).c_str());
        else
            logLine("settings: could not save %s (%s)%s", toUtf8(path_).c_str(), saveRefusal(path_, outcome),
                    outcome == SaveOutcome::temporaryKept ? "" : "; the file is left as it was");
    } catch (...) {
        // A save that cannot be made leaves the file as it was.
    }
}

std::string settingsSummary(const Settings& record)
{
    const auto flag = [](bool value) { return value ? "true" : "false"; };
    return std::string("enabled=") + flag(record.enabled) +
           " dlssMode=" + nameOrNumber(record.dlssMode, dlssModeNames) +
           " dlssPreset=" + nameOrNumber(record.dlssPreset, dlssPresetNames) +
           " enableFrameGeneration=" + flag(record.enableFrameGeneration) +
           " enableNisSharpening=" + flag(record.enableNisSharpening) +
           " enableReflexSleep=" + flag(record.enableReflexSleep) +
           " reflexMode=" + nameOrNumber(record.reflexMode, reflexModeNames) +
           " reflexFpsCap=" + std::to_string(record.reflexFpsCap) +
           " version=" + std::to_string(record.version);
}

std::string describeSettingsLoad(const SettingsLoadOutcome& outcome)
{
    switch (outcome.state) {
    case SettingsFileState::read:
        return "read";
    case SettingsFileState::created:
        return "created with the defaults: " + outcome.why;
    case SettingsFileState::upgraded:
        return "upgraded from version " + std::to_string(outcome.fromVersion) + " to " +
               std::to_string(currentSettingsVersion) + " (the new settings take their defaults)";
    case SettingsFileState::repaired:
        return "repaired: " + outcome.why +
               "; the settings read before that are kept, the others take their defaults";
    case SettingsFileState::unreadable:
        return "could not be read (" + outcome.why +
               "): the defaults are used this time, and the file is left as it is";
    }
    return {};
}

} // namespace fsr2bridge

namespace fsr2bridge {

SettingsFileOperations& settingsFileOperations() noexcept
{
    static SettingsFileOperations operations;
    return operations;
}

} // namespace fsr2bridge
