// The GPU work of an evaluation: the tagged input extent scaled onto the tagged output extent
// (nearest texel), with copies only, so that no shader is needed in the test world.
#include "common/graphics.h"
#include "records.h"
#include "standin.h"

#include <wrl/client.h>

#include <vector>

namespace fsr2bridge::standin {
namespace {

using Microsoft::WRL::ComPtr;

struct TaggedResource {
    ID3D12Resource* resource; // the caller's; no reference of ours
    std::uint32_t state;
    Extent extent;
};

struct ViewportTags {
    bool used;
    std::uint32_t viewport;
    TaggedResource input;
    TaggedResource output;
    // Output width x input height: the picture after the horizontal pass.
    ComPtr<ID3D12Resource> scratch;
};

struct GpuWorkState {
    // A handful of viewports is all anyone uses; the oldest slot is reused beyond that.
    ViewportTags viewports[8];
    std::uint32_t nextSlot = 0;
    // Scratch textures replaced while the GPU may still read them; freed at the next reload.
    std::vector<ComPtr<ID3D12Resource>> retired;
};

// Never destroyed: its references are not released at process exit, when the device may be gone.
GpuWorkState& state()
{
    static GpuWorkState* const s = new GpuWorkState();
    return *s;
}

ViewportTags* findSlot(std::uint32_t viewport)
{
    for (auto& v : state().viewports)
        if (v.used && v.viewport == viewport)
            return &v;
    return nullptr;
}

ViewportTags& slotFor(std::uint32_t viewport)
{
    if (ViewportTags* v = findSlot(viewport))
        return *v;
    ViewportTags& v = state().viewports[state().nextSlot++ % 8];
    if (v.scratch)
        state().retired.push_back(std::move(v.scratch));
    v = ViewportTags{};
    v.used = true;
    v.viewport = viewport;
    return v;
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

// One copy of a box of `from` to (x, y) of `to`.
void copyBox(ID3D12GraphicsCommandList* list, ID3D12Resource* from, const D3D12_BOX& box, ID3D12Resource* to,
             std::uint32_t x, std::uint32_t y)
{
    D3D12_TEXTURE_COPY_LOCATION dst = {};
    dst.pResource = to;
    dst.Type = D3D12_TEXTURE_COPY_TYPE_SUBRESOURCE_INDEX;
    D3D12_TEXTURE_COPY_LOCATION src = {};
    src.pResource = from;
    src.Type = D3D12_TEXTURE_COPY_TYPE_SUBRESOURCE_INDEX;
    list->CopyTextureRegion(&dst, x, y, 0, &src, &box);
}

ID3D12Resource* scratchFor(ViewportTags& slot, std::uint32_t width, std::uint32_t height, DXGI_FORMAT format)
{
    if (slot.scratch) {
        D3D12_RESOURCE_DESC d = {};
        slot.scratch->GetDesc(&d);
        if (d.Width == width && d.Height == height && d.Format == format)
            return slot.scratch.Get();
        state().retired.push_back(std::move(slot.scratch));
    }
    ComPtr<ID3D12Device> device;
    if (FAILED(slot.output.resource->GetDevice(IID_PPV_ARGS(&device))))
        return nullptr;
    D3D12_HEAP_PROPERTIES heap = {};
    heap.Type = D3D12_HEAP_TYPE_DEFAULT;
    D3D12_RESOURCE_DESC d = {};
    d.Dimension = D3D12_RESOURCE_DIMENSION_TEXTURE2D;
    d.Width = width;
    d.Height = height;
    d.DepthOrArraySize = 1;
    d.MipLevels = 1;
    d.Format = format;
    d.SampleDesc.Count = 1;
    // Kept in COPY_DEST between evaluations.
    if (FAILED(device->CreateCommittedResource(&heap, D3D12_HEAP_FLAG_NONE, &d,
                                               D3D12_RESOURCE_STATE_COPY_DEST, nullptr,
                                               IID_PPV_ARGS(&slot.scratch))))
        return nullptr;
    return slot.scratch.Get();
}

} // namespace

std::uint32_t nearestSource(std::uint32_t i, std::uint32_t from, std::uint32_t to)
{
    return static_cast<std::uint32_t>((2ull * i + 1) * from / (2ull * to));
}

namespace {

// Copies of one axis: destination texels [0, to) from source texels; runs of source texels that advance by
// one per destination texel (an axis that is not scaled) go in one copy.
template <class Copy> std::uint32_t copyRuns(std::uint32_t from, std::uint32_t to, Copy copy)
{
    std::uint32_t copies = 0;
    for (std::uint32_t i = 0; i < to;) {
        const std::uint32_t source = nearestSource(i, from, to);
        std::uint32_t length = 1;
        while (i + length < to && nearestSource(i + length, from, to) == source + length)
            ++length;
        copy(source, i, length);
        ++copies;
        i += length;
    }
    return copies;
}

} // namespace

void forgetTags()
{
    for (auto& v : state().viewports)
        v = ViewportTags{};
    state().retired.clear();
}

void forgetTaggedResource(std::uint32_t viewport, std::uint32_t type)
{
    if (ViewportTags* slot = findSlot(viewport)) {
        if (type == kBufferTypeScalingInputColor)
            slot->input = TaggedResource{};
        if (type == kBufferTypeScalingOutputColor)
            slot->output = TaggedResource{};
    }
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
    Evaluation e{"none", nullptr, nullptr, 0, 0, 0, 0, 0};
    ViewportTags* slot = findSlot(viewport);
    if (!slot || !slot->input.resource || !slot->output.resource || !commandList)
        return e;
    e.src = slot->input.resource;
    e.dst = slot->output.resource;
    if (script().noGpu) {
        e.work = "nogpu";
        return e;
    }
    ComPtr<ID3D12GraphicsCommandList> list;
    if (FAILED(static_cast<IUnknown*>(commandList)->QueryInterface(IID_PPV_ARGS(&list))))
        return e;

    D3D12_RESOURCE_DESC src = {}, dst = {};
    slot->input.resource->GetDesc(&src);
    slot->output.resource->GetDesc(&dst);
    if (src.Dimension != D3D12_RESOURCE_DIMENSION_TEXTURE2D ||
        dst.Dimension != D3D12_RESOURCE_DIMENSION_TEXTURE2D || src.Format != dst.Format ||
        src.SampleDesc.Count != 1 || dst.SampleDesc.Count != 1)
        return e;
    Extent from = slot->input.extent, to = slot->output.extent;
    clampExtent(from, src);
    clampExtent(to, dst);
    if (from.width == 0 || from.height == 0 || to.width == 0 || to.height == 0)
        return e;
    ID3D12Resource* scratch = nullptr;
    const bool scaled = from.width != to.width || from.height != to.height;
    if (scaled && !(scratch = scratchFor(*slot, to.width, from.height, src.Format)))
        return e;

    ID3D12Resource* input = slot->input.resource;
    ID3D12Resource* output = slot->output.resource;
    transition(list.Get(), input, slot->input.state, D3D12_RESOURCE_STATE_COPY_SOURCE);
    transition(list.Get(), output, slot->output.state, D3D12_RESOURCE_STATE_COPY_DEST);
    if (!scaled) {
        const D3D12_BOX box = {from.left, from.top, 0, from.left + from.width, from.top + from.height, 1};
        copyBox(list.Get(), input, box, output, to.left, to.top);
        e.copies = 1;
    } else {
        // Columns: input (from.width x from.height) to scratch (to.width x from.height).
        e.copies +=
            copyRuns(from.width, to.width, [&](std::uint32_t source, std::uint32_t x, std::uint32_t n) {
                const D3D12_BOX box = {from.left + source,     from.top, 0, from.left + source + n,
                                       from.top + from.height, 1};
                copyBox(list.Get(), input, box, scratch, x, 0);
            });
        transition(list.Get(), scratch, D3D12_RESOURCE_STATE_COPY_DEST, D3D12_RESOURCE_STATE_COPY_SOURCE);
        // Rows: scratch to the output extent.
        e.copies +=
            copyRuns(from.height, to.height, [&](std::uint32_t source, std::uint32_t y, std::uint32_t n) {
                const D3D12_BOX box = {0, source, 0, to.width, source + n, 1};
                copyBox(list.Get(), scratch, box, output, to.left, to.top + y);
            });
        transition(list.Get(), scratch, D3D12_RESOURCE_STATE_COPY_SOURCE, D3D12_RESOURCE_STATE_COPY_DEST);
    }
    transition(list.Get(), output, D3D12_RESOURCE_STATE_COPY_DEST, slot->output.state);
    transition(list.Get(), input, D3D12_RESOURCE_STATE_COPY_SOURCE, slot->input.state);
    e.work = scaled ? "scale" : "copy";
    e.fromWidth = from.width;
    e.fromHeight = from.height;
    e.toWidth = to.width;
    e.toHeight = to.height;
    return e;
}

} // namespace fsr2bridge::standin
