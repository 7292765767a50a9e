#pragma once
#include <cstdint>

#include <windows.h>

#include "settings/config.h"
#include "streamline/sl_types.h"

namespace fsr2bridge {

// Hooks PeekMessageA, sets the Reflex options from `settings` (kept for
// reflexSleep; null: the defaults, and no sleep), then reads the ping message
// (Streamline has one only once the options are set), fetches the first frame
// tokens and sends eSimulationStart.
bool startReflex(Config* settings);

// Moves nextFrameToken into currentFrameToken (fetching both on the first call)
// and fetches a new nextFrameToken.
bool advanceFrameToken();

// Sends `marker` with currentFrameToken; true without sending before there is one.
bool sendReflexMarker(sl::ReflexMarker marker);

// The Reflex sleep for currentFrameToken when enableReflexSleep is on.
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
