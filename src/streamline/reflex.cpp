#include "streamline/reflex.h"

#include "hooking/hook_and_enable.h"
#include "streamline/streamline_api.h"

namespace fsr2bridge {
namespace {

sl::FrameToken* currentToken = nullptr;
sl::FrameToken* nextToken = nullptr;
UINT latencyPingMessage = 0;
HMODULE frameTokenModule = nullptr;
Config* reflexSettings = nullptr;

using PeekMessageAFn = BOOL(WINAPI*)(LPMSG, HWND, UINT, UINT, UINT);
PeekMessageAFn peekMessageTrampoline = nullptr;

bool hookPeekMessage()
{
    return hookExportAndEnable(L"user32.dll", "PeekMessageA", reinterpret_cast<void*>(&peekMessageHook),
                               reinterpret_cast<void**>(&peekMessageTrampoline));
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

bool startReflex(Config* settings)
{
    frameTokenModule = streamlineApi.interposerModule;
    reflexSettings = settings;
    if (!hookPeekMessage()) {
        return false;
    }
    const Settings values = settings != nullptr ? settings->snapshot() : Settings{};
    const sl::ReflexOptions options =
        reflexOptions(static_cast<std::uint32_t>(values.reflexMode), values.reflexFpsCap);
    auto* setOptions =
        fetchFeatureFunction(streamlineApi.slReflexSetOptions, sl::kFeatureReflex, "slReflexSetOptions");
    if (setOptions == nullptr ||
        !streamlineAccepted(setOptions(options), StreamlineCall::slReflexSetOptions)) {
        return false;
    }
    // Streamline sets the latency ping message up with the first options: the state is read after them.
    sl::ReflexState state{}; // header, flags false, 64 zeroed reports with their headers
    auto* getState =
        fetchFeatureFunction(streamlineApi.slReflexGetState, sl::kFeatureReflex, "slReflexGetState");
    if (getState == nullptr || !streamlineAccepted(getState(state), StreamlineCall::slReflexGetState)) {
        return false;
    }
    latencyPingMessage = state.statsWindowMessage;
    if (!advanceFrameToken()) {
        return false;
    }
    sendReflexMarker(sl::ReflexMarker::eSimulationStart);
    return true;
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
    } else if (!streamlineAccepted(newToken(currentToken, nullptr), StreamlineCall::slGetNewFrameToken)) {
        return false;
    }
    return streamlineAccepted(newToken(nextToken, nullptr), StreamlineCall::slGetNewFrameToken);
}

bool sendReflexMarker(sl::ReflexMarker marker)
{
    sl::FrameToken* token = currentToken;
    if (token == nullptr) {
        return true;
    }
    auto* setMarker =
        fetchFeatureFunction(streamlineApi.slReflexSetMarker, sl::kFeatureReflex, "slReflexSetMarker");
    if (setMarker == nullptr) {
        return false;
    }
    return streamlineAccepted(setMarker(marker, *token), StreamlineCall::slReflexSetMarker);
}

bool reflexSleep()
{
    if (reflexSettings == nullptr || !reflexSettings->snapshot().enableReflexSleep) {
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
    return streamlineAccepted(sleep(*token), StreamlineCall::slReflexSleep);
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
    if (message->message == latencyPingMessage && latencyPingMessage != 0 && token != nullptr) {
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
