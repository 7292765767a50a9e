#pragma once
// Ties each new device to Streamline: asks which features its adapter offers, tells the user why one is not,
// starts Reflex and, with DLSS available, has the upscaler put in place of the host's FSR2.
#include <windows.h>

#include "common/graphics.h"
#include "settings/config.h"
#include "streamline/sl_types.h"

namespace fsr2bridge {

// False when a step failed (the later steps were not taken); true when DLSS is unavailable or the upscaler
// is in place.
bool attachDevice(ID3D12Device* device) noexcept;

// The same, telling a device Streamline refuses (it serves the first device it was given: a later one
// gets eErrorInvalidIntegration) from other failures. Nothing else of the attachment runs for a refused
// device; the caller hands it to the game as the system made it.
enum class AttachmentOutcome { completed, failed, deviceRefused };
AttachmentOutcome attachDeviceOutcome(ID3D12Device* device) noexcept;

// The last step of an attachment with DLSS available: publish the upscaler's state and install the host
// hooks. It belongs to the layer above, which registers it at start-up; false when it failed.
using UpscalerInstaller = bool (*)(HMODULE interposer, Config* settings) noexcept;
void setUpscalerInstaller(UpscalerInstaller installer) noexcept;

// The box text for a feature that Streamline reports unavailable, or null when that result shows no box.
const wchar_t* featureUnavailableText(sl::Feature feature, sl::Result result) noexcept;

} // namespace fsr2bridge
