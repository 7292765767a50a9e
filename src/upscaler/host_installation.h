#pragma once
// The step of device attachment that puts the upscaler in place of the host's FSR2 once DLSS is available:
// publish what the hooks read, then hook the host's camera function and its four FSR2 exports.
#include <windows.h>

#include <cstdint>

#include "settings/config.h"
#include "upscaler/camera_target.h"

namespace fsr2bridge {

// Publishes the upscaler's state (module, settings, the host executable as image base, viewport 0) and
// installs the host hooks (installHostHooks, with the camera function where the guard allows it).
bool installUpscaler(HMODULE upscalerModule, Config* settings) noexcept;

// Creates the host hooks in order (the camera function at `cameraFunction`, unless null; create, dispatch,
// destroy, register-aliasable of the host executable) and enables them together. The four FSR2 hooks go live
// all or none: false, with none of the five left created, when one cannot be made or enabled. The camera hook
// may fail alone (its creation or its enabling): the FSR2 hooks then go live without it.
bool installHostHooks(void* cameraFunction) noexcept;

} // namespace fsr2bridge
