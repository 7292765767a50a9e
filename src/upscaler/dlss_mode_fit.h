#pragma once
// DLSS takes render sizes within a range that depends on its mode and the output size. The game renders at
// its own FSR2 quality's size (FSR2 "Quality" is 67%, the default DLSS mode 50%), so the configured mode
// gives way to one whose range holds the game's render size.
#include <cstdint>

#include "streamline/sl_types.h"

namespace fsr2bridge {

// What Streamline answers for one mode at one output size.
struct DlssModeRange {
    bool known; // Streamline answered for this mode
    std::uint32_t optimalWidth, optimalHeight;
    std::uint32_t minWidth, minHeight, maxWidth, maxHeight;
};

// The ranges of every mode at one output size; index = sl::DLSSMode value (0, off, is never known).
inline constexpr std::uint32_t dlssModeCount = 7;
struct DlssModeRanges {
    std::uint32_t outputWidth, outputHeight;
    DlssModeRange modes[dlssModeCount];
};

// The mode DLSS runs for a render size: the configured one when its range holds the size (or nothing is
// known of it); else DLAA for a render size equal to the output size; else, of the modes whose range holds
// the size, the one whose optimal size is closest to it; when no range holds it, the mode whose range is
// nearest (the distance outside it, relative to the output size, summed over both axes).
sl::DLSSMode fitDlssMode(sl::DLSSMode configured, const DlssModeRanges& ranges, std::uint32_t renderWidth,
                         std::uint32_t renderHeight);

// A render size that no mode's range holds, seen from `mode`'s range: below its minimum (on either axis) or
// above its maximum, and that limit. Neither when some range holds it or nothing is known of `mode`.
struct RenderSizeOutside {
    bool below, above;
    std::uint32_t limitWidth, limitHeight;
};
RenderSizeOutside renderSizeOutside(const DlssModeRanges& ranges, sl::DLSSMode mode,
                                    std::uint32_t renderWidth, std::uint32_t renderHeight);

// Asks slDLSSGetOptimalSettings for every mode at the options' output size (once per output size: the
// answers are kept for the dispatches, a handful of output sizes). False when Streamline answered for no
// mode. Off the per-frame paths.
bool askDlssModeRanges(const sl::DLSSOptions& options, DlssModeRanges& ranges);

// The kept answers for an output size, or null. Per-frame safe: no lock, no allocation.
const DlssModeRanges* knownDlssModeRanges(std::uint32_t outputWidth, std::uint32_t outputHeight);

// Forgets the kept answers (tests, between fakes that answer differently; never while dispatches run).
void forgetDlssModeRanges();

} // namespace fsr2bridge
