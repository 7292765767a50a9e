#pragma once
#include <cstdint>

#include <windows.h>

#include "settings/config.h"
#include "streamline/sl_types.h"

namespace fsr2bridge {

// Frame tokens are Streamline's own (slGetNewFrameToken), not Reflex's: DLSS needs one per frame whether or
// not Reflex runs. Fetches the first two tokens from the loaded interposer, once; true when there is a
// current token.
bool startFrameTokens();

// Hooks PeekMessageA, sets the Reflex options from `settings` (kept for
// reflexSleep; null: the defaults, and no sleep), then reads the ping message
// (Streamline has one only once the options are set), starts the frame tokens
// and sends eSimulationStart. From then on Reflex runs: markers and sleeps are sent.
bool startReflex(Config* settings);
// Whether startReflex succeeded; before that markers and sleeps send nothing.
bool reflexRunning();

// Moves nextFrameToken into currentFrameToken (fetching both on the first call)
// and fetches a new nextFrameToken. Fails before startFrameTokens.
bool advanceFrameToken();
// How many times the current token has moved on (first fetch included); per-frame safe.
std::uint32_t frameTokenAdvances();

// Sends `marker` with currentFrameToken; true without sending while Reflex does not run or before there is a
// token.
bool sendReflexMarker(sl::ReflexMarker marker);

// The Reflex sleep for currentFrameToken when Reflex runs and enableReflexSleep is on.
bool reflexSleep();

// Replacement of PeekMessageA: answers the Reflex ping message with ePCLatencyPing.
BOOL WINAPI peekMessageHook(LPMSG message, HWND window, UINT filterMin, UINT filterMax, UINT removeFlags);

sl::FrameToken* currentFrameToken();
sl::FrameToken* nextFrameToken();

// Reflex frame limit in microseconds for a frame-rate cap, in single precision:
// floor((1 / cap) * 1000 * 1000); 0 for no cap and for caps above 1000000.
std::uint32_t reflexFrameLimitUs(std::uint32_t fpsCap);

// The ReflexOptions record for a mode and a cap.
sl::ReflexOptions reflexOptions(std::uint32_t mode, std::uint32_t fpsCap);

} // namespace fsr2bridge
