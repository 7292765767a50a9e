#pragma once
// What Streamline release the player installed: the interposer's version and every plug-in and NGX library
// in the streamline folder, read once at start-up (file_version.h: no file is loaded for it), logged, and
// checked for an incomplete or mixed set. When a feature turns out unavailable, or Frame Generation reports a
// bad status, the files name the likely cause and the file to copy, for the log and the box.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "settings/config.h"
#include "streamline/file_version.h"
#include "streamline/sl_types.h"

namespace fsr2bridge {

// The files of a set that the system's features rely on.
enum class SetFile : std::uint8_t { common, reflex, pcl, dlss, dlssg, nis, ngxDlss, ngxDlssg };
inline constexpr std::size_t setFileCount = 8;
const wchar_t* setFileName(SetFile file) noexcept;

struct StreamlineInventory {
    bool taken = false; // false until start-up read the folder (and in tests of other parts)
    std::wstring directory;
    FileVersion interposer;
    bool present[setFileCount] = {};
    FileVersion versions[setFileCount] = {};
};

// Reads the folder of the interposer, logs every sl.*.dll and nvngx_*.dll with its version, what is missing
// or from another release, and a configured DLSS preset that this release treats as the default. Once, from
// the loader, before the interposer is loaded.
void takeStreamlineInventory(const std::filesystem::path& streamlineDirectory,
                             DlssPreset configuredPreset) noexcept;
const StreamlineInventory& streamlineInventory() noexcept;
// For tests: the inventory the causes below are taken from.
void replaceStreamlineInventory(const StreamlineInventory& inventory);

// The file most likely to keep a feature from running, as the inventory shows it.
struct LikelyCause {
    enum class Kind : std::uint8_t { none, missing, ngxMissing, pclMissing, otherRelease };
    Kind kind = Kind::none;
    SetFile file = SetFile::common;
    bool throughReflex = false; // Frame Generation: Reflex, which it needs, cannot start
};
// A result that names a reason of its own (driver, Windows, GPU scheduling, GPU) is only explained by a set
// of mixed releases; any other by a missing file too.
LikelyCause likelyCause(const StreamlineInventory& inventory, sl::Feature feature,
                        sl::Result result) noexcept;
// The cause in a player's words, with the file to copy; empty for none.
std::wstring likelyCauseText(const StreamlineInventory& inventory, const LikelyCause& cause);

// What the installed Frame Generation plug-in (sl.dlss_g.dll; without its version, the interposer's release)
// does with its options: 2.3.0 and later keep the resources while off when asked to
// (eRetainResourcesWhenOff), 2.4.0 to 2.4.9 forget the options after every present.
struct FrameGenerationRelease {
    bool retainsResourcesWhenAsked = false;
    bool forgetsOptionsEachPresent = false;
};
FrameGenerationRelease frameGenerationRelease(const StreamlineInventory& inventory) noexcept;

// Device attachment, for a feature that is not available: logs the likely cause and shows `boxText` (when the
// result has a box) with the cause as a paragraph after it.
void explainUnavailableFeature(const char* featureName, sl::Feature feature, sl::Result result,
                               const wchar_t* boxText) noexcept;

// Frame Generation's bad status: the likely cause as a fixed text (null for none), and the same as a log
// record. Neither allocates nor locks: they are reached from a dispatch.
const wchar_t* frameGenerationStatusCause(std::uint32_t status) noexcept;
void logFrameGenerationStatusCause(std::uint32_t status) noexcept;
// Appends "\n\n" and the cause to the box text in `text` (its length `length`, room for `capacity` characters
// with the terminator); returns the new length (unchanged without a cause or room).
std::size_t appendFrameGenerationStatusCause(std::uint32_t status, wchar_t* text, std::size_t length,
                                             std::size_t capacity) noexcept;

} // namespace fsr2bridge
