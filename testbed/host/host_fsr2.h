#pragma once
// The stand-in game's own FSR2 API: the published records and the four
// exported entry points. The game calls them like any FSR2 title does; once
// the bridge is in place its replacements answer instead.
#include "common/graphics.h"

#include <cstddef>
#include <cstdint>

namespace hostgame {

using FfxErrorCode = std::int32_t;
inline constexpr FfxErrorCode ffxOk = 0;
inline constexpr FfxErrorCode ffxErrorInvalidPointer = static_cast<FfxErrorCode>(0x80000000u);
inline constexpr FfxErrorCode ffxErrorBackendApiError = static_cast<FfxErrorCode>(0x8000000Du);

// Context flags.
inline constexpr std::uint32_t ffxFlagHighDynamicRange = 1u << 0;
inline constexpr std::uint32_t ffxFlagDisplayResolutionMotionVectors = 1u << 1;
inline constexpr std::uint32_t ffxFlagMotionVectorsJitterCancellation = 1u << 2;
inline constexpr std::uint32_t ffxFlagDepthInverted = 1u << 3;
inline constexpr std::uint32_t ffxFlagAutoExposure = 1u << 5;

struct FfxDimensions2D {
    std::uint32_t width;
    std::uint32_t height;
};

struct FfxFloatCoords2D {
    float x;
    float y;
};

struct FfxResourceDescription {
    std::uint32_t type, format, width, height, depth, mipCount, flags;
};

struct FfxResource {
    void* resource;
    FfxResourceDescription description;
    std::uint32_t state;
    bool isDepth;
    std::uint64_t descriptorData;
    wchar_t name[64];
};
static_assert(sizeof(FfxResource) == 184);
static_assert(offsetof(FfxResource, state) == 36);
static_assert(offsetof(FfxResource, descriptorData) == 48);
static_assert(offsetof(FfxResource, name) == 56);

struct FfxFsr2ContextDescription {
    std::uint32_t flags;
    FfxDimensions2D maxRenderSize;
    FfxDimensions2D displaySize;
    void* callbacks[14]; // backend interface, unused by this game's FSR2
    void* device;
    void* fpMessage;
};
static_assert(offsetof(FfxFsr2ContextDescription, maxRenderSize) == 4);
static_assert(offsetof(FfxFsr2ContextDescription, displaySize) == 12);
static_assert(offsetof(FfxFsr2ContextDescription, callbacks) == 24);
static_assert(offsetof(FfxFsr2ContextDescription, device) == 136);
static_assert(sizeof(FfxFsr2ContextDescription) == 152);

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
    float viewSpaceToMetersFactor;
};
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

// The context memory a title reserves for FSR2 (the published size in u32s).
inline constexpr std::size_t ffxFsr2ContextSizeWords = 16536;
struct FfxFsr2Context {
    std::uint32_t data[ffxFsr2ContextSizeWords];
};

// How often the game's own FSR2 ran (it never runs once the bridge replaced it).
struct OwnFsr2Counters {
    std::uint32_t creates;
    std::uint32_t dispatches;
    std::uint32_t destroys;
    std::uint32_t aliasable;
};
const OwnFsr2Counters& ownFsr2Counters();

} // namespace hostgame

extern "C" {
__declspec(dllexport) hostgame::FfxErrorCode
    ffxFsr2ContextCreate(hostgame::FfxFsr2Context* context,
                         const hostgame::FfxFsr2ContextDescription* description);
__declspec(dllexport) hostgame::FfxErrorCode
    ffxFsr2ContextDispatch(hostgame::FfxFsr2Context* context,
                           const hostgame::FfxFsr2DispatchDescription* description);
__declspec(dllexport) hostgame::FfxErrorCode ffxFsr2ContextDestroy(hostgame::FfxFsr2Context* context);
__declspec(dllexport) hostgame::FfxErrorCode
    ffxFsr2RegisterAliasableResources(void* context, void* resources, void* count, void* reserved);
}
