#pragma once
// The stand-in overlay inside the stand-in game (--overlay): loaded before or after the bridge, attached
// there or at a frame, and what it did added to the game's report.
#include "testbed/host/host_report.h"

#include <string>

namespace hostgame {

// Loads the overlay DLL and, unless `attachLater`, calls its OverlayAttach at once. False when it is missing.
bool loadOverlay(const std::wstring& path, bool attachLater, Report& report);
// Calls OverlayAttach (--overlay-at).
void attachOverlay();
// Waits (at most 10 s) until an attach on the overlay's own thread has ended.
void awaitOverlayAttach();
// The overlay's counters as overlay_* keys, once its attach thread has ended.
void reportOverlay(Report& report);

} // namespace hostgame
