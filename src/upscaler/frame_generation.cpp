#include "upscaler/frame_generation.h"

#include <windows.h>

#include <atomic>
#include <cstring>
#include <utility>

#include "common/log.h"
#include "streamline/feature_support.h"
#include "streamline/reflex.h"
#include "streamline/streamline_api.h"
#include "streamline/streamline_files.h"
#include "upscaler/upscaler_state.h"

namespace fsr2bridge {

namespace {

inline constexpr LogEvent<std::uint32_t, sl::Result> sentForNewContext{
    "Frame Generation options of mode {} sent again for a new FSR2 context's render size (result {})"};
inline constexpr LogEvent<sl::Result> sentOnAtPresent{
    "Frame Generation mode 1 sent at a present (result {})"};
inline constexpr LogEvent<sl::Result, FrameGenerationOff> sentOffAtPresent{
    "Frame Generation mode 0 sent at a present (result {}; reason {}: {n})"};
LogError<sl::Result> resendRefused{
    "slDLSSGSetOptions failed with {} ({n}) when the options were sent again at a present"};
inline constexpr LogEvent<std::uint32_t, sl::Result> sentForBadStatus{
    "Frame Generation off after the bad status {}, until the next FSR2 context (result {})"};
inline constexpr LogEvent<std::uint32_t, sl::Result> sentBeforeResize{
    "Frame Generation mode {} sent before a swap-chain resize or full-screen change (result {})"};
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
// enabled), the hold after a bad status, the resizes under way, whether the release forgets the options at
// every present, and the statuses already shown.
constinit sl::DLSSGOptions options{};
bool heldOff = false;
std::uint32_t pauses = 0;
bool forgetsOptions = false;
constexpr std::size_t reportedCapacity = 64;
std::uint32_t reported[reportedCapacity];
std::size_t reportedCount = 0;

// What keeps Frame Generation off as the presents see it (FrameGenerationOff bits; none: on); read without
// the lock so that a present that changes nothing takes none.
constinit std::atomic<std::uint32_t> wanted{static_cast<std::uint32_t>(FrameGenerationOff::notRequested)};
// On, on a release that forgets the options at every present: each present sends them again.
constinit std::atomic<bool> resendAtPresents{false};
// frameTokenAdvances() + 1 of the last frame whose inputs a dispatch tagged (0: none yet).
constinit std::atomic<std::uint32_t> inputsTaggedAt{0};
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

void logSwitch(FrameGenerationCause cause, std::uint32_t detail, sl::Result result, std::uint32_t off = 0)
{
    switch (cause) {
    case FrameGenerationCause::contextCreation:
        logEvent(sentForNewContext, detail, result);
        break;
    case FrameGenerationCause::present:
        if (off == 0)
            logEvent(sentOnAtPresent, result);
        else
            logEvent(sentOffAtPresent, result, static_cast<FrameGenerationOff>(off));
        break;
    case FrameGenerationCause::badStatus:
        logEvent(sentForBadStatus, detail, result);
        break;
    case FrameGenerationCause::resizeStart:
        logEvent(sentBeforeResize, detail, result);
        break;
    }
}

// Under the lock: brings the record's mode to what the presents want, unless a hold or a resize keeps it off,
// and sends it on a change when Frame Generation is enabled (or again, with `resend`, while on with a release
// that forgets it). The record follows even when it is disabled. The one place the reasons meet.
bool applyWantedMode(FrameGenerationCause cause, bool enabled, bool resend = false)
{
    // The hand-over with a present that found the lock taken: it writes `wanted`, then sets the mark; here
    // the mark is cleared, then `wanted` read. Both in one total order, so that either this reads the
    // present's reasons or the present's mark stays set for the next present (with relaxed order a store can
    // wait in its buffer while the load after it goes ahead, and the switch was lost).
    switchPending.exchange(false, std::memory_order_seq_cst);
    std::uint32_t off = wanted.load(std::memory_order_seq_cst);
    off |= heldOff ? static_cast<std::uint32_t>(FrameGenerationOff::badStatus) : 0;
    off |= pauses != 0 ? static_cast<std::uint32_t>(FrameGenerationOff::resize) : 0;
    const sl::DLSSGMode mode = off == 0 ? sl::DLSSGMode::eOn : sl::DLSSGMode::eOff;
    // Only what is sent is resent: with Frame Generation disabled the presents need not take the lock.
    resendAtPresents.store(forgetsOptions && mode == sl::DLSSGMode::eOn && enabled,
                           std::memory_order_relaxed);
    if (options.mode == mode) {
        if (!resend || !forgetsOptions || mode != sl::DLSSGMode::eOn || !enabled)
            return true;
        const sl::Result result = sendOptions();
        if (streamlineAccepted(result, StreamlineCall::slDLSSGSetOptions))
            return true;
        logError(resendRefused, result);
        return false;
    }
    options.mode = mode;
    if (!enabled) {
        return true;
    }
    const sl::Result result = sendOptions();
    logSwitch(cause, static_cast<std::uint32_t>(mode), result, off);
    return streamlineAccepted(result, StreamlineCall::slDLSSGSetOptions);
}

// A present's reasons to keep Frame Generation off (the request as `mode` when only that is given).
bool wish(std::uint32_t off, FrameGenerationCause cause)
{
    const bool present = cause == FrameGenerationCause::present;
    if (wanted.exchange(off, std::memory_order_seq_cst) == off &&
        !switchPending.load(std::memory_order_seq_cst) &&
        !(present && resendAtPresents.load(std::memory_order_relaxed))) {
        return true;
    }
    const bool enabled = frameGenerationEnabled(upscalerSettings());
    FrameGenerationLock guard(present ? FrameGenerationLock::Attempt::tryOnly
                                      : FrameGenerationLock::Attempt::wait);
    if (!guard.owned()) {
        // Another thread is in a Frame Generation call: the switch waits for the next present, not this one.
        switchPending.store(true, std::memory_order_seq_cst);
        return true;
    }
    return applyWantedMode(cause, enabled, present);
}

// The record of a new context, built aside and copied in whole; the padding stays zero.
sl::DLSSGOptions freshOptions(std::uint32_t maxRenderWidth, std::uint32_t maxRenderHeight, bool retain)
{
    sl::DLSSGOptions fresh;
    std::memset(static_cast<void*>(&fresh), 0, sizeof fresh);
    fresh.structType = sl::kDLSSGOptionsType;
    fresh.structVersion = sl::kDLSSGOptionsVersion;
    fresh.mode = sl::DLSSGMode::eOff;
    fresh.numFramesToGenerate = 1;
    fresh.flags =
        sl::kDLSSGFlagDynamicResolutionEnabled | (retain ? sl::kDLSSGFlagRetainResourcesWhenOff : 0);
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
    resendAtPresents.store(false, std::memory_order_relaxed);
    // Sent whatever the mode and the settings: Streamline's own state may be on.
    options.mode = sl::DLSSGMode::eOff;
    const sl::Result result = sendOptions();
    logSwitch(FrameGenerationCause::badStatus, status, result);
    return streamlineAccepted(result, StreamlineCall::slDLSSGSetOptions);
}

} // namespace

bool frameGenerationEnabled(const Settings& settings)
{
    return settings.enableFrameGeneration && !frameGenerationMissing() && reflexRunning();
}

const char* logName(FrameGenerationOff reasons) noexcept
{
    // The weightiest first: what the player can act on, then what passes by itself.
    static constexpr std::pair<FrameGenerationOff, const char*> names[] = {
        {FrameGenerationOff::badStatus, "a bad status holds it off until the next FSR2 context"},
        {FrameGenerationOff::unsupportedFormat, "the swap chain's back-buffer format"},
        {FrameGenerationOff::resize, "a swap-chain resize or full-screen change"},
        {FrameGenerationOff::inputsNotTagged, "no FSR2 upscale in this frame"},
        {FrameGenerationOff::notRequested, "not asked for by the game (a menu or loading screen)"},
    };
    for (const auto& [reason, name] : names)
        if (static_cast<std::uint32_t>(reasons) & static_cast<std::uint32_t>(reason))
            return name;
    return "none";
}

bool frameGenerationTakesBackBuffers(DXGI_FORMAT format, DXGI_COLOR_SPACE_TYPE colourSpace) noexcept
{
    return format != DXGI_FORMAT_R16G16B16A16_FLOAT && colourSpace != DXGI_COLOR_SPACE_RGB_FULL_G10_NONE_P709;
}

void startFrameGeneration(std::uint32_t maxRenderWidth, std::uint32_t maxRenderHeight, bool enabled)
{
    const FrameGenerationRelease release = frameGenerationRelease(streamlineInventory());
    sl::DLSSGOptions fresh = freshOptions(maxRenderWidth, maxRenderHeight, release.retainsResourcesWhenAsked);
    {
        FrameGenerationLock guard;
        fresh.mode = options.mode;
        const bool changed = std::memcmp(&fresh, &options, sizeof fresh) != 0;
        std::memcpy(static_cast<void*>(&options), &fresh, sizeof options);
        heldOff = false;
        heldOffSeen.store(false, std::memory_order_relaxed);
        forgetsOptions = release.forgetsOptionsEachPresent;
        // The next present decides the mode, with the hold lifted.
        switchPending.store(true, std::memory_order_seq_cst);
        if (enabled && changed && options.mode == sl::DLSSGMode::eOn) {
            const sl::Result result = sendOptions();
            logSwitch(FrameGenerationCause::contextCreation, 1, result);
            streamlineAccepted(result, StreamlineCall::slDLSSGSetOptions);
        }
    }
    logLine("Frame Generation starts afresh for a new FSR2 context (dynamic resolution %ux%u, %s%s%s)",
            maxRenderWidth, maxRenderHeight, enabled ? "enabled" : "disabled",
            release.retainsResourcesWhenAsked ? "; its resources are kept while it is off" : "",
            release.forgetsOptionsEachPresent
                ? "; this Streamline release forgets its options, so they are sent at every present"
                : "");
}

void noteFrameInputsTagged(std::uint32_t tokenAdvances)
{
    inputsTaggedAt.store(tokenAdvances + 1, std::memory_order_relaxed);
}

bool setFrameGenerationMode(const PresentedFrame& frame)
{
    const bool tagged = inputsTaggedAt.load(std::memory_order_relaxed) == frameTokenAdvances() + 1;
    std::uint32_t off = frame.requested ? 0 : static_cast<std::uint32_t>(FrameGenerationOff::notRequested);
    off |= tagged ? 0 : static_cast<std::uint32_t>(FrameGenerationOff::inputsNotTagged);
    off |= frame.formatSupported ? 0 : static_cast<std::uint32_t>(FrameGenerationOff::unsupportedFormat);
    return wish(off, FrameGenerationCause::present);
}

bool setFrameGenerationMode(std::uint32_t mode, FrameGenerationCause cause)
{
    return wish(mode != 0 ? 0 : static_cast<std::uint32_t>(FrameGenerationOff::notRequested), cause);
}

bool checkFrameGenerationHealth()
{
    auto* getState =
        fetchFeatureFunction(streamlineApi.slDLSSGGetState, sl::kFeatureDLSS_G, "slDLSSGGetState");
    if (!getState) {
        logError(functionMissing);
        return false;
    }
    // Zeroed, with room for a newer layout than the version asked for (a plug-in may write its own).
    sl::DLSSGStateRoom room;
    std::memset(static_cast<void*>(&room), 0, sizeof room);
    sl::DLSSGState& state = room.state;
    state.structType = sl::kDLSSGStateType;
    state.structVersion = sl::kDLSSGStateVersion;
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
    FrameGenerationLock guard;
    if (pauses > 0) {
        --pauses;
    }
    // The next present decides: it knows whether its frame asks for Frame Generation (a resize is often
    // followed by a menu, and a switch on here would be one only to be switched off there).
    switchPending.store(true, std::memory_order_seq_cst);
    return true;
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

void resetFrameGenerationState(std::uint32_t mode, bool forgetsOptionsEachPresent)
{
    FrameGenerationLock guard;
    options = sl::DLSSGOptions{};
    options.mode = static_cast<sl::DLSSGMode>(mode);
    wanted.store(mode != 0 ? 0 : static_cast<std::uint32_t>(FrameGenerationOff::notRequested),
                 std::memory_order_relaxed);
    forgetsOptions = forgetsOptionsEachPresent;
    resendAtPresents.store(forgetsOptionsEachPresent && mode != 0, std::memory_order_relaxed);
    inputsTaggedAt.store(0, std::memory_order_relaxed);
    heldOff = false;
    heldOffSeen.store(false, std::memory_order_relaxed);
    switchPending.store(false, std::memory_order_relaxed);
    pauses = 0;
    reportedCount = 0;
}

} // namespace fsr2bridge
