#pragma once
// One in-process Streamline for unit tests and benchmarks. Every entry point answers from a script (a result
// per entry point, or per entry point and key: the feature, marker or mode the call names), is counted, and
// is written into a call log together with the records it was given. installFakeStreamline() puts it in
// `streamlineApi`; slSetD3DDevice and slIsFeatureSupported, which device attachment looks up by name, are
// also exported by every program that links it. The loader's two answers the creation hooks ask for are
// scripted here too.
#include <windows.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "streamline/sl_types.h"

namespace testsupport {

enum class Entry : int {
    slUpgradeInterface,
    slGetNativeInterface,
    slGetFeatureFunction,
    slSetD3DDevice,
    slIsFeatureSupported,
    slGetNewFrameToken,
    slReflexGetState,
    slReflexSetOptions,
    slReflexSetMarker,
    slReflexSleep,
    slDLSSSetOptions,
    slDLSSGetOptimalSettings,
    slDLSSGSetOptions,
    slDLSSGGetState,
    slNISSetOptions,
    slSetConstants,
    slSetTag,
    slEvaluateFeature,
    loadStreamline, // the loader, as the creation hooks call it
    count
};

const char* nameOf(Entry entry);

struct TaggedResource {
    sl::ResourceTag tag;
    sl::Resource resource;
};

class FakeStreamline {
public:
    // ---- the script ----
    // What every call of `entry` returns (eOk unless scripted).
    void answer(Entry entry, sl::Result result);
    // What calls of `entry` naming `key` return: the feature of slIsFeatureSupported, slGetFeatureFunction
    // and slEvaluateFeature, the marker of slReflexSetMarker, the mode of slDLSSGSetOptions.
    void answer(Entry entry, std::uint32_t key, sl::Result result);
    // The entry point is missing: its slot stays empty and slGetFeatureFunction refuses its name. restore
    // brings it back.
    void remove(Entry entry);
    void restore(Entry entry);

    // Every call throws after it is logged (a module that misbehaves).
    bool throwing = false;
    // What slUpgradeInterface puts in place of the object (null: leaves it), and what slGetNativeInterface
    // names as the object behind a non-null one.
    void* upgradedInterface = nullptr;
    void* nativeInterface = nullptr;
    // false: slGetNewFrameToken succeeds without a token.
    bool tokensHandedOut = true;
    // The statsWindowMessage slReflexGetState reports (as Streamline: only once slReflexSetOptions has
    // succeeded; 0 before), and the status slDLSSGGetState reports.
    UINT pingMessage = 0;
    std::uint32_t dlssgStatus = 0;
    // What slDLSSGetOptimalSettings answers for a mode (the optimal size and the range); a mode without an
    // entry accepts every render size up to the output size.
    std::map<std::uint32_t, sl::DLSSOptimalSettings> optimalSettings;
    // Runs inside each DLSS evaluation, where Streamline would create its views.
    std::function<void()> duringDlssEvaluation;
    // Streamline's Frame Generation calls are not thread-safe: every slDLSSGSetOptions or slDLSSGGetState
    // that starts while another is running is counted here. Each such call lasts at least this long (widens
    // the window for tests with several threads).
    std::uint32_t dlssgOverlaps = 0;
    std::uint32_t dlssgCallMicroseconds = 0;
    // Runs inside each slDLSSGSetOptions and slDLSSGGetState (given which), while the call is under way.
    std::function<void(Entry)> duringDlssgCall;
    // See every constants and Frame Generation record on the calling thread, recording or not.
    std::function<void(const sl::Constants&)> onConstants;
    std::function<void(const sl::DLSSGOptions&)> onDlssgOptions;
    // The loader: whether a load succeeds, and whether the settings turned the system off.
    bool loadSucceeds = true;
    bool passThrough = false;
    // false: calls are only counted; nothing is logged or kept (benchmarks: no allocation).
    bool recording = true;

    // ---- what was called ----
    std::size_t count(Entry entry) const { return counts_[static_cast<int>(entry)]; }
    // In call order: the entry's name, followed by its key where it has one ("slIsFeatureSupported 3"),
    // interleaved with the notes of the test.
    const std::vector<std::string>& calls() const { return calls_; }
    // The log with only the entries named in `kept`, and the notes.
    std::vector<std::string> callsOf(std::initializer_list<Entry> kept) const;
    void note(std::string text);
    // Forgets the log, the records and the counts; the script stays.
    void clearLog();

    std::vector<sl::AdapterInfo> adapters;
    std::vector<sl::ReflexOptions> reflexOptions;
    std::vector<sl::ReflexMarker> markers;
    std::vector<sl::DLSSOptions> dlssOptions;
    // The options of every slDLSSGetOptimalSettings.
    std::vector<sl::DLSSOptions> optimalSettingsAsked;
    std::vector<sl::DLSSGOptions> dlssgOptions;
    std::vector<sl::NISOptions> nisOptions;
    std::vector<sl::Constants> constants;
    std::vector<std::vector<TaggedResource>> tagCalls;
    std::vector<sl::Feature> evaluated;
    // The first input of every evaluation (the viewport handle the system passes) and its input count.
    std::vector<std::pair<const sl::BaseStructure*, std::uint32_t>> evaluationInputs;
    // The command list of every slSetTag and slEvaluateFeature.
    std::vector<const void*> commandLists;

    // ---- used by the fake's entry points ----
    sl::Result call(Entry entry, std::uint32_t key = noKey);
    bool removed(Entry entry) const;
    sl::FrameToken* nextToken();

private:
    static constexpr std::uint32_t noKey = 0xFFFFFFFFu;
    void logCall(Entry entry, std::uint32_t key);
    struct KeyedAnswer {
        Entry entry;
        std::uint32_t key;
        sl::Result result;
    };
    std::array<sl::Result, static_cast<int>(Entry::count)> results_{};
    std::array<bool, static_cast<int>(Entry::count)> removed_{};
    std::array<std::size_t, static_cast<int>(Entry::count)> counts_{};
    std::vector<KeyedAnswer> keyed_;
    std::vector<std::string> calls_;
    std::uint32_t tokensIssued_ = 0;
    bool reflexOptionsSet_ = false;
    std::uint32_t dlssgCallsRunning_ = 0;

public:
    // ---- used by the fake's Reflex functions ----
    void noteReflexOptionsSet() { reflexOptionsSet_ = true; }
    bool reflexOptionsSet() const { return reflexOptionsSet_; }

    // While one Frame Generation call runs (counts the overlaps above).
    class DlssgCall {
    public:
        explicit DlssgCall(FakeStreamline& fake);
        ~DlssgCall();
        DlssgCall(const DlssgCall&) = delete;
        DlssgCall& operator=(const DlssgCall&) = delete;

    private:
        FakeStreamline& fake_;
    };
};

// A fresh fake (default script, empty log) in every slot of streamlineApi, with
// streamlineApi.interposerModule = `interposer`: this program (GetModuleHandleW(nullptr)) where device
// attachment must find the fake by name, null where nothing may be found by name.
FakeStreamline& installFakeStreamline(HMODULE interposer = nullptr);
FakeStreamline& fakeStreamline();

// The loader as the creation hooks call it, answering from the fake's script (logged as "loadStreamline").
bool fakeLoadStreamline() noexcept;
bool fakePassThroughMode() noexcept;

} // namespace testsupport
