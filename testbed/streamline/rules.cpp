// What Streamline 2.1.1 enforces and keeps besides doing the work (the evidence for each rule is cited in
// docs/testing.md): the render-size range of each DLSS mode, constants once per frame token and viewport,
// the one device it serves, the latency ping message only once Reflex has its options, feature functions
// only of supported features, the last tag of each buffer type, warnings answered after the work, and which
// features Windows' version and each adapter allow.
#include <cmath>
#include <cstdio>
#include <cstring>

#include "common/graphics.h"
#include "records.h"
#include "releases.h"
#include "standin.h"

namespace fsr2bridge::standin {
namespace {

// Render size over output size of each DLSS mode, in thousandths: the optimal size and the range a
// mode accepts. Neighbouring ranges overlap; DLAA renders at the output size.
struct ModeRatios {
    std::uint32_t mode;
    std::uint32_t optimal, min, max;
};
constexpr ModeRatios modeRatios[] = {
    {1, 500, 333, 580},   // MaxPerformance
    {2, 580, 500, 667},   // Balanced
    {3, 667, 580, 770},   // MaxQuality
    {4, 333, 250, 500},   // UltraPerformance
    {5, 770, 667, 1000},  // UltraQuality
    {6, 1000, 770, 1000}, // DLAA
};

std::uint32_t scaled(std::uint32_t size, std::uint32_t thousandths, double (*round)(double))
{
    return static_cast<std::uint32_t>(round(static_cast<double>(size) * thousandths / 1000.0));
}

struct ViewportRules {
    bool used;
    std::uint32_t viewport;
    std::uint32_t dlssMode, outputWidth, outputHeight; // the last DLSS options; mode 0 = none
    std::uint64_t held;                                // buffer types (< 64) whose last tag has a resource
    Extent inputExtent;                                // of the last scaling-input tag
    ID3D12Resource* input;
};

struct ConstantsSeen {
    std::uint32_t token, viewport;
    std::uint64_t hash;
    bool used;
};

struct RuleState {
    SRWLOCK lock = SRWLOCK_INIT;
    ViewportRules viewports[8] = {};
    std::uint32_t nextViewport = 0;
    ConstantsSeen constants[64] = {};
    std::uint32_t nextConstants = 0;
    const void* device = nullptr;
    bool reflexOptionsSet = false;
    bool firstAdapterKnown = false;
    LUID firstAdapter{};
};

RuleState state;

class Locked : ExclusiveLock {
public:
    Locked() : ExclusiveLock(state.lock) {}
};

ViewportRules& viewportRules(std::uint32_t viewport)
{
    return viewportSlot(state.viewports, state.nextViewport, viewport);
}

std::uint64_t fnv1a(const void* data, std::size_t size)
{
    std::uint64_t hash = 0xCBF29CE484222325ull;
    for (std::size_t i = 0; i < size; ++i) {
        hash ^= static_cast<const unsigned char*>(data)[i];
        hash *= 0x100000001B3ull;
    }
    return hash;
}

constexpr std::size_t kConstantsSize = 456;

// Windows as the process sees it; ntdll answers the true version whatever the executable's manifest says.
OSVERSIONINFOW windowsVersion()
{
    OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof version;
    using RtlGetVersion = LONG(WINAPI*)(OSVERSIONINFOW*);
    if (auto get = reinterpret_cast<RtlGetVersion>(
            reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion"))))
        get(&version);
    return version;
}

// The LUID of the adapter DXGI enumerates first (asked once per reload; false when DXGI names none).
bool firstAdapterLuid(LUID& luid)
{
    {
        Locked locked;
        if (state.firstAdapterKnown) {
            luid = state.firstAdapter;
            return true;
        }
    }
    using CreateFactory1 = HRESULT(WINAPI*)(REFIID, void**);
    const HMODULE dxgi = LoadLibraryW(L"dxgi.dll");
    auto create = dxgi ? reinterpret_cast<CreateFactory1>(
                             reinterpret_cast<void*>(GetProcAddress(dxgi, "CreateDXGIFactory1")))
                       : nullptr;
    IDXGIFactory1* factory = nullptr;
    IDXGIAdapter1* adapter = nullptr;
    DXGI_ADAPTER_DESC1 desc{};
    const bool found = create &&
                       SUCCEEDED(create(__uuidof(IDXGIFactory1), reinterpret_cast<void**>(&factory))) &&
                       SUCCEEDED(factory->EnumAdapters1(0, &adapter)) && SUCCEEDED(adapter->GetDesc1(&desc));
    if (adapter)
        adapter->Release();
    if (factory)
        factory->Release();
    if (!found)
        return false;
    Locked locked;
    state.firstAdapter = desc.AdapterLuid;
    state.firstAdapterKnown = true;
    luid = desc.AdapterLuid;
    return true;
}

bool sameLuid(const LUID& a, const LUID& b)
{
    return a.LowPart == b.LowPart && a.HighPart == b.HighPart;
}

// sl.common's findAdapter: a feature that no adapter supports answers eErrorNoSupportedAdapterFound (6), an
// adapter outside its set eErrorAdapterNotSupported (7); without a LUID there is nothing to compare.
int adapterSupport(const AdapterRule& rule, const LUID* luid)
{
    if (!rule.set)
        return kResultOk;
    if (!rule.allButFirst && rule.count == 0)
        return kResultNoSupportedAdapter;
    if (!luid)
        return kResultOk;
    if (rule.allButFirst) {
        LUID first{};
        return firstAdapterLuid(first) && sameLuid(first, *luid) ? kResultAdapterNotSupported : kResultOk;
    }
    for (int n = 0; n < rule.count; ++n)
        if (sameLuid(rule.luids[n], *luid))
            return kResultOk;
    return kResultAdapterNotSupported;
}

} // namespace

bool dlssRange(std::uint32_t mode, std::uint32_t outputWidth, std::uint32_t outputHeight, DlssRange& out)
{
    for (const ModeRatios& r : modeRatios) {
        if (r.mode != mode)
            continue;
        out.optimalWidth = scaled(outputWidth, r.optimal, std::round);
        out.optimalHeight = scaled(outputHeight, r.optimal, std::round);
        out.minWidth = scaled(outputWidth, r.min, std::floor);
        out.minHeight = scaled(outputHeight, r.min, std::floor);
        out.maxWidth = scaled(outputWidth, r.max, std::ceil);
        out.maxHeight = scaled(outputHeight, r.max, std::ceil);
        return true;
    }
    return false;
}

void rememberDlssOptions(std::uint32_t viewport, std::uint32_t mode, std::uint32_t outputWidth,
                         std::uint32_t outputHeight)
{
    Locked locked;
    ViewportRules& v = viewportRules(viewport);
    v.dlssMode = mode;
    v.outputWidth = outputWidth;
    v.outputHeight = outputHeight;
}

RenderSizeCheck checkRenderSize(std::uint32_t viewport)
{
    RenderSizeCheck check{};
    Extent extent{};
    ID3D12Resource* input = nullptr;
    std::uint32_t outputWidth = 0, outputHeight = 0;
    {
        Locked locked;
        ViewportRules& v = viewportRules(viewport);
        check.mode = v.dlssMode;
        extent = v.inputExtent;
        input = v.input;
        outputWidth = v.outputWidth;
        outputHeight = v.outputHeight;
    }
    DlssRange range{};
    if (!input || !dlssRange(check.mode, outputWidth, outputHeight, range))
        return check; // nothing to check against: no options, mode off, no input tag
    if (extent.width == 0 && extent.height == 0) {
        if (script().noGpu)
            return check;
        D3D12_RESOURCE_DESC desc = {};
        input->GetDesc(&desc);
        extent.width = static_cast<std::uint32_t>(desc.Width);
        extent.height = desc.Height;
    }
    check.width = extent.width;
    check.height = extent.height;
    check.outside = extent.width < range.minWidth || extent.width > range.maxWidth ||
                    extent.height < range.minHeight || extent.height > range.maxHeight;
    return check;
}

int acceptConstants(const void* token, std::uint32_t viewport, const void* constants)
{
    bool ours = false;
    const std::uint32_t id = tokenId(token, ours);
    if (!ours || !constants)
        return kResultOk;
    const std::uint64_t hash = fnv1a(constants, kConstantsSize);
    Locked locked;
    for (const ConstantsSeen& seen : state.constants)
        if (seen.used && seen.token == id && seen.viewport == viewport)
            return seen.hash == hash ? kResultOk : kResultDuplicatedConstants;
    state.constants[state.nextConstants++ % 64] = ConstantsSeen{id, viewport, hash, true};
    return kResultOk;
}

int bindDevice(const void* device)
{
    // sl.api's slSetD3DDevice initialises the plug-ins once; every later call, with any device, finds them
    // initialised and answers eErrorInvalidIntegration (PluginManager::initializePlugins).
    Locked locked;
    if (state.device)
        return kResultInvalidIntegration;
    state.device = device;
    return kResultOk;
}

int featureIndex(std::uint32_t feature)
{
    switch (feature) {
    case kFeatureReflex:
        return 0;
    case kFeatureDLSS:
        return 1;
    case kFeatureDLSS_G:
        return 2;
    case kFeatureNIS:
        return 3;
    default:
        return -1;
    }
}

int featureSupport(std::uint32_t feature, const LUID* luid, const char*& rule)
{
    rule = nullptr;
    const int index = featureIndex(feature);
    if (index < 0)
        return kResultError;
    const int scripted = script().supported[index];
    if (scripted == kResultOSDisabledHWS)
        return scripted; // slIsFeatureSupported asks for hardware scheduling before Windows' version
    // The script plays the GPU and driver; without a scripted answer the files in the plug-in folder decide
    // whether the feature is there at all.
    const int files = scripted == kResultOk ? featureResultFromFiles(index) : kResultOk;
    if (files != kResultOk)
        return files;
    // Every plug-in needs Windows 10 (sl.common's minimum, 10.0.0), Frame Generation 10 20H1 (10.0.19041).
    const OSVERSIONINFOW windows = windowsVersion();
    const bool windowsTooOld =
        windows.dwMajorVersion < 10 || (feature == kFeatureDLSS_G && windows.dwMajorVersion == 10 &&
                                        windows.dwMinorVersion == 0 && windows.dwBuildNumber < 19041);
    if (windowsTooOld) {
        rule = "os";
        return kResultOSOutOfDate;
    }
    if (scripted != kResultOk)
        return scripted;
    const int adapter = adapterSupport(script().adapters[index], luid);
    if (adapter != kResultOk)
        rule = "adapter";
    return adapter;
}

void noteReflexOptionsSet()
{
    Locked locked;
    state.reflexOptionsSet = true;
}

bool reflexOptionsSet()
{
    Locked locked;
    return state.reflexOptionsSet;
}

int featureFunctionRefusal(std::uint32_t feature)
{
    if (featureIndex(feature) < 0)
        return kResultOk; // an unknown feature finds no function anyway
    const char* rule = nullptr;
    if (featureSupport(feature, nullptr, rule) == kResultOk)
        return kResultOk;
    // A feature whose files are missing is not there at all; otherwise it is there but refused.
    return featureResultFromFiles(featureIndex(feature)) == kResultOk ? kResultFeatureNotSupported
                                                                      : kResultFeatureMissing;
}

void rememberHeldTags(std::uint32_t viewport, const void* tags, std::uint32_t count)
{
    if (!tags)
        return;
    Locked locked;
    ViewportRules& v = viewportRules(viewport);
    for (std::uint32_t n = 0; n < count; ++n) {
        const auto* tag = static_cast<const unsigned char*>(tags) + n * kTagSize;
        const void* resource = readAt<const void*>(tag, kTagResource);
        auto* native = resource ? readAt<ID3D12Resource*>(resource, kResourceNative) : nullptr;
        const std::uint32_t type = readAt<std::uint32_t>(tag, kTagType);
        if (type == kBufferTypeScalingInputColor) {
            v.input = native;
            v.inputExtent = readAt<Extent>(tag, kTagExtent);
        }
        if (type >= 64)
            continue;
        const std::uint64_t bit = 1ull << type;
        v.held = native ? (v.held | bit) : (v.held & ~bit);
    }
}

void forgetTag(std::uint32_t viewport, std::uint32_t type)
{
    {
        Locked locked;
        ViewportRules& v = viewportRules(viewport);
        if (type == kBufferTypeScalingInputColor) {
            v.input = nullptr;
            v.inputExtent = Extent{};
        }
        if (type < 64)
            v.held &= ~(1ull << type);
    }
    forgetTaggedResource(viewport, type);
}

std::uint64_t heldTags(std::uint32_t viewport)
{
    Locked locked;
    return viewportRules(viewport).held;
}

void forgetRules()
{
    Locked locked;
    for (auto& v : state.viewports)
        v = ViewportRules{};
    for (auto& c : state.constants)
        c = ConstantsSeen{};
    state.device = nullptr;
    state.reflexOptionsSet = false;
    state.firstAdapterKnown = false;
}

int finishWithScriptedWarning(Line& line, const char* entry, const char* qualifier)
{
    std::int64_t code = 0;
    bool warned = script().warnCount > 0 && scriptedWarning(entry, code);
    if (!warned && qualifier && script().warnCount > 0) {
        char name[96];
        std::snprintf(name, sizeof name, "%s.%s", entry, qualifier);
        warned = scriptedWarning(name, code);
    }
    if (warned)
        line.raw("warned", "1");
    line.commit(warned ? code : kResultOk);
    return warned ? static_cast<int>(code) : kResultOk;
}

} // namespace fsr2bridge::standin
