#pragma once
// Hooks that feed the translation with what the FSR2 API does not carry: the active camera copied out of the
// host, the frame-generation request, and the R8 view-format rewrite around DLSS evaluations.
#include <cstdint>

#include "common/graphics.h"

namespace fsr2bridge {

// The camera data of the host's latest call of its camera function, as one whole copy.
struct HostCameraState {
    // Right, up and forward are the f32 triples at bytes 32, 48 and 64.
    alignas(16) unsigned char cameraBasisBlock[160];
    // Left, right, top, bottom, near, far.
    float frustumExtents[6];
    // False until the hook has copied real data once.
    bool filled;
};

// The one process-wide camera state: FLT_MAX basis (bytes 12..15 zero) and zero frustum until filled. The
// camera hook publishes it under a sequence counter (odd while a write is under way), so that a reader on
// another thread gets one call's camera whole; neither side locks or allocates.
//
// Publishes a 160-byte basis block and six frustum values. A call that finds another write under way leaves
// the camera to that write (both are the current frame's) and returns false.
bool publishHostCamera(const void* basisBlock, const float* frustumExtents);
// Copies the camera into `out` when a whole copy can be read within a few attempts (a write that stays under
// way longer leaves `out` as it was, and false is returned).
bool readHostCamera(HostCameraState& out);
// A whole copy (waits for a write under way to end). Off the per-frame paths.
HostCameraState hostCameraState();
// Back to the load-time values (tests).
void resetHostCamera();

// Replaces the host's camera function (three pointer arguments, 64-bit result).
std::uint64_t hostCameraHook(void* a0, void* a1, void* a2);
void** hostCameraTrampolineSlot();

// Raises the frame-generation request, as a host camera call with its state byte zero does.
void requestFrameGeneration();
// Whether Frame Generation was requested since the last take; clears the request.
bool takeFrameGenerationRequest();
// The same in two steps, for a present that may be refused: what it sees before presenting, and, once the
// frame is shown, the request taken. A request made meanwhile stays for the next present.
struct FrameGenerationRequest {
    bool requested;
    std::uint32_t mark;
};
FrameGenerationRequest peekFrameGenerationRequest();
void settleFrameGenerationRequest(const FrameGenerationRequest& seen);

// While set, R8_TYPELESS shader-resource views become R8_UNORM in createShaderResourceViewHook.
void setR8TypelessRewriteActive(bool active);
bool r8TypelessRewriteActive();

void STDMETHODCALLTYPE createShaderResourceViewHook(ID3D12Device* device, ID3D12Resource* resource,
                                                    const D3D12_SHADER_RESOURCE_VIEW_DESC* description,
                                                    D3D12_CPU_DESCRIPTOR_HANDLE destination);
void** createShaderResourceViewTrampolineSlot();

} // namespace fsr2bridge
