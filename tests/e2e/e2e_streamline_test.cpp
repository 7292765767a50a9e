// The bridge inside the stand-in game against the rules of Streamline that the stand-in enforces as the
// real one does: warnings after the work, features that are missing, constants once per frame, the render
// sizes of each DLSS mode, the Reflex ping message after the options, one device, and kept tags; and against
// the sets of files of each modelled release, complete, partial and mixed.
#include "tests/e2e/bridge_scenario.h"

#include "common/graphics.h"
#include "common/log.h"

#include <gtest/gtest.h>
#include <wrl/client.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

using namespace e2e;

namespace {

std::string logOf(const Outcome& o)
{
    return o.run.file(L"fsr2bridge.log");
}

// The DLSS evaluations the stand-in refused.
std::size_t refusedEvaluations(const Outcome& o)
{
    std::size_t n = 0;
    for (const auto& e : entriesNamed(o.journal, "slEvaluateFeature"))
        n += e.integer("result") != 0 && !e.has("warned") ? 1 : 0;
    return n;
}

TEST(StreamlineRules, WarningResultsAreSuccesses)
{
    Scenario s = scenario(L"warnings");
    // Every call the system checks answers eWarnOutOfVRAM (39) after doing its work.
    s.folder.environment[L"SL_STANDIN_WARN"] =
        L"slUpgradeInterface,slGetNativeInterface,slGetFeatureFunction,slSetD3DDevice,slGetNewFrameToken,"
        L"slReflexGetState,slReflexSetOptions,slReflexSetMarker,slReflexSleep,slDLSSSetOptions,"
        L"slDLSSGetOptimalSettings,slNISSetOptions,slSetConstants,slSetTag,slEvaluateFeature";
    const Outcome o = play(s);
    expectBridgedFrames(o, frames);
    EXPECT_EQ(o.run.number("dispatch_failed"), 0u);
    EXPECT_EQ(o.count("slEvaluateFeature", "feature", "2"), frames) << "the sharpening pass runs";
    EXPECT_EQ(o.count("slEvaluateFeature", "result", "39"), 2 * frames);
    EXPECT_EQ(o.count("slSetD3DDevice", "result", "39"), 1u);
    const std::string log = logOf(o);
    EXPECT_NE(log.find("slEvaluateFeature answered the warning 39"), std::string::npos) << log;
    EXPECT_NE(log.find("slSetTag answered the warning 39"), std::string::npos) << log;
}

TEST(StreamlineRules, MissingNisLeavesDlssWritingTheOutput)
{
    struct Case {
        const wchar_t* name;
        const wchar_t* variable;
        const wchar_t* value;
        const char* logged;
    };
    const Case cases[] = {
        {L"nis_unsupported", L"SL_STANDIN_SUPPORTED_NIS", L"7", "NIS is not available (7)"},
        {L"nis_unfetchable", L"SL_STANDIN_FAIL", L"fetch.slNISSetOptions",
         "slNISSetOptions cannot be fetched"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(narrow(c.name));
        Scenario s = scenario(c.name);
        s.folder.environment[c.variable] = c.value;
        const Outcome o = play(s);
        expectBridgedFrames(o, frames);
        EXPECT_EQ(o.run.number("dispatch_failed"), 0u);
        EXPECT_EQ(o.count("slEvaluateFeature", "feature", "2"), 0u);
        EXPECT_EQ(o.count("slSetTag", "count", "2"), 0u) << "no sharpening tags";
        // DLSS wrote the game's output itself, every frame.
        EXPECT_EQ(o.count("slEvaluateFeature", "dst", o.run.value("output_resource")), frames);
        EXPECT_NE(logOf(o).find(c.logged), std::string::npos) << logOf(o);
    }
}

TEST(StreamlineRules, TwoDispatchesPerPresentShareTheFrameConstants)
{
    const Outcome o = play(scenario(L"two_contexts"), gameArguments + L" --second-context");
    EXPECT_EQ(o.run.exitCode, 0u) << o.run.output;
    EXPECT_EQ(o.run.number("frames_presented"), frames);
    EXPECT_EQ(o.run.number("dispatch_ok"), 2 * frames);
    EXPECT_EQ(o.run.number("dispatch_failed"), 0u);
    // The second view's constants of each frame are refused; it evaluates with the first's.
    EXPECT_EQ(o.count("slSetConstants"), 2 * frames);
    EXPECT_EQ(o.count("slSetConstants", "refused", "duplicate"), frames);
    EXPECT_EQ(o.count("slEvaluateFeature", "feature", "0"), 2 * frames);
    EXPECT_EQ(refusedEvaluations(o), 0u);
    EXPECT_NE(logOf(o).find("were already set"), std::string::npos) << logOf(o);
}

TEST(StreamlineRules, RenderThreadAheadOfThePresentLosesNoFrame)
{
    const Outcome o = play(scenario(L"render_ahead"), gameArguments + L" --render-ahead");
    expectBridgedFrames(o, frames);
    EXPECT_EQ(o.run.number("dispatch_failed"), 0u);
    // Frames 0 and 1 are both dispatched before the first present: the second dispatch moves the token on
    // itself, so no frame's constants are refused; one such dispatch is no sign of presents not seen.
    EXPECT_EQ(o.count("slSetConstants", "refused", "duplicate"), 0u);
    EXPECT_EQ(refusedEvaluations(o), 0u);
    EXPECT_EQ(logOf(o).find("presents are not seen"), std::string::npos) << logOf(o);
    // Every dispatch ran on the render thread, every present on the game's main thread.
    const auto evaluations = entriesNamed(o.journal, "slEvaluateFeature");
    const auto presents = entriesNamed(o.journal, "swapchain.Present");
    ASSERT_FALSE(evaluations.empty());
    ASSERT_FALSE(presents.empty());
    EXPECT_NE(evaluations.front().text("tid"), presents.front().text("tid"));
}

TEST(StreamlineRules, DlssModeFitsTheRenderSize)
{
    struct Case {
        const wchar_t* name;
        const wchar_t* sizes;
        const char* configured; // dlssMode in config.json
        const char* mode;       // the mode DLSS runs
    };
    const Case cases[] = {
        // The defaults with FSR2 "Quality" (render size 1/1.5 of the display).
        {L"fit_quality", L"--render 85x48 --display 128x72", "\"MaxPerformance\"", "3"},
        {L"fit_native", L"--render 128x72 --display 128x72", "\"MaxPerformance\"", "6"},
        {L"fit_fits", L"--render 64x36 --display 128x72", "\"MaxPerformance\"", "1"},
        {L"fit_performance", L"--render 64x36 --display 128x72", "\"MaxQuality\"", "1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(narrow(c.name));
        Scenario s = scenario(c.name);
        s.folder.configJson = configWith({{"dlssMode", c.configured}});
        const Outcome o = play(s, std::wstring(L"--frames 12 --resize-at 0 ") + c.sizes);
        expectBridgedFrames(o, frames);
        EXPECT_EQ(refusedEvaluations(o), 0u);
        EXPECT_GE(o.count("slDLSSGetOptimalSettings"), 1u);
        const auto options = entriesNamed(o.journal, "slDLSSSetOptions");
        ASSERT_FALSE(options.empty());
        for (const auto& sent : options)
            EXPECT_EQ(sent.text("mode"), c.mode);
        EXPECT_NE(logOf(o).find(std::string("DLSS mode ") + c.mode), std::string::npos) << logOf(o);
    }
}

// Render sizes that no DLSS mode takes: the mode with the nearest range is used, and what Streamline still
// refuses is logged with its reason in a player's words, once per stretch of such frames, and again when
// frames are taken once more. The run of a game whose output grew to 960x540 at frame 60 while it kept
// rendering 64x64, and a game whose dynamic resolution falls below the lowest range twice and comes back.
TEST(StreamlineRules, RenderSizesThatNoModeTakesAreReportedOncePerStretch)
{
    struct Case {
        const wchar_t* name;
        const wchar_t* arguments;
        std::uint32_t upscaled;
        std::size_t stretches;     // reported refusals
        std::size_t acceptedAgain; // reported ends of a stretch
        std::vector<std::string> logged;
    };
    const Case cases[] = {
        {L"output_grows",
         L"--frames 200 --render 64x64 --display 128x128",
         60,
         1,
         0,
         {"slEvaluateFeature of feature 0 failed with 15 (eErrorNGXFailed) at render size 64x64 for output "
          "960x540",
          "the game renders 64x64 for 960x540, below what DLSS takes (at least 240x135): DLSS cannot upscale "
          "these frames; raise the game's resolution scale or FSR2 quality",
          "DLSS mode 4 (configured 1) for render size 64x64 of 960x540",
          "DLSS could not upscale the last 140 frames of this FSR2 context"}},
        {L"dynamic_resolution",
         L"--frames 40 --resize-at 0 --render 64x64 --display 128x128 --render-at 10:40x40 --render-at "
         L"15:24x24 --render-at 20:64x64 --render-at 25:24x24 --render-at 30:64x64",
         30,
         2,
         2,
         {"the game renders 24x24 for 128x128, below what DLSS takes (at least 32x32)",
          "DLSS upscales again at render size 64x64 for 128x128, after 5 frames it could not upscale"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(narrow(c.name));
        const Outcome o = play(scenario(c.name), c.arguments);
        EXPECT_EQ(o.run.exitCode, 0u) << o.run.output;
        EXPECT_EQ(o.run.number("dispatch_ok"), c.upscaled);
        EXPECT_EQ(o.count("slEvaluateFeature", "result", "0"), 2 * c.upscaled) << "DLSS and NIS of each";
        const std::string log = logOf(o);
        for (const std::string& line : c.logged)
            EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
        std::size_t refusals = 0, accepted = 0;
        for (std::size_t at = log.find("below what DLSS takes"); at != std::string::npos;
             at = log.find("below what DLSS takes", at + 1))
            ++refusals;
        for (std::size_t at = log.find("DLSS upscales again"); at != std::string::npos;
             at = log.find("DLSS upscales again", at + 1))
            ++accepted;
        EXPECT_EQ(refusals, c.stretches);
        EXPECT_EQ(accepted, c.acceptedAgain);
    }
}

TEST(StreamlineRules, ReflexPingMessageIsReadAfterTheOptions)
{
    const Outcome o = play(scenario(L"reflex_ping"), gameArguments + L" --ping-every 4");
    expectBridgedFrames(o, frames);
    std::size_t options = o.journal.size(), state = o.journal.size();
    for (std::size_t i = 0; i < o.journal.size(); ++i) {
        if (o.journal[i].name == "slReflexSetOptions" && options == o.journal.size())
            options = i;
        if (o.journal[i].name == "slReflexGetState" && state == o.journal.size())
            state = i;
    }
    ASSERT_LT(options, o.journal.size());
    ASSERT_LT(state, o.journal.size());
    EXPECT_LT(options, state);
    EXPECT_NE(o.journal[state].integer("message"), 0);
    EXPECT_EQ(o.count("slReflexSetMarker", "marker", "8"), 3u) << "pings posted on frames 0, 4 and 8";
}

TEST(StreamlineRules, SecondDeviceIsHandedOutUnwrapped)
{
    const Outcome o = play(scenario(L"second_device"), gameArguments + L" --second-device");
    expectBridgedFrames(o, frames);
    EXPECT_EQ(o.run.value("second_device_hr"), "0x00000000");
    EXPECT_NE(o.run.value("second_device_vtable"), "fsr2bridge.dll");
    EXPECT_EQ(o.run.value("second_device_queue_hr"), "0x00000000");
    const auto devices = entriesNamed(o.journal, "slSetD3DDevice");
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[0].integer("result"), 0);
    EXPECT_EQ(devices[1].integer("result"), 19);
    // Nothing else of the attachment ran for it: one round of feature queries, no box. Streamline's object
    // for it is let go at once, with its reference on the system device.
    EXPECT_EQ(o.count("slIsFeatureSupported", "feature", "0"), 1u);
    const auto upgraded = entriesNamed(o.journal, "slUpgradeInterface");
    ASSERT_GE(upgraded.size(), 3u); // factory, device, second device
    EXPECT_EQ(o.count("device.Release", "device", upgraded.back().text("out")), 1u);
    EXPECT_TRUE(o.run.boxes.empty());
    EXPECT_NE(logOf(o).find("refused a second device"), std::string::npos) << logOf(o);
}

// Streamline calls the system makes for a device, counted from the first present that found it removed.
std::size_t systemCallsAfterTheLoss(const Outcome& o)
{
    static const char* const systemCalls[] = {
        "slReflexSetMarker", "slReflexSleep",    "slGetNewFrameToken", "slSetConstants",  "slSetTag",
        "slEvaluateFeature", "slDLSSSetOptions", "slDLSSGSetOptions",  "slDLSSGGetState", "slNISSetOptions"};
    std::size_t calls = 0;
    bool lost = false;
    for (const auto& e : o.journal) {
        lost = lost || (e.name == "swapchain.Present" && e.text("result") == "0x887a0005");
        for (const char* name : systemCalls)
            calls += lost && e.name == name ? 1 : 0;
    }
    return calls;
}

// The device removed at frame 10, as a driver timeout does: a game that quits shows its own error and is gone
// within 5 s; a game that makes everything again plays 30 more frames with its own FSR2, Streamline having
// refused the new device. The system says both in its log, shows no box and never uses the old device again.
TEST(StreamlineRules, DeviceLostAtFrame10)
{
    struct Case {
        const wchar_t* name;
        const wchar_t* arguments;
        DWORD exitCode;
        std::size_t boxes;
    };
    const Case cases[] = {
        {L"device_lost_quit", L" --frames 41 --on-device-lost quit", 6, 1},
        {L"device_lost_recreate", L" --frames 41 --on-device-lost recreate", 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(narrow(c.name));
        Scenario s = scenario(c.name);
        s.folder.environment[L"TESTWORLD_DEVICE_LOST_AT"] = L"10";
        const Outcome o =
            play(s, L"--resize-at 0 --render 64x64 --display 128x128" + std::wstring(c.arguments));
        const std::string log = logOf(o);
        EXPECT_EQ(o.run.exitCode, c.exitCode) << o.run.output;
        EXPECT_EQ(o.run.number("device_lost_frame"), 10u);
        EXPECT_EQ(o.run.value("device_removed_reason"), "0x887A0006");
        EXPECT_LT(o.run.number("device_lost_to_end_ms"), 5000u);
        EXPECT_EQ(o.run.boxes.size(), c.boxes);
        for (const std::string& box : o.run.boxes)
            EXPECT_NE(box.find("caption=\"Stand-in game\""), std::string::npos)
                << "only the game's own: " << box;
        EXPECT_EQ(o.run.number("removed_device_uses"), 0u) << "calls that reached the removed device";
        EXPECT_EQ(systemCallsAfterTheLoss(o), 0u);
        EXPECT_NE(
            log.find("device removed: the present answered 0x887A0005, the device's reason is 0x887A0006"),
            std::string::npos)
            << log;
        if (c.exitCode != 0)
            continue;
        EXPECT_EQ(o.run.number("device_recreated"), 1u);
        EXPECT_EQ(o.run.number("frames_after_loss"), 30u);
        EXPECT_EQ(o.run.number("own_fsr2_creates"), 1u);
        EXPECT_EQ(o.run.number("own_fsr2_dispatches"), 30u);
        const auto devices = entriesNamed(o.journal, "slSetD3DDevice");
        ASSERT_EQ(devices.size(), 2u);
        EXPECT_EQ(devices[1].integer("result"), 19);
        EXPECT_NE(log.find("Streamline refused the game's new device after the loss"), std::string::npos)
            << log;
    }
}

// A copy of the game that Wine runs as another Windows (HKCU\Software\Wine\AppDefaults\<name>.exe, Version).
std::wstring gameOnWindows(const wchar_t* version)
{
    const std::wstring name = std::wstring(version) + L"_game.exe";
    const std::wstring key = L"Software\\Wine\\AppDefaults\\" + name;
    RegSetKeyValueW(HKEY_CURRENT_USER, key.c_str(), L"Version", REG_SZ, version,
                    static_cast<DWORD>((wcslen(version) + 1) * sizeof(wchar_t)));
    const std::wstring folder = runsDir + L"\\games_on_older_windows";
    std::filesystem::create_directories(folder);
    const std::wstring copy = folder + L"\\" + name;
    CopyFileW(layoutGame.c_str(), copy.c_str(), FALSE); // MinGW's copy_file cannot overwrite under Wine
    return copy;
}

// Streamline needs Windows 10 for every feature and 10 20H1 for Frame Generation: on Windows 7 the player is
// told to update Windows for each, and the game keeps its own FSR2; on Windows 10 1903 (Wine's "win10", build
// 18362) DLSS replaces FSR2 and only Frame Generation is refused and switched off.
TEST(StreamlineRules, OlderWindowsGetsStreamlinesAnswers)
{
    struct Case {
        const wchar_t* version;
        const char* windowsLine;
        std::vector<std::string> boxes;
        std::uint64_t ownDispatches;
    };
    const Case cases[] = {
        {L"win7",
         "Windows 6.1 build 7601",
         {box("An error occured!", "Please update Windows to be able to use Reflex."),
          box("An error occured!", "Please update Windows to be able to use DLSS."),
          box("An error occured!", "Please update Windows to be able to use DLSS Frame Generation.")},
         frames},
        {L"win10",
         "Windows 10.0 build 18362",
         {box("An error occured!", "Please update Windows to be able to use DLSS Frame Generation.")},
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(narrow(c.version));
        const Outcome o = play(scenario(c.version), gameArguments, gameOnWindows(c.version));
        const std::string log = logOf(o);
        EXPECT_EQ(o.run.exitCode, 0u) << o.run.output;
        EXPECT_NE(log.find(c.windowsLine), std::string::npos) << log;
        EXPECT_EQ(o.run.boxes, c.boxes);
        EXPECT_NE(
            log.find(
                "DLSS Frame Generation: not available (slIsFeatureSupported returned 3, eErrorOSOutOfDate)"),
            std::string::npos)
            << log;
        EXPECT_NE(o.run.file(L"config.json").find("\"enableFrameGeneration\": false"), std::string::npos);
        EXPECT_EQ(o.run.number("own_fsr2_dispatches"), c.ownDispatches);
        EXPECT_EQ(o.run.number("frames_presented"), frames);
    }
}

// Two GPUs, as on a laptop: DXGI lists a modelled integrated GPU first (the device layer's
// TESTWORLD_ADAPTERS=2), and the game makes its device on adapter 1. Features are asked for the device's
// adapter: Frame Generation supported on every adapter but the first is available; supported on the first
// only, it is not, with the box and the switch. Either way the log names the device's adapter.
TEST(StreamlineRules, TwoGpusAskForTheDevicesAdapter)
{
    Microsoft::WRL::ComPtr<IDXGIFactory1> factory;
    Microsoft::WRL::ComPtr<IDXGIAdapter1> adapter;
    DXGI_ADAPTER_DESC1 wine{};
    ASSERT_EQ(CreateDXGIFactory1(IID_PPV_ARGS(&factory)), S_OK);
    ASSERT_EQ(factory->EnumAdapters1(0, &adapter), S_OK);
    ASSERT_EQ(adapter->GetDesc1(&wine), S_OK);
    char luid[17];
    const auto* bytes = reinterpret_cast<const unsigned char*>(&wine.AdapterLuid);
    for (int n = 0; n < 8; ++n)
        std::snprintf(luid + 2 * n, 3, "%02x", bytes[n]);
    struct Case {
        const wchar_t* name;
        const wchar_t* frameGenerationAdapters;
        int answer;
        std::size_t boxes;
    };
    const Case cases[] = {
        {L"two_gpus_all_but_first", L"allButFirst", 0, 0},
        {L"two_gpus_first_only", L"0100577E00000000", 7, 1}, // the modelled integrated GPU's LUID
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(narrow(c.name));
        Scenario s = scenario(c.name);
        s.folder.environment[L"TESTWORLD_ADAPTERS"] = L"2";
        s.folder.environment[L"SL_STANDIN_ADAPTERS_DLSS_G"] = c.frameGenerationAdapters;
        const Outcome o = play(s, gameArguments + L" --adapter 1");
        const std::string log = logOf(o);
        EXPECT_EQ(o.run.exitCode, 0u) << o.run.output;
        const auto asked = entriesNamed(o.journal, "slIsFeatureSupported");
        ASSERT_FALSE(asked.empty());
        for (const auto& e : asked) {
            EXPECT_EQ(e.text("luid"), luid) << "every feature is asked for the device's adapter";
            EXPECT_EQ(e.integer("result"), e.text("feature") == "1000" ? c.answer : 0) << e.text("feature");
        }
        EXPECT_EQ(o.run.boxes.size(), c.boxes);
        EXPECT_NE(log.find(" is " + fsr2bridge::toUtf8(wine.Description) + ", DXGI's adapter 1 of 2"),
                  std::string::npos)
            << log;
        EXPECT_EQ(o.run.number("dispatch_ok"), frames) << "DLSS replaces FSR2 on the device's adapter";
    }
}

TEST(StreamlineRules, MaskThatStopsIsNotKeptByStreamline)
{
    const Outcome o = play(scenario(L"mask_stops"), gameArguments + L" --mask-frames 4");
    expectBridgedFrames(o, frames);
    const auto evaluations = entriesNamed(o.journal, "slEvaluateFeature");
    std::vector<std::string> held;
    for (const auto& e : evaluations)
        if (e.text("feature") == "0")
            held.push_back(e.text("held"));
    ASSERT_EQ(held.size(), frames);
    for (std::size_t frame = 0; frame < held.size(); ++frame) {
        const bool mask = held[frame].find("27") != std::string::npos;
        EXPECT_EQ(mask, frame < 4) << "frame " << frame << " holds " << held[frame];
    }
}

// --- Streamline releases
// ------------------------------------------------------------------------------------

const wchar_t* const releases[] = {L"2.1.1", L"2.4.0", L"2.7.2"};
const std::wstring releaseArguments = L"--frames 30 --resize-at 0 --render 64x64 --display 128x128";

Scenario releaseScenario(const std::wstring& name, const wchar_t* release)
{
    Scenario s = scenario(name.c_str(), L"");
    s.folder.streamlineSet = releaseSet(release);
    return s;
}

// What a run shows of the rules that differ between releases.
struct ReleaseFigures {
    std::size_t upscaled = 0;    // DLSS evaluations that did their work
    std::size_t dropped = 0;     // stale tags Streamline dropped
    std::size_t allocations = 0; // Frame Generation's resources (re)allocated
    std::size_t switches = 0;    // Frame Generation modes sent
    std::size_t generated = 0;   // presents with a generated frame
    std::size_t boxes = 0;
};

ReleaseFigures figuresOf(const Outcome& o)
{
    ReleaseFigures f;
    for (const auto& e : entriesNamed(o.journal, "slEvaluateFeature"))
        f.upscaled += e.text("feature") == "0" && (e.text("work") == "scale" || e.text("work") == "copy") &&
                              (e.integer("result") == 0 || e.has("warned"))
                          ? 1
                          : 0;
    f.dropped = o.count("tag.dropped");
    f.allocations = o.count("dlssg.allocate");
    f.switches = o.count("slDLSSGSetOptions");
    f.generated = o.count("swapchain.Present", "presented", "2");
    f.boxes = o.run.boxes.size();
    return f;
}

// Each present of a run, as the stand-in saw it: '2' a generated frame with it, '1' none.
std::string presentsOf(const Outcome& o)
{
    std::string presents;
    for (const auto& e : entriesNamed(o.journal, "swapchain.Present"))
        presents += e.text("presented");
    return presents;
}

// The menu is open for frames 0-3 (and four frames after a resize): no frame is generated there.
const std::string played = "1111" + std::string(26, '2');

// The common scenarios against the set of each release: every frame upscaled, no tag dropped, Frame
// Generation's resources allocated at most twice (once more for a real change of the swap chain), frames
// generated where the game plays. Each run's figures also go into summaries/releases.txt.
TEST(StreamlineReleases, ScenariosAgainstEachRelease)
{
    struct Case {
        const wchar_t* name;
        std::wstring arguments;
        std::map<std::wstring, std::wstring> environment = {};
        std::vector<std::wstring> leaveOut = {};
        const char* missingLine = nullptr;                 // what the attachment says of the file left out
        std::map<std::wstring, std::wstring> replace = {}; // a mixed set: name -> the release it comes from
        const wchar_t* only = nullptr;                     // the one release the row runs against
        std::string presents = played;                     // presentsOf the run
        std::size_t upscaled = 30;
        std::size_t boxes = 0;
        const char* logOnce = nullptr; // a line the log holds exactly once
    };
    const std::string none(30, '1');
    const Case cases[] = {
        {L"normal", releaseArguments, {}, {}},
        {.name = L"resize",
         .arguments = L"--frames 30 --resize-at 15 --resize-to 96x80 --render 64x64 --display 128x128",
         .presents = "1111" + std::string(11, '2') + "1111" + std::string(11, '2')},
        {L"recreate", releaseArguments + L" --recreate-at 15", {}, {}},
        {.name = L"bad_status",
         .arguments = releaseArguments,
         .environment = {{L"SL_STANDIN_DLSSG_STATUS", L"16"}},
         .presents = none,
         .boxes = 1},
        {L"no_nis", releaseArguments, {}, {L"sl.nis.dll"}, "NIS is not available (31)"},
        {L"warnings",
         releaseArguments,
         {{L"SL_STANDIN_WARN", L"slEvaluateFeature,slSetTag,slSetConstants"}},
         {}},
        // The render thread dispatches a frame before the previous one is presented: the menu's last request
        // comes with frame 3's present, and the last present comes after the last dispatch's frame.
        {.name = L"render_ahead",
         .arguments = releaseArguments + L" --render-ahead",
         .presents = "111" + std::string(26, '2') + "1"},
        {.name = L"fsr2_off",
         .arguments = releaseArguments + L" --fsr2-off 10:19",
         .presents = "1111" + std::string(6, '2') + std::string(10, '1') + std::string(10, '2'),
         .upscaled = 20},
        {L"hdr10", releaseArguments + L" --format rgb10a2", {}, {}},
        {.name = L"fp16",
         .arguments = releaseArguments + L" --format rgba16f",
         .presents = none,
         .logOnce = "FP16 (scRGB) back buffers"},
        {.name = L"fp16_at_15",
         .arguments = releaseArguments + L" --format-at 15:rgba16f",
         .presents = "1111" + std::string(11, '2') + std::string(15, '1'),
         .logOnce = "FP16 (scRGB) back buffers"},
        {L"no_pcl",
         releaseArguments,
         {},
         {L"sl.pcl.dll"},
         "Reflex: not available (slIsFeatureSupported returned 31",
         {},
         L"2.7.2",
         none},
        {L"mixed_fg", releaseArguments, {}, {}, nullptr, {{L"sl.dlss_g.dll", L"2.4.0"}}, L"2.7.2"},
        // A Frame Generation plug-in that writes its whole version-3 state whatever version it is given.
        {.name = L"state_v3",
         .arguments = releaseArguments,
         .environment = {{L"SL_STANDIN_DLSSG_STATE_IGNORES_VERSION", L"1"}},
         .only = L"2.7.2"},
    };
    std::string table = "release  scenario      upscaled dropped allocations switches generated boxes\n";
    for (const wchar_t* release : releases) {
        for (const Case& c : cases) {
            if (c.only && std::wstring(c.only) != release)
                continue;
            const std::wstring name = std::wstring(L"release_") + release + L"_" + c.name;
            SCOPED_TRACE(narrow(name));
            Scenario s = releaseScenario(name, release);
            s.folder.environment.insert(c.environment.begin(), c.environment.end());
            s.folder.leaveOut = c.leaveOut;
            for (const auto& [file, from] : c.replace)
                s.folder.replace[file] = releaseSet(from.c_str()) + L"\\" + file;
            const Outcome o = play(s, c.arguments);
            EXPECT_EQ(o.run.exitCode, 0u) << o.run.output;
            EXPECT_EQ(o.run.number("frames_presented"), 30u);
            EXPECT_EQ(o.run.number("own_fsr2_dispatches"), 0u);
            // The game's one swap chain at a time gets Streamline's present hooks.
            EXPECT_EQ(o.count("factory.CreateSwapChainForHwnd", "hooked", "1"),
                      o.count("factory.CreateSwapChainForHwnd"));
            EXPECT_EQ(o.count("swapchain.Present", "hooked", "0"), 0u);
            // The log names the release and every file of the set with its version, and what is missing.
            const std::string log = logOf(o);
            const std::string version = narrow(release) + ".0";
            for (const char* file : {"sl.interposer.dll", "sl.common.dll", "sl.dlss.dll", "sl.reflex.dll"})
                EXPECT_NE(log.find(std::string("Streamline: ") + file + " version " + version),
                          std::string::npos)
                    << file << "\n"
                    << log;
            EXPECT_EQ(log.find("sl.pcl.dll version " + version) != std::string::npos,
                      narrow(release) != "2.1.1" &&
                          std::count(c.leaveOut.begin(), c.leaveOut.end(), L"sl.pcl.dll") == 0);
            EXPECT_EQ(log.find("Streamline: the set is complete") != std::string::npos,
                      c.leaveOut.empty() && c.replace.empty());
            for (const std::wstring& file : c.leaveOut) {
                EXPECT_NE(log.find("the set is incomplete: " + narrow(file) + " is missing"),
                          std::string::npos)
                    << log;
                EXPECT_NE(log.find(c.missingLine), std::string::npos) << log;
            }
            for (const auto& [file, from] : c.replace)
                EXPECT_NE(log.find("the set is mixed: " + narrow(file) + " is version " + narrow(from)),
                          std::string::npos)
                    << log;
            if (c.logOnce) {
                const auto first = log.find(c.logOnce);
                EXPECT_NE(first, std::string::npos) << log;
                EXPECT_EQ(log.find(c.logOnce, first + 1), std::string::npos) << "said once\n" << log;
            }
            const ReleaseFigures f = figuresOf(o);
            EXPECT_EQ(f.upscaled, c.upscaled);
            EXPECT_EQ(f.dropped, 0u);
            EXPECT_LE(f.allocations, 2u);
            EXPECT_EQ(f.boxes, c.boxes) << o.run.output;
            EXPECT_EQ(presentsOf(o), c.presents);
            if (c.environment.count(L"SL_STANDIN_DLSSG_STATE_IGNORES_VERSION")) {
                EXPECT_EQ(o.count("slDLSSGGetState", "wrote", "80"), o.count("slDLSSGGetState"));
            }
            char row[160];
            std::snprintf(row, sizeof row, "%-8s %-13s %8zu %7zu %11zu %8zu %9zu %5zu\n",
                          narrow(release).c_str(), narrow(c.name).c_str(), f.upscaled, f.dropped,
                          f.allocations, f.switches, f.generated, f.boxes);
            table += row;
        }
    }
    std::printf("%s", table.c_str());
    CreateDirectoryA("summaries", nullptr);
    if (FILE* out = std::fopen("summaries/releases.txt", "w")) {
        std::fprintf(out, "Streamline releases (30 frames each):\n%s", table.c_str());
        std::fclose(out);
    }
}

// --- Neighbours in the game's process
// ------------------------------------------------------------------------------------

// Streamline's swap chains and factories still alive when the game has ended (each given back once the
// system's proxy let go of it).
std::size_t streamlineObjectsLeft(const Outcome& o)
{
    std::set<std::string> live;
    for (const auto& e : o.journal) {
        if (e.name == "slUpgradeInterface" && e.text("kind") == "factory" && e.integer("result") == 0)
            live.insert(e.text("out"));
        else if (e.name.rfind("factory.CreateSwapChain", 0) == 0 && e.text("result") == "0x0")
            live.insert(e.text("swapChain"));
        else if (e.name == "factory.Release")
            live.erase(e.text("factory"));
        else if (e.name == "swapchain.Release")
            live.erase(e.text("swapChain"));
    }
    return live.size();
}

// The stand-in overlay (testbed/overlay) loaded before and after the system, against 2.1.1 and 2.4.0: its
// throw-away swap chain first, back buffers it holds across three resizes and a recreation, its Present
// patched while Frame Generation is on, exceptions caught in its Present, its attach on a thread of its own
// while the game renders, and a factory made in its DllMain. The game keeps every frame, DLSS, Frame
// Generation and Reflex on its one swap chain; the overlay's calls all succeed; nothing of Streamline stays.
TEST(StreamlineReleases, OverlaysShareTheGamesProcess)
{
    struct Case {
        const wchar_t* name;
        const wchar_t* arguments; // besides releaseArguments and --overlay
        const wchar_t* switches;  // TESTWORLD_OVERLAY
        std::uint64_t resizes = 0;
        const wchar_t* only = nullptr; // the one placement the row runs in
    };
    const Case cases[] = {
        {L"throwaway_first", L"", L"throwaway,patch,hold"},
        {L"held_buffers", L" --resize-every 8 --resize-to 120x120 --recreate-at 20", L"throwaway,patch,hold",
         3},
        {L"patched_fg_on", L" --overlay-at 10", L"throwaway,patch,hold"},
        {L"exceptions", L"", L"throwaway,patch,hold,exceptions=5"},
        {L"own_thread", L" --overlay-at 5", L"throwaway,patch,hold,thread"},
        {L"dllmain", L"", L"dllmain", 0, L"after"},
    };
    for (const wchar_t* release : {L"2.1.1", L"2.4.0"}) {
        for (const wchar_t* placement : {L"before", L"after"}) {
            for (const Case& c : cases) {
                if (c.only && std::wstring(c.only) != placement)
                    continue;
                const std::wstring name =
                    std::wstring(L"overlay_") + release + L"_" + placement + L"_" + c.name;
                SCOPED_TRACE(narrow(name));
                Scenario s = releaseScenario(name, release);
                s.folder.environment[L"TESTWORLD_OVERLAY"] = c.switches;
                const Outcome o = play(s, releaseArguments + c.arguments + L" --overlay " +
                                              windowsPath(E2E_OVERLAY) + L":" + placement);
                EXPECT_EQ(o.run.exitCode, 0u) << o.run.output;
                EXPECT_EQ(o.run.number("frames_presented"), 30u);
                EXPECT_EQ(o.run.number("resizes"), c.resizes);
                EXPECT_EQ(o.count("swapchain.ResizeBuffers", "result", "0x0"), c.resizes);
                EXPECT_EQ(figuresOf(o).upscaled, 30u) << "DLSS upscales every frame";
                // Frame Generation and Reflex serve the game's swap chains, the only ones Streamline makes.
                EXPECT_EQ(o.count("factory.CreateSwapChainForHwnd", "unwrapped", "0"), 0u);
                EXPECT_EQ(o.count("factory.CreateSwapChainForHwnd", "hooked", "1"),
                          o.count("factory.CreateSwapChainForHwnd"));
                EXPECT_EQ(o.count("factory.CreateSwapChainForHwnd"),
                          o.run.number("swapchain_recreations") + 1);
                EXPECT_EQ(o.count("swapchain.Present", "hooked", "0"), 0u);
                EXPECT_GT(o.count("swapchain.Present", "presented", "2"), 0u);
                EXPECT_EQ(o.count("slReflexSleep"), 30u);
                EXPECT_EQ(streamlineObjectsLeft(o), 0u) << "a reference lost";
                // The overlay's own calls all succeed.
                EXPECT_EQ(o.run.number("overlay_failures"), 0u)
                    << o.run.value("overlay_failed_call") << " " << o.run.value("overlay_first_failure");
                if (std::wstring(c.switches) == L"dllmain") {
                    EXPECT_EQ(o.run.number("overlay_dllmain_factory"), 1u);
                    EXPECT_EQ(logOf(o).find("has not finished after"), std::string::npos) << logOf(o);
                    EXPECT_NE(logOf(o).find("factory created inside a module's DllMain"), std::string::npos);
                    continue;
                }
                EXPECT_EQ(o.run.number("overlay_attached"), 1u);
                EXPECT_EQ(o.run.value("overlay_patched"), "dxgi.dll")
                    << "the system's swap chains, as in any game";
                EXPECT_GT(o.run.number("overlay_presents"), 0u);
                EXPECT_EQ(o.run.number("overlay_copies"), o.run.number("overlay_presents"));
                EXPECT_EQ(o.run.number("overlay_resizes"), c.resizes);
                EXPECT_GE(o.run.number("overlay_held_released"), c.resizes);
                const std::uint64_t raised =
                    std::wstring(c.switches).find(L"exceptions=5") != std::wstring::npos
                        ? o.run.number("overlay_presents") / 5
                        : 0;
                EXPECT_EQ(o.run.number("overlay_cpp_exceptions"), raised);
                EXPECT_EQ(o.run.number("overlay_seh_exceptions"), raised);
            }
        }
    }
}

} // namespace
