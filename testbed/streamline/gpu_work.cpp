// The GPU work of an evaluation: the tagged input copied into the tagged output.
#include "common/graphics.h"
#include "records.h"
#include "standin.h"

namespace fsr2bridge::standin {
namespace {

struct TaggedResource {
    ID3D12Resource* resource;
    std::uint32_t state;
    Extent extent;
};

struct ViewportTags {
    bool used;
    std::uint32_t viewport;
    TaggedResource input;
    TaggedResource output;
};

// A handful of viewports is all anyone uses; the oldest slot is reused beyond that.
ViewportTags viewports[8];
std::uint32_t nextSlot = 0;

ViewportTags& slotFor(std::uint32_t viewport)
{
    for (auto& v : viewports)
        if (v.used && v.viewport == viewport)
            return v;
    ViewportTags& v = viewports[nextSlot++ % 8];
    v = ViewportTags{};
    v.used = true;
    v.viewport = viewport;
    return v;
}

ViewportTags* findSlot(std::uint32_t viewport)
{
    for (auto& v : viewports)
        if (v.used && v.viewport == viewport)
            return &v;
    return nullptr;
}

void transition(ID3D12GraphicsCommandList* list, ID3D12Resource* r, std::uint32_t before, std::uint32_t after)
{
    if (before == after)
        return;
    D3D12_RESOURCE_BARRIER b = {};
    b.Type = D3D12_RESOURCE_BARRIER_TYPE_TRANSITION;
    b.Transition.pResource = r;
    b.Transition.Subresource = D3D12_RESOURCE_BARRIER_ALL_SUBRESOURCES;
    b.Transition.StateBefore = static_cast<D3D12_RESOURCE_STATES>(before);
    b.Transition.StateAfter = static_cast<D3D12_RESOURCE_STATES>(after);
    list->ResourceBarrier(1, &b);
}

// The extent inside the texture; an empty extent means the whole texture.
void clampExtent(Extent& e, const D3D12_RESOURCE_DESC& d)
{
    const auto width = static_cast<std::uint32_t>(d.Width);
    if (e.width == 0 && e.height == 0)
        e = Extent{0, 0, width, d.Height};
    if (e.left > width)
        e.left = width;
    if (e.top > d.Height)
        e.top = d.Height;
    if (e.width > width - e.left)
        e.width = width - e.left;
    if (e.height > d.Height - e.top)
        e.height = d.Height - e.top;
}

} // namespace

void forgetTags()
{
    for (auto& v : viewports)
        v = ViewportTags{};
}

void rememberTags(std::uint32_t viewport, const void* tags, std::uint32_t count)
{
    if (!tags)
        return;
    ViewportTags& slot = slotFor(viewport);
    for (std::uint32_t n = 0; n < count; ++n) {
        const auto* tag = static_cast<const unsigned char*>(tags) + n * kTagSize;
        const void* resource = readAt<const void*>(tag, kTagResource);
        const std::uint32_t type = readAt<std::uint32_t>(tag, kTagType);
        if (type != kBufferTypeScalingInputColor && type != kBufferTypeScalingOutputColor)
            continue;
        TaggedResource t{};
        if (resource) {
            t.resource = readAt<ID3D12Resource*>(resource, kResourceNative);
            t.state = readAt<std::uint32_t>(resource, kResourceState);
        }
        t.extent = readAt<Extent>(tag, kTagExtent);
        (type == kBufferTypeScalingInputColor ? slot.input : slot.output) = t;
    }
}

Evaluation recordEvaluation(std::uint32_t viewport, void* commandList)
{
    Evaluation e{"none", nullptr, nullptr, 0, 0};
    ViewportTags* slot = findSlot(viewport);
    if (!slot || !slot->input.resource || !slot->output.resource || !commandList)
        return e;
    e.src = slot->input.resource;
    e.dst = slot->output.resource;
    if (script().noGpu) {
        e.work = "nogpu";
        return e;
    }
    ID3D12GraphicsCommandList* list = nullptr;
    if (FAILED(static_cast<IUnknown*>(commandList)->QueryInterface(IID_PPV_ARGS(&list))) || !list)
        return e;

    D3D12_RESOURCE_DESC src = {}, dst = {};
    slot->input.resource->GetDesc(&src);
    slot->output.resource->GetDesc(&dst);
    Extent from = slot->input.extent, to = slot->output.extent;
    if (src.Dimension == D3D12_RESOURCE_DIMENSION_TEXTURE2D &&
        dst.Dimension == D3D12_RESOURCE_DIMENSION_TEXTURE2D && src.Format == dst.Format &&
        src.SampleDesc.Count == 1 && dst.SampleDesc.Count == 1) {
        clampExtent(from, src);
        clampExtent(to, dst);
        const std::uint32_t width = from.width < to.width ? from.width : to.width;
        const std::uint32_t height = from.height < to.height ? from.height : to.height;
        if (width > 0 && height > 0) {
            transition(list, slot->input.resource, slot->input.state, D3D12_RESOURCE_STATE_COPY_SOURCE);
            transition(list, slot->output.resource, slot->output.state, D3D12_RESOURCE_STATE_COPY_DEST);
            D3D12_TEXTURE_COPY_LOCATION dstLoc = {};
            dstLoc.pResource = slot->output.resource;
            dstLoc.Type = D3D12_TEXTURE_COPY_TYPE_SUBRESOURCE_INDEX;
            D3D12_TEXTURE_COPY_LOCATION srcLoc = {};
            srcLoc.pResource = slot->input.resource;
            srcLoc.Type = D3D12_TEXTURE_COPY_TYPE_SUBRESOURCE_INDEX;
            D3D12_BOX box = {from.left, from.top, 0, from.left + width, from.top + height, 1};
            list->CopyTextureRegion(&dstLoc, to.left, to.top, 0, &srcLoc, &box);
            transition(list, slot->output.resource, D3D12_RESOURCE_STATE_COPY_DEST, slot->output.state);
            transition(list, slot->input.resource, D3D12_RESOURCE_STATE_COPY_SOURCE, slot->input.state);
            e.work = "copy";
            e.width = width;
            e.height = height;
        }
    }
    list->Release();
    return e;
}

} // namespace fsr2bridge::standin
