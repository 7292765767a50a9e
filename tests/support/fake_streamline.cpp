#include "tests/support/fake_streamline.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <stdexcept>

#include "streamline/streamline_api.h"
#include "tests/support/timer.h"

namespace testsupport {

namespace {

FakeStreamline current;

// Frame tokens are slots of this ring; Streamline's tokens are opaque to the system.
alignas(16) unsigned char tokenRing[64][16];

constexpr const char* entryNames[] = {
    "slUpgradeInterface",
    "slGetNativeInterface",
    "slGetFeatureFunction",
    "slSetD3DDevice",
    "slIsFeatureSupported",
    "slGetNewFrameToken",
    "slReflexGetState",
    "slReflexSetOptions",
    "slReflexSetMarker",
    "slReflexSleep",
    "slDLSSSetOptions",
    "slDLSSGetOptimalSettings",
    "slDLSSGSetOptions",
    "slDLSSGGetState",
    "slNISSetOptions",
    "slSetConstants",
    "slSetTag",
    "slEvaluateFeature",
    "loadStreamline",
};
static_assert(std::size(entryNames) == static_cast<std::size_t>(Entry::count));

// A call that did its work: eOk or a warning.
bool worked(sl::Result result)
{
    return result == sl::Result::eOk || sl::isWarning(result);
}

template <class T> void keep(std::vector<T>& records, const T& record)
{
    if (current.recording) {
        records.push_back(record);
    }
}

sl::Result fakeUpgradeInterface(void** object)
{
    const sl::Result result = current.call(Entry::slUpgradeInterface);
    if (worked(result) && object != nullptr && current.upgradedInterface != nullptr) {
        *object = current.upgradedInterface;
    }
    return result;
}

sl::Result fakeGetNativeInterface(void* proxy, void** native)
{
    const sl::Result result = current.call(Entry::slGetNativeInterface);
    if (worked(result) && proxy != nullptr && native != nullptr) {
        *native = current.nativeInterface;
    }
    return result;
}

sl::Result fakeGetNewFrameToken(sl::FrameToken*& token, const std::uint32_t*)
{
    const sl::Result result = current.call(Entry::slGetNewFrameToken);
    if (worked(result)) {
        token = current.nextToken();
    }
    return result;
}

sl::Result fakeReflexGetState(sl::ReflexState& state)
{
    const sl::Result result = current.call(Entry::slReflexGetState);
    if (worked(result)) {
        state.statsWindowMessage = current.reflexOptionsSet() ? current.pingMessage : 0;
    }
    return result;
}

sl::Result fakeReflexSetOptions(const sl::ReflexOptions& options)
{
    keep(current.reflexOptions, options);
    const sl::Result result = current.call(Entry::slReflexSetOptions);
    if (worked(result)) {
        current.noteReflexOptionsSet();
    }
    return result;
}

sl::Result fakeReflexSetMarker(sl::ReflexMarker marker, const sl::FrameToken&)
{
    keep(current.markers, marker);
    return current.call(Entry::slReflexSetMarker, static_cast<std::uint32_t>(marker));
}

sl::Result fakeReflexSleep(const sl::FrameToken&)
{
    return current.call(Entry::slReflexSleep);
}

sl::Result fakeDlssSetOptions(const sl::ViewportHandle&, const sl::DLSSOptions& options)
{
    keep(current.dlssOptions, options);
    return current.call(Entry::slDLSSSetOptions);
}

sl::Result fakeDlssGetOptimalSettings(const sl::DLSSOptions& options, sl::DLSSOptimalSettings& settings)
{
    keep(current.optimalSettingsAsked, options);
    const auto mode = static_cast<std::uint32_t>(options.mode);
    const sl::Result result = current.call(Entry::slDLSSGetOptimalSettings, mode);
    if (worked(result)) {
        const auto scripted = current.optimalSettings.find(mode);
        if (scripted != current.optimalSettings.end()) {
            settings = scripted->second;
        } else {
            settings.optimalRenderWidth = options.outputWidth;
            settings.optimalRenderHeight = options.outputHeight;
            settings.renderWidthMin = 1;
            settings.renderHeightMin = 1;
            settings.renderWidthMax = options.outputWidth;
            settings.renderHeightMax = options.outputHeight;
        }
    }
    return result;
}

sl::Result fakeDlssgSetOptions(const sl::ViewportHandle&, const sl::DLSSGOptions& options)
{
    const FakeStreamline::DlssgCall running(current);
    if (current.duringDlssgCall) {
        current.duringDlssgCall(Entry::slDLSSGSetOptions);
    }
    if (current.onDlssgOptions) {
        current.onDlssgOptions(options);
    }
    keep(current.dlssgOptions, options);
    return current.call(Entry::slDLSSGSetOptions, static_cast<std::uint32_t>(options.mode));
}

sl::Result fakeDlssgGetState(const sl::ViewportHandle&, sl::DLSSGState& state,
                             const sl::DLSSGOptions* options)
{
    const FakeStreamline::DlssgCall running(current);
    if (current.duringDlssgCall) {
        current.duringDlssgCall(Entry::slDLSSGGetState);
    }
    if (options != nullptr) {
        current.note("options given to slDLSSGGetState");
    }
    const sl::Result result = current.call(Entry::slDLSSGGetState);
    if (worked(result)) {
        state.status = current.dlssgStatus;
    }
    return result;
}

sl::Result fakeNisSetOptions(const sl::ViewportHandle&, const sl::NISOptions& options)
{
    keep(current.nisOptions, options);
    return current.call(Entry::slNISSetOptions);
}

sl::Result fakeSetConstants(const sl::Constants& constants, const sl::FrameToken&, const sl::ViewportHandle&)
{
    if (current.onConstants) {
        current.onConstants(constants);
    }
    keep(current.constants, constants);
    return current.call(Entry::slSetConstants);
}

sl::Result fakeSetTag(const sl::ViewportHandle&, const sl::ResourceTag* tags, std::uint32_t count,
                      sl::CommandBuffer* commandList)
{
    if (current.recording) {
        std::vector<TaggedResource> copies;
        for (std::uint32_t i = 0; i < count; ++i) {
            // A tag without a resource untags its buffer type; its copy holds a zeroed resource.
            copies.push_back({tags[i], tags[i].resource ? *tags[i].resource : sl::Resource{}});
        }
        current.tagCalls.push_back(std::move(copies));
        current.commandLists.push_back(commandList);
    }
    return current.call(Entry::slSetTag);
}

sl::Result fakeEvaluateFeature(sl::Feature feature, const sl::FrameToken&, const sl::BaseStructure** inputs,
                               std::uint32_t count, sl::CommandBuffer* commandList)
{
    if (current.recording) {
        current.evaluated.push_back(feature);
        current.evaluationInputs.push_back({count > 0 ? inputs[0] : nullptr, count});
        current.commandLists.push_back(commandList);
    }
    const sl::Result result = current.call(Entry::slEvaluateFeature, feature);
    if (feature == sl::kFeatureDLSS && current.duringDlssEvaluation) {
        current.duringDlssEvaluation();
    }
    return result;
}

struct FeatureFunction {
    const char* name;
    sl::Feature feature;
    Entry entry;
    void* function;
};

const FeatureFunction featureFunctions[] = {
    {"slDLSSSetOptions", sl::kFeatureDLSS, Entry::slDLSSSetOptions,
     reinterpret_cast<void*>(&fakeDlssSetOptions)},
    {"slDLSSGetOptimalSettings", sl::kFeatureDLSS, Entry::slDLSSGetOptimalSettings,
     reinterpret_cast<void*>(&fakeDlssGetOptimalSettings)},
    {"slDLSSGSetOptions", sl::kFeatureDLSS_G, Entry::slDLSSGSetOptions,
     reinterpret_cast<void*>(&fakeDlssgSetOptions)},
    {"slDLSSGGetState", sl::kFeatureDLSS_G, Entry::slDLSSGGetState,
     reinterpret_cast<void*>(&fakeDlssgGetState)},
    {"slNISSetOptions", sl::kFeatureNIS, Entry::slNISSetOptions, reinterpret_cast<void*>(&fakeNisSetOptions)},
    {"slReflexGetState", sl::kFeatureReflex, Entry::slReflexGetState,
     reinterpret_cast<void*>(&fakeReflexGetState)},
    {"slReflexSetOptions", sl::kFeatureReflex, Entry::slReflexSetOptions,
     reinterpret_cast<void*>(&fakeReflexSetOptions)},
    {"slReflexSetMarker", sl::kFeatureReflex, Entry::slReflexSetMarker,
     reinterpret_cast<void*>(&fakeReflexSetMarker)},
    {"slReflexSleep", sl::kFeatureReflex, Entry::slReflexSleep, reinterpret_cast<void*>(&fakeReflexSleep)},
};

// Hands out the feature functions that are not removed, under their own feature only.
sl::Result fakeGetFeatureFunction(sl::Feature feature, const char* name, void*& function)
{
    const sl::Result result = current.call(Entry::slGetFeatureFunction, feature);
    if (!worked(result)) {
        return result;
    }
    for (const FeatureFunction& f : featureFunctions) {
        if (std::strcmp(f.name, name) == 0 && f.feature == feature && !current.removed(f.entry)) {
            function = f.function;
            return result;
        }
    }
    return sl::Result::eErrorIO;
}

template <class F> void fill(F*& slot, Entry entry, F* function)
{
    slot = current.removed(entry) ? nullptr : function;
}

void fillStreamlineApi()
{
    fsr2bridge::StreamlineApi& api = fsr2bridge::streamlineApi;
    fill(api.slUpgradeInterface, Entry::slUpgradeInterface, &fakeUpgradeInterface);
    fill(api.slGetNativeInterface, Entry::slGetNativeInterface, &fakeGetNativeInterface);
    fill(api.slGetFeatureFunction, Entry::slGetFeatureFunction, &fakeGetFeatureFunction);
    fill(api.slSetTag, Entry::slSetTag, &fakeSetTag);
    fill(api.slSetConstants, Entry::slSetConstants, &fakeSetConstants);
    fill(api.slEvaluateFeature, Entry::slEvaluateFeature, &fakeEvaluateFeature);
    fill(api.slGetNewFrameToken, Entry::slGetNewFrameToken, &fakeGetNewFrameToken);
    fill(api.slDLSSSetOptions, Entry::slDLSSSetOptions, &fakeDlssSetOptions);
    fill(api.slDLSSGetOptimalSettings, Entry::slDLSSGetOptimalSettings, &fakeDlssGetOptimalSettings);
    fill(api.slDLSSGGetState, Entry::slDLSSGGetState, &fakeDlssgGetState);
    fill(api.slDLSSGSetOptions, Entry::slDLSSGSetOptions, &fakeDlssgSetOptions);
    fill(api.slNISSetOptions, Entry::slNISSetOptions, &fakeNisSetOptions);
    fill(api.slReflexGetState, Entry::slReflexGetState, &fakeReflexGetState);
    fill(api.slReflexSetOptions, Entry::slReflexSetOptions, &fakeReflexSetOptions);
    fill(api.slReflexSetMarker, Entry::slReflexSetMarker, &fakeReflexSetMarker);
    fill(api.slReflexSleep, Entry::slReflexSleep, &fakeReflexSleep);
}

} // namespace

const char* nameOf(Entry entry)
{
    return entryNames[static_cast<int>(entry)];
}

void FakeStreamline::answer(Entry entry, sl::Result result)
{
    results_[static_cast<int>(entry)] = result;
}

void FakeStreamline::answer(Entry entry, std::uint32_t key, sl::Result result)
{
    for (KeyedAnswer& keyed : keyed_) {
        if (keyed.entry == entry && keyed.key == key) {
            keyed.result = result;
            return;
        }
    }
    keyed_.push_back({entry, key, result});
}

void FakeStreamline::remove(Entry entry)
{
    removed_[static_cast<int>(entry)] = true;
    if (this == &current) {
        fillStreamlineApi();
    }
}

void FakeStreamline::restore(Entry entry)
{
    removed_[static_cast<int>(entry)] = false;
    if (this == &current) {
        fillStreamlineApi();
    }
}

bool FakeStreamline::removed(Entry entry) const
{
    return removed_[static_cast<int>(entry)];
}

std::vector<std::string> FakeStreamline::callsOf(std::initializer_list<Entry> kept) const
{
    const auto entryOf = [](const std::string& call) {
        const std::string name = call.substr(0, call.find(' '));
        for (int e = 0; e < static_cast<int>(Entry::count); ++e) {
            if (name == entryNames[e]) {
                return static_cast<Entry>(e);
            }
        }
        return Entry::count; // a note
    };
    std::vector<std::string> result;
    for (const std::string& call : calls_) {
        const Entry entry = entryOf(call);
        if (entry == Entry::count || std::find(kept.begin(), kept.end(), entry) != kept.end()) {
            result.push_back(call);
        }
    }
    return result;
}

void FakeStreamline::note(std::string text)
{
    if (recording) {
        calls_.push_back(std::move(text));
    }
}

void FakeStreamline::clearLog()
{
    counts_ = {};
    dlssgOverlaps = 0;
    calls_.clear();
    adapters.clear();
    reflexOptions.clear();
    markers.clear();
    dlssOptions.clear();
    optimalSettingsAsked.clear();
    dlssgOptions.clear();
    nisOptions.clear();
    constants.clear();
    tagCalls.clear();
    evaluated.clear();
    evaluationInputs.clear();
    commandLists.clear();
}

void FakeStreamline::logCall(Entry entry, std::uint32_t key)
{
    if (recording) {
        calls_.push_back(key == noKey ? std::string(nameOf(entry))
                                      : std::string(nameOf(entry)) + " " + std::to_string(key));
    }
    if (throwing) {
        throw std::runtime_error("scripted failure");
    }
}

sl::Result FakeStreamline::call(Entry entry, std::uint32_t key)
{
    ++counts_[static_cast<int>(entry)];
    // Logging stays off the fast path: with recording off a call costs little more than a trivial function.
    if (recording || throwing) [[unlikely]] {
        logCall(entry, key);
    }
    for (const KeyedAnswer& keyed : keyed_) {
        if (keyed.entry == entry && keyed.key == key) {
            return keyed.result;
        }
    }
    return results_[static_cast<int>(entry)];
}

FakeStreamline::DlssgCall::DlssgCall(FakeStreamline& fake) : fake_(fake)
{
    if (std::atomic_ref<std::uint32_t>(fake_.dlssgCallsRunning_).fetch_add(1) != 0) {
        std::atomic_ref<std::uint32_t>(fake_.dlssgOverlaps).fetch_add(1);
    }
    if (fake_.dlssgCallMicroseconds != 0) {
        const double until = secondsNow() + fake_.dlssgCallMicroseconds * 1e-6;
        while (secondsNow() < until) {
            YieldProcessor();
        }
    }
}

FakeStreamline::DlssgCall::~DlssgCall()
{
    std::atomic_ref<std::uint32_t>(fake_.dlssgCallsRunning_).fetch_sub(1);
}

sl::FrameToken* FakeStreamline::nextToken()
{
    if (!tokensHandedOut) {
        return nullptr;
    }
    return reinterpret_cast<sl::FrameToken*>(tokenRing[tokensIssued_++ % std::size(tokenRing)]);
}

FakeStreamline& installFakeStreamline(HMODULE interposer)
{
    current = FakeStreamline{};
    fillStreamlineApi();
    fsr2bridge::streamlineApi.interposerModule = interposer;
    return current;
}

FakeStreamline& fakeStreamline()
{
    return current;
}

bool fakeLoadStreamline() noexcept
{
    return current.call(Entry::loadStreamline) == sl::Result::eOk && current.loadSucceeds;
}

bool fakePassThroughMode() noexcept
{
    return current.passThrough;
}

} // namespace testsupport

// The two entry points device attachment looks up by name in the interposer module, found here when the
// fake is installed with this program as the interposer.
extern "C" __declspec(dllexport) sl::Result slSetD3DDevice(void*)
{
    return testsupport::fakeStreamline().call(testsupport::Entry::slSetD3DDevice);
}

extern "C" __declspec(dllexport) sl::Result
    slIsFeatureSupported(sl::Feature feature, const sl::AdapterInfo& adapter)
{
    testsupport::FakeStreamline& fake = testsupport::fakeStreamline();
    if (fake.recording) {
        fake.adapters.push_back(adapter);
    }
    return fake.call(testsupport::Entry::slIsFeatureSupported, feature);
}
