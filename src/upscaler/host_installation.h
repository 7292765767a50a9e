#pragma once
// The step of device attachment that puts the upscaler in place of the host's FSR2 once DLSS is available:
// publish what the hooks read, then hook the host's camera function and its four FSR2 exports.
#include <windows.h>

#include <cstdint>

#include "settings/config.h"

namespace fsr2bridge {

// Publishes the upscaler's state (module, settings, the host executable as image base, viewport 0) and
// installs the host hooks in order: camera function, create, dispatch, destroy, register-aliasable. False
// at the first hook that cannot be created or enabled; those before it stay.
bool installUpscaler(HMODULE upscalerModule, Config* settings) noexcept;

// Whether the PE image mapped at `image` (its headers readable) has the camera function inside an executable
// section and every fixed-offset read of the camera hook inside the image. Another build of the host fails
// this, and then only the camera hook is left out.
bool hostLayoutFits(const std::uint8_t* image) noexcept;

} // namespace fsr2bridge
