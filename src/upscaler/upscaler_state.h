#pragma once
// Process-wide values the upscaler reads on every frame: the settings store, the Streamline viewport and the
// host executable's image base. Written once by device attachment, before any hook of this module runs.
#include <windows.h>

#include "settings/config.h"
#include "streamline/sl_types.h"

namespace fsr2bridge {

// Records the settings store and the host image base and sets the viewport to 0 (it is 0xFFFFFFFF at load).
void publishUpscalerState(HMODULE upscalerModule, Config* settings, HMODULE hostImageBase);

const sl::ViewportHandle& viewportHandle();
HMODULE hostImageBase();
HMODULE upscalerModule();

// A snapshot of the published settings; the defaults while nothing is published.
Settings upscalerSettings();

} // namespace fsr2bridge
