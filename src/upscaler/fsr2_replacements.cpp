#include "upscaler/fsr2_replacements.h"

#include <atomic>
#include <cstring>

#include "common/log.h"
#include "hooking/hook_and_enable.h"
#include "streamline/device_loss.h"
#include "streamline/feature_support.h"
#include "streamline/reflex.h"
#include "streamline/streamline_api.h"
#include "upscaler/camera_constants.h"
#include "upscaler/dlss_mode_fit.h"
#include "upscaler/frame_generation.h"
#include "upscaler/games_own_contexts.h"
#include "upscaler/host_hooks.h"
#include "upscaler/upscaler_state.h"

namespace fsr2bridge {

namespace {

constexpr int createShaderResourceViewSlot = 18;

void* trampolines[3] = {};
// Bounded: the writer answers within a few milliseconds unless the folder's disk stalls.
constexpr std::uint32_t contextDestroyFlushMilliseconds = 100;
// Set by the one dispatch that attempts the view hook; a dispatch on another thread meanwhile goes on
// without waiting (its views during that one evaluation may keep their format).
std::atomic<bool> srvHookAttempted{false};

inline constexpr LogEvent<sl::DLSSMode, DlssMode, std::uint32_t, std::uint32_t> dlssModeFollowsRenderSize{
    "DLSS mode {} (configured {}) for render size {}x{}"};
LogError<> constantsAlreadySet{
    "the constants of this frame were already set (a second dispatch before the present): DLSS evaluates "
    "with those"};
LogError<> nisUnfetchable{"slNISSetOptions cannot be fetched: DLSS writes the game's output itself"};
LogError<> dispatchAfterLoss{
    "an FSR2 context of the removed device was dispatched: nothing is done, the device and its Streamline "
    "objects are gone"};

// A frame's sizes, for its log lines.
struct FrameSizes {
    LogSize render;
    LogSize output;
};

// Streamline's errors on the frame's path: the first of each call in full, later ones counted.
using FrameCallFailure = LogError<sl::Result, LogSize, LogSize>;
FrameCallFailure dlssOptionsFailed{"slDLSSSetOptions failed with {} ({n}) at render size {} for output {}"};
FrameCallFailure constantsFailed{"slSetConstants failed with {} ({n}) at render size {} for output {}"};
FrameCallFailure tagsFailed{"slSetTag failed with {} ({n}) at render size {} for output {}"};
FrameCallFailure nisOptionsFailed{"slNISSetOptions failed with {} ({n}) at render size {} for output {}"};
FrameCallFailure dlssEvaluationFailed{
    "slEvaluateFeature of feature 0 failed with {} ({n}) at render size {} for output {}"};
FrameCallFailure nisEvaluationFailed{
    "slEvaluateFeature of feature 2 failed with {} ({n}) at render size {} for output {}"};

// Whether a call on the frame's path succeeded (streamlineAccepted); an error is logged with the sizes.
bool frameCallAccepted(sl::Result result, StreamlineCall call, FrameCallFailure& failure,
                       const FrameSizes& sizes)
{
    if (streamlineAccepted(result, call))
        return true;
    logError(failure, result, sizes.render, sizes.output);
    return false;
}

Fsr2ContextRecord& recordOf(void* context)
{
    return *static_cast<Fsr2ContextRecord*>(context);
}

bool sendDlssOptions(const sl::DLSSOptions& options, LogSize renderSize)
{
    auto* setOptions =
        fetchFeatureFunction(streamlineApi.slDLSSSetOptions, sl::kFeatureDLSS, "slDLSSSetOptions");
    return setOptions &&
           frameCallAccepted(setOptions(viewportHandle(), options), StreamlineCall::slDLSSSetOptions,
                             dlssOptionsFailed, {renderSize, {options.outputWidth, options.outputHeight}});
}

// Step at creation: the mode DLSS runs fits the render size the game is made for (its maximum).
void fitDlssModeAtCreation(sl::DLSSOptions& options, const FfxDimensions2D& renderSize)
{
    DlssModeRanges ranges{};
    if (!askDlssModeRanges(options, ranges)) {
        logLine("DLSS mode %u for render size %ux%u of %ux%u: Streamline gives no render-size ranges",
                static_cast<unsigned>(options.mode), renderSize.width, renderSize.height, options.outputWidth,
                options.outputHeight);
        return; // the configured mode stays
    }
    const sl::DLSSMode configured = options.mode;
    options.mode = fitDlssMode(configured, ranges, renderSize.width, renderSize.height);
    logLine("DLSS mode %u (configured %u) for render size %ux%u of %ux%u",
            static_cast<unsigned>(options.mode), static_cast<unsigned>(configured), renderSize.width,
            renderSize.height, options.outputWidth, options.outputHeight);
}

// Writes every field in place, so the padding of the zeroed record stays zero.
void fillDlssOptions(sl::DLSSOptions& o, const FfxFsr2ContextDescription& description,
                     const Settings& settings)
{
    o.next = nullptr;
    o.structType = sl::kDLSSOptionsType;
    o.structVersion = sl::kDLSSOptionsVersion;
    o.mode = static_cast<sl::DLSSMode>(settings.dlssMode);
    o.outputWidth = description.displaySize.width;
    o.outputHeight = description.displaySize.height;
    o.sharpness = 0.0f;
    o.preExposure = 1.0f;
    o.exposureScale = 1.0f;
    o.colorBuffersHDR = sl::Boolean::eTrue;
    o.indicatorInvertAxisX = sl::Boolean::eFalse;
    o.indicatorInvertAxisY = sl::Boolean::eFalse;
    const auto preset = static_cast<sl::DLSSPreset>(settings.dlssPreset);
    o.dlaaPreset = preset;
    o.qualityPreset = preset;
    o.balancedPreset = preset;
    o.performancePreset = preset;
    o.ultraPerformancePreset = preset;
    o.ultraQualityPreset = preset;
    o.useAutoExposure =
        (description.flags & FFX_FSR2_ENABLE_AUTO_EXPOSURE) ? sl::Boolean::eTrue : sl::Boolean::eFalse;
}

// The game's own FSR2 serves a context on a device Streamline does not serve: any context made after the
// attached device was removed, and one on a device Streamline refused (a second device). A game may pass the
// attached device as it queried it, also after releasing the pointer it was given: that one stays ours.
bool contextIsGamesOwn(const FfxFsr2ContextDescription& description)
{
    return attachmentLost() || isRefusedDevice(systemDeviceOf(description.device));
}

template <class Function> Function* gamesOwn(Fsr2Entry entry)
{
    return reinterpret_cast<Function*>(trampolines[static_cast<int>(entry)]);
}

std::uint32_t createGamesOwnContext(void* context, const FfxFsr2ContextDescription* description)
{
    using Create = std::uint32_t(void*, const FfxFsr2ContextDescription*);
    auto* create = gamesOwn<Create>(Fsr2Entry::create);
    if (!create || !rememberGamesOwnContext(context)) {
        return FFX_ERROR_BACKEND_API_ERROR;
    }
    const std::uint32_t created = create(context, description);
    if (created != FFX_OK) {
        forgetGamesOwnContext(context);
    }
    logLine(
        "FSR2 context %p on a device Streamline does not serve: the game's own FSR2 runs it (created: 0x%X)",
        context, created);
    return created;
}

std::uint32_t createContext(void* context, const FfxFsr2ContextDescription& description)
{
    std::memset(context, 0, fsr2ContextRecordSize);
    Fsr2ContextRecord& record = recordOf(context);
    record.device = description.device;
    const Settings settings = upscalerSettings();
    fillDlssOptions(record.dlssOptions, description, settings);
    fitDlssModeAtCreation(record.dlssOptions, description.maxRenderSize);
    record.fsr2Flags = description.flags;
    if (!sendDlssOptions(record.dlssOptions,
                         {description.maxRenderSize.width, description.maxRenderSize.height})) {
        return FFX_ERROR_BACKEND_API_ERROR;
    }
    startFrameGeneration(description.maxRenderSize.width, description.maxRenderSize.height,
                         frameGenerationEnabled(settings));
    return FFX_OK;
}

// What every tag and evaluation of one dispatch shares.
struct DispatchFrame {
    const sl::FrameToken& token;
    sl::CommandBuffer* commandList;
    sl::Extent renderExtent;
    sl::Extent displayExtent;
    sl::Extent motionExtent;
};

DispatchFrame dispatchFrameOf(const Fsr2ContextRecord& record, const FfxFsr2DispatchDescription& d,
                              const sl::FrameToken& token)
{
    const sl::Extent render{0, 0, d.renderSize.width, d.renderSize.height};
    const sl::Extent display{0, 0, record.dlssOptions.outputWidth, record.dlssOptions.outputHeight};
    const bool displayMotion = (record.fsr2Flags & FFX_FSR2_ENABLE_DISPLAY_RESOLUTION_MOTION_VECTORS) != 0;
    return {token, static_cast<sl::CommandBuffer*>(d.commandList), render, display,
            displayMotion ? display : render};
}

// Resource states of the tags: inputs are read by a shader, outputs written.
constexpr std::uint32_t inputState = D3D12_RESOURCE_STATE_NON_PIXEL_SHADER_RESOURCE;
constexpr std::uint32_t outputState = D3D12_RESOURCE_STATE_UNORDERED_ACCESS;

sl::Resource resourceRecord(void* native, std::uint32_t state)
{
    sl::Resource r{};
    r.native = native;
    r.state = state;
    return r;
}

sl::ResourceTag tagRecord(sl::Resource& resource, sl::BufferType bufferType, sl::ResourceLifecycle lifecycle,
                          const sl::Extent& extent)
{
    sl::ResourceTag tag{};
    tag.resource = &resource;
    tag.type = bufferType;
    tag.lifecycle = lifecycle;
    tag.extent = extent;
    return tag;
}

FrameSizes sizesOf(const DispatchFrame& frame)
{
    return {{frame.renderExtent.width, frame.renderExtent.height},
            {frame.displayExtent.width, frame.displayExtent.height}};
}

bool setTags(const DispatchFrame& frame, const sl::ResourceTag* tags, std::uint32_t count)
{
    auto* setTag = fetchCoreFunction(streamlineApi.slSetTag, upscalerModule(), "slSetTag");
    return setTag && frameCallAccepted(setTag(viewportHandle(), tags, count, frame.commandList),
                                       StreamlineCall::slSetTag, tagsFailed, sizesOf(frame));
}

bool evaluate(const DispatchFrame& frame, sl::Feature feature)
{
    auto* evaluateFeature =
        fetchCoreFunction(streamlineApi.slEvaluateFeature, upscalerModule(), "slEvaluateFeature");
    if (!evaluateFeature) {
        return false;
    }
    const sl::BaseStructure* inputs[1] = {sl::asBaseStructure(viewportHandle())};
    return frameCallAccepted(evaluateFeature(feature, frame.token, inputs, 1, frame.commandList),
                             StreamlineCall::slEvaluateFeature,
                             feature == sl::kFeatureNIS ? nisEvaluationFailed : dlssEvaluationFailed,
                             sizesOf(frame));
}

// Step: the Frame Generation health check, when Frame Generation is on.
bool checkFrameGeneration(const Settings& settings)
{
    return !frameGenerationEnabled(settings) || checkFrameGenerationHealth();
}

// Step: the DLSS mode follows the dispatch's render size (a game with dynamic resolution), by the ranges
// asked when the context was made.
bool followRenderSize(Fsr2ContextRecord& record, const FfxFsr2DispatchDescription& d,
                      const Settings& settings)
{
    sl::DLSSOptions& options = record.dlssOptions;
    const DlssModeRanges* ranges = knownDlssModeRanges(options.outputWidth, options.outputHeight);
    if (ranges == nullptr) {
        return true;
    }
    const auto configured = static_cast<sl::DLSSMode>(settings.dlssMode);
    const sl::DLSSMode mode = fitDlssMode(configured, *ranges, d.renderSize.width, d.renderSize.height);
    if (mode == options.mode) {
        return true;
    }
    options.mode = mode;
    logEvent(dlssModeFollowsRenderSize, mode, settings.dlssMode, d.renderSize.width, d.renderSize.height);
    return sendDlssOptions(options, {d.renderSize.width, d.renderSize.height});
}

// A dispatch's own token advances, the last of them (0: none yet), and whether the log said so.
std::atomic<std::uint32_t> dispatchAdvanced{0};
std::atomic<bool> presentsNotSeenLogged{false};
inline constexpr LogEvent<> presentsNotSeen{
    "presents are not seen (a swap chain the system did not wrap): each FSR2 dispatch moves the frame token "
    "on itself; Frame Generation and Reflex markers do not reach those presents"};

// Step: the frame's token. Presents move it on; when none has since this context's last dispatch (presents
// that bypass the swap-chain proxy), the dispatch does, so that no frame runs with another frame's constants.
// A second context dispatched in the same frame finds the token moved on and shares it.
const sl::FrameToken* frameTokenOf(Fsr2ContextRecord& record)
{
    std::uint32_t advances = frameTokenAdvances();
    if (record.tokenAdvancesSeen != 0 && record.tokenAdvancesSeen == advances && advanceFrameToken()) {
        // Twice in a row with no present in between: presents are not seen, not just a frame rendered ahead.
        if (dispatchAdvanced.load(std::memory_order_relaxed) == advances &&
            !presentsNotSeenLogged.exchange(true, std::memory_order_relaxed))
            logEvent(presentsNotSeen);
        advances = frameTokenAdvances();
        dispatchAdvanced.store(advances, std::memory_order_relaxed);
    }
    record.tokenAdvancesSeen = advances;
    return currentFrameToken();
}

// Step: DLSS options follow the dispatch's pre-exposure (a NaN never equals, so it is sent every time).
bool followPreExposure(Fsr2ContextRecord& record, const FfxFsr2DispatchDescription& d)
{
    if (d.preExposure == record.dlssOptions.preExposure) {
        return true;
    }
    record.dlssOptions.preExposure = d.preExposure;
    return sendDlssOptions(record.dlssOptions, {d.renderSize.width, d.renderSize.height});
}

// Step: the frame's camera constants. Streamline takes them once per frame token: a second dispatch before
// the present (a second context, a render thread running ahead) evaluates with those already set.
bool sendConstants(const sl::Constants& constants, const sl::FrameToken& token, const FrameSizes& sizes)
{
    auto* setConstants = fetchCoreFunction(streamlineApi.slSetConstants, upscalerModule(), "slSetConstants");
    if (!setConstants) {
        return false;
    }
    const sl::Result result = setConstants(constants, token, viewportHandle());
    if (result == sl::Result::eErrorDuplicatedConstants) {
        logError(constantsAlreadySet);
        return true;
    }
    return frameCallAccepted(result, StreamlineCall::slSetConstants, constantsFailed, sizes);
}

// Step: whether NIS sharpens this dispatch. Without NIS on the adapter, or when its function cannot be
// fetched, DLSS writes the game's output itself, as with sharpening off.
bool nisSharpens(const Settings& settings)
{
    if (!settings.enableNisSharpening || !nisSupported()) {
        return false;
    }
    if (fetchFeatureFunction(streamlineApi.slNISSetOptions, sl::kFeatureNIS, "slNISSetOptions")) {
        return true;
    }
    logError(nisUnfetchable);
    return false;
}

// The DLSS output when NIS sharpens afterwards: a texture like the host's output, made once per context.
bool ensureNisIntermediate(Fsr2ContextRecord& record, ID3D12Resource* output)
{
    if (record.nisIntermediate) {
        return true;
    }
    ID3D12Device* native = systemDeviceOf(record.device);
    if (!native || !output) {
        return false;
    }
    const D3D12_RESOURCE_DESC desc = resourceDescriptionOf(output);
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

constexpr LogEvent<const void*> viewHookInstalled{
    "hook on the device's CreateShaderResourceView at {} installed (views of the transparency mask)"};
constexpr LogEvent<const void*> viewHookFailed{
    "hook on the device's CreateShaderResourceView at {} could not be installed: views of the transparency "
    "mask keep their format"};

// Hooks the native device's CreateShaderResourceView once per process; a failed attempt is not repeated.
bool ensureShaderResourceViewHook(const Fsr2ContextRecord& record)
{
    if (srvHookAttempted.load(std::memory_order_acquire) ||
        srvHookAttempted.exchange(true, std::memory_order_acq_rel)) {
        return true;
    }
    void* target = shaderResourceViewHookTarget(record.device);
    if (!target) {
        return false;
    }
    const bool installed = hookAndEnable(target, reinterpret_cast<void*>(&createShaderResourceViewHook),
                                         createShaderResourceViewTrampolineSlot());
    // On the dispatch path, once: a record, no text.
    logEvent(installed ? viewHookInstalled : viewHookFailed, target);
    return installed;
}

// Frames whose render size no DLSS mode takes, refused in a row by Streamline (0: DLSS takes the frames).
std::atomic<std::uint32_t> framesNotTaken{0};
inline constexpr LogEvent<LogSize, LogSize, LogSize> renderSizeTooSmall{
    "the game renders {} for {}, below what DLSS takes (at least {}): DLSS cannot upscale these frames; "
    "raise "
    "the game's resolution scale or FSR2 quality"};
inline constexpr LogEvent<LogSize, LogSize, LogSize> renderSizeTooLarge{
    "the game renders {} for {}, above what DLSS takes (at most {}): DLSS cannot upscale these frames; lower "
    "the game's resolution scale or FSR2 quality"};
inline constexpr LogEvent<LogSize, LogSize, std::uint32_t> renderSizeTakenAgain{
    "DLSS upscales again at render size {} for {}, after {} frames it could not upscale"};

// Step: whether DLSS took the frame. A refusal of a render size that no mode takes is said once per stretch
// of such frames, in the player's words; a frame taken after a stretch says so too. Returns `taken`.
bool noteRenderSizeTaken(const DispatchFrame& frame, const Fsr2ContextRecord& record, bool taken)
{
    const FrameSizes sizes = sizesOf(frame);
    if (taken) {
        if (framesNotTaken.load(std::memory_order_relaxed) != 0)
            if (const std::uint32_t notTaken = framesNotTaken.exchange(0, std::memory_order_relaxed))
                logEvent(renderSizeTakenAgain, sizes.render, sizes.output, notTaken);
        return true;
    }
    const DlssModeRanges* ranges = knownDlssModeRanges(sizes.output.width, sizes.output.height);
    const RenderSizeOutside outside =
        ranges ? renderSizeOutside(*ranges, record.dlssOptions.mode, sizes.render.width, sizes.render.height)
               : RenderSizeOutside{};
    if ((outside.below || outside.above) && framesNotTaken.fetch_add(1, std::memory_order_relaxed) == 0)
        logEvent(outside.below ? renderSizeTooSmall : renderSizeTooLarge, sizes.render, sizes.output,
                 LogSize{outside.limitWidth, outside.limitHeight});
    return false;
}

// Clears the view-format rewrite however the evaluation ends.
struct RewriteWindow {
    RewriteWindow() { setR8TypelessRewriteActive(true); }
    ~RewriteWindow() { setR8TypelessRewriteActive(false); }
    RewriteWindow(const RewriteWindow&) = delete;
    RewriteWindow& operator=(const RewriteWindow&) = delete;
};

// Step: tag colour, DLSS output, depth, motion vectors and the transparency mask, then evaluate DLSS; while
// a mask is tagged, its R8_TYPELESS views are rewritten. Without a mask its buffer type is tagged with no
// resource: Streamline keeps the last tag of each type, and DLSS must not read an old mask.
bool tagAndEvaluateDlss(const DispatchFrame& frame, const Fsr2ContextRecord& record,
                        const FfxFsr2DispatchDescription& d, ID3D12Resource* dlssOutput)
{
    void* transparency = d.transparencyAndComposition.resource;
    sl::Resource resources[5] = {
        resourceRecord(d.color.resource, inputState), resourceRecord(dlssOutput, outputState),
        resourceRecord(d.depth.resource, inputState), resourceRecord(d.motionVectors.resource, inputState),
        resourceRecord(transparency, inputState),
    };
    constexpr auto untilPresent = sl::ResourceLifecycle::eValidUntilPresent;
    constexpr auto onlyNow = sl::ResourceLifecycle::eOnlyValidNow;
    sl::ResourceTag tags[5] = {
        tagRecord(resources[0], sl::kBufferTypeScalingInputColor, untilPresent, frame.renderExtent),
        tagRecord(resources[1], sl::kBufferTypeScalingOutputColor, untilPresent, frame.displayExtent),
        tagRecord(resources[2], sl::kBufferTypeDepth, onlyNow, frame.renderExtent),
        tagRecord(resources[3], sl::kBufferTypeMotionVectors, onlyNow, frame.motionExtent),
        tagRecord(resources[4], sl::kBufferTypeTransparencyHint, untilPresent, frame.renderExtent),
    };
    if (!transparency) {
        tags[4].resource = nullptr;
    }
    if (!setTags(frame, tags, 5)) {
        return false;
    }
    // The frame's depth and motion vectors are Streamline's now: its present may generate a frame from them.
    noteFrameInputsTagged(record.tokenAdvancesSeen);
    if (!transparency) {
        return noteRenderSizeTaken(frame, record, evaluate(frame, sl::kFeatureDLSS));
    }
    if (!ensureShaderResourceViewHook(record)) {
        return false;
    }
    RewriteWindow rewrite;
    return noteRenderSizeTaken(frame, record, evaluate(frame, sl::kFeatureDLSS));
}

// Step: NIS sharpens the intermediate DLSS wrote into the host's output.
bool sharpen(const DispatchFrame& frame, const Fsr2ContextRecord& record, const FfxFsr2DispatchDescription& d)
{
    sl::NISOptions options{};
    options.mode = sl::NISMode::eSharpen;
    options.hdrMode = sl::NISHDR::eNone;
    options.sharpness = d.sharpness;
    auto* setOptions =
        fetchFeatureFunction(streamlineApi.slNISSetOptions, sl::kFeatureNIS, "slNISSetOptions");
    if (!setOptions ||
        !frameCallAccepted(setOptions(viewportHandle(), options), StreamlineCall::slNISSetOptions,
                           nisOptionsFailed, sizesOf(frame))) {
        return false;
    }
    sl::Resource resources[2] = {
        resourceRecord(record.nisIntermediate, outputState),
        resourceRecord(d.output.resource, outputState),
    };
    constexpr auto untilPresent = sl::ResourceLifecycle::eValidUntilPresent;
    const sl::ResourceTag tags[2] = {
        tagRecord(resources[0], sl::kBufferTypeScalingInputColor, untilPresent, frame.displayExtent),
        tagRecord(resources[1], sl::kBufferTypeScalingOutputColor, untilPresent, frame.displayExtent),
    };
    return setTags(frame, tags, 2) && evaluate(frame, sl::kFeatureNIS);
}

std::uint32_t dispatchContext(Fsr2ContextRecord& record, const FfxFsr2DispatchDescription& d)
{
    const Settings settings = upscalerSettings();
    if (!checkFrameGeneration(settings) || !followRenderSize(record, d, settings) ||
        !followPreExposure(record, d)) {
        return FFX_ERROR_BACKEND_API_ERROR;
    }
    sl::Constants constants;
    buildFrameConstants(record, d, constants);
    const sl::FrameToken* token = frameTokenOf(record);
    const FrameSizes sizes{{d.renderSize.width, d.renderSize.height},
                           {record.dlssOptions.outputWidth, record.dlssOptions.outputHeight}};
    if (!token || !sendConstants(constants, *token, sizes)) {
        return FFX_ERROR_BACKEND_API_ERROR;
    }
    auto* output = static_cast<ID3D12Resource*>(d.output.resource);
    const bool nis = nisSharpens(settings);
    if (nis && !ensureNisIntermediate(record, output)) {
        return FFX_ERROR_BACKEND_API_ERROR;
    }
    const DispatchFrame frame = dispatchFrameOf(record, d, *token);
    if (!tagAndEvaluateDlss(frame, record, d, nis ? record.nisIntermediate : output)) {
        return FFX_ERROR_BACKEND_API_ERROR;
    }
    if (nis && !sharpen(frame, record, d)) {
        return FFX_ERROR_BACKEND_API_ERROR;
    }
    return FFX_OK;
}

} // namespace

std::uint32_t fsr2ContextCreateReplacement(void* context, const FfxFsr2ContextDescription* description)
{
    if (!context || !description) {
        return FFX_ERROR_INVALID_POINTER;
    }
    try {
        if (contextIsGamesOwn(*description)) {
            return createGamesOwnContext(context, description);
        }
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
    if (isGamesOwnContext(context)) {
        using Dispatch = std::uint32_t(void*, const FfxFsr2DispatchDescription*);
        auto* dispatch = gamesOwn<Dispatch>(Fsr2Entry::dispatch);
        return dispatch ? dispatch(context, description) : FFX_ERROR_BACKEND_API_ERROR;
    }
    if (attachmentLost()) {
        logError(dispatchAfterLoss);
        return FFX_ERROR_BACKEND_API_ERROR;
    }
    try {
        return dispatchContext(recordOf(context), *description);
    } catch (...) {
        return FFX_ERROR_BACKEND_API_ERROR;
    }
}

std::uint32_t fsr2ContextDestroyReplacement(void* context)
{
    if (!context) {
        return FFX_ERROR_INVALID_POINTER;
    }
    if (forgetGamesOwnContext(context)) {
        using Destroy = std::uint32_t(void*);
        auto* destroy = gamesOwn<Destroy>(Fsr2Entry::destroy);
        return destroy ? destroy(context) : FFX_ERROR_BACKEND_API_ERROR;
    }
    try {
        if (const std::uint32_t notTaken = framesNotTaken.exchange(0, std::memory_order_relaxed))
            logLine(
                "DLSS could not upscale the last %u frames of this FSR2 context (render sizes no DLSS mode "
                "takes)",
                notTaken);
        Fsr2ContextRecord& record = recordOf(context);
        if (upscalerSettings().enableNisSharpening && record.nisIntermediate) {
            record.nisIntermediate->Release();
            // A repeated destroy must not release the texture twice.
            record.nisIntermediate = nullptr;
        }
    } catch (...) {
    }
    // A context goes at a resize or on the way out of the game, not in a frame: what the frames logged is
    // written now, since a process that ends next takes the writer's last records with it.
    flushLog(contextDestroyFlushMilliseconds);
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
    return srvHookAttempted.load(std::memory_order_acquire);
}

void forgetShaderResourceViewHookAttempt()
{
    srvHookAttempted.store(false, std::memory_order_release);
}

void* shaderResourceViewHookTarget(void* hostDevice)
{
    ID3D12Device* native = systemDeviceOf(hostDevice);
    return native ? (*reinterpret_cast<void***>(native))[createShaderResourceViewSlot] : nullptr;
}

} // namespace fsr2bridge
