#pragma once
// The FSR2 records as the host passes them to its exported FSR2 entry points
// (the published FSR2 2.x layout on x64). Only the fields the system reads are
// named; the rest is kept as opaque bytes so the sizes still match.
#include <cstddef>
#include <cstdint>

namespace fsr2bridge {

// Error codes of the FSR2 API, returned as 32-bit values.
inline constexpr std::uint32_t FFX_OK = 0;
inline constexpr std::uint32_t FFX_ERROR_INVALID_POINTER = 0x80000000u;
inline constexpr std::uint32_t FFX_ERROR_BACKEND_API_ERROR = 0x8000000Du;

// Bits of FfxFsr2ContextDescription::flags.
inline constexpr std::uint32_t FFX_FSR2_ENABLE_HIGH_DYNAMIC_RANGE = 1u << 0;
inline constexpr std::uint32_t FFX_FSR2_ENABLE_DISPLAY_RESOLUTION_MOTION_VECTORS = 1u << 1;
inline constexpr std::uint32_t FFX_FSR2_ENABLE_MOTION_VECTORS_JITTER_CANCELLATION = 1u << 2;
inline constexpr std::uint32_t FFX_FSR2_ENABLE_DEPTH_INVERTED = 1u << 3;
inline constexpr std::uint32_t FFX_FSR2_ENABLE_DEPTH_INFINITE = 1u << 4;
inline constexpr std::uint32_t FFX_FSR2_ENABLE_AUTO_EXPOSURE = 1u << 5;

struct FfxDimensions2D {
    std::uint32_t width;
    std::uint32_t height;
};
static_assert(sizeof(FfxDimensions2D) == 8);

struct FfxFloatCoords2D {
    float x;
    float y;
};
static_assert(sizeof(FfxFloatCoords2D) == 8);

struct FfxFsr2ContextDescription {
    std::uint32_t flags;
    FfxDimensions2D maxRenderSize;
    FfxDimensions2D displaySize;
    // The backend function table (bytes 24..135); never read.
    alignas(8) std::uint8_t backendInterface[112];
    void* device;
    void* fpMessage;
};
static_assert(offsetof(FfxFsr2ContextDescription, flags) == 0);
static_assert(offsetof(FfxFsr2ContextDescription, maxRenderSize) == 4);
static_assert(offsetof(FfxFsr2ContextDescription, displaySize) == 12);
static_assert(offsetof(FfxFsr2ContextDescription, backendInterface) == 24);
static_assert(offsetof(FfxFsr2ContextDescription, device) == 136);
static_assert(sizeof(FfxFsr2ContextDescription) == 152);

// A resource as FSR2 passes it: the native resource pointer first, then a
// description, state and debug name that the system never reads.
struct FfxResource {
    void* resource;
    std::uint8_t opaque[176];
};
static_assert(offsetof(FfxResource, resource) == 0);
static_assert(sizeof(FfxResource) == 184);

struct FfxFsr2DispatchDescription {
    void* commandList;
    FfxResource color;
    FfxResource depth;
    FfxResource motionVectors;
    FfxResource exposure;
    FfxResource reactive;
    FfxResource transparencyAndComposition;
    FfxResource output;
    FfxFloatCoords2D jitterOffset;
    FfxFloatCoords2D motionVectorScale;
    FfxDimensions2D renderSize;
    bool enableSharpening;
    float sharpness;
    float frameTimeDelta;
    float preExposure;
    bool reset;
    float cameraNear;
    float cameraFar;
    float cameraFovAngleVertical;
};
static_assert(offsetof(FfxFsr2DispatchDescription, commandList) == 0);
static_assert(offsetof(FfxFsr2DispatchDescription, color) == 8);
static_assert(offsetof(FfxFsr2DispatchDescription, depth) == 192);
static_assert(offsetof(FfxFsr2DispatchDescription, motionVectors) == 376);
static_assert(offsetof(FfxFsr2DispatchDescription, exposure) == 560);
static_assert(offsetof(FfxFsr2DispatchDescription, reactive) == 744);
static_assert(offsetof(FfxFsr2DispatchDescription, transparencyAndComposition) == 928);
static_assert(offsetof(FfxFsr2DispatchDescription, output) == 1112);
static_assert(offsetof(FfxFsr2DispatchDescription, jitterOffset) == 1296);
static_assert(offsetof(FfxFsr2DispatchDescription, motionVectorScale) == 1304);
static_assert(offsetof(FfxFsr2DispatchDescription, renderSize) == 1312);
static_assert(offsetof(FfxFsr2DispatchDescription, enableSharpening) == 1320);
static_assert(offsetof(FfxFsr2DispatchDescription, sharpness) == 1324);
static_assert(offsetof(FfxFsr2DispatchDescription, frameTimeDelta) == 1328);
static_assert(offsetof(FfxFsr2DispatchDescription, preExposure) == 1332);
static_assert(offsetof(FfxFsr2DispatchDescription, reset) == 1336);
static_assert(offsetof(FfxFsr2DispatchDescription, cameraNear) == 1340);
static_assert(offsetof(FfxFsr2DispatchDescription, cameraFar) == 1344);
static_assert(offsetof(FfxFsr2DispatchDescription, cameraFovAngleVertical) == 1348);

} // namespace fsr2bridge
