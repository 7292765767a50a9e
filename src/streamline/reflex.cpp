#include "streamline/reflex.h"

#include <atomic>

#include "common/log.h"
#include "hooking/hook_and_enable.h"
#include "streamline/device_loss.h"
#include "streamline/streamline_api.h"

namespace fsr2bridge {
namespace {

sl::FrameToken* currentToken = nullptr;
sl::FrameToken* nextToken = nullptr;
UINT latencyPingMessage = 0;
HMODULE frameTokenModule = nullptr;
Config* reflexSettings = nullptr;
std::atomic<bool> reflexStarted{false};
std::atomic<std::uint32_t> tokenAdvances{0};

// Streamline's errors on the present's path: the first of each in full, later ones counted.
LogError<sl::Result> tokenFailed{"slGetNewFrameToken failed with {} ({n})"};
LogError<sl::ReflexMarker, sl::Result> markerFailed{"slReflexSetMarker of marker {} failed with {} ({n})"};
LogError<sl::Result> sleepFailed{"slReflexSleep failed with {} ({n})"};

bool tokenAccepted(sl::Result result)
{
    if (streamlineAccepted(result, StreamlineCall::slGetNewFrameToken))
        return true;
    logError(tokenFailed, result);
    return false;
}

using PeekMessageAFn = BOOL(WINAPI*)(LPMSG, HWND, UINT, UINT, UINT);
PeekMessageAFn peekMessageTrampoline = nullptr;

bool hookPeekMessage()
{
    const bool installed =
        hookExportAndEnable(L"user32.dll", "PeekMessageA", reinterpret_cast<void*>(&peekMessageHook),
                            reinterpret_cast<void**>(&peekMessageTrampoline));
    if (installed)
        logLine("hook on PeekMessageA installed (Reflex latency ping)");
    else
        logLine("hook on PeekMessageA not installed (%s)",
                peekMessageTrampoline != nullptr ? "it is already in place from an earlier device"
                                                 : "the hook could not be made");
    return installed;
}

// A failed step of the Reflex start-up, in the log; false for the caller to return. A null function is one
// slGetFeatureFunction did not give.
template <class F> bool reflexStartFailed(const char* name, F* function, sl::Result result)
{
    if (function == nullptr)
        logLine("Reflex not started: Streamline does not give %s", name);
    else
        logLine("Reflex not started: %s returned %d (%s)", name, static_cast<int>(result),
                streamlineResultName(result));
    return false;
}

} // namespace

std::uint32_t reflexFrameLimitUs(std::uint32_t fpsCap)
{
    if (fpsCap == 0) {
        return 0;
    }
    // The order and the single precision decide the rounding (625 -> 1599).
    const float reciprocal = 1.0f / static_cast<float>(fpsCap);
    const float milli = reciprocal * 1000.0f;
    const float micro = milli * 1000.0f;
    return static_cast<std::uint32_t>(micro);
}

sl::ReflexOptions reflexOptions(std::uint32_t mode, std::uint32_t fpsCap)
{
    sl::ReflexOptions options{};
    options.mode = static_cast<sl::ReflexMode>(mode);
    options.frameLimitUs = reflexFrameLimitUs(fpsCap);
    options.useMarkersToOptimize = true;
    options.virtualKey = 0;
    options.idThread = 0;
    return options;
}

bool startFrameTokens()
{
    if (frameTokenModule == nullptr)
        frameTokenModule = streamlineApi.interposerModule;
    return currentToken != nullptr || advanceFrameToken();
}

bool startReflex(Config* settings)
{
    reflexSettings = settings;
    if (!hookPeekMessage()) {
        return false;
    }
    const Settings values = settings != nullptr ? settings->snapshot() : Settings{};
    const sl::ReflexOptions options =
        reflexOptions(static_cast<std::uint32_t>(values.reflexMode), values.reflexFpsCap);
    auto* setOptions =
        fetchFeatureFunction(streamlineApi.slReflexSetOptions, sl::kFeatureReflex, "slReflexSetOptions");
    const sl::Result optionsResult = setOptions != nullptr ? setOptions(options) : sl::Result::eErrorIO;
    if (!streamlineAccepted(optionsResult, StreamlineCall::slReflexSetOptions)) {
        return reflexStartFailed("slReflexSetOptions", setOptions, optionsResult);
    }
    // Streamline sets the latency ping message up with the first options: the state is read after them.
    sl::ReflexState state{}; // header, flags false, 64 zeroed reports with their headers
    auto* getState =
        fetchFeatureFunction(streamlineApi.slReflexGetState, sl::kFeatureReflex, "slReflexGetState");
    const sl::Result stateResult = getState != nullptr ? getState(state) : sl::Result::eErrorIO;
    if (!streamlineAccepted(stateResult, StreamlineCall::slReflexGetState)) {
        return reflexStartFailed("slReflexGetState", getState, stateResult);
    }
    latencyPingMessage = state.statsWindowMessage;
    reflexStarted.store(true, std::memory_order_release);
    if (!startFrameTokens())
        logLine("Reflex: no frame token from slGetNewFrameToken yet; markers wait for the first one");
    sendReflexMarker(sl::ReflexMarker::eSimulationStart);
    logLine("Reflex started: mode %u, frame limit %u us, sleep %s", static_cast<unsigned>(options.mode),
            options.frameLimitUs, values.enableReflexSleep ? "on" : "off");
    return true;
}

bool reflexRunning()
{
    return reflexStarted.load(std::memory_order_acquire);
}

bool advanceFrameToken()
{
    auto* newToken =
        fetchCoreFunction(streamlineApi.slGetNewFrameToken, frameTokenModule, "slGetNewFrameToken");
    if (newToken == nullptr) {
        return false;
    }
    if (nextToken != nullptr) {
        currentToken = nextToken;
    } else if (!tokenAccepted(newToken(currentToken, nullptr))) {
        return false;
    }
    // One writer at a time in practice: presents, or dispatches while no present is seen (a dispatch meeting
    // the first present that is seen again may skip a token, nothing worse). No locked instruction per frame.
    tokenAdvances.store(tokenAdvances.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    return tokenAccepted(newToken(nextToken, nullptr));
}

std::uint32_t frameTokenAdvances()
{
    return tokenAdvances.load(std::memory_order_acquire);
}

bool sendReflexMarker(sl::ReflexMarker marker)
{
    sl::FrameToken* token = currentToken;
    if (token == nullptr || !reflexRunning()) {
        return true;
    }
    auto* setMarker =
        fetchFeatureFunction(streamlineApi.slReflexSetMarker, sl::kFeatureReflex, "slReflexSetMarker");
    if (setMarker == nullptr) {
        return false;
    }
    const sl::Result result = setMarker(marker, *token);
    if (streamlineAccepted(result, StreamlineCall::slReflexSetMarker))
        return true;
    logError(markerFailed, marker, result);
    return false;
}

bool reflexSleep()
{
    if (!reflexRunning() || reflexSettings == nullptr || !reflexSettings->snapshot().enableReflexSleep) {
        return true;
    }
    sl::FrameToken* token = currentToken;
    if (token == nullptr) {
        return true;
    }
    auto* sleep = fetchFeatureFunction(streamlineApi.slReflexSleep, sl::kFeatureReflex, "slReflexSleep");
    if (sleep == nullptr) {
        return false;
    }
    const sl::Result result = sleep(*token);
    if (streamlineAccepted(result, StreamlineCall::slReflexSleep))
        return true;
    logError(sleepFailed, result);
    return false;
}

BOOL WINAPI peekMessageHook(LPMSG message, HWND window, UINT filterMin, UINT filterMax, UINT removeFlags)
{
    const PeekMessageAFn system = peekMessageTrampoline;
    if (system == nullptr) {
        return FALSE;
    }
    const BOOL result = system(message, window, filterMin, filterMax, removeFlags);
    if (result == FALSE || message == nullptr) {
        return result;
    }
    sl::FrameToken* token = nextToken;
    if (message->message == latencyPingMessage && latencyPingMessage != 0 && token != nullptr &&
        !attachmentLost()) {
        auto* setMarker =
            fetchFeatureFunction(streamlineApi.slReflexSetMarker, sl::kFeatureReflex, "slReflexSetMarker");
        if (setMarker != nullptr) {
            setMarker(sl::ReflexMarker::ePCLatencyPing, *token);
        }
    }
    return result;
}

sl::FrameToken* currentFrameToken()
{
    return currentToken;
}

sl::FrameToken* nextFrameToken()
{
    return nextToken;
}

} // namespace fsr2bridge
