// The bridge inside the stand-in game against the rules of Streamline that the stand-in enforces as the
// real one does: warnings after the work, features that are missing, constants once per frame, the render
// sizes of each DLSS mode, the Reflex ping message after the options, one device, and kept tags; and against
// the sets of files of each modelled release, complete, partial and mixed.
#include "tests/e2e/bridge_scenario.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
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
    // Frames 0 and 1 are both dispatched before the first present, under one frame token.
    EXPECT_GE(o.count("slSetConstants", "refused", "duplicate"), 1u);
    EXPECT_EQ(refusedEvaluations(o), 0u);
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
    // Nothing else of the attachment ran for it: one round of feature queries, no box.
    EXPECT_EQ(o.count("slIsFeatureSupported", "feature", "0"), 1u);
    EXPECT_TRUE(o.run.boxes.empty());
    EXPECT_NE(logOf(o).find("refused a second device"), std::string::npos) << logOf(o);
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

// The common scenarios against the set of each release. Beside what holds for every release, each run's
// figures go into summaries/releases.txt: they show where the system does not yet meet a release.
TEST(StreamlineReleases, ScenariosAgainstEachRelease)
{
    struct Case {
        const wchar_t* name;
        std::wstring arguments;
        std::map<std::wstring, std::wstring> environment;
        std::vector<std::wstring> leaveOut;
        const char* missingLine = nullptr;                 // what the attachment says of the file left out
        std::map<std::wstring, std::wstring> replace = {}; // a mixed set: name -> the release it comes from
        const wchar_t* only = nullptr;                     // the one release the row runs against
    };
    const Case cases[] = {
        {L"normal", releaseArguments, {}, {}},
        {L"resize", L"--frames 30 --resize-at 15 --resize-to 96x80 --render 64x64 --display 128x128", {}, {}},
        {L"recreate", releaseArguments + L" --recreate-at 15", {}, {}},
        {L"bad_status", releaseArguments, {{L"SL_STANDIN_DLSSG_STATUS", L"16"}}, {}},
        {L"no_nis", releaseArguments, {}, {L"sl.nis.dll"}, "NIS is not available (31)"},
        {L"warnings",
         releaseArguments,
         {{L"SL_STANDIN_WARN", L"slEvaluateFeature,slSetTag,slSetConstants"}},
         {}},
        {L"render_ahead", releaseArguments + L" --render-ahead", {}, {}},
        {L"no_pcl",
         releaseArguments,
         {},
         {L"sl.pcl.dll"},
         "Reflex: not available (slIsFeatureSupported returned 31",
         {},
         L"2.7.2"},
        {L"mixed_fg", releaseArguments, {}, {}, nullptr, {{L"sl.dlss_g.dll", L"2.4.0"}}, L"2.7.2"},
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
            const ReleaseFigures f = figuresOf(o);
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

} // namespace
