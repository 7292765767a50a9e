#pragma once
// The names of the adapters DXGI lists, for the log: a player with two GPUs (a laptop's integrated one first)
// learns which one the game's device is on.
#include "common/graphics.h"

namespace fsr2bridge {

// Reads the adapters once, from the game's first factory (no factory of the system's own: one costs the start
// about 150 ms under Wine). Later calls do nothing.
void rememberAdapters(IUnknown* factory) noexcept;

// Logs the adapter of `luid` with its name and its place in DXGI's list. An adapter not read at the first
// factory is looked up through a factory of its own only when `featureMissing` (the player then needs it).
void logAdapterName(LUID luid, bool featureMissing) noexcept;

} // namespace fsr2bridge
