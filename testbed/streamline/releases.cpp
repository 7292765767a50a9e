// The rules that differ between Streamline releases (see releases.h; evidence in docs/testing.md).
#include "releases.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <iterator>
#include <vector>

#include "common/graphics.h"
#include "records.h"
#include "standin.h"

namespace fsr2bridge::standin {
namespace {

constexpr int kResultNoSupportedAdapterFound = 6;
constexpr std::uint32_t kDLSSGFlagRetainResourcesWhenOff = 1u << 3;
constexpr std::uint32_t kDLSSGStatusReflexNotDetected = 1u << 1;
constexpr std::uint32_t kDLSSGStatusHdrFormatNotSupported = 1u << 2;
constexpr std::uint64_t kNoFrame = ~0ull;
constexpr std::uint32_t kBufferTypeDepth = 0, kBufferTypeMotionVectors = 1;

Version fromFixedInfo(const VS_FIXEDFILEINFO& info)
{
    return Version{HIWORD(info.dwFileVersionMS), LOWORD(info.dwFileVersionMS), HIWORD(info.dwFileVersionLS),
                   LOWORD(info.dwFileVersionLS)};
}

// The version resource of a file, read through version.dll as any Windows tool would.
bool fileVersion(const wchar_t* path, Version& out)
{
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path, &ignored);
    if (size == 0)
        return false;
    std::vector<unsigned char> data(size);
    void* value = nullptr;
    UINT length = 0;
    if (!GetFileVersionInfoW(path, 0, size, data.data()) ||
        !VerQueryValueW(data.data(), L"\\", &value, &length) || length < sizeof(VS_FIXEDFILEINFO))
        return false;
    out = fromFixedInfo(*static_cast<const VS_FIXEDFILEINFO*>(value));
    return true;
}

HMODULE thisModule()
{
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&thisModule), &module);
    return module;
}

// The files a set is made of, in the order of Release::files.
enum File { common, dlss, dlssg, nis, reflex, pcl, ngxDlss, ngxDlssg, fileCount };
constexpr const wchar_t* fileNames[fileCount] = {L"sl.common.dll",  L"sl.dlss.dll",    L"sl.dlss_g.dll",
                                                 L"sl.nis.dll",     L"sl.reflex.dll",  L"sl.pcl.dll",
                                                 L"nvngx_dlss.dll", L"nvngx_dlssg.dll"};

struct LiveChain {
    const void* chain;
    std::uint32_t width, height, format;
};

struct ViewportState {
    bool used;
    std::uint32_t viewport;
    std::uint64_t stamp[64];    // frame each buffer type was tagged in, kNoFrame: no tag
    std::uint64_t held;         // buffer types tagged with a resource
    std::uint64_t tagged;       // buffer types ever tagged
    std::uint32_t options[9];   // mode, output width and height, six presets: the last slDLSSSetOptions
    std::uint32_t evaluated[9]; // the same, at the last DLSS evaluation
    bool everEvaluated;
};

struct ReleaseState {
    SRWLOCK lock = SRWLOCK_INIT;
    Version interposer{2, 1, 1, 0};
    bool interposerRead = false;
    Version files[fileCount] = {};
    bool present[fileCount] = {};
    int results[4] = {}; // Reflex, DLSS, DLSS-G, NIS
    bool reflexLoaded = true;
    std::uint64_t frame = 0;
    ViewportState viewports[8] = {};
    std::uint32_t nextViewport = 0;
    LiveChain chains[16] = {};
    const void* holder = nullptr; // the swap chain that runs the present hooks (2.4.0 and later)
    bool resourcesHeld = false;
    std::uint32_t resourceWidth = 0, resourceHeight = 0;
    std::uint32_t frameGenerationViewport = 0;
    std::uint32_t requestedMode = 0;
};

ReleaseState state;

class Locked : ExclusiveLock {
public:
    Locked() : ExclusiveLock(state.lock) {}
};

Version release(File file)
{
    return state.files[file];
}

ViewportState& viewportState(std::uint32_t viewport)
{
    const bool known =
        std::any_of(std::begin(state.viewports), std::end(state.viewports),
                    [viewport](const ViewportState& v) { return v.used && v.viewport == viewport; });
    ViewportState& v = viewportSlot(state.viewports, state.nextViewport, viewport);
    if (!known)
        std::fill(std::begin(v.stamp), std::end(v.stamp), kNoFrame);
    return v;
}

LiveChain* liveChain(const void* chain)
{
    for (auto& c : state.chains)
        if (c.chain == chain)
            return &c;
    return nullptr;
}

bool staleTag(std::uint64_t tagged, std::uint64_t now)
{
    if (tagged == kNoFrame || !atLeast(release(common), 2, 4, 0))
        return false; // 2.1.1 keeps a tag until it is replaced
    if (!atLeast(release(common), 2, 4, 11))
        return now != tagged; // valid only within its own frame
    return now > tagged + 1;  // valid until the present after the one that followed it
}

void dropStaleLocked(std::uint32_t viewport, std::uint64_t types)
{
    ViewportState& v = viewportState(viewport);
    for (std::uint32_t type = 0; type < 64; ++type) {
        if (!(types & (1ull << type)) || !staleTag(v.stamp[type], state.frame))
            continue;
        const bool hadResource = (v.held >> type) & 1;
        Line line("tag.dropped");
        line.u("viewport", viewport).u("type", type).u("tagged", v.stamp[type]).u("frame", state.frame);
        line.u("resource", hadResource ? 1 : 0).commit(kResultOk);
        v.stamp[type] = kNoFrame;
        v.held &= ~(1ull << type);
        forgetTag(viewport, type);
    }
}

void allocateLocked(const char* reason)
{
    if (state.resourcesHeld || !state.holder)
        return;
    const LiveChain* chain = liveChain(state.holder);
    state.resourcesHeld = true;
    state.resourceWidth = chain ? chain->width : 0;
    state.resourceHeight = chain ? chain->height : 0;
    Line("dlssg.allocate")
        .raw("reason", reason)
        .u("width", state.resourceWidth)
        .u("height", state.resourceHeight)
        .commit(kResultOk);
}

void releaseLocked(const char* reason)
{
    if (!state.resourcesHeld)
        return;
    state.resourcesHeld = false;
    Line("dlssg.release").raw("reason", reason).commit(kResultOk);
}

// The holder of the present hooks: every swap chain before 2.4.0, from 2.4.0 on the first to present while
// none holds them.
bool holdsHooksLocked(const void* chain)
{
    if (!atLeast(state.interposer, 2, 4, 0)) {
        state.holder = chain;
        return true;
    }
    if (!state.holder)
        state.holder = chain;
    return state.holder == chain;
}

} // namespace

Version interposerRelease()
{
    Locked locked;
    if (!state.interposerRead) {
        state.interposerRead = true;
        HMODULE self = thisModule();
        HRSRC found = self ? FindResourceW(self, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(16)) : nullptr;
        HGLOBAL loaded = found ? LoadResource(self, found) : nullptr;
        const auto* bytes = static_cast<const unsigned char*>(loaded ? LockResource(loaded) : nullptr);
        // VS_VERSIONINFO: length, value length, type, L"VS_VERSION_INFO" and padding, then the fixed info.
        if (bytes && SizeofResource(self, found) >= 40 + sizeof(VS_FIXEDFILEINFO)) {
            VS_FIXEDFILEINFO info;
            std::memcpy(&info, bytes + 40, sizeof info);
            if (info.dwSignature == 0xFEEF04BD)
                state.interposer = fromFixedInfo(info);
        }
    }
    return state.interposer;
}

void loadReleaseSet(const wchar_t* folder)
{
    const Version interposer = interposerRelease();
    wchar_t directory[MAX_PATH] = {};
    if (folder && *folder) {
        wcsncpy(directory, folder, MAX_PATH - 1);
    } else {
        GetModuleFileNameW(thisModule(), directory, MAX_PATH);
        if (wchar_t* slash = wcsrchr(directory, L'\\'))
            *slash = L'\0';
    }
    // Any plug-in or NGX library beside the interposer makes the folder a set of files to read.
    bool anyFile = false;
    for (const wchar_t* pattern : {L"\\sl.*.dll", L"\\nvngx_*.dll"}) {
        wchar_t search[MAX_PATH + 16];
        std::swprintf(search, MAX_PATH + 16, L"%ls%ls", directory, pattern);
        WIN32_FIND_DATAW found;
        HANDLE find = FindFirstFileW(search, &found);
        if (find == INVALID_HANDLE_VALUE)
            continue;
        do {
            anyFile = anyFile || _wcsicmp(found.cFileName, L"sl.interposer.dll") != 0;
        } while (FindNextFileW(find, &found));
        FindClose(find);
    }
    Version versions[fileCount] = {};
    bool present[fileCount] = {};
    for (int f = 0; f < fileCount; ++f) {
        if (!anyFile) {
            present[f] = true; // the complete set of the interposer's release
            versions[f] = interposer;
            continue;
        }
        wchar_t path[MAX_PATH + 32];
        std::swprintf(path, MAX_PATH + 32, L"%ls\\%ls", directory, fileNames[f]);
        present[f] = GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
        if (present[f] && !fileVersion(path, versions[f]))
            versions[f] = interposer;
    }
    if (!anyFile) {
        // NGX libraries have versions of their own; the shorthand gives them none.
        versions[ngxDlss] = versions[ngxDlssg] = Version{};
        Line("plugins").u("implied", 1).commit(kResultOk);
    }

    // sl.common is always loaded, sl.pcl by interposers of 2.3.0 and later; sl.reflex of 2.3.0 and later
    // needs sl.pcl (its required_plugins) and starts nowhere without it.
    const bool commonLoaded = present[common];
    const bool pclLoaded = commonLoaded && present[pcl] && atLeast(interposer, 2, 3, 0);
    const bool reflexNeedsPcl = atLeast(versions[reflex], 2, 3, 0);
    auto result = [&](File plugin, File ngx, bool dependencyMissing) {
        if (!commonLoaded || !present[plugin] || dependencyMissing)
            return kResultFeatureMissing;
        if (ngx != fileCount && !present[ngx])
            return kResultNoSupportedAdapterFound;
        return kResultOk;
    };
    int results[4];
    results[0] = result(reflex, fileCount, reflexNeedsPcl && !pclLoaded);
    results[1] = result(dlss, ngxDlss, false);
    results[2] = result(dlssg, ngxDlssg, false);
    results[3] = result(nis, fileCount, false);

    if (anyFile) {
        for (int f = 0; f < fileCount; ++f) {
            Line line("plugin");
            line.wstr("file", fileNames[f]).u("present", present[f] ? 1 : 0);
            if (present[f]) {
                char text[48];
                std::snprintf(text, sizeof text, "%u.%u.%u.%u", versions[f].major, versions[f].minor,
                              versions[f].patch, versions[f].build);
                line.raw("version", text);
            }
            if (f == reflex && present[f] && reflexNeedsPcl && !pclLoaded)
                line.raw("missing", "sl.pcl.dll");
            line.commit(kResultOk);
        }
    }
    Locked locked;
    for (int f = 0; f < fileCount; ++f) {
        state.files[f] = versions[f];
        state.present[f] = present[f];
    }
    for (int i = 0; i < 4; ++i)
        state.results[i] = results[i];
    state.reflexLoaded = results[0] == kResultOk;
}

int featureResultFromFiles(int index)
{
    Locked locked;
    return index >= 0 && index < 4 ? state.results[index] : kResultOk;
}

void stampTags(std::uint32_t viewport, const void* tags, std::uint32_t count)
{
    if (!tags)
        return;
    Locked locked;
    ViewportState& v = viewportState(viewport);
    for (std::uint32_t n = 0; n < count; ++n) {
        const auto* tag = static_cast<const unsigned char*>(tags) + n * kTagSize;
        const std::uint32_t type = readAt<std::uint32_t>(tag, kTagType);
        if (type >= 64)
            continue;
        const void* resource = readAt<const void*>(tag, kTagResource);
        const bool withResource = resource && readAt<const void*>(resource, kResourceNative);
        v.stamp[type] = withResource ? state.frame : kNoFrame;
        v.tagged |= 1ull << type;
        v.held = withResource ? (v.held | (1ull << type)) : (v.held & ~(1ull << type));
    }
}

void dropStaleTags(std::uint32_t viewport, std::uint64_t types)
{
    Locked locked;
    dropStaleLocked(viewport, types);
}

bool tagHeld(std::uint32_t viewport, std::uint32_t type)
{
    Locked locked;
    return type < 64 && ((viewportState(viewport).held >> type) & 1);
}

bool noteSwapChainCreated(const void* chain, std::uint32_t width, std::uint32_t height, std::uint32_t format)
{
    interposerRelease();
    Locked locked;
    for (auto& c : state.chains) {
        if (!c.chain) {
            c = LiveChain{chain, width, height, format};
            break;
        }
    }
    return !atLeast(state.interposer, 2, 4, 0) || !state.holder;
}

bool notePresent(const void* chain, UINT flags, std::uint32_t& presented)
{
    Locked locked;
    presented = 1;
    if (!holdsHooksLocked(chain))
        return false; // Streamline skips the present hooks of every other swap chain
    if (lastFrameGenerationMode != 0) {
        // Frame Generation's own present reads depth and motion vectors: a frame whose tags were dropped (or
        // cleared) gets no generated frame. (Before any tag, the stand-in generates anyway.)
        const std::uint32_t vp = state.frameGenerationViewport;
        constexpr std::uint64_t inputTypes = (1ull << kBufferTypeDepth) | (1ull << kBufferTypeMotionVectors);
        dropStaleLocked(vp, inputTypes);
        const ViewportState& v = viewportState(vp);
        const bool inputs = (v.tagged & inputTypes) == 0 || (v.held & inputTypes) == inputTypes;
        allocateLocked("present");
        presented = inputs ? 2 : 1;
    }
    if (!(flags & DXGI_PRESENT_TEST)) {
        ++state.frame;
        // 2.4.0 to 2.4.9: the options set for one frame do not carry over to the next.
        if (atLeast(release(dlssg), 2, 4, 0) && !atLeast(release(dlssg), 2, 4, 10))
            lastFrameGenerationMode = 0;
    }
    return true;
}

void noteSwapChainResized(const void* chain, std::uint32_t width, std::uint32_t height, std::uint32_t format)
{
    Locked locked;
    LiveChain* c = liveChain(chain);
    if (!c)
        return;
    c->width = width;
    c->height = height;
    c->format = format;
    if (chain == state.holder && state.resourcesHeld &&
        (width != state.resourceWidth || height != state.resourceHeight))
        releaseLocked("resize");
}

void noteSwapChainReleased(const void* chain)
{
    Locked locked;
    if (LiveChain* c = liveChain(chain))
        *c = LiveChain{};
    if (chain == state.holder) {
        state.holder = nullptr;
        releaseLocked("swapchain");
    }
}

void noteFrameGenerationOptions(std::uint32_t viewport, std::uint32_t mode, std::uint32_t flags)
{
    Locked locked;
    state.frameGenerationViewport = viewport;
    state.requestedMode = mode;
    if (mode != 0) {
        allocateLocked("options");
        return;
    }
    // 2.1.1 keeps the resources while off; from 2.2.1 off releases them, unless (2.3.0 and later) the flag
    // asks to retain them.
    const Version v = release(dlssg);
    const bool retained = atLeast(v, 2, 3, 0) && (flags & kDLSSGFlagRetainResourcesWhenOff);
    if (atLeast(v, 2, 2, 1) && !retained)
        releaseLocked("off");
}

std::uint64_t frameGenerationRecordVersion()
{
    Locked locked;
    return atLeast(release(dlssg), 2, 7, 2) ? 3 : 1;
}

std::uint32_t frameGenerationStatusNow()
{
    Locked locked;
    if (state.requestedMode == 0)
        return 0;
    const LiveChain* chain = state.holder ? liveChain(state.holder) : nullptr;
    const bool fp16 = chain && chain->format == DXGI_FORMAT_R16G16B16A16_FLOAT;
    return (state.reflexLoaded ? 0 : kDLSSGStatusReflexNotDetected) |
           (fp16 ? kDLSSGStatusHdrFormatNotSupported : 0);
}

std::uint32_t noteDlssOptions(std::uint32_t viewport, const void* options)
{
    Locked locked;
    ViewportState& v = viewportState(viewport);
    v.options[0] = readAt<std::uint32_t>(options, 32);
    v.options[1] = readAt<std::uint32_t>(options, 36);
    v.options[2] = readAt<std::uint32_t>(options, 40);
    std::uint32_t defaulted = 0;
    const bool revertGToI = atLeast(release(dlss), 2, 7, 2);
    for (int p = 0; p < 6; ++p) {
        v.options[3 + p] = readAt<std::uint32_t>(options, 60 + 4 * p);
        defaulted += revertGToI && v.options[3 + p] >= 7 && v.options[3 + p] <= 9 ? 1 : 0;
    }
    return defaulted;
}

bool dlssFeatureCreated(std::uint32_t viewport)
{
    Locked locked;
    ViewportState& v = viewportState(viewport);
    // Mode and output size always; the presets (not the ultra-quality one) from 2.7.2 on.
    const int compared = atLeast(release(dlss), 2, 7, 2) ? 8 : 3;
    bool changed = !v.everEvaluated;
    for (int i = 0; i < compared; ++i)
        changed = changed || v.options[i] != v.evaluated[i];
    std::memcpy(v.evaluated, v.options, sizeof v.evaluated);
    v.everEvaluated = true;
    return changed;
}

void forgetReleaseState()
{
    Locked locked;
    state.frame = 0;
    for (auto& v : state.viewports)
        v = ViewportState{};
    state.holder = nullptr; // the live swap chains stay known: a reload does not destroy them
    state.resourcesHeld = false;
    state.requestedMode = 0;
}

} // namespace fsr2bridge::standin
