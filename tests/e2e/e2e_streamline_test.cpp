// The bridge inside the stand-in game against the rules of Streamline that the stand-in enforces as the
// real one does: warnings after the work, features that are missing, constants once per frame, the render
// sizes of each DLSS mode, the Reflex ping message after the options, one device, and kept tags.
#include "tests/e2e/bridge_scenario.h"

#include <gtest/gtest.h>

#include <string>

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

} // namespace
