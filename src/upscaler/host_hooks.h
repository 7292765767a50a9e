#pragma once
// Hooks that feed the translation with what the FSR2 API does not carry: the active camera copied out of the
// host, the frame-generation request, and the R8 view-format rewrite around DLSS evaluations.
#include <cstdint>

#include "common/graphics.h"

namespace fsr2bridge {

// The camera data of the host's latest call of its camera function.
struct HostCameraState {
    // Right, up and forward are the f32 triples at bytes 32, 48 and 64.
    alignas(16) unsigned char cameraBasisBlock[160];
    // Left, right, top, bottom, near, far.
    float frustumExtents[6];
    // False until the hook has copied real data once.
    bool filled;
};

// Byte offsets into the host executable and its objects; they hold for one build of the host.
namespace hostlayout {
inline constexpr std::uintptr_t cameraFunction = 0x33E4D68;
inline constexpr std::uintptr_t worldObject1 = 0x5049F90;
inline constexpr std::uintptr_t worldObject2 = 0x5049EB8;
inline constexpr std::uintptr_t gameObject = 0x59056A0;
inline constexpr std::size_t handleStorageOfWorld1 = 296;
inline constexpr std::size_t basisStorageOfWorld2 = 264;
inline constexpr std::size_t frustumStorageOfWorld2 = 256;
inline constexpr std::size_t storageIndexArray = 64;
inline constexpr std::size_t storageDenseArray = 968;
inline constexpr std::size_t handleRecordSize = 24;
inline constexpr std::size_t handleInRecord = 4;
inline constexpr std::size_t basisRecordSize = 160;
inline constexpr std::size_t frustumRecordSize = 24;
inline constexpr std::size_t viewIndexOfArgument = 456;
inline constexpr std::size_t viewTableOfArgument = 408;
inline constexpr std::size_t handleOfView = 36;
inline constexpr std::size_t frameGenerationStateByte = 1100;
inline constexpr std::uint32_t handleMask = 0xFFFFFF;
} // namespace hostlayout

// The one process-wide camera state; FLT_MAX basis (bytes 12..15 zero) and zero frustum until filled.
HostCameraState& hostCameraState();

// Replaces the host's camera function (three pointer arguments, 64-bit result).
std::uint64_t hostCameraHook(void* a0, void* a1, void* a2);
void** hostCameraTrampolineSlot();

// Whether a host camera call asked for Frame Generation since the last take; clears the request.
bool takeFrameGenerationRequest();

// While set, R8_TYPELESS shader-resource views become R8_UNORM in createShaderResourceViewHook.
void setR8TypelessRewriteActive(bool active);
bool r8TypelessRewriteActive();

void STDMETHODCALLTYPE createShaderResourceViewHook(ID3D12Device* device, ID3D12Resource* resource,
                                                    const D3D12_SHADER_RESOURCE_VIEW_DESC* description,
                                                    D3D12_CPU_DESCRIPTOR_HANDLE destination);
void** createShaderResourceViewTrampolineSlot();

} // namespace fsr2bridge
