#include "streamline/streamline_files.h"

#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <iterator>
#include <vector>

#include "common/log.h"
#include "common/message_box.h"

namespace fsr2bridge {

namespace {

StreamlineInventory inventory;

constexpr const wchar_t* fileNames[setFileCount] = {L"sl.common.dll",  L"sl.reflex.dll",  L"sl.pcl.dll",
                                                    L"sl.dlss.dll",    L"sl.dlss_g.dll",  L"sl.nis.dll",
                                                    L"nvngx_dlss.dll", L"nvngx_dlssg.dll"};

bool present(const StreamlineInventory& in, SetFile file)
{
    return in.present[static_cast<std::size_t>(file)];
}
const FileVersion& versionOf(const StreamlineInventory& in, SetFile file)
{
    return in.versions[static_cast<std::size_t>(file)];
}

// Streamline 2.3 and later loads sl.pcl always, and its sl.reflex does not start without it.
bool pclNeeded(const StreamlineInventory& in)
{
    return in.interposer.atLeast(2, 3, 0) || versionOf(in, SetFile::reflex).atLeast(2, 3, 0);
}

// A plug-in (not an NGX library, which has versions of its own) of another release than the interposer.
bool otherRelease(const StreamlineInventory& in, SetFile file)
{
    const FileVersion& v = versionOf(in, file);
    return present(in, file) && file != SetFile::ngxDlss && file != SetFile::ngxDlssg && v.known &&
           in.interposer.known && !v.sameRelease(in.interposer);
}

// The files each feature runs on: sl.common, its plug-in, its NGX library (none: the plug-in again).
struct FeatureFiles {
    sl::Feature feature;
    SetFile plugin;
    SetFile ngx;
};
constexpr FeatureFiles featureFiles[] = {
    {sl::kFeatureReflex, SetFile::reflex, SetFile::reflex},
    {sl::kFeatureDLSS, SetFile::dlss, SetFile::ngxDlss},
    {sl::kFeatureDLSS_G, SetFile::dlssg, SetFile::ngxDlssg},
    {sl::kFeatureNIS, SetFile::nis, SetFile::nis},
};

bool resultWithReasonOfItsOwn(sl::Result result)
{
    return result == sl::Result::eErrorDriverOutOfDate || result == sl::Result::eErrorOSOutOfDate ||
           result == sl::Result::eErrorOSDisabledHWS || result == sl::Result::eErrorAdapterNotSupported;
}

std::wstring widen(const std::string& text)
{
    return std::wstring(text.begin(), text.end());
}

std::wstring releaseOf(const FileVersion& v)
{
    return widen(std::to_string(v.major) + "." + std::to_string(v.minor) + "." + std::to_string(v.patch));
}

// "the same Streamline release as sl.interposer.dll (2.7.2)"
std::wstring sameReleaseAsInterposer(const StreamlineInventory& in)
{
    std::wstring text = L"the same Streamline release as sl.interposer.dll";
    if (in.interposer.known)
        text += L" (" + releaseOf(in.interposer) + L")";
    return text;
}

// A directory search, closed however the listing ends.
struct FindHandle {
    explicit FindHandle(HANDLE found) noexcept : handle(found) {}
    HANDLE handle;
    FindHandle(const FindHandle&) = delete;
    FindHandle& operator=(const FindHandle&) = delete;
    ~FindHandle()
    {
        if (handle != INVALID_HANDLE_VALUE)
            FindClose(handle);
    }
};

// The files of the folder that the log lists: every sl.*.dll and nvngx_*.dll, by name.
std::vector<std::wstring> listedFiles(const std::filesystem::path& directory)
{
    std::vector<std::wstring> names;
    for (const wchar_t* pattern : {L"sl.*.dll", L"nvngx_*.dll"}) {
        WIN32_FIND_DATAW found;
        const FindHandle find{FindFirstFileW((directory / pattern).c_str(), &found)};
        if (find.handle == INVALID_HANDLE_VALUE)
            continue;
        do {
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && names.size() < 64)
                names.emplace_back(found.cFileName);
        } while (FindNextFileW(find.handle, &found));
    }
    std::sort(names.begin(), names.end());
    return names;
}

// What a missing file of the set takes away, in the order of SetFile.
constexpr const char* missingMeans[setFileCount] = {
    "no feature of Streamline runs without it",
    "Reflex cannot run without it, and DLSS Frame Generation needs Reflex",
    "Streamline 2.3 and later cannot start Reflex without it, and DLSS Frame Generation needs Reflex",
    "DLSS cannot run without it",
    "DLSS Frame Generation cannot run without it",
    "NIS sharpening cannot run without it",
    "DLSS cannot run without it",
    "DLSS Frame Generation cannot run without it",
};

void logFindings(const StreamlineInventory& in)
{
    bool complete = true;
    const std::string interposer = versionText(in.interposer);
    for (std::size_t f = 0; f < setFileCount; ++f) {
        const auto file = static_cast<SetFile>(f);
        const std::string name = toUtf8(fileNames[f]);
        if (!present(in, file)) {
            if (file == SetFile::pcl && !pclNeeded(in))
                continue;
            complete = false;
            logLine("Streamline: the set is incomplete: %s is missing (%s); copy it from %s", name.c_str(),
                    missingMeans[f], toUtf8(sameReleaseAsInterposer(in)).c_str());
        } else if (otherRelease(in, file)) {
            complete = false;
            logLine("Streamline: the set is mixed: %s is version %s, sl.interposer.dll %s; copy all of "
                    "Streamline's files from one release",
                    name.c_str(), versionText(versionOf(in, file)).c_str(), interposer.c_str());
        }
    }
    if (complete)
        logLine("Streamline: the set is complete (Streamline %s)", toUtf8(releaseOf(in.interposer)).c_str());
}

// 2.7.2's sl_dlss.h: presets G, H and I "revert to default". The configuration offers up to G.
void logPresetMeaning(const StreamlineInventory& in, DlssPreset configured)
{
    const FileVersion& dlss = present(in, SetFile::dlss) ? versionOf(in, SetFile::dlss) : in.interposer;
    if (configured == DlssPreset::G && dlss.atLeast(2, 7, 0))
        logLine(
            "DLSS preset G counts as the default with Streamline %s (its presets G, H and I revert to the "
            "default): \"dlssPreset\": \"G\" in config.json has no effect; choose one of A to F",
            toUtf8(releaseOf(dlss)).c_str());
}

// --- Frame Generation's bad status -------------------------------------------------------------------------

enum class StatusCause : std::uint8_t {
    none,
    commonMissing,
    reflexMissing,
    pclMissing,
    reflexOtherRelease,
    reflexNotRunning,
    setMixed,
    resolutionTooLow,
    hdrOutput
};

constexpr const wchar_t* statusCauseTexts[] = {
    nullptr,
    L"Likely cause: sl.common.dll is missing from the game's streamline folder, and without it Reflex, which "
    L"Frame Generation needs, cannot run. Copy it there from the same Streamline release as "
    L"sl.interposer.dll.",
    L"Likely cause: sl.reflex.dll is missing from the game's streamline folder, and Frame Generation needs "
    L"Reflex. Copy it there from the same Streamline release as sl.interposer.dll.",
    L"Likely cause: sl.pcl.dll is missing from the game's streamline folder. Streamline 2.3 and later cannot "
    L"start Reflex without it, and Frame Generation needs Reflex. Copy it there from the same Streamline "
    L"release as sl.interposer.dll.",
    L"Likely cause: sl.reflex.dll is from another Streamline release than sl.interposer.dll, so Reflex, "
    L"which "
    L"Frame Generation needs, does not run. Copy all of Streamline's files from one release into the game's "
    L"streamline folder.",
    L"Likely cause: Reflex, which Frame Generation needs, is not running (fsr2bridge.log says why).",
    L"Likely cause: Streamline's files in the game's streamline folder come from different releases. Copy "
    L"all "
    L"of them from one release.",
    L"Likely cause: the game's resolution is too low for Frame Generation.",
    L"Likely cause: Frame Generation does not support the game's HDR (FP16/scRGB) output; turn HDR off "
    L"in the game to use it.",
};

inline constexpr LogEvent<std::uint32_t> causeCommonMissing{
    "Frame Generation's bad status {}: likely cause: sl.common.dll is missing from the streamline folder, so "
    "Reflex cannot run; copy it from the same Streamline release as sl.interposer.dll"};
inline constexpr LogEvent<std::uint32_t> causeReflexMissing{
    "Frame Generation's bad status {}: likely cause: sl.reflex.dll is missing from the streamline folder and "
    "Frame Generation needs Reflex; copy it from the same Streamline release as sl.interposer.dll"};
inline constexpr LogEvent<std::uint32_t> causePclMissing{
    "Frame Generation's bad status {}: likely cause: sl.pcl.dll is missing from the streamline folder, so "
    "Reflex (which Frame Generation needs) cannot start; copy it from the same Streamline release as "
    "sl.interposer.dll"};
inline constexpr LogEvent<std::uint32_t> causeReflexOtherRelease{
    "Frame Generation's bad status {}: likely cause: sl.reflex.dll is from another Streamline release than "
    "sl.interposer.dll; copy all of Streamline's files from one release"};
inline constexpr LogEvent<std::uint32_t> causeReflexNotRunning{
    "Frame Generation's bad status {}: likely cause: Reflex is not running (see its line above)"};
inline constexpr LogEvent<std::uint32_t> causeSetMixed{
    "Frame Generation's bad status {}: likely cause: Streamline's files come from different releases; copy "
    "all of them from one release"};
inline constexpr LogEvent<std::uint32_t> causeResolutionTooLow{
    "Frame Generation's bad status {}: likely cause: the game's resolution is too low for Frame Generation"};
inline constexpr LogEvent<std::uint32_t> causeHdrOutput{
    "Frame Generation's bad status {}: likely cause: HDR (FP16/scRGB) output, which Frame Generation does "
    "not "
    "support"};

constexpr const LogEvent<std::uint32_t>* statusCauseEvents[] = {
    nullptr,          &causeCommonMissing,      &causeReflexMissing,
    &causePclMissing, &causeReflexOtherRelease, &causeReflexNotRunning,
    &causeSetMixed,   &causeResolutionTooLow,   &causeHdrOutput};
// One box text and one log line for each cause, in the order of StatusCause.
static_assert(std::size(statusCauseTexts) == static_cast<std::size_t>(StatusCause::hdrOutput) + 1);
static_assert(std::size(statusCauseEvents) == std::size(statusCauseTexts));

constexpr std::uint32_t statusResolutionTooLow = 1, statusReflexNotDetected = 2, statusHdrNotSupported = 4;

StatusCause statusCause(const StreamlineInventory& in, std::uint32_t status) noexcept
{
    if (!in.taken)
        return StatusCause::none;
    if (status & statusReflexNotDetected) {
        const LikelyCause reflex = likelyCause(in, sl::kFeatureReflex, sl::Result::eErrorFeatureMissing);
        switch (reflex.kind) {
        case LikelyCause::Kind::missing:
            return reflex.file == SetFile::common ? StatusCause::commonMissing : StatusCause::reflexMissing;
        case LikelyCause::Kind::pclMissing:
            return StatusCause::pclMissing;
        case LikelyCause::Kind::otherRelease:
            return StatusCause::reflexOtherRelease;
        default:
            return StatusCause::reflexNotRunning;
        }
    }
    if (likelyCause(in, sl::kFeatureDLSS_G, sl::Result::eErrorDriverOutOfDate).kind !=
        LikelyCause::Kind::none)
        return StatusCause::setMixed;
    if (status & statusResolutionTooLow)
        return StatusCause::resolutionTooLow;
    if (status & statusHdrNotSupported)
        return StatusCause::hdrOutput;
    return StatusCause::none;
}

} // namespace

const wchar_t* setFileName(SetFile file) noexcept
{
    return fileNames[static_cast<std::size_t>(file)];
}

void takeStreamlineInventory(const std::filesystem::path& streamlineDirectory,
                             DlssPreset configuredPreset) noexcept
{
    try {
        StreamlineInventory in;
        in.directory = streamlineDirectory.wstring();
        in.interposer = fileVersionOf((streamlineDirectory / L"sl.interposer.dll").wstring());
        logLine("Streamline: sl.interposer.dll version %s (Streamline %s)",
                versionText(in.interposer).c_str(),
                in.interposer.known ? toUtf8(releaseOf(in.interposer)).c_str() : "of unknown release");
        for (const std::wstring& name : listedFiles(streamlineDirectory)) {
            if (_wcsicmp(name.c_str(), L"sl.interposer.dll") == 0)
                continue;
            const FileVersion version = fileVersionOf((streamlineDirectory / name).wstring());
            logLine("Streamline: %s version %s", toUtf8(name).c_str(), versionText(version).c_str());
            for (std::size_t f = 0; f < setFileCount; ++f) {
                if (_wcsicmp(name.c_str(), fileNames[f]) == 0) {
                    in.present[f] = true;
                    in.versions[f] = version;
                }
            }
        }
        in.taken = true;
        logFindings(in);
        logPresetMeaning(in, configuredPreset);
        inventory = std::move(in);
    } catch (...) {
        // Without memory for names the inventory stays untaken: no cause is named later.
    }
}

const StreamlineInventory& streamlineInventory() noexcept
{
    return inventory;
}

void replaceStreamlineInventory(const StreamlineInventory& replacement)
{
    inventory = replacement;
}

FrameGenerationRelease frameGenerationRelease(const StreamlineInventory& in) noexcept
{
    const FileVersion& plugin = versionOf(in, SetFile::dlssg);
    const FileVersion& v = present(in, SetFile::dlssg) && plugin.known ? plugin : in.interposer;
    FrameGenerationRelease release;
    release.retainsResourcesWhenAsked = in.taken && v.atLeast(2, 3, 0);
    release.forgetsOptionsEachPresent = in.taken && v.atLeast(2, 4, 0) && !v.atLeast(2, 4, 10);
    return release;
}

LikelyCause likelyCause(const StreamlineInventory& in, sl::Feature feature, sl::Result result) noexcept
{
    LikelyCause cause;
    if (!in.taken || result == sl::Result::eOk)
        return cause;
    const FeatureFiles* files = nullptr;
    for (const FeatureFiles& f : featureFiles)
        files = f.feature == feature ? &f : files;
    if (files == nullptr)
        return cause;
    const bool filesCount = !resultWithReasonOfItsOwn(result);
    auto found = [&cause](LikelyCause::Kind kind, SetFile file) {
        cause.kind = kind;
        cause.file = file;
        return cause;
    };
    if (filesCount) {
        if (!present(in, SetFile::common))
            return found(LikelyCause::Kind::missing, SetFile::common);
        if (!present(in, files->plugin))
            return found(LikelyCause::Kind::missing, files->plugin);
        if (!present(in, files->ngx))
            return found(LikelyCause::Kind::ngxMissing, files->ngx);
        if (feature == sl::kFeatureReflex && pclNeeded(in) && !present(in, SetFile::pcl))
            return found(LikelyCause::Kind::pclMissing, SetFile::pcl);
    }
    for (SetFile file : {files->plugin, SetFile::common})
        if (otherRelease(in, file))
            return found(LikelyCause::Kind::otherRelease, file);
    if (feature == sl::kFeatureDLSS_G) {
        cause = likelyCause(in, sl::kFeatureReflex, result);
        cause.throughReflex = cause.kind != LikelyCause::Kind::none;
    }
    return cause;
}

std::wstring likelyCauseText(const StreamlineInventory& in, const LikelyCause& cause)
{
    const std::wstring name = setFileName(cause.file);
    const std::wstring folder = L"the streamline folder (" + in.directory + L")";
    std::wstring text;
    switch (cause.kind) {
    case LikelyCause::Kind::none:
        return {};
    case LikelyCause::Kind::missing:
        text = L"The file " + name + L" is missing from " + folder + L". Copy it there from " +
               sameReleaseAsInterposer(in) + L".";
        break;
    case LikelyCause::Kind::ngxMissing:
        text = L"The file " + name + L" is missing from " + folder + L": " +
               setFileName(cause.file == SetFile::ngxDlss ? SetFile::dlss : SetFile::dlssg) +
               L" cannot run without it. Copy it there from " + sameReleaseAsInterposer(in) + L".";
        break;
    case LikelyCause::Kind::pclMissing:
        text = L"The file sl.pcl.dll is missing from " + folder +
               L": Streamline 2.3 and later cannot start Reflex without it. Copy it there from " +
               sameReleaseAsInterposer(in) + L".";
        break;
    case LikelyCause::Kind::otherRelease:
        text = L"The file " + name + L" in " + folder + L" is from Streamline " +
               releaseOf(versionOf(in, cause.file)) + L", but sl.interposer.dll is from " +
               releaseOf(in.interposer) +
               L". Copy all of Streamline's files from one release into that folder.";
        break;
    }
    if (cause.throughReflex)
        text = L"DLSS Frame Generation needs Reflex, which cannot start. " + text;
    return text;
}

void explainUnavailableFeature(const char* featureName, sl::Feature feature, sl::Result result,
                               const wchar_t* boxText) noexcept
{
    try {
        const std::wstring cause = likelyCauseText(inventory, likelyCause(inventory, feature, result));
        if (!cause.empty())
            logLine("%s: likely cause: %s", featureName, toUtf8(cause).c_str());
        if (boxText == nullptr)
            return;
        // The box's own text stays as it is; the cause is a paragraph after it.
        showErrorBox(cause.empty() ? boxText : (std::wstring(boxText) + L"\n" + cause + L"\n").c_str());
    } catch (...) {
        if (boxText != nullptr)
            showErrorBox(boxText);
    }
}

const wchar_t* frameGenerationStatusCause(std::uint32_t status) noexcept
{
    return statusCauseTexts[static_cast<std::size_t>(statusCause(inventory, status))];
}

void logFrameGenerationStatusCause(std::uint32_t status) noexcept
{
    if (const LogEvent<std::uint32_t>* event =
            statusCauseEvents[static_cast<std::size_t>(statusCause(inventory, status))])
        logEvent(*event, status);
}

std::size_t appendFrameGenerationStatusCause(std::uint32_t status, wchar_t* text, std::size_t length,
                                             std::size_t capacity) noexcept
{
    const wchar_t* cause = frameGenerationStatusCause(status);
    if (cause == nullptr || text == nullptr)
        return length;
    const std::size_t causeLength = wcslen(cause);
    if (length + 2 + causeLength + 1 > capacity)
        return length;
    text[length++] = L'\n';
    text[length++] = L'\n';
    for (std::size_t i = 0; i < causeLength; ++i)
        text[length++] = cause[i];
    text[length] = L'\0';
    return length;
}

} // namespace fsr2bridge
