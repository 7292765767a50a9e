#include "upscaler/dlss_mode_fit.h"

#include <atomic>
#include <cmath>
#include <iterator>

#include "streamline/streamline_api.h"

namespace fsr2bridge {

namespace {

bool holds(const DlssModeRange& range, std::uint32_t width, std::uint32_t height)
{
    return range.known && width >= range.minWidth && width <= range.maxWidth && height >= range.minHeight &&
           height <= range.maxHeight;
}

// How far a render size lies from a mode's optimal size, relative to the output size on each axis.
double distanceToOptimal(const DlssModeRange& range, const DlssModeRanges& ranges, std::uint32_t width,
                         std::uint32_t height)
{
    const auto axis = [](std::uint32_t optimal, std::uint32_t size, std::uint32_t output) {
        return std::fabs(static_cast<double>(optimal) - static_cast<double>(size)) /
               static_cast<double>(output == 0 ? 1 : output);
    };
    return axis(range.optimalWidth, width, ranges.outputWidth) +
           axis(range.optimalHeight, height, ranges.outputHeight);
}

// How far a render size lies outside a mode's range, relative to the output size on each axis (0 inside).
double distanceOutside(const DlssModeRange& range, const DlssModeRanges& ranges, std::uint32_t width,
                       std::uint32_t height)
{
    const auto axis = [](std::uint32_t size, std::uint32_t low, std::uint32_t high, std::uint32_t output) {
        const double outside = size < low    ? static_cast<double>(low - size)
                               : size > high ? static_cast<double>(size - high)
                                             : 0.0;
        return outside / static_cast<double>(output == 0 ? 1 : output);
    };
    return axis(width, range.minWidth, range.maxWidth, ranges.outputWidth) +
           axis(height, range.minHeight, range.maxHeight, ranges.outputHeight);
}

// Answers kept for the dispatches. Slots are taken once and filled before they are marked ready, so a
// dispatch reads only complete answers while a context creation on another thread adds one.
struct KeptRanges {
    std::atomic<bool> ready{false};
    DlssModeRanges ranges{};
};
KeptRanges kept[8];
std::atomic<std::uint32_t> keptTaken{0};

void keep(const DlssModeRanges& ranges)
{
    const std::uint32_t slot = keptTaken.fetch_add(1);
    if (slot >= std::size(kept))
        return; // full: later output sizes are asked at each context creation, and dispatches keep its mode
    kept[slot].ranges = ranges;
    kept[slot].ready.store(true, std::memory_order_release);
}

} // namespace

sl::DLSSMode fitDlssMode(sl::DLSSMode configured, const DlssModeRanges& ranges, std::uint32_t renderWidth,
                         std::uint32_t renderHeight)
{
    const auto configuredIndex = static_cast<std::uint32_t>(configured);
    if (configuredIndex >= dlssModeCount || !ranges.modes[configuredIndex].known ||
        holds(ranges.modes[configuredIndex], renderWidth, renderHeight))
        return configured;
    const auto dlaa = static_cast<std::uint32_t>(sl::DLSSMode::eDLAA);
    if (renderWidth == ranges.outputWidth && renderHeight == ranges.outputHeight && ranges.modes[dlaa].known)
        return sl::DLSSMode::eDLAA;
    sl::DLSSMode best = configured;
    double bestDistance = 0.0;
    bool found = false;
    for (std::uint32_t mode = 1; mode < dlssModeCount; ++mode) {
        const DlssModeRange& range = ranges.modes[mode];
        if (!holds(range, renderWidth, renderHeight))
            continue;
        const double distance = distanceToOptimal(range, ranges, renderWidth, renderHeight);
        if (!found || distance < bestDistance) {
            best = static_cast<sl::DLSSMode>(mode);
            bestDistance = distance;
            found = true;
        }
    }
    if (found)
        return best;
    // No mode takes it: the one whose range is nearest (Streamline may still refuse; the dispatch says so).
    for (std::uint32_t mode = 1; mode < dlssModeCount; ++mode) {
        const DlssModeRange& range = ranges.modes[mode];
        if (!range.known)
            continue;
        const double distance = distanceOutside(range, ranges, renderWidth, renderHeight);
        if (!found || distance < bestDistance) {
            best = static_cast<sl::DLSSMode>(mode);
            bestDistance = distance;
            found = true;
        }
    }
    return best;
}

RenderSizeOutside renderSizeOutside(const DlssModeRanges& ranges, sl::DLSSMode mode,
                                    std::uint32_t renderWidth, std::uint32_t renderHeight)
{
    RenderSizeOutside outside{};
    for (std::uint32_t m = 1; m < dlssModeCount; ++m)
        if (holds(ranges.modes[m], renderWidth, renderHeight))
            return outside;
    const auto index = static_cast<std::uint32_t>(mode);
    if (index >= dlssModeCount || !ranges.modes[index].known)
        return outside;
    const DlssModeRange& range = ranges.modes[index];
    outside.below = renderWidth < range.minWidth || renderHeight < range.minHeight;
    outside.above = !outside.below;
    outside.limitWidth = outside.below ? range.minWidth : range.maxWidth;
    outside.limitHeight = outside.below ? range.minHeight : range.maxHeight;
    return outside;
}

bool askDlssModeRanges(const sl::DLSSOptions& options, DlssModeRanges& ranges)
{
    if (const DlssModeRanges* known = knownDlssModeRanges(options.outputWidth, options.outputHeight)) {
        ranges = *known;
        return true;
    }
    auto* optimalSettings = fetchFeatureFunction(streamlineApi.slDLSSGetOptimalSettings, sl::kFeatureDLSS,
                                                 "slDLSSGetOptimalSettings");
    if (optimalSettings == nullptr)
        return false;
    ranges = DlssModeRanges{};
    ranges.outputWidth = options.outputWidth;
    ranges.outputHeight = options.outputHeight;
    bool any = false;
    for (std::uint32_t mode = 1; mode < dlssModeCount; ++mode) {
        sl::DLSSOptions asked = options;
        asked.mode = static_cast<sl::DLSSMode>(mode);
        sl::DLSSOptimalSettings answer{};
        if (!streamlineAccepted(optimalSettings(asked, answer), StreamlineCall::slDLSSGetOptimalSettings))
            continue;
        ranges.modes[mode] = DlssModeRange{true,
                                           answer.optimalRenderWidth,
                                           answer.optimalRenderHeight,
                                           answer.renderWidthMin,
                                           answer.renderHeightMin,
                                           answer.renderWidthMax,
                                           answer.renderHeightMax};
        any = true;
    }
    if (any)
        keep(ranges);
    return any;
}

void forgetDlssModeRanges()
{
    for (KeptRanges& slot : kept)
        slot.ready.store(false, std::memory_order_relaxed);
    keptTaken.store(0);
}

const DlssModeRanges* knownDlssModeRanges(std::uint32_t outputWidth, std::uint32_t outputHeight)
{
    for (const KeptRanges& slot : kept) {
        if (!slot.ready.load(std::memory_order_acquire))
            continue;
        if (slot.ranges.outputWidth == outputWidth && slot.ranges.outputHeight == outputHeight)
            return &slot.ranges;
    }
    return nullptr;
}

} // namespace fsr2bridge
