// The entry points of the stand-in Streamline. Each journals its call, honours
// the script and never lets anything escape to the caller.
#include <atomic>
#include <cstdio>
#include <cstring>

#include <wrl/client.h>

#include "common/graphics.h"
#include "common/module_export.h"
#include "inside_timer.h"
#include "interposed.h"
#include "records.h"
#include "releases.h"
#include "standin.h"

#if defined(STANDIN_WITHOUT_SLINIT)
#define STANDIN_EXPORT_INIT
#define STANDIN_VARIANT "noinit"
#else
#define STANDIN_EXPORT_INIT __declspec(dllexport)
#endif
#if defined(STANDIN_WITHOUT_FEATURE_FUNCTION)
#define STANDIN_EXPORT_FEATURE_FUNCTION
#define STANDIN_VARIANT "nocore"
#else
#define STANDIN_EXPORT_FEATURE_FUNCTION __declspec(dllexport)
#endif
#ifndef STANDIN_VARIANT
#define STANDIN_VARIANT "full"
#endif
#define STANDIN_EXPORT __declspec(dllexport)

namespace fsr2bridge::standin {
namespace {

// --- frame tokens -------------------------------------------------------------

constexpr std::uint32_t kTokenMagic = 0x4B4F5453; // "STOK"
struct Token {
    std::uint32_t magic;
    std::uint32_t id;
};
constexpr std::size_t kTokenRing = 1024;
Token tokens[kTokenRing];
std::atomic<std::uint32_t> tokenCount{0};

constexpr GUID kPreferencesType = {
    0x1CA10965, 0xBF8E, 0x432B, {0x8D, 0xA1, 0x67, 0x16, 0xD8, 0x79, 0xFB, 0x14}};
constexpr int kResultInvalidParameter = 2;

// Bits 15-0 of the SDK version word hold the check value 0xFEDC; the major version must be 2.
constexpr bool sdkVersionAccepted(std::uint64_t word)
{
    return (word & 0xFFFF) == 0xFEDC && (word >> 48) == 2;
}

bool failed(const char* entry, std::int64_t& code)
{
    return script().failCount > 0 && scriptedFailure(entry, kResultError, code);
}

// "<entry>" or "<entry>.<qualifier>" (a feature id, a marker, an object kind).
bool failedFor(const char* entry, const char* qualifier, std::int64_t& code)
{
    if (script().failCount == 0)
        return false;
    if (failed(entry, code))
        return true;
    char name[96];
    std::snprintf(name, sizeof name, "%s.%s", entry, qualifier);
    return failed(name, code);
}

bool failedFor(const char* entry, std::uint32_t qualifier, std::int64_t& code)
{
    char text[16];
    std::snprintf(text, sizeof text, "%u", static_cast<unsigned>(qualifier));
    return failedFor(entry, text, code);
}

int scriptedResult(const char* entry, std::int64_t code)
{
    Line line(entry);
    line.raw("scripted", "1").commit(code);
    return static_cast<int>(code);
}

// Where slStandinInsideMicroseconds measures the time-stamp counter's rate from.
const std::uint64_t insideTicksAtLoad = __rdtsc();
const std::int64_t insideCounterAtLoad = [] {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}();

// --- feature functions ----------------------------------------------------------

int slDLSSSetOptions(const void* viewport, const void* options)
{
    InsideTimer timed;
    std::int64_t code;
    if (failed("slDLSSSetOptions", code))
        return scriptedResult("slDLSSSetOptions", code);
    Line line("slDLSSSetOptions");
    line.u("viewport", viewportOf(viewport)).record(options);
    if (!options) {
        line.commit(kResultError);
        return kResultError;
    }
    line.u("mode", readAt<std::uint32_t>(options, 32))
        .u("outputWidth", readAt<std::uint32_t>(options, 36))
        .u("outputHeight", readAt<std::uint32_t>(options, 40))
        .f("sharpness", readAt<float>(options, 44))
        .f("preExposure", readAt<float>(options, 48))
        .f("exposureScale", readAt<float>(options, 52))
        .u("colorBuffersHDR", readAt<std::uint8_t>(options, 56))
        .u("indicatorInvertAxisX", readAt<std::uint8_t>(options, 57))
        .u("indicatorInvertAxisY", readAt<std::uint8_t>(options, 58))
        .u("dlaaPreset", readAt<std::uint32_t>(options, 60))
        .u("qualityPreset", readAt<std::uint32_t>(options, 64))
        .u("balancedPreset", readAt<std::uint32_t>(options, 68))
        .u("performancePreset", readAt<std::uint32_t>(options, 72))
        .u("ultraPerformancePreset", readAt<std::uint32_t>(options, 76))
        .u("ultraQualityPreset", readAt<std::uint32_t>(options, 80))
        .u("useAutoExposure", readAt<std::uint8_t>(options, 84));
    rememberDlssOptions(viewportOf(viewport), readAt<std::uint32_t>(options, 32),
                        readAt<std::uint32_t>(options, 36), readAt<std::uint32_t>(options, 40));
    if (const std::uint32_t defaulted = noteDlssOptions(viewportOf(viewport), options))
        line.u("defaultedPresets", defaulted);
    return finishWithScriptedWarning(line, "slDLSSSetOptions");
}

constexpr GUID kDLSSOptionsType = {
    0x6AC826E4, 0x4C61, 0x4101, {0xA9, 0x2D, 0x63, 0x8D, 0x42, 0x10, 0x57, 0xB8}};
constexpr GUID kDLSSOptimalSettingsType = {
    0xEF1D0957, 0xFD58, 0x4DF7, {0xB5, 0x04, 0x8B, 0x69, 0xD8, 0xAA, 0x6B, 0x76}};

// The render sizes of the options' mode and output size, from the table of rules.cpp.
int slDLSSGetOptimalSettings(const void* options, void* settings)
{
    InsideTimer timed;
    std::int64_t code;
    if (failed("slDLSSGetOptimalSettings", code))
        return scriptedResult("slDLSSGetOptimalSettings", code);
    Line line("slDLSSGetOptimalSettings");
    line.record(options);
    if (!options || !settings) {
        line.commit(kResultError);
        return kResultError;
    }
    const auto mode = readAt<std::uint32_t>(options, 32);
    const auto width = readAt<std::uint32_t>(options, 36);
    const auto height = readAt<std::uint32_t>(options, 40);
    line.u("mode", mode).u("outputWidth", width).u("outputHeight", height).record(settings, "settings.");
    DlssRange range{};
    if (recordType(options) != kDLSSOptionsType || recordType(settings) != kDLSSOptimalSettingsType ||
        !dlssRange(mode, width, height, range)) {
        line.commit(kResultBadRecord);
        return kResultBadRecord;
    }
    writeAt<std::uint32_t>(settings, 32, range.optimalWidth);
    writeAt<std::uint32_t>(settings, 36, range.optimalHeight);
    writeAt<float>(settings, 40, 0.0f);
    writeAt<std::uint32_t>(settings, 44, range.minWidth);
    writeAt<std::uint32_t>(settings, 48, range.minHeight);
    writeAt<std::uint32_t>(settings, 52, range.maxWidth);
    writeAt<std::uint32_t>(settings, 56, range.maxHeight);
    char size[32];
    std::snprintf(size, sizeof size, "%u,%u", range.optimalWidth, range.optimalHeight);
    line.raw("optimal", size);
    std::snprintf(size, sizeof size, "%u,%u", range.minWidth, range.minHeight);
    line.raw("min", size);
    std::snprintf(size, sizeof size, "%u,%u", range.maxWidth, range.maxHeight);
    line.raw("max", size);
    return finishWithScriptedWarning(line, "slDLSSGetOptimalSettings");
}

int slDLSSGSetOptions(const void* viewport, const void* options)
{
    InsideTimer timed;
    std::int64_t code;
    if (failed("slDLSSGSetOptions", code))
        return scriptedResult("slDLSSGSetOptions", code);
    Line line("slDLSSGSetOptions");
    line.u("viewport", viewportOf(viewport)).record(options);
    if (!options) {
        line.commit(kResultError);
        return kResultError;
    }
    const auto mode = readAt<std::uint32_t>(options, 32);
    const auto flags = readAt<std::uint32_t>(options, 40);
    noteFullscreenChanges(); // under the mode sent until now
    lastFrameGenerationMode = mode;
    line.u("mode", mode)
        .u("numFramesToGenerate", readAt<std::uint32_t>(options, 36))
        .hex("flags", flags)
        .u("dynamicResWidth", readAt<std::uint32_t>(options, 44))
        .u("dynamicResHeight", readAt<std::uint32_t>(options, 48))
        .u32s("more", static_cast<const unsigned char*>(options) + 52, 10)
        .ptr("pointer96", readAt<const void*>(options, 96));
    // Fields of a later structure version are read only when both the record and the release have them.
    if (recordVersion(options) >= 3 && frameGenerationRecordVersion() >= 3)
        line.u("queueParallelismMode", readAt<std::uint32_t>(options, 108));
    line.commit(kResultOk);
    noteFrameGenerationOptions(viewportOf(viewport), mode, flags);
    return kResultOk;
}

int slDLSSGGetState(const void* viewport, void* state, const void* options)
{
    InsideTimer timed;
    std::int64_t code;
    if (failed("slDLSSGGetState", code))
        return scriptedResult("slDLSSGGetState", code);
    Line line("slDLSSGGetState");
    line.u("viewport", viewportOf(viewport)).record(state).ptr("options", options);
    if (!state) {
        line.commit(kResultError);
        return kResultError;
    }
    const std::uint32_t call = nextDlssgGetStateCall();
    const Script& s = script();
    const std::uint32_t status =
        (call >= s.dlssgStatusFrom ? s.dlssgStatus : 0) | frameGenerationStatusNow();
    writeAt<std::uint64_t>(state, 32, 256ull << 20);
    writeAt<std::uint32_t>(state, 40, status);
    writeAt<std::uint32_t>(state, 44, 32);
    writeAt<std::uint32_t>(state, 48, lastFrameGenerationMode ? 2 : 1);
    // Version 3 (2.7.2): the generated frames' limit, vsync support and the inputs' fence. Whether the closed
    // plug-in honours the version given cannot be checked; the script chooses.
    const std::uint64_t release = frameGenerationRecordVersion();
    std::size_t wrote = 56;
    if (release >= 3 && (recordVersion(state) >= 3 || s.dlssgStateIgnoresVersion)) {
        static int fence;
        writeAt<std::uint32_t>(state, 52, 1);
        writeAt<std::uint8_t>(state, 56, 0);
        writeAt<std::uint8_t>(state, 57, 1);
        writeAt<const void*>(state, 64, &fence);
        writeAt<std::uint64_t>(state, 72, call);
        wrote = 80;
    }
    line.u("status", status).u("wrote", wrote).commit(kResultOk);
    return kResultOk;
}

int slNISSetOptions(const void* viewport, const void* options)
{
    InsideTimer timed;
    std::int64_t code;
    if (failed("slNISSetOptions", code))
        return scriptedResult("slNISSetOptions", code);
    Line line("slNISSetOptions");
    line.u("viewport", viewportOf(viewport)).record(options);
    if (!options) {
        line.commit(kResultError);
        return kResultError;
    }
    line.u("mode", readAt<std::uint32_t>(options, 32))
        .u("hdrMode", readAt<std::uint32_t>(options, 36))
        .f("sharpness", readAt<float>(options, 40));
    return finishWithScriptedWarning(line, "slNISSetOptions");
}

int slReflexGetState(void* state)
{
    InsideTimer timed;
    std::int64_t code;
    if (failed("slReflexGetState", code))
        return scriptedResult("slReflexGetState", code);
    Line line("slReflexGetState");
    line.record(state);
    if (!state) {
        line.commit(kResultError);
        return kResultError;
    }
    // The ping message is set up by the first slReflexSetOptions; before it the state reports none.
    const UINT message = reflexOptionsSet() ? RegisterWindowMessageW(L"SL_STANDIN_PCL_PING") : 0;
    writeAt<std::uint8_t>(state, 32, 1); // lowLatencyAvailable
    writeAt<std::uint8_t>(state, 33, 1); // latencyReportAvailable
    writeAt<std::uint32_t>(state, 36, message);
    line.u("message", message);
    return finishWithScriptedWarning(line, "slReflexGetState");
}

int slReflexSetOptions(const void* options)
{
    InsideTimer timed;
    std::int64_t code;
    if (failed("slReflexSetOptions", code))
        return scriptedResult("slReflexSetOptions", code);
    Line line("slReflexSetOptions");
    line.record(options);
    if (!options) {
        line.commit(kResultError);
        return kResultError;
    }
    line.u("mode", readAt<std::uint32_t>(options, 32))
        .u("frameLimitUs", readAt<std::uint32_t>(options, 36))
        .u("useMarkersToOptimize", readAt<std::uint8_t>(options, 40))
        .u("virtualKey", readAt<std::uint16_t>(options, 42))
        .u("idThread", readAt<std::uint32_t>(options, 44));
    noteReflexOptionsSet();
    return finishWithScriptedWarning(line, "slReflexSetOptions");
}

int slReflexSetMarker(std::uint32_t marker, const void* token)
{
    InsideTimer timed;
    std::int64_t code;
    if (failedFor("slReflexSetMarker", marker, code))
        return scriptedResult("slReflexSetMarker", code);
    Line line("slReflexSetMarker");
    line.u("marker", marker);
    journalToken(line, token);
    if (!token) {
        line.commit(kResultError);
        return kResultError;
    }
    return finishWithScriptedWarning(line, "slReflexSetMarker");
}

int slReflexSleep(const void* token)
{
    InsideTimer timed;
    std::int64_t code;
    if (failed("slReflexSleep", code))
        return scriptedResult("slReflexSleep", code);
    const std::uint32_t us = script().sleepUs;
    if (us > 0)
        Sleep((us + 999) / 1000);
    Line line("slReflexSleep");
    journalToken(line, token);
    line.u("sleptUs", us);
    if (!token) {
        line.commit(kResultError);
        return kResultError;
    }
    return finishWithScriptedWarning(line, "slReflexSleep");
}

struct FeatureFunction {
    const char* name;
    std::uint32_t feature;
    void* function;
};

const FeatureFunction featureFunctions[] = {
    {"slDLSSSetOptions", kFeatureDLSS, reinterpret_cast<void*>(&slDLSSSetOptions)},
    {"slDLSSGetOptimalSettings", kFeatureDLSS, reinterpret_cast<void*>(&slDLSSGetOptimalSettings)},
    {"slDLSSGGetState", kFeatureDLSS_G, reinterpret_cast<void*>(&slDLSSGGetState)},
    {"slDLSSGSetOptions", kFeatureDLSS_G, reinterpret_cast<void*>(&slDLSSGSetOptions)},
    {"slNISSetOptions", kFeatureNIS, reinterpret_cast<void*>(&slNISSetOptions)},
    {"slReflexGetState", kFeatureReflex, reinterpret_cast<void*>(&slReflexGetState)},
    {"slReflexSetOptions", kFeatureReflex, reinterpret_cast<void*>(&slReflexSetOptions)},
    {"slReflexSetMarker", kFeatureReflex, reinterpret_cast<void*>(&slReflexSetMarker)},
    {"slReflexSleep", kFeatureReflex, reinterpret_cast<void*>(&slReflexSleep)},
};

const char* kindName(ObjectKind kind)
{
    switch (kind) {
    case ObjectKind::device:
        return "device";
    case ObjectKind::factory:
        return "factory";
    case ObjectKind::queue:
        return "queue";
    case ObjectKind::swapChain:
        return "swapchain";
    case ObjectKind::none:
        break;
    }
    return "foreign";
}

void journalConstants(Line& line, const void* c)
{
    line.floats("cameraViewToClip", static_cast<const unsigned char*>(c) + 32, 16)
        .floats("clipToCameraView", static_cast<const unsigned char*>(c) + 96, 16)
        .floats("clipToLensClip", static_cast<const unsigned char*>(c) + 160, 16)
        .floats("clipToPrevClip", static_cast<const unsigned char*>(c) + 224, 16)
        .floats("prevClipToClip", static_cast<const unsigned char*>(c) + 288, 16)
        .floats("jitterOffset", static_cast<const unsigned char*>(c) + 352, 2)
        .floats("mvecScale", static_cast<const unsigned char*>(c) + 360, 2)
        .floats("cameraPinholeOffset", static_cast<const unsigned char*>(c) + 368, 2)
        .floats("cameraPos", static_cast<const unsigned char*>(c) + 376, 3)
        .floats("cameraUp", static_cast<const unsigned char*>(c) + 388, 3)
        .floats("cameraRight", static_cast<const unsigned char*>(c) + 400, 3)
        .floats("cameraFwd", static_cast<const unsigned char*>(c) + 412, 3)
        .f("cameraNear", readAt<float>(c, 424))
        .f("cameraFar", readAt<float>(c, 428))
        .f("cameraFOV", readAt<float>(c, 432))
        .f("cameraAspectRatio", readAt<float>(c, 436))
        .f("motionVectorsInvalidValue", readAt<float>(c, 440))
        .u("depthInverted", readAt<std::uint8_t>(c, 444))
        .u("cameraMotionIncluded", readAt<std::uint8_t>(c, 445))
        .u("motionVectors3D", readAt<std::uint8_t>(c, 446))
        .u("reset", readAt<std::uint8_t>(c, 447))
        .u("orthographicProjection", readAt<std::uint8_t>(c, 448))
        .u("motionVectorsDilated", readAt<std::uint8_t>(c, 449))
        .u("motionVectorsJittered", readAt<std::uint8_t>(c, 450));
}

void journalTag(Line& line, std::uint32_t index, const unsigned char* tag)
{
    char k[32];
    auto key = [&](const char* name) {
        std::snprintf(k, sizeof k, "t%u.%s", index, name);
        return k;
    };
    line.u(key("type"), readAt<std::uint32_t>(tag, kTagType));
    line.u(key("lifecycle"), readAt<std::uint32_t>(tag, kTagLifecycle));
    line.u32s(key("extent"), tag + kTagExtent, 4);
    line.guid(key("tagType"), recordType(tag));
    line.u(key("tagVersion"), recordVersion(tag));
    const void* res = readAt<const void*>(tag, kTagResource);
    line.ptr(key("res"), res);
    if (!res)
        return;
    line.guid(key("resType"), recordType(res));
    line.u(key("resVersion"), recordVersion(res));
    line.u(key("kind"), readAt<std::uint8_t>(res, kResourceKind));
    auto* native = readAt<ID3D12Resource*>(res, kResourceNative);
    line.ptr(key("native"), native);
    line.ptr(key("memory"), readAt<const void*>(res, kResourceMemory));
    line.ptr(key("view"), readAt<const void*>(res, kResourceView));
    line.hex(key("state"), readAt<std::uint32_t>(res, kResourceState));
    char fields[160];
    std::snprintf(fields, sizeof fields, "%u,%u,%u,%u,%u,%llu,%u,%u,%u",
                  readAt<std::uint32_t>(res, kResourceWidth), readAt<std::uint32_t>(res, 72),
                  readAt<std::uint32_t>(res, 76), readAt<std::uint32_t>(res, 80),
                  readAt<std::uint32_t>(res, 84),
                  static_cast<unsigned long long>(readAt<std::uint64_t>(res, kResourceGpuVa)),
                  readAt<std::uint32_t>(res, kResourceTail), readAt<std::uint32_t>(res, 100),
                  readAt<std::uint32_t>(res, 104));
    line.raw(key("fields"), fields);
    if (native && !script().noGpu) {
        D3D12_RESOURCE_DESC d = {};
        native->GetDesc(&d);
        char desc[64];
        std::snprintf(desc, sizeof desc, "%llu,%u,%u", static_cast<unsigned long long>(d.Width), d.Height,
                      static_cast<unsigned>(d.Format));
        line.raw(key("desc"), desc);
    }
}

} // namespace

std::uint32_t tokenId(const void* token, bool& ours)
{
    const auto* t = static_cast<const Token*>(token);
    ours = t >= tokens && t < tokens + kTokenRing && t->magic == kTokenMagic;
    return ours ? t->id : 0;
}

void* newFrameToken(const std::uint32_t* frameIndex)
{
    const std::uint32_t n = tokenCount++;
    Token& t = tokens[n % kTokenRing];
    t.magic = kTokenMagic;
    t.id = frameIndex ? *frameIndex : n + 1;
    return &t;
}

void journalToken(Line& line, const void* token)
{
    if (!token) {
        line.raw("token", "null");
        return;
    }
    bool ours = false;
    const std::uint32_t id = tokenId(token, ours);
    if (ours) {
        line.u("token", id);
    } else {
        line.raw("token", "foreign");
    }
}

// Streamline may make a DXGI factory of its own while it initialises (SL_STANDIN_INIT_CREATES_FACTORY).
void createFactoryDuringInit()
{
    using Create = HRESULT WINAPI(UINT, REFIID, void**);
    auto* create = fsr2bridge::exportedFunction<Create>(GetModuleHandleW(L"dxgi.dll"), "CreateDXGIFactory2");
    Microsoft::WRL::ComPtr<IDXGIFactory2> factory;
    const HRESULT hr = create != nullptr ? create(0, IID_PPV_ARGS(&factory)) : E_NOINTERFACE;
    Line("slInit.CreateDXGIFactory2").ptr("factory", factory.Get()).commitHr(hr);
}

} // namespace fsr2bridge::standin

using namespace fsr2bridge::standin;

extern "C" {

STANDIN_EXPORT_INIT int slInit(const void* preferences, std::uint64_t sdkVersion)
{
    InsideTimer timed;
    reloadScript();
    if (script().initSleepMs > 0)
        Sleep(script().initSleepMs);
    std::int64_t code;
    if (failed("slInit", code))
        return scriptedResult("slInit", code);
    Line line("slInit");
    line.hex("sdkVersion", sdkVersion).record(preferences);
    if (!preferences) {
        line.commit(kResultError);
        return kResultError;
    }
    const auto* p = preferences;
    line.u("showConsole", readAt<std::uint8_t>(p, 32)).u("logLevel", readAt<std::uint32_t>(p, 36));
    const auto plugins = readAt<const wchar_t* const*>(p, 40);
    const auto numPlugins = readAt<std::uint32_t>(p, 48);
    if (plugins && numPlugins > 0) {
        // Only the first path is journalled in full; the count says how many there are.
        line.wstr("plugins", plugins[0]);
    } else {
        line.ptr("plugins", plugins);
    }
    line.u("numPlugins", numPlugins).wstr("logs", readAt<const wchar_t*>(p, 56));
    line.ptr("allocateCallback", readAt<const void*>(p, 64))
        .ptr("releaseCallback", readAt<const void*>(p, 72))
        .ptr("logMessageCallback", readAt<const void*>(p, 80))
        .hex("flags", readAt<std::uint64_t>(p, 88));
    const auto features = readAt<const std::uint32_t*>(p, 96);
    const auto numFeatures = readAt<std::uint32_t>(p, 104);
    if (features && numFeatures > 0 && numFeatures <= 64) {
        line.u32s("features", features, numFeatures);
    } else {
        line.ptr("features", features);
    }
    line.u("numFeatures", numFeatures)
        .u("applicationId", readAt<std::uint32_t>(p, 108))
        .u("engine", readAt<std::uint32_t>(p, 112))
        .str("engineVersion", readAt<const char*>(p, 120))
        .str("projectId", readAt<const char*>(p, 128))
        .u("renderAPI", readAt<std::uint32_t>(p, 136));
    // Like Streamline, refuse a caller built against something else: the version
    // word must carry the SDK's check value and the record must be Preferences.
    const int result = sdkVersionAccepted(sdkVersion) && recordType(p) == kPreferencesType
                           ? kResultOk
                           : kResultInvalidParameter;
    line.commit(result);
    if (result == kResultOk)
        loadReleaseSet(plugins && numPlugins > 0 ? plugins[0] : nullptr);
    if (result == kResultOk && script().initCreatesFactory)
        createFactoryDuringInit();
    return result;
}

STANDIN_EXPORT int slUpgradeInterface(void** baseInterface)
{
    InsideTimer timed;
    std::int64_t code;
    if (failed("slUpgradeInterface", code))
        return scriptedResult("slUpgradeInterface", code);
    Line line("slUpgradeInterface");
    if (!baseInterface || !*baseInterface) {
        line.raw("kind", "null").commit(kResultError);
        return kResultError;
    }
    auto* given = static_cast<IUnknown*>(*baseInterface);
    const auto answers = [given](REFIID iid) {
        Microsoft::WRL::ComPtr<IUnknown> probe;
        return SUCCEEDED(given->QueryInterface(iid, &probe)) && probe;
    };
    Microsoft::WRL::ComPtr<IUnknown> upgraded;
    const char* kind = "unknown";
    if (answers(__uuidof(ID3D12Device))) {
        kind = "device";
        adopt(upgraded, interposeDevice(given));
    } else if (answers(__uuidof(IDXGIFactory))) {
        kind = "factory";
        adopt(upgraded, interposeFactory(given));
    }
    line.raw("kind", kind).ptr("in", given).ptr("out", upgraded.Get());
    if (upgraded && failedFor("slUpgradeInterface", kind, code)) {
        line.raw("scripted", "1").commit(code);
        return static_cast<int>(code);
    }
    if (!upgraded) {
        line.commit(kResultError);
        return kResultError;
    }
    *baseInterface = upgraded.Detach();
    return finishWithScriptedWarning(line, "slUpgradeInterface");
}

STANDIN_EXPORT int slGetNativeInterface(void* proxyInterface, void** baseInterface)
{
    InsideTimer timed;
    std::int64_t code;
    if (failed("slGetNativeInterface", code))
        return scriptedResult("slGetNativeInterface", code);
    Line line("slGetNativeInterface");
    const ObjectKind kind = interposedKind(proxyInterface);
    IUnknown* real = interposedReal(proxyInterface);
    if (real == nullptr && script().unwrappedSwapChains)
        real = static_cast<IUnknown*>(proxyInterface); // not ours: it is its own native interface
    line.raw("kind", proxyInterface ? kindName(kind) : "null").ptr("in", proxyInterface).ptr("out", real);
    if (!real || !baseInterface) {
        line.commit(kResultError);
        return kResultError;
    }
    real->AddRef();
    *baseInterface = real;
    return finishWithScriptedWarning(line, "slGetNativeInterface");
}

STANDIN_EXPORT_FEATURE_FUNCTION int slGetFeatureFunction(std::uint32_t feature, const char* functionName,
                                                         void** function)
{
    InsideTimer timed;
    std::int64_t code;
    if (failed("slGetFeatureFunction", code))
        return scriptedResult("slGetFeatureFunction", code);
    char fetchEntry[96] = "fetch.";
    if (functionName)
        std::strncat(fetchEntry, functionName, sizeof fetchEntry - 7);
    Line line("slGetFeatureFunction");
    line.u("feature", feature).str("name", functionName);
    if (functionName && failed(fetchEntry, code)) {
        line.raw("scripted", "1").raw("fn", "null").commit(code);
        return static_cast<int>(code);
    }
    // Only a feature that is loaded and supported hands out its functions.
    if (const int refusal = featureFunctionRefusal(feature)) {
        line.raw("refused", refusal == kResultFeatureNotSupported ? "unsupported" : "missing")
            .raw("fn", "null")
            .commit(refusal);
        return refusal;
    }
    void* found = nullptr;
    for (const auto& f : featureFunctions) {
        if (functionName && f.feature == feature && std::strcmp(f.name, functionName) == 0)
            found = f.function;
    }
    line.ptr("fn", found);
    if (!found || !function) {
        line.commit(kResultError);
        return kResultError;
    }
    *function = found;
    return finishWithScriptedWarning(line, "slGetFeatureFunction");
}

STANDIN_EXPORT int slSetD3DDevice(void* d3dDevice)
{
    InsideTimer timed;
    std::int64_t code;
    if (failed("slSetD3DDevice", code))
        return scriptedResult("slSetD3DDevice", code);
    Line line("slSetD3DDevice");
    line.ptr("device", d3dDevice).u("interposed", interposedKind(d3dDevice) == ObjectKind::device ? 1 : 0);
    if (!d3dDevice) {
        line.commit(kResultError);
        return kResultError;
    }
    // Streamline serves the first device it is given and refuses any other.
    if (const int refusal = bindDevice(d3dDevice)) {
        line.raw("refused", "secondDevice").commit(refusal);
        return refusal;
    }
    return finishWithScriptedWarning(line, "slSetD3DDevice");
}

STANDIN_EXPORT int slIsFeatureSupported(std::uint32_t feature, const void* adapterInfo)
{
    InsideTimer timed;
    std::int64_t code;
    if (failed("slIsFeatureSupported", code))
        return scriptedResult("slIsFeatureSupported", code);
    Line line("slIsFeatureSupported");
    line.u("feature", feature).record(adapterInfo);
    const LUID* adapter = nullptr;
    if (adapterInfo) {
        const auto* luid = readAt<const void*>(adapterInfo, 32);
        const auto size = readAt<std::uint32_t>(adapterInfo, 40);
        line.bytes("luid", luid, size <= 16 ? size : 16).u("luidSize", size);
        line.ptr("vkPhysicalDevice", readAt<const void*>(adapterInfo, 48));
        if (luid && size >= sizeof(LUID))
            adapter = static_cast<const LUID*>(luid);
    }
    const char* rule = nullptr;
    const int result = featureSupport(feature, adapter, rule);
    if (rule)
        line.raw("rule", rule);
    line.commit(result);
    return result;
}

STANDIN_EXPORT int slGetNewFrameToken(void** token, const std::uint32_t* frameIndex)
{
    InsideTimer timed;
    std::int64_t code;
    if (failed("slGetNewFrameToken", code))
        return scriptedResult("slGetNewFrameToken", code);
    Line line("slGetNewFrameToken");
    if (!token) {
        line.raw("token", "null").commit(kResultError);
        return kResultError;
    }
    *token = newFrameToken(frameIndex);
    journalToken(line, *token);
    if (frameIndex) {
        line.u("frameIndex", *frameIndex);
    } else {
        line.raw("frameIndex", "null");
    }
    return finishWithScriptedWarning(line, "slGetNewFrameToken");
}

STANDIN_EXPORT int slSetTag(const void* viewport, const void* tags, std::uint32_t numTags, void* cmdBuffer)
{
    InsideTimer timed;
    std::int64_t code;
    if (failed("slSetTag", code))
        return scriptedResult("slSetTag", code);
    Line line("slSetTag");
    const std::uint32_t vp = viewportOf(viewport);
    line.u("viewport", vp).u("count", numTags).ptr("cmd", cmdBuffer);
    if (!viewport || (!tags && numTags > 0)) {
        line.commit(kResultError);
        return kResultError;
    }
    if (line.on())
        for (std::uint32_t n = 0; n < numTags && n < 16; ++n)
            journalTag(line, n, static_cast<const unsigned char*>(tags) + n * kTagSize);
    rememberTags(vp, tags, numTags);
    rememberHeldTags(vp, tags, numTags);
    stampTags(vp, tags, numTags);
    return finishWithScriptedWarning(line, "slSetTag");
}

STANDIN_EXPORT int slSetConstants(const void* constants, const void* token, const void* viewport)
{
    InsideTimer timed;
    std::int64_t code;
    if (failed("slSetConstants", code))
        return scriptedResult("slSetConstants", code);
    Line line("slSetConstants");
    journalToken(line, token);
    line.u("viewport", viewportOf(viewport)).record(constants);
    if (!constants || !token || !viewport) {
        line.commit(kResultError);
        return kResultError;
    }
    journalConstants(line, constants);
    // Once per frame: other constants for a frame token and viewport already set are refused.
    if (const int refusal = acceptConstants(token, viewportOf(viewport), constants)) {
        line.raw("refused", "duplicate").commit(refusal);
        return refusal;
    }
    return finishWithScriptedWarning(line, "slSetConstants");
}

STANDIN_EXPORT int slEvaluateFeature(std::uint32_t feature, const void* token, const void* const* inputs,
                                     std::uint32_t numInputs, void* cmdBuffer)
{
    InsideTimer timed;
    std::int64_t code;
    if (failedFor("slEvaluateFeature", feature, code))
        return scriptedResult("slEvaluateFeature", code);
    Line line("slEvaluateFeature");
    line.u("feature", feature);
    journalToken(line, token);
    line.u("numInputs", numInputs);
    const void* viewport = nullptr;
    if (inputs && numInputs > 0 && inputs[0] && recordType(inputs[0]) == kViewportHandleType)
        viewport = inputs[0];
    if (viewport) {
        line.u("viewport", viewportOf(viewport));
    } else {
        line.raw("viewport", "null");
    }
    line.ptr("cmd", cmdBuffer);
    if (!token || !viewport || !cmdBuffer) {
        line.commit(kResultError);
        return kResultError;
    }
    // Tags too old for the release are dropped before the feature reads them.
    dropStaleTags(viewportOf(viewport), ~0ull);
    // DLSS evaluates only an input whose size lies in the range of its mode.
    if (feature == kFeatureDLSS) {
        const RenderSizeCheck size = checkRenderSize(viewportOf(viewport));
        if (size.outside) {
            char from[32];
            std::snprintf(from, sizeof from, "%u,%u", size.width, size.height);
            line.raw("refused", "renderSize").u("mode", size.mode).raw("from", from).commit(kResultNGXFailed);
            return kResultNGXFailed;
        }
    }
    const bool created = feature == kFeatureDLSS && dlssFeatureCreated(viewportOf(viewport));
    const Evaluation e = recordEvaluation(viewportOf(viewport), cmdBuffer);
    line.raw("work", e.work).ptr("src", e.src).ptr("dst", e.dst);
    if (line.on()) {
        char size[32];
        std::snprintf(size, sizeof size, "%u,%u", e.fromWidth, e.fromHeight);
        line.raw("from", size);
        std::snprintf(size, sizeof size, "%u,%u", e.toWidth, e.toHeight);
        line.raw("to", size);
        line.u("copies", e.copies);
        char held[256] = "";
        const std::uint64_t types = heldTags(viewportOf(viewport));
        for (std::uint32_t t = 0; t < 64; ++t)
            if (types & (1ull << t))
                std::snprintf(held + std::strlen(held), sizeof held - std::strlen(held),
                              held[0] ? ",%u" : "%u", static_cast<unsigned>(t));
        line.raw("held", held[0] ? held : "none");
    }
    if (created)
        line.u("created", 1); // a new DLSS feature: its history starts afresh
    char qualifier[16];
    std::snprintf(qualifier, sizeof qualifier, "%u", static_cast<unsigned>(feature));
    return finishWithScriptedWarning(line, "slEvaluateFeature", qualifier);
}

// Re-reads the environment and reopens the journal (for tests that change
// variables in the middle of a process).
STANDIN_EXPORT void slStandinReload()
{
    reloadScript();
}

// Microseconds spent inside the stand-in so far, on every thread (inside_timer.h). The time-stamp counter's
// rate is measured against the performance counter since the stand-in was loaded.
STANDIN_EXPORT double slStandinInsideMicroseconds()
{
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    const double ticks = static_cast<double>(__rdtsc() - insideTicksAtLoad);
    const double seconds =
        static_cast<double>(now.QuadPart - insideCounterAtLoad) / static_cast<double>(frequency.QuadPart);
    return ticks > 0 ? static_cast<double>(insideTicks.load()) * 1e6 * seconds / ticks : 0.0;
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(instance);
        reloadScript();
        wchar_t path[MAX_PATH] = {};
        GetModuleFileNameW(instance, path, MAX_PATH);
        const Version release = interposerRelease();
        char releaseText[32];
        std::snprintf(releaseText, sizeof releaseText, "%u.%u.%u", release.major, release.minor,
                      release.patch);
        Line line("load");
        line.u("pid", GetCurrentProcessId())
            .raw("variant", STANDIN_VARIANT)
            .wstr("path", path)
            .raw("release", releaseText)
            .commit(kResultOk);
    } else if (reason == DLL_PROCESS_DETACH) {
        Line line("unload");
        line.commit(kResultOk);
    }
    return TRUE;
}

} // extern "C"
