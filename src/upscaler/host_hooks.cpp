#include "upscaler/host_hooks.h"

#include <atomic>
#include <bit>
#include <cfloat>
#include <cstring>
#include <utility>

#include "upscaler/host_layout.h"
#include "upscaler/upscaler_state.h"

namespace fsr2bridge {
namespace {

constexpr std::size_t basisBytes = sizeof(HostCameraState::cameraBasisBlock);
constexpr std::size_t frustumBytes = sizeof(HostCameraState::frustumExtents);
constexpr std::size_t cameraWords = (basisBytes + frustumBytes) / sizeof(std::uint32_t);
static_assert(basisBytes % sizeof(std::uint32_t) == 0 && frustumBytes % sizeof(std::uint32_t) == 0);

// Word i of the camera at load: FLT_MAX in the basis but for bytes 12..15, a zero frustum.
constexpr std::uint32_t initialCameraWord(std::size_t i)
{
    constexpr std::uint32_t unsetBits = std::bit_cast<std::uint32_t>(FLT_MAX);
    return i < basisBytes / sizeof(std::uint32_t) && i != 3 ? unsetBits : 0;
}

// The camera as the hook publishes it: the basis block and the frustum as 32-bit words, each stored and
// loaded atomically, between two steps of the sequence counter.
class PublishedCamera {
public:
    // Constant-initialised: the hook may run before any dynamic initialisation.
    constexpr PublishedCamera() : PublishedCamera(std::make_index_sequence<cameraWords>()) {}

    bool publish(const void* basis, const float* frustum)
    {
        std::uint32_t words[cameraWords];
        std::memcpy(words, basis, basisBytes);
        std::memcpy(reinterpret_cast<unsigned char*>(words) + basisBytes, frustum, frustumBytes);
        std::uint32_t sequence = sequence_.load(std::memory_order_relaxed);
        if ((sequence & 1) != 0 ||
            !sequence_.compare_exchange_strong(sequence, sequence + 1, std::memory_order_relaxed)) {
            return false;
        }
        std::atomic_thread_fence(std::memory_order_release);
        for (std::size_t i = 0; i < cameraWords; ++i) {
            words_[i].store(words[i], std::memory_order_relaxed);
        }
        filled_.store(true, std::memory_order_relaxed);
        sequence_.store(sequence + 2, std::memory_order_release);
        return true;
    }

    bool read(HostCameraState& out) const
    {
        constexpr int attempts = 64;
        for (int attempt = 0; attempt < attempts; ++attempt) {
            const std::uint32_t before = sequence_.load(std::memory_order_acquire);
            if ((before & 1) != 0) {
                YieldProcessor();
                continue;
            }
            std::uint32_t words[cameraWords];
            for (std::size_t i = 0; i < cameraWords; ++i) {
                words[i] = words_[i].load(std::memory_order_relaxed);
            }
            const bool filled = filled_.load(std::memory_order_relaxed);
            std::atomic_thread_fence(std::memory_order_acquire);
            if (sequence_.load(std::memory_order_relaxed) != before) {
                continue;
            }
            std::memcpy(out.cameraBasisBlock, words, basisBytes);
            std::memcpy(out.frustumExtents, reinterpret_cast<const unsigned char*>(words) + basisBytes,
                        frustumBytes);
            out.filled = filled;
            return true;
        }
        return false;
    }

    // The load-time values: FLT_MAX in the basis but for bytes 12..15, a zero frustum, not filled.
    void reset()
    {
        for (std::size_t i = 0; i < cameraWords; ++i) {
            words_[i].store(initialCameraWord(i), std::memory_order_relaxed);
        }
        filled_.store(false, std::memory_order_relaxed);
        sequence_.store(0, std::memory_order_release);
    }

private:
    template <std::size_t... I>
    constexpr explicit PublishedCamera(std::index_sequence<I...>) : words_{initialCameraWord(I)...}
    {
    }

    std::atomic<std::uint32_t> sequence_{0};
    std::atomic<std::uint32_t> words_[cameraWords];
    std::atomic<bool> filled_{false};
};

constinit PublishedCamera cameraState;
// Requests made (the camera hook counts them) and the count a shown frame last took.
std::atomic<std::uint32_t> frameGenerationRequests{0};
std::atomic<std::uint32_t> frameGenerationRequestsTaken{0};
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
    float frustumExtents[6];
    std::memcpy(frustumExtents, frustum, sizeof frustumExtents);
    return cameraState.publish(basis, frustumExtents);
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

bool publishHostCamera(const void* basisBlock, const float* frustumExtents)
{
    return cameraState.publish(basisBlock, frustumExtents);
}

bool readHostCamera(HostCameraState& out)
{
    return cameraState.read(out);
}

HostCameraState hostCameraState()
{
    HostCameraState camera{};
    while (!cameraState.read(camera)) {
        Sleep(0);
    }
    return camera;
}

void resetHostCamera()
{
    cameraState.reset();
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
    frameGenerationRequests.fetch_add(1, std::memory_order_relaxed);
}

bool takeFrameGenerationRequest()
{
    const std::uint32_t made = frameGenerationRequests.load(std::memory_order_relaxed);
    return frameGenerationRequestsTaken.exchange(made, std::memory_order_relaxed) != made;
}

FrameGenerationRequest peekFrameGenerationRequest()
{
    const std::uint32_t made = frameGenerationRequests.load(std::memory_order_relaxed);
    return {made != frameGenerationRequestsTaken.load(std::memory_order_relaxed), made};
}

void settleFrameGenerationRequest(const FrameGenerationRequest& seen)
{
    frameGenerationRequestsTaken.store(seen.mark, std::memory_order_relaxed);
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
