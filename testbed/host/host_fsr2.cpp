#include "testbed/host/host_fsr2.h"

#include "testbed/world/d3d12_records.h"

#include <algorithm>
#include <cstring>

namespace hostgame {
namespace {

// What the game's own FSR2 keeps at the start of the context memory.
struct OwnContext {
    std::uint32_t magic;
    std::uint32_t flags;
    FfxDimensions2D displaySize;
};
constexpr std::uint32_t ownContextMagic = 0x32525346; // "FSR2"
static_assert(sizeof(OwnContext) <= sizeof(FfxFsr2Context));

OwnFsr2Counters counters{};

using testworld::transition;

} // namespace

const OwnFsr2Counters& ownFsr2Counters()
{
    return counters;
}

} // namespace hostgame

using namespace hostgame;

extern "C" FfxErrorCode ffxFsr2ContextCreate(FfxFsr2Context* context,
                                             const FfxFsr2ContextDescription* description)
{
    if (!context || !description)
        return ffxErrorInvalidPointer;
    ++counters.creates;
    OwnContext own{ownContextMagic, description->flags, description->displaySize};
    std::memcpy(context->data, &own, sizeof own);
    return ffxOk;
}

// The game's trivial upscaler: the rendered picture is copied into the top
// left of the output (inputs wait in NON_PIXEL_SHADER_RESOURCE, the output in
// UNORDERED_ACCESS, as FSR2 expects them).
extern "C" FfxErrorCode ffxFsr2ContextDispatch(FfxFsr2Context* context,
                                               const FfxFsr2DispatchDescription* description)
{
    if (!context || !description || !description->commandList)
        return ffxErrorInvalidPointer;
    OwnContext own;
    std::memcpy(&own, context->data, sizeof own);
    if (own.magic != ownContextMagic)
        return ffxErrorInvalidPointer;
    auto* color = static_cast<ID3D12Resource*>(description->color.resource);
    auto* output = static_cast<ID3D12Resource*>(description->output.resource);
    if (!color || !output)
        return ffxErrorInvalidPointer;
    ++counters.dispatches;
    auto* list = static_cast<ID3D12GraphicsCommandList*>(description->commandList);
    D3D12_RESOURCE_BARRIER before[2] = {
        transition(color, D3D12_RESOURCE_STATE_NON_PIXEL_SHADER_RESOURCE, D3D12_RESOURCE_STATE_COPY_SOURCE),
        transition(output, D3D12_RESOURCE_STATE_UNORDERED_ACCESS, D3D12_RESOURCE_STATE_COPY_DEST)};
    list->ResourceBarrier(2, before);
    D3D12_TEXTURE_COPY_LOCATION dst{};
    dst.pResource = output;
    dst.Type = D3D12_TEXTURE_COPY_TYPE_SUBRESOURCE_INDEX;
    D3D12_TEXTURE_COPY_LOCATION src{};
    src.pResource = color;
    src.Type = D3D12_TEXTURE_COPY_TYPE_SUBRESOURCE_INDEX;
    D3D12_BOX box{0,
                  0,
                  0,
                  std::min(description->renderSize.width, own.displaySize.width),
                  std::min(description->renderSize.height, own.displaySize.height),
                  1};
    list->CopyTextureRegion(&dst, 0, 0, 0, &src, &box);
    D3D12_RESOURCE_BARRIER after[2] = {
        transition(color, D3D12_RESOURCE_STATE_COPY_SOURCE, D3D12_RESOURCE_STATE_NON_PIXEL_SHADER_RESOURCE),
        transition(output, D3D12_RESOURCE_STATE_COPY_DEST, D3D12_RESOURCE_STATE_UNORDERED_ACCESS)};
    list->ResourceBarrier(2, after);
    return ffxOk;
}

extern "C" FfxErrorCode ffxFsr2ContextDestroy(FfxFsr2Context* context)
{
    if (!context)
        return ffxErrorInvalidPointer;
    ++counters.destroys;
    std::memset(context->data, 0, sizeof(OwnContext));
    return ffxOk;
}

extern "C" FfxErrorCode ffxFsr2RegisterAliasableResources(void*, void*, void*, void*)
{
    ++counters.aliasable;
    return ffxOk;
}
