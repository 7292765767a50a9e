#include "upscaler/frame_generation.h"

#include <windows.h>

#include <atomic>
#include <cstring>

#include "common/log.h"
#include "streamline/reflex.h"
#include "streamline/streamline_api.h"
#include "streamline/streamline_files.h"
#include "upscaler/upscaler_state.h"

namespace fsr2bridge {

namespace {

inline constexpr LogEvent<std::uint32_t, sl::Result> sentForNewContext{
    "Frame Generation mode {} sent for a new FSR2 context (result {})"};
inline constexpr LogEvent<std::uint32_t, sl::Result> sentAtPresent{
    "Frame Generation mode {} sent at a present (result {})"};
inline constexpr LogEvent<std::uint32_t, sl::Result> sentForBadStatus{
    "Frame Generation off after the bad status {}, until the next FSR2 context (result {})"};
inline constexpr LogEvent<std::uint32_t, sl::Result> sentBeforeResize{
    "Frame Generation mode {} sent before a swap-chain resize or full-screen change (result {})"};
inline constexpr LogEvent<std::uint32_t, sl::Result> sentAfterResize{
    "Frame Generation mode {} sent after a swap-chain resize or full-screen change (result {})"};
LogError<std::uint32_t> badStatusSeen{"Frame Generation reports the bad status {}"};
LogError<sl::Result> getStateRefused{"slDLSSGGetState failed with {}"};
LogError<> functionMissing{"a Frame Generation function of Streamline is missing"};
// The box of a bad status, as a record: it is shown from the frame's path.
inline constexpr LogEvent<std::uint32_t> statusBoxShown{
    "message box \"DLSS-G Error occured\": Got invalid DLSSG status while evaluating DLSS! Failed Status: "
    "{}"};

// Held around every Frame Generation call to Streamline and every change of the fields it guards; never
// while a box is up or the settings are read. The per-frame paths only try it: a frame never waits for a
// Streamline call made on another thread.
class FrameGenerationLock {
public:
    enum class Attempt { wait, tryOnly };
    explicit FrameGenerationLock(Attempt attempt = Attempt::wait)
        : owned_(attempt == Attempt::wait ? (AcquireSRWLockExclusive(&lock), true)
                                          : TryAcquireSRWLockExclusive(&lock) != 0)
    {
    }
    ~FrameGenerationLock()
    {
        if (owned_) {
            ReleaseSRWLockExclusive(&lock);
        }
    }
    FrameGenerationLock(const FrameGenerationLock&) = delete;
    FrameGenerationLock& operator=(const FrameGenerationLock&) = delete;
    bool owned() const { return owned_; }

private:
    static inline SRWLOCK lock = SRWLOCK_INIT;
    bool owned_;
};

// Guarded by the lock: the record (what Streamline was last sent, or would have been with Frame Generation
// enabled), the hold after a bad status, the resizes under way and the statuses already shown.
constinit sl::DLSSGOptions options{};
bool heldOff = false;
std::uint32_t pauses = 0;
constexpr std::size_t reportedCapacity = 64;
std::uint32_t reported[reportedCapacity];
std::size_t reportedCount = 0;

// The mode the callers want; read without the lock so that a present that changes nothing takes none.
constinit std::atomic<std::uint32_t> wanted{0};
// A copy of `heldOff` for readers outside the lock.
constinit std::atomic<bool> heldOffSeen{false};
// A present found the lock taken before it could bring the mode to the wanted one: the next present does.
constinit std::atomic<bool> switchPending{false};

// Statuses are a handful of bit flags, so the table never fills in practice; once full, further statuses are
// not shown rather than shown every frame.
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

// Under the lock.
sl::Result sendOptions()
{
    auto* setOptions =
        fetchFeatureFunction(streamlineApi.slDLSSGSetOptions, sl::kFeatureDLSS_G, "slDLSSGSetOptions");
    if (!setOptions) {
        logError(functionMissing);
        return sl::Result::eErrorIO;
    }
    return setOptions(viewportHandle(), options);
}

void logSwitch(FrameGenerationCause cause, std::uint32_t detail, sl::Result result)
{
    switch (cause) {
    case FrameGenerationCause::contextCreation:
        logEvent(sentForNewContext, detail, result);
        break;
    case FrameGenerationCause::present:
        logEvent(sentAtPresent, detail, result);
        break;
    case FrameGenerationCause::badStatus:
        logEvent(sentForBadStatus, detail, result);
        break;
    case FrameGenerationCause::resizeStart:
        logEvent(sentBeforeResize, detail, result);
        break;
    case FrameGenerationCause::resizeEnd:
        logEvent(sentAfterResize, detail, result);
        break;
    }
}

// Under the lock: brings the record's mode to what the callers want, unless a hold or a resize keeps it off,
// and sends it on a change when Frame Generation is enabled. The record follows even when it is disabled.
bool applyWantedMode(FrameGenerationCause cause, bool enabled)
{
    // The hand-over with a present that found the lock taken: it writes `wanted`, then sets the mark; here
    // the mark is cleared, then `wanted` read. Both in one total order, so that either this reads the
    // present's mode or the present's mark stays set for the next present (with relaxed order a store can
    // wait in its buffer while the load after it goes ahead, and the switch was lost).
    switchPending.exchange(false, std::memory_order_seq_cst);
    const bool on = wanted.load(std::memory_order_seq_cst) != 0 && !heldOff && pauses == 0;
    const sl::DLSSGMode mode = on ? sl::DLSSGMode::eOn : sl::DLSSGMode::eOff;
    if (options.mode == mode) {
        return true;
    }
    options.mode = mode;
    if (!enabled) {
        return true;
    }
    const sl::Result result = sendOptions();
    logSwitch(cause, static_cast<std::uint32_t>(mode), result);
    return streamlineAccepted(result, StreamlineCall::slDLSSGSetOptions);
}

// The record of a new context, built aside and copied in whole; the padding stays zero.
sl::DLSSGOptions freshOptions(std::uint32_t maxRenderWidth, std::uint32_t maxRenderHeight)
{
    sl::DLSSGOptions fresh;
    std::memset(static_cast<void*>(&fresh), 0, sizeof fresh);
    fresh.structType = sl::kDLSSGOptionsType;
    fresh.structVersion = sl::kDLSSGOptionsVersion;
    fresh.mode = sl::DLSSGMode::eOff;
    fresh.numFramesToGenerate = 1;
    fresh.flags = sl::kDLSSGFlagDynamicResolutionEnabled;
    fresh.dynamicResWidth = maxRenderWidth;
    fresh.dynamicResHeight = maxRenderHeight;
    return fresh;
}

void showStatusBox(std::uint32_t status)
{
    wchar_t text[1024];
    const std::size_t length = formatFrameGenerationStatusMessage(status, text, sizeof text / sizeof text[0]);
    appendFrameGenerationStatusCause(status, text, length, sizeof text / sizeof text[0]);
    logEvent(statusBoxShown, status);
    logFrameGenerationStatusCause(status);
    MessageBoxW(nullptr, text, frameGenerationErrorCaption, MB_ICONERROR);
}

// Switches off for a bad status, once: later bad statuses find it held off already.
bool holdOff(std::uint32_t status)
{
    FrameGenerationLock guard;
    if (heldOff) {
        return true;
    }
    heldOff = true;
    heldOffSeen.store(true, std::memory_order_relaxed);
    // Sent whatever the mode and the settings: Streamline's own state may be on.
    options.mode = sl::DLSSGMode::eOff;
    const sl::Result result = sendOptions();
    logSwitch(FrameGenerationCause::badStatus, status, result);
    return streamlineAccepted(result, StreamlineCall::slDLSSGSetOptions);
}

} // namespace

bool frameGenerationEnabled(const Settings& settings)
{
    return settings.enableFrameGeneration && reflexRunning();
}

void startFrameGeneration(std::uint32_t maxRenderWidth, std::uint32_t maxRenderHeight, bool enabled)
{
    const sl::DLSSGOptions fresh = freshOptions(maxRenderWidth, maxRenderHeight);
    {
        FrameGenerationLock guard;
        std::memcpy(static_cast<void*>(&options), &fresh, sizeof options);
        heldOff = false;
        heldOffSeen.store(false, std::memory_order_relaxed);
        wanted.store(0, std::memory_order_relaxed);
    }
    logLine("Frame Generation starts afresh for a new FSR2 context (dynamic resolution %ux%u, %s)",
            maxRenderWidth, maxRenderHeight, enabled ? "enabled" : "disabled");
    if (enabled) {
        setFrameGenerationMode(1, FrameGenerationCause::contextCreation);
    }
}

bool setFrameGenerationMode(std::uint32_t mode, FrameGenerationCause cause)
{
    if (wanted.exchange(mode, std::memory_order_seq_cst) == mode &&
        !switchPending.load(std::memory_order_seq_cst)) {
        return true;
    }
    const bool enabled = frameGenerationEnabled(upscalerSettings());
    const bool present = cause == FrameGenerationCause::present;
    FrameGenerationLock guard(present ? FrameGenerationLock::Attempt::tryOnly
                                      : FrameGenerationLock::Attempt::wait);
    if (!guard.owned()) {
        // Another thread is in a Frame Generation call: the switch waits for the next present, not this one.
        switchPending.store(true, std::memory_order_seq_cst);
        return true;
    }
    return applyWantedMode(cause, enabled);
}

bool checkFrameGenerationHealth()
{
    auto* getState =
        fetchFeatureFunction(streamlineApi.slDLSSGGetState, sl::kFeatureDLSS_G, "slDLSSGGetState");
    if (!getState) {
        logError(functionMissing);
        return false;
    }
    sl::DLSSGState state{};
    state.estimatedVRAMUsageInBytes = 0;
    state.status = 0;
    state.minWidthOrHeight = 0;
    state.numFramesActuallyPresented = 0;
    sl::Result result;
    {
        FrameGenerationLock guard(FrameGenerationLock::Attempt::tryOnly);
        if (!guard.owned()) {
            return true; // a switch is being sent on another thread: the next dispatch asks
        }
        result = getState(viewportHandle(), state, nullptr);
    }
    if (!streamlineAccepted(result, StreamlineCall::slDLSSGGetState)) {
        logError(getStateRefused, result);
        return false;
    }
    if (state.status == 0) {
        return true;
    }
    logError(badStatusSeen, state.status);
    // Off before the box, which blocks this thread until it is closed: presents meanwhile find it held off.
    const bool switchedOff = holdOff(state.status);
    bool show;
    {
        FrameGenerationLock guard;
        show = firstReportOf(state.status);
    }
    if (show) {
        showStatusBox(state.status);
    }
    return switchedOff;
}

bool pauseFrameGeneration()
{
    const bool enabled = frameGenerationEnabled(upscalerSettings());
    FrameGenerationLock guard;
    ++pauses;
    return applyWantedMode(FrameGenerationCause::resizeStart, enabled);
}

bool resumeFrameGeneration()
{
    const bool enabled = frameGenerationEnabled(upscalerSettings());
    FrameGenerationLock guard;
    if (pauses > 0) {
        --pauses;
    }
    return applyWantedMode(FrameGenerationCause::resizeEnd, enabled);
}

sl::DLSSGOptions frameGenerationOptions()
{
    sl::DLSSGOptions copy;
    FrameGenerationLock guard;
    std::memcpy(static_cast<void*>(&copy), &options, sizeof copy);
    return copy;
}

bool frameGenerationHeldOff()
{
    return heldOffSeen.load(std::memory_order_relaxed);
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

void resetFrameGenerationState(std::uint32_t mode)
{
    FrameGenerationLock guard;
    options = sl::DLSSGOptions{};
    options.mode = static_cast<sl::DLSSGMode>(mode);
    wanted.store(mode, std::memory_order_relaxed);
    heldOff = false;
    heldOffSeen.store(false, std::memory_order_relaxed);
    switchPending.store(false, std::memory_order_relaxed);
    pauses = 0;
    reportedCount = 0;
}

} // namespace fsr2bridge
