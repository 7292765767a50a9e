#include "upscaler/frame_generation.h"

#include <windows.h>

#include "streamline/streamline_api.h"
#include "upscaler/upscaler_state.h"

namespace fsr2bridge {

namespace {

sl::DLSSGOptions options{};

// Status values already shown. Statuses are a handful of bit flags, so the table never fills in practice;
// once full, further statuses are not shown rather than shown every frame.
constexpr std::size_t reportedCapacity = 64;
std::uint32_t reported[reportedCapacity];
std::size_t reportedCount = 0;

bool firstReportOf(std::uint32_t status)
{
    for (std::size_t i = 0; i < reportedCount; ++i) {
        if (reported[i] == status) {
            return false;
        }
    }
    if (reportedCount == reportedCapacity) {
        return false;
    }
    reported[reportedCount++] = status;
    return true;
}

bool sendOptions()
{
    auto* setOptions =
        fetchFeatureFunction(streamlineApi.slDLSSGSetOptions, sl::kFeatureDLSS_G, "slDLSSGSetOptions");
    return setOptions &&
           streamlineAccepted(setOptions(viewportHandle(), options), StreamlineCall::slDLSSGSetOptions);
}

void showStatusBox(std::uint32_t status)
{
    wchar_t text[128];
    formatFrameGenerationStatusMessage(status, text, sizeof text / sizeof text[0]);
    MessageBoxW(nullptr, text, frameGenerationErrorCaption, MB_ICONERROR);
}

} // namespace

sl::DLSSGOptions& frameGenerationOptions()
{
    return options;
}

bool setFrameGenerationMode(std::uint32_t mode)
{
    const auto requested = static_cast<sl::DLSSGMode>(mode);
    if (options.mode == requested) {
        return true;
    }
    options.mode = requested;
    if (!upscalerSettings().enableFrameGeneration) {
        return true;
    }
    return sendOptions();
}

bool checkFrameGenerationHealth()
{
    auto* getState =
        fetchFeatureFunction(streamlineApi.slDLSSGGetState, sl::kFeatureDLSS_G, "slDLSSGGetState");
    if (!getState) {
        return false;
    }
    sl::DLSSGState state{};
    state.estimatedVRAMUsageInBytes = 0;
    state.status = 0;
    state.minWidthOrHeight = 0;
    state.numFramesActuallyPresented = 0;
    if (!streamlineAccepted(getState(viewportHandle(), state, nullptr), StreamlineCall::slDLSSGGetState)) {
        return false;
    }
    if (state.status == 0) {
        return true;
    }
    if (firstReportOf(state.status)) {
        showStatusBox(state.status);
    }
    options.mode = sl::DLSSGMode::eOff;
    return sendOptions();
}

std::size_t formatFrameGenerationStatusMessage(std::uint32_t status, wchar_t* out, std::size_t capacity)
{
    constexpr std::size_t prefixLength = sizeof frameGenerationErrorPrefix / sizeof(wchar_t) - 1;
    wchar_t digits[10];
    std::size_t digitCount = 0;
    do {
        digits[digitCount++] = static_cast<wchar_t>(L'0' + status % 10);
        status /= 10;
    } while (status != 0);
    if (!out || capacity < prefixLength + digitCount + 1) {
        return 0;
    }
    std::size_t length = 0;
    for (std::size_t i = 0; i < prefixLength; ++i) {
        out[length++] = frameGenerationErrorPrefix[i];
    }
    while (digitCount > 0) {
        out[length++] = digits[--digitCount];
    }
    out[length] = L'\0';
    return length;
}

void forgetReportedFrameGenerationStatuses()
{
    reportedCount = 0;
}

} // namespace fsr2bridge
