#pragma once
// Process-wide values the upscaler reads on every frame: the settings store, the Streamline viewport, the
// host executable's image base, and how to reach the system device behind the one the host passes to FSR2.
// Written by device attachment and module entry before any hook of this module runs.
#include "common/graphics.h"
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

// The system device behind a device the host holds (its wrapper's inner device), or the device itself.
using SystemDeviceLookup = ID3D12Device* (*)(void* device) noexcept;
// Module entry publishes the lookup of its device wrappers at start-up; without one, every device the host
// passes is taken as the system's own.
void publishSystemDeviceLookup(SystemDeviceLookup lookup);
ID3D12Device* systemDeviceOf(void* device);

} // namespace fsr2bridge
