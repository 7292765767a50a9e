#include "upscaler/host_hooks.h"

#include <atomic>
#include <cfloat>
#include <cstring>

#include "upscaler/host_layout.h"
#include "upscaler/upscaler_state.h"

namespace fsr2bridge {
namespace {

HostCameraState initialCameraState()
{
    HostCameraState s{};
    const float unset = FLT_MAX;
    for (std::size_t offset = 0; offset < sizeof s.cameraBasisBlock; offset += sizeof(float)) {
        std::memcpy(s.cameraBasisBlock + offset, &unset, sizeof unset);
    }
    std::memset(s.cameraBasisBlock + 12, 0, 4);
    return s;
}

HostCameraState cameraState = initialCameraState();
std::atomic<bool> frameGenerationRequested{false};
std::atomic<bool> rewriteActive{false};

using HostCameraFunction = std::uint64_t (*)(void*, void*, void*);
using CreateShaderResourceViewFunction = void(STDMETHODCALLTYPE*)(ID3D12Device*, ID3D12Resource*,
                                                                  const D3D12_SHADER_RESOURCE_VIEW_DESC*,
                                                                  D3D12_CPU_DESCRIPTOR_HANDLE);
void* hostCameraTrampoline = nullptr;
void* createShaderResourceViewTrampoline = nullptr;

template <class T> T readAt(const void* base, std::size_t offset)
{
    T value;
    std::memcpy(&value, static_cast<const unsigned char*>(base) + offset, sizeof value);
    return value;
}

// The dense record of handle h in a host storage object, or null when the storage is not there.
const unsigned char* lookUpRecord(const void* storage, std::uint32_t handle, std::size_t recordSize)
{
    if (!storage) {
        return nullptr;
    }
    const auto* indices = readAt<const std::uint32_t*>(storage, hostlayout::storageIndexArray);
    const auto* dense = readAt<const unsigned char*>(storage, hostlayout::storageDenseArray);
    if (!indices || !dense) {
        return nullptr;
    }
    return dense + std::size_t{indices[handle]} * recordSize;
}

// Copies the active camera out of the host; returns false where a host pointer is missing.
bool copyHostCamera(const unsigned char* imageBase, const void* argument)
{
    if (!imageBase || !argument) {
        return false;
    }
    const auto viewIndex = readAt<std::uint32_t>(argument, hostlayout::viewIndexOfArgument);
    const auto* view =
        readAt<const void*>(argument, hostlayout::viewTableOfArgument + std::size_t{8} * viewIndex);
    if (!view) {
        return false;
    }
    const std::uint32_t viewHandle =
        readAt<std::uint32_t>(view, hostlayout::handleOfView) & hostlayout::handleMask;

    const auto* world1 = readAt<const void*>(imageBase, hostlayout::worldObject1);
    if (!world1) {
        return false;
    }
    const auto* handleRecord = lookUpRecord(readAt<const void*>(world1, hostlayout::handleStorageOfWorld1),
                                            viewHandle, hostlayout::handleRecordSize);
    if (!handleRecord) {
        return false;
    }
    const std::uint32_t cameraHandle =
        readAt<std::uint32_t>(handleRecord, hostlayout::handleInRecord) & hostlayout::handleMask;

    const auto* world2 = readAt<const void*>(imageBase, hostlayout::worldObject2);
    if (!world2) {
        return false;
    }
    const auto* basis = lookUpRecord(readAt<const void*>(world2, hostlayout::basisStorageOfWorld2),
                                     cameraHandle, hostlayout::basisRecordSize);
    const auto* frustum = lookUpRecord(readAt<const void*>(world2, hostlayout::frustumStorageOfWorld2),
                                       cameraHandle, hostlayout::frustumRecordSize);
    if (!basis || !frustum) {
        return false;
    }
    std::memcpy(cameraState.cameraBasisBlock, basis, sizeof cameraState.cameraBasisBlock);
    std::memcpy(cameraState.frustumExtents, frustum, sizeof cameraState.frustumExtents);
    cameraState.filled = true;
    return true;
}

void noteFrameGenerationRequest(const unsigned char* imageBase)
{
    if (!imageBase) {
        return;
    }
    const auto* game = readAt<const unsigned char*>(imageBase, hostlayout::gameObject);
    if (game && game[hostlayout::frameGenerationStateByte] == 0) {
        requestFrameGeneration();
    }
}

} // namespace

HostCameraState& hostCameraState()
{
    return cameraState;
}

std::uint64_t hostCameraHook(void* a0, void* a1, void* a2)
{
    const auto* imageBase = reinterpret_cast<const unsigned char*>(hostImageBase());
    copyHostCamera(imageBase, a1);
    noteFrameGenerationRequest(imageBase);
    auto original = reinterpret_cast<HostCameraFunction>(hostCameraTrampoline);
    return original ? original(a0, a1, a2) : 0;
}

void** hostCameraTrampolineSlot()
{
    return &hostCameraTrampoline;
}

void requestFrameGeneration()
{
    frameGenerationRequested.store(true, std::memory_order_relaxed);
}

bool takeFrameGenerationRequest()
{
    return frameGenerationRequested.exchange(false, std::memory_order_relaxed);
}

void setR8TypelessRewriteActive(bool active)
{
    rewriteActive.store(active, std::memory_order_relaxed);
}

bool r8TypelessRewriteActive()
{
    return rewriteActive.load(std::memory_order_relaxed);
}

void STDMETHODCALLTYPE createShaderResourceViewHook(ID3D12Device* device, ID3D12Resource* resource,
                                                    const D3D12_SHADER_RESOURCE_VIEW_DESC* description,
                                                    D3D12_CPU_DESCRIPTOR_HANDLE destination)
{
    if (description && description->Format == DXGI_FORMAT_R8_TYPELESS && r8TypelessRewriteActive()) {
        // The caller's own record keeps the rewritten format, as the evaluation expects.
        const_cast<D3D12_SHADER_RESOURCE_VIEW_DESC*>(description)->Format = DXGI_FORMAT_R8_UNORM;
    }
    auto original = reinterpret_cast<CreateShaderResourceViewFunction>(createShaderResourceViewTrampoline);
    if (original) {
        original(device, resource, description, destination);
    }
}

void** createShaderResourceViewTrampolineSlot()
{
    return &createShaderResourceViewTrampoline;
}

} // namespace fsr2bridge
