#pragma once
// The host-build guard before the camera hook: what the game's mapped image says about the camera function's
// position. Pure reading of the image's headers, function table and a few bytes of the function.
#include <cstdint>

namespace fsr2bridge {

// What the host image says about the camera function's position: whether this is the build whose layout the
// camera hook knows. Any other verdict leaves out the camera hook, and only it.
enum class CameraTarget : std::uint8_t {
    functionStart,   // a function-table entry begins exactly there
    paddedStart,     // no function-table entry covers it, and padding or a return lies just before it
    sectionStart,    // no function-table entry covers it, and it is the first byte of its section
    notAnImage,      // no 64-bit PE headers in the first page
    imageTooSmall,   // a fixed-offset read of the hook lies past the image's end
    notInCode,       // it lies in no executable section
    insideFunction,  // a function-table entry covers it but begins elsewhere: another build
    otherLength,     // an entry begins there, but its length is not the known build's function's
    otherCode,       // the function's first bytes are not the known build's
    noStart,         // no entry covers it and ordinary code lies just before it
    dataNotWritable, // an object pointer the hook reads lies outside writable, non-executable data
};

struct CameraTargetCheck {
    CameraTarget verdict = CameraTarget::notAnImage;
    std::uint32_t entryBegin = 0; // the function-table entry there (insideFunction, otherLength), image offsets
    std::uint32_t entryEnd = 0;
    std::uint8_t byteBefore = 0;  // the byte before the function (paddedStart, noStart)
    std::uintptr_t pointerAt = 0; // the object pointer out of place (dataNotWritable)
};

// Reads the PE image mapped at `image` (headers, section table, exception directory, the byte before the
// camera function and its first bytes; nothing outside its sections): its function table, sections and size
// against the camera hook's fixed offsets, and the function against the known build's.
CameraTargetCheck checkCameraTarget(const std::uint8_t* image) noexcept;
bool cameraHookAllowed(CameraTarget verdict) noexcept;

// Whether the camera hook may be installed on the image: checkCameraTarget allows it.
bool hostLayoutFits(const std::uint8_t* image) noexcept;

} // namespace fsr2bridge
