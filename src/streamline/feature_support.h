#pragma once
// What device attachment found out about the features the upscaler uses beyond DLSS itself.

namespace fsr2bridge {

// Whether NIS is supported on the attached device's adapter (asked at attachment, without a box); false
// before. Without NIS, DLSS writes the game's output itself, as with sharpening off.
bool nisSupported() noexcept;
// Recorded by attachment; tests set it directly.
void recordNisSupport(bool available) noexcept;

// Whether device attachment found Frame Generation missing from the installed files (a plug-in or NGX library
// the set lacks): off for this run, while config.json keeps the player's setting for when the file is there.
bool frameGenerationMissing() noexcept;
void recordFrameGenerationMissing(bool missing) noexcept;

} // namespace fsr2bridge
