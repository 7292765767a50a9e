#pragma once
// Ties each new device to Streamline: asks which features its adapter offers, tells the user why one is not,
// starts Reflex and, with DLSS available, puts the upscaler's hooks in place of the host's FSR2.
#include <cstddef>
#include <cstdint>

#include "common/graphics.h"
#include "streamline/sl_types.h"

namespace fsr2bridge {

// False when a step failed (the later steps were not taken); true when DLSS is unavailable or every host
// hook is in place.
bool attachDevice(ID3D12Device* device) noexcept;

inline constexpr wchar_t attachmentBoxCaption[] = L"An error occured!";

// The box text for a feature that Streamline reports unavailable, or null when that result shows no box.
const wchar_t* featureUnavailableText(sl::Feature feature, sl::Result result) noexcept;

// Where the host's camera function and the data its hook reads lie, relative to the image base.
inline constexpr std::uint32_t hostCameraFunctionOffset = 0x33E4D68;
inline constexpr std::uint32_t hostFixedReadsEnd = 0x59056A0 + 1100 + 1;

// Whether the PE image mapped at `image` (its headers readable) has the camera function inside an executable
// section and every fixed-offset read of the camera hook inside the image. Another build of the host fails
// this, and then only the camera hook is left out.
bool hostLayoutFits(const std::uint8_t* image) noexcept;

} // namespace fsr2bridge
