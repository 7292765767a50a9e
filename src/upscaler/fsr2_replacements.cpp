#include "upscaler/fsr2_replacements.h"

#include <cstring>

#include "hooking/MinHook.h"
#include "proxies/D3D12DeviceProxy.h"
#include "streamline/reflex.h"
#include "streamline/streamline_api.h"
#include "upscaler/camera_constants.h"
#include "upscaler/frame_generation.h"
#include "upscaler/host_hooks.h"
#include "upscaler/upscaler_state.h"

namespace fsr2bridge {

static_assert(sizeof(sl::DLSSOptions) == 88);
static_assert(offsetof(sl::DLSSOptions, mode) == 32);
static_assert(offsetof(sl::DLSSOptions, outputWidth) == 36);
static_assert(offsetof(sl::DLSSOptions, outputHeight) == 40);
static_assert(offsetof(sl::DLSSOptions, sharpness) == 44);
static_assert(offsetof(sl::DLSSOptions, preExposure) == 48);
static_assert(offsetof(sl::DLSSOptions, exposureScale) == 52);
static_assert(offsetof(sl::DLSSOptions, colorBuffersHDR) == 56);
static_assert(offsetof(sl::DLSSOptions, indicatorInvertAxisX) == 57);
static_assert(offsetof(sl::DLSSOptions, indicatorInvertAxisY) == 58);
static_assert(offsetof(sl::DLSSOptions, dlaaPreset) == 60);
static_assert(offsetof(sl::DLSSOptions, qualityPreset) == 64);
static_assert(offsetof(sl::DLSSOptions, balancedPreset) == 68);
static_assert(offsetof(sl::DLSSOptions, performancePreset) == 72);
static_assert(offsetof(sl::DLSSOptions, ultraPerformancePreset) == 76);
static_assert(offsetof(sl::DLSSOptions, ultraQualityPreset) == 80);
static_assert(offsetof(sl::DLSSOptions, useAutoExposure) == 84);
static_assert(sizeof(Fsr2ContextRecord) == fsr2ContextRecordSize);
static_assert(offsetof(Fsr2ContextRecord, dlssOptions) == 0);
static_assert(offsetof(Fsr2ContextRecord, fsr2Flags) == 88);
static_assert(offsetof(Fsr2ContextRecord, device) == 96);
static_assert(offsetof(Fsr2ContextRecord, nisIntermediate) == 104);
static_assert(sizeof(sl::Resource) == 112);
static_assert(offsetof(sl::Resource, native) == 40);
static_assert(offsetof(sl::Resource, state) == 64);
static_assert(sizeof(sl::ResourceTag) == 64);
static_assert(offsetof(sl::ResourceTag, resource) == 32);
static_assert(offsetof(sl::ResourceTag, type) == 40);
static_assert(offsetof(sl::ResourceTag, lifecycle) == 44);
static_assert(offsetof(sl::ResourceTag, extent) == 48);
static_assert(sizeof(sl::NISOptions) == 48);
static_assert(offsetof(sl::NISOptions, sharpness) == 40);
static_assert(offsetof(FfxFsr2DispatchDescription, color) == 8);
static_assert(offsetof(FfxFsr2DispatchDescription, depth) == 192);
static_assert(offsetof(FfxFsr2DispatchDescription, motionVectors) == 376);
static_assert(offsetof(FfxFsr2DispatchDescription, transparencyAndComposition) == 928);
static_assert(offsetof(FfxFsr2DispatchDescription, output) == 1112);
static_assert(offsetof(FfxFsr2DispatchDescription, sharpness) == 1324);
static_assert(offsetof(FfxFsr2DispatchDescription, preExposure) == 1332);

namespace {

// Resource states and Streamline buffer types of the tags.
constexpr std::uint32_t stateShaderInput = D3D12_RESOURCE_STATE_NON_PIXEL_SHADER_RESOURCE;
constexpr std::uint32_t stateUnorderedAccess = D3D12_RESOURCE_STATE_UNORDERED_ACCESS;
constexpr std::uint32_t bufferDepth = 0;
constexpr std::uint32_t bufferMotionVectors = 1;
constexpr std::uint32_t bufferScalingInputColor = 3;
constexpr std::uint32_t bufferScalingOutputColor = 4;
constexpr std::uint32_t bufferTransparencyHint = 27;
constexpr std::uint32_t onlyValidNow = 0;
constexpr std::uint32_t validUntilPresent = 1;
constexpr std::uint32_t nisModeSharpen = 2;
constexpr std::uint32_t dlssgDynamicResolution = 2;
constexpr int createShaderResourceViewSlot = 18;

void* trampolines[3] = {};
bool srvHookAttempted = false;

// Assigns a number to a record field whatever integral or enumeration type the field has.
template <class Field, class Value> void assign(Field& field, Value value)
{
    field = static_cast<Field>(value);
}

Fsr2ContextRecord& recordOf(void* context)
{
    return *static_cast<Fsr2ContextRecord*>(context);
}

bool sendDlssOptions(const sl::DLSSOptions& options)
{
    auto* setOptions =
        fetchFeatureFunction(streamlineApi.slDLSSSetOptions, sl::kFeatureDLSS, "slDLSSSetOptions");
    return setOptions && setOptions(viewportHandle(), options) == sl::Result::eOk;
}

// Writes every field in place, so the padding of the zeroed record stays zero.
void fillDlssOptions(sl::DLSSOptions& o, const FfxFsr2ContextDescription& description,
                     const Settings& settings)
{
    o.next = nullptr;
    o.structType = sl::kDLSSOptionsType;
    o.structVersion = sl::kDLSSOptionsVersion;
    assign(o.mode, static_cast<std::uint32_t>(settings.dlssMode));
    o.outputWidth = description.displaySize.width;
    o.outputHeight = description.displaySize.height;
    o.sharpness = 0.0f;
    o.preExposure = 1.0f;
    o.exposureScale = 1.0f;
    assign(o.colorBuffersHDR, 1);
    assign(o.indicatorInvertAxisX, 0);
    assign(o.indicatorInvertAxisY, 0);
    const auto preset = static_cast<std::uint32_t>(settings.dlssPreset);
    assign(o.dlaaPreset, preset);
    assign(o.qualityPreset, preset);
    assign(o.balancedPreset, preset);
    assign(o.performancePreset, preset);
    assign(o.ultraPerformancePreset, preset);
    assign(o.ultraQualityPreset, preset);
    assign(o.useAutoExposure, (description.flags & FFX_FSR2_ENABLE_AUTO_EXPOSURE) ? 1 : 0);
}

void resetFrameGenerationOptions(const FfxFsr2ContextDescription& description)
{
    sl::DLSSGOptions& fg = frameGenerationOptions();
    // Zeroed in place rather than assigned, so the padding is zero too.
    std::memset(static_cast<void*>(&fg), 0, sizeof fg);
    fg.structType = sl::kDLSSGOptionsType;
    fg.structVersion = sl::kDLSSGOptionsVersion;
    assign(fg.mode, 0);
    fg.numFramesToGenerate = 1;
    assign(fg.flags, dlssgDynamicResolution);
    fg.dynamicResWidth = description.maxRenderSize.width;
    fg.dynamicResHeight = description.maxRenderSize.height;
}

std::uint32_t createContext(void* context, const FfxFsr2ContextDescription& description)
{
    std::memset(context, 0, fsr2ContextRecordSize);
    Fsr2ContextRecord& record = recordOf(context);
    record.device = description.device;
    const Settings settings = upscalerSettings();
    fillDlssOptions(record.dlssOptions, description, settings);
    record.fsr2Flags = description.flags;
    if (!sendDlssOptions(record.dlssOptions)) {
        return FFX_ERROR_BACKEND_API_ERROR;
    }
    resetFrameGenerationOptions(description);
    if (settings.enableFrameGeneration) {
        setFrameGenerationMode(1);
    }
    return FFX_OK;
}

sl::Resource resourceRecord(void* native, std::uint32_t state)
{
    sl::Resource r{};
    r.native = native;
    r.state = state;
    return r;
}

sl::ResourceTag tagRecord(sl::Resource& resource, std::uint32_t bufferType, std::uint32_t lifecycle,
                          const sl::Extent& extent)
{
    sl::ResourceTag tag{};
    tag.resource = &resource;
    assign(tag.type, bufferType);
    assign(tag.lifecycle, lifecycle);
    tag.extent = extent;
    return tag;
}

D3D12_RESOURCE_DESC resourceDescOf(ID3D12Resource* resource)
{
#ifdef _MSC_VER
    return resource->GetDesc();
#else
    D3D12_RESOURCE_DESC desc;
    resource->GetDesc(&desc);
    return desc;
#endif
}

// The DLSS output when NIS sharpens afterwards: a texture like the host's output, made once per context.
bool ensureNisIntermediate(Fsr2ContextRecord& record, ID3D12Resource* output)
{
    if (record.nisIntermediate) {
        return true;
    }
    ID3D12Device* native = nativeDeviceOf(record.device);
    if (!native || !output) {
        return false;
    }
    const D3D12_RESOURCE_DESC desc = resourceDescOf(output);
    D3D12_HEAP_PROPERTIES heap{};
    heap.Type = D3D12_HEAP_TYPE_DEFAULT;
    heap.CreationNodeMask = 1;
    heap.VisibleNodeMask = 1;
    ID3D12Resource* created = nullptr;
    const HRESULT hr = native->CreateCommittedResource(
        &heap, D3D12_HEAP_FLAG_NONE, &desc, D3D12_RESOURCE_STATE_UNORDERED_ACCESS, nullptr,
        __uuidof(ID3D12Resource), reinterpret_cast<void**>(&created));
    if (FAILED(hr) || !created) {
        return false;
    }
    record.nisIntermediate = created;
    return true;
}

// Hooks the native device's CreateShaderResourceView once per process; a failed attempt is not repeated.
bool ensureShaderResourceViewHook(const Fsr2ContextRecord& record)
{
    if (srvHookAttempted) {
        return true;
    }
    srvHookAttempted = true;
    ID3D12Device* native = nativeDeviceOf(record.device);
    if (!native) {
        return false;
    }
    void* target = (*reinterpret_cast<void***>(native))[createShaderResourceViewSlot];
    if (MH_CreateHook(target, reinterpret_cast<void*>(&createShaderResourceViewHook),
                      createShaderResourceViewTrampolineSlot()) != MH_OK) {
        return false;
    }
    return MH_EnableHook(target) == MH_OK;
}

// Clears the view-format rewrite however the evaluation ends.
struct RewriteWindow {
    RewriteWindow() { setR8TypelessRewriteActive(true); }
    ~RewriteWindow() { setR8TypelessRewriteActive(false); }
    RewriteWindow(const RewriteWindow&) = delete;
    RewriteWindow& operator=(const RewriteWindow&) = delete;
};

bool samePreExposure(float a, float b)
{
    return a == b;
}

std::uint32_t dispatchContext(Fsr2ContextRecord& record, const FfxFsr2DispatchDescription& d)
{
    const Settings settings = upscalerSettings();
    const bool nis = settings.enableNisSharpening;
    if (settings.enableFrameGeneration && !checkFrameGenerationHealth()) {
        return FFX_ERROR_BACKEND_API_ERROR;
    }
    if (!samePreExposure(d.preExposure, record.dlssOptions.preExposure)) {
        record.dlssOptions.preExposure = d.preExposure;
        if (!sendDlssOptions(record.dlssOptions)) {
            return FFX_ERROR_BACKEND_API_ERROR;
        }
    }

    sl::Constants constants;
    buildFrameConstants(record, d, constants);
    sl::FrameToken* token = currentFrameToken();
    if (!token) {
        return FFX_ERROR_BACKEND_API_ERROR;
    }
    auto* setConstants =
        fetchCoreFunction(streamlineApi.slSetConstants, streamlineApi.interposerModule, "slSetConstants");
    if (!setConstants || setConstants(constants, *token, viewportHandle()) != sl::Result::eOk) {
        return FFX_ERROR_BACKEND_API_ERROR;
    }

    auto* output = static_cast<ID3D12Resource*>(d.output.resource);
    ID3D12Resource* dlssOutput = output;
    if (nis) {
        if (!ensureNisIntermediate(record, output)) {
            return FFX_ERROR_BACKEND_API_ERROR;
        }
        dlssOutput = record.nisIntermediate;
    }

    const sl::Extent renderExtent{0, 0, d.renderSize.width, d.renderSize.height};
    const sl::Extent displayExtent{0, 0, record.dlssOptions.outputWidth, record.dlssOptions.outputHeight};
    const sl::Extent motionExtent =
        (record.fsr2Flags & FFX_FSR2_ENABLE_DISPLAY_RESOLUTION_MOTION_VECTORS) ? displayExtent : renderExtent;
    void* transparency = d.transparencyAndComposition.resource;

    sl::Resource resources[5] = {
        resourceRecord(d.color.resource, stateShaderInput),
        resourceRecord(dlssOutput, stateUnorderedAccess),
        resourceRecord(d.depth.resource, stateShaderInput),
        resourceRecord(d.motionVectors.resource, stateShaderInput),
        resourceRecord(transparency, stateShaderInput),
    };
    const sl::ResourceTag tags[5] = {
        tagRecord(resources[0], bufferScalingInputColor, validUntilPresent, renderExtent),
        tagRecord(resources[1], bufferScalingOutputColor, validUntilPresent, displayExtent),
        tagRecord(resources[2], bufferDepth, onlyValidNow, renderExtent),
        tagRecord(resources[3], bufferMotionVectors, onlyValidNow, motionExtent),
        tagRecord(resources[4], bufferTransparencyHint, validUntilPresent, renderExtent),
    };
    const std::uint32_t tagCount = transparency ? 5 : 4;
    auto* commandList = static_cast<sl::CommandBuffer*>(d.commandList);
    auto* setTag = fetchCoreFunction(streamlineApi.slSetTag, streamlineApi.interposerModule, "slSetTag");
    if (!setTag || setTag(viewportHandle(), tags, tagCount, commandList) != sl::Result::eOk) {
        return FFX_ERROR_BACKEND_API_ERROR;
    }

    if (transparency && !ensureShaderResourceViewHook(record)) {
        return FFX_ERROR_BACKEND_API_ERROR;
    }
    const sl::BaseStructure* inputs[1] = {sl::asBaseStructure(viewportHandle())};
    auto* evaluate = fetchCoreFunction(streamlineApi.slEvaluateFeature, streamlineApi.interposerModule,
                                       "slEvaluateFeature");
    if (!evaluate) {
        return FFX_ERROR_BACKEND_API_ERROR;
    }
    sl::Result evaluated;
    if (transparency) {
        RewriteWindow rewrite;
        evaluated = evaluate(sl::kFeatureDLSS, *token, inputs, 1, commandList);
    } else {
        evaluated = evaluate(sl::kFeatureDLSS, *token, inputs, 1, commandList);
    }
    if (evaluated != sl::Result::eOk) {
        return FFX_ERROR_BACKEND_API_ERROR;
    }
    if (!nis) {
        return FFX_OK;
    }

    sl::NISOptions nisOptions{};
    assign(nisOptions.mode, nisModeSharpen);
    assign(nisOptions.hdrMode, 0);
    nisOptions.sharpness = d.sharpness;
    auto* setNis = fetchFeatureFunction(streamlineApi.slNISSetOptions, sl::kFeatureNIS, "slNISSetOptions");
    if (!setNis || setNis(viewportHandle(), nisOptions) != sl::Result::eOk) {
        return FFX_ERROR_BACKEND_API_ERROR;
    }
    sl::Resource nisResources[2] = {
        resourceRecord(record.nisIntermediate, stateUnorderedAccess),
        resourceRecord(output, stateUnorderedAccess),
    };
    const sl::ResourceTag nisTags[2] = {
        tagRecord(nisResources[0], bufferScalingInputColor, validUntilPresent, displayExtent),
        tagRecord(nisResources[1], bufferScalingOutputColor, validUntilPresent, displayExtent),
    };
    if (setTag(viewportHandle(), nisTags, 2, commandList) != sl::Result::eOk) {
        return FFX_ERROR_BACKEND_API_ERROR;
    }
    return evaluate(sl::kFeatureNIS, *token, inputs, 1, commandList) == sl::Result::eOk
               ? FFX_OK
               : FFX_ERROR_BACKEND_API_ERROR;
}

} // namespace

std::uint32_t fsr2ContextCreateReplacement(void* context, const FfxFsr2ContextDescription* description)
{
    if (!context || !description) {
        return FFX_ERROR_INVALID_POINTER;
    }
    try {
        return createContext(context, *description);
    } catch (...) {
        return FFX_ERROR_BACKEND_API_ERROR;
    }
}

std::uint32_t fsr2ContextDispatchReplacement(void* context, const FfxFsr2DispatchDescription* description)
{
    if (!context || !description) {
        return FFX_ERROR_INVALID_POINTER;
    }
    try {
        return dispatchContext(recordOf(context), *description);
    } catch (...) {
        setR8TypelessRewriteActive(false);
        return FFX_ERROR_BACKEND_API_ERROR;
    }
}

std::uint32_t fsr2ContextDestroyReplacement(void* context)
{
    if (!context) {
        return FFX_ERROR_INVALID_POINTER;
    }
    try {
        Fsr2ContextRecord& record = recordOf(context);
        if (upscalerSettings().enableNisSharpening && record.nisIntermediate) {
            record.nisIntermediate->Release();
            // A repeated destroy must not release the texture twice.
            record.nisIntermediate = nullptr;
        }
    } catch (...) {
    }
    return FFX_OK;
}

std::uint32_t fsr2RegisterAliasableResourcesReplacement(void*, void*, void*, void*)
{
    return FFX_OK;
}

void** fsr2TrampolineSlot(Fsr2Entry entry)
{
    return &trampolines[static_cast<int>(entry)];
}

Fsr2ContextRecord& fsr2ContextRecordOf(void* context)
{
    return recordOf(context);
}

bool shaderResourceViewHookAttempted()
{
    return srvHookAttempted;
}

} // namespace fsr2bridge
