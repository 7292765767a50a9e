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

// The one process-wide camera state; FLT_MAX basis (bytes 12..15 zero) and zero frustum until filled.
HostCameraState& hostCameraState();

// Replaces the host's camera function (three pointer arguments, 64-bit result).
std::uint64_t hostCameraHook(void* a0, void* a1, void* a2);
void** hostCameraTrampolineSlot();

// Raises the frame-generation request, as a host camera call with its state byte zero does.
void requestFrameGeneration();
// Whether Frame Generation was requested since the last take; clears the request.
bool takeFrameGenerationRequest();

// While set, R8_TYPELESS shader-resource views become R8_UNORM in createShaderResourceViewHook.
void setR8TypelessRewriteActive(bool active);
bool r8TypelessRewriteActive();

void STDMETHODCALLTYPE createShaderResourceViewHook(ID3D12Device* device, ID3D12Resource* resource,
                                                    const D3D12_SHADER_RESOURCE_VIEW_DESC* description,
                                                    D3D12_CPU_DESCRIPTOR_HANDLE destination);
void** createShaderResourceViewTrampolineSlot();

} // namespace fsr2bridge
