// The bridge inside the stand-in game, from DllMain to the presented frame:
// each scenario is its own game process in its own folder, asserted from the
// stand-in Streamline's journal, the game's report, its boxes and its files.
#include "testbed/host/host_layout.h"
#include "tests/e2e/bridge_scenario.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <set>

using namespace e2e;

namespace {

TEST(Bridge, DefaultsRunTheWholeFrameRoad)
{
    const Scenario s = scenario(L"defaults");
    const Outcome o = play(s, gameArguments + L" --ping-every 4");
    expectBridgedFrames(o, frames);
    EXPECT_TRUE(o.run.printed("is signed by NVIDIA and the signature was verified."));
    EXPECT_TRUE(o.run.boxes.empty());
    // NIS after DLSS by default, on every frame.
    EXPECT_EQ(o.count("slEvaluateFeature", "feature", "2"), frames);
    // Reflex: a sleep per present, the five present-path markers per frame
    // (simulation start once more at start-up), and simulation end and render
    // submit start on the first of every five submissions.
    EXPECT_EQ(o.count("slReflexSleep"), frames);
    for (const char* marker : {"3", "4", "5", "6"})
        EXPECT_EQ(o.count("slReflexSetMarker", "marker", marker), frames) << "marker " << marker;
    EXPECT_EQ(o.count("slReflexSetMarker", "marker", "0"), frames + 1);
    EXPECT_EQ(o.count("slReflexSetMarker", "marker", "1"), (frames + 4) / 5);
    EXPECT_EQ(o.count("slReflexSetMarker", "marker", "2"), (frames + 4) / 5);
    // The latency ping the game's window thread retrieves (posted on frames 0, 4 and 8).
    EXPECT_EQ(o.run.number("pings_posted"), 3u);
    EXPECT_EQ(o.count("slReflexSetMarker", "marker", "8"), 3u);
    // The menu is open for the first frames: Frame Generation is switched on once, at the first present in
    // play (no switch for the new context, none off and on again around the menu).
    const auto fg = entriesNamed(o.journal, "slDLSSGSetOptions");
    ASSERT_EQ(fg.size(), 1u);
    EXPECT_EQ(fg[0].text("mode"), "1");
    EXPECT_EQ(fg[0].text("dynamicResWidth"), "64");
    // config.json created with the defaults.
    const std::string config = o.run.file(L"config.json");
    EXPECT_NE(config.find("\"enableFrameGeneration\": true"), std::string::npos) << config;
    EXPECT_NE(config.find("\"version\": 4"), std::string::npos);
}

TEST(Bridge, CameraOfTheGameReachesTheConstants)
{
    const Scenario s = scenario(L"camera");
    const Outcome o = play(s);
    expectBridgedFrames(o, frames);
    const auto constants = entriesNamed(o.journal, "slSetConstants");
    ASSERT_EQ(constants.size(), frames);
    for (std::uint32_t frame = 1; frame < frames; ++frame) {
        const hostgame::CameraPose pose = hostgame::cameraForFrame(frame, 1.0f, 1.0f, 0.1f, 1000.0f);
        const auto right = constants[frame].numbers("cameraRight");
        const auto forward = constants[frame].numbers("cameraFwd");
        const auto up = constants[frame].numbers("cameraUp");
        ASSERT_EQ(right.size(), 3u);
        ASSERT_EQ(forward.size(), 3u);
        ASSERT_EQ(up.size(), 3u);
        for (int i = 0; i < 3; ++i) {
            EXPECT_NEAR(right[i], pose.right[i], 1e-5) << "frame " << frame;
            EXPECT_NEAR(forward[i], pose.forward[i] / 2.0f, 1e-5) << "frame " << frame;
            EXPECT_NEAR(up[i], pose.up[i], 1e-5) << "frame " << frame;
        }
        EXPECT_NEAR(constants[frame].number("cameraAspectRatio"), 1.0, 1e-6);
    }
}

TEST(Bridge, DisabledLeavesTheGameAlone)
{
    Scenario s = scenario(L"disabled");
    s.folder.configJson = configWith({{"enabled", "false"}});
    const Outcome o = play(s);
    EXPECT_EQ(o.run.exitCode, 0u) << o.run.output;
    EXPECT_FALSE(o.journalExists);
    EXPECT_EQ(o.run.value("streamline_loaded"), "0");
    EXPECT_NE(o.run.value("factory_vtable"), "fsr2bridge.dll");
    EXPECT_NE(o.run.value("device_vtable"), "fsr2bridge.dll");
    EXPECT_NE(o.run.value("swapchain_vtable"), "fsr2bridge.dll");
    EXPECT_EQ(o.run.number("own_fsr2_dispatches"), frames);
    EXPECT_EQ(o.run.number("frames_presented"), frames);
    EXPECT_TRUE(o.run.boxes.empty());
}

struct UnsupportedCase {
    const wchar_t* name;
    const wchar_t* variable;
    const char* boxText;
    bool upscaled; // DLSS replaces FSR2
    bool reflex;   // Reflex started: markers and sleeps
};

TEST(Bridge, UnsupportedFeaturesAreReportedAndTheGameGoesOn)
{
    const UnsupportedCase cases[] = {
        {L"no_reflex", L"SL_STANDIN_SUPPORTED_REFLEX", "Reflex is not supported by the currently used GPU.",
         true, false},
        {L"no_dlss", L"SL_STANDIN_SUPPORTED_DLSS", "DLSS is not supported by the currently used GPU.", false,
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(narrow(c.name));
        Scenario s = scenario(c.name);
        s.folder.environment[c.variable] = L"7";
        const Outcome o = play(s, L"--frames 30 --resize-at 0 --render 64x64 --display 128x128");
        EXPECT_EQ(o.run.exitCode, 0u) << o.run.output;
        EXPECT_EQ(o.run.number("frames_presented"), 30u);
        ASSERT_EQ(o.run.boxes.size(), 1u);
        EXPECT_EQ(o.run.boxes[0], box("An error occured!", c.boxText));
        // Frame tokens are Streamline's own, with or without Reflex: one per present after the first two.
        EXPECT_EQ(o.count("slGetNewFrameToken"), 32u);
        EXPECT_EQ(o.count("slReflexSetMarker") > 0, c.reflex);
        EXPECT_EQ(o.count("slReflexSleep") > 0, c.reflex);
        const std::string log = o.run.file(L"fsr2bridge.log");
        if (c.upscaled) {
            expectBridgedFrames(o, 30);
            // Frame Generation needs Reflex: off for the run, and the log says why.
            EXPECT_EQ(o.count("slDLSSGSetOptions", "mode", "1"), 0u);
            EXPECT_NE(log.find("DLSS Frame Generation off for this run: it needs Reflex"), std::string::npos)
                << log;
        } else {
            // No host hook: the game's own FSR2 runs.
            EXPECT_EQ(o.run.number("own_fsr2_dispatches"), 30u);
            EXPECT_EQ(o.count("slEvaluateFeature"), 0u);
        }
    }
}

TEST(Bridge, FrameGenerationUnsupportedIsSwitchedOffForGood)
{
    Scenario s = scenario(L"no_fg");
    s.folder.environment[L"SL_STANDIN_SUPPORTED_DLSS_G"] = L"4";
    const Outcome first = play(s);
    EXPECT_EQ(first.run.exitCode, 0u) << first.run.output;
    ASSERT_EQ(first.run.boxes.size(), 1u);
    EXPECT_EQ(first.run.boxes[0],
              box("An error occured!",
                  "Please enable 'Hardware-accelerated GPU Scheduling' in your Windows settings "
                  "to be able to use DLSS Frame Generation."));
    EXPECT_NE(first.run.file(L"config.json").find("\"enableFrameGeneration\": false"), std::string::npos);
    EXPECT_EQ(first.count("slIsFeatureSupported", "feature", "1000"), 1u);
    EXPECT_EQ(first.run.number("dispatch_ok"), frames);

    s.folder.fresh = false;
    std::filesystem::remove(s.journalPath);
    const Outcome second = play(s);
    EXPECT_EQ(second.run.exitCode, 0u) << second.run.output;
    EXPECT_TRUE(second.run.boxes.empty());
    EXPECT_EQ(second.count("slIsFeatureSupported", "feature", "1000"), 0u);
    EXPECT_EQ(second.count("slIsFeatureSupported"), 3u) << "Reflex, DLSS and NIS";
    EXPECT_EQ(second.count("slDLSSGSetOptions"), 0u);
    expectBridgedFrames(second, frames);
}

TEST(Bridge, BadFrameGenerationStatusShowsOneBoxAndFramesStayUpscaled)
{
    Scenario s = scenario(L"bad_fg_status");
    s.folder.environment[L"SL_STANDIN_DLSSG_STATUS"] = L"16";
    const Outcome o = play(s);
    expectBridgedFrames(o, frames);
    ASSERT_EQ(o.run.boxes.size(), 1u) << o.run.output;
    EXPECT_EQ(o.run.boxes[0],
              "caption=\"DLSS-G Error occured\" text=\"Got invalid DLSSG status while evaluating "
              "DLSS! Failed Status: 16\"");
}

TEST(Bridge, WithoutAnAcceptedInterposerTheGameCannotStart)
{
    struct Case {
        const wchar_t* name;
        const std::wstring* interposer;
        const char* line;
    };
    const std::wstring none;
    const Case cases[] = {
        {L"no_interposer", &none, nullptr},
        {L"unsigned_interposer", &unsignedInterposer,
         "is NOT correctly signed - Streamline will not load unsecured modules"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(narrow(c.name));
        const Outcome o = play(scenario(c.name, *c.interposer));
        EXPECT_EQ(o.run.exitCode, 3u) << o.run.output;
        EXPECT_EQ(o.run.value("factory_hr"), "0x8000FFFF");
        EXPECT_TRUE(o.run.printed("cannot create the DXGI factory (0x8000FFFF)"));
        EXPECT_EQ(o.run.value("streamline_loaded"), "0");
        EXPECT_FALSE(o.journalExists);
        if (c.line) {
            EXPECT_TRUE(o.run.printed(c.line)) << o.run.output;
        }
        // One box explains it (its text: test_e2e_log).
        ASSERT_EQ(o.run.boxes.size(), 1u);
        EXPECT_NE(o.run.boxes[0].find("The game will now stop."), std::string::npos);
    }
}

TEST(Bridge, NisSharpeningFollowsTheSetting)
{
    for (const bool nis : {false, true}) {
        SCOPED_TRACE(nis);
        Scenario s = scenario(nis ? L"nis_on" : L"nis_off");
        s.folder.configJson = configWith({{"enableNisSharpening", nis ? "true" : "false"}});
        const Outcome o = play(s);
        expectBridgedFrames(o, frames);
        EXPECT_EQ(o.count("slEvaluateFeature", "feature", "2"), nis ? frames : 0u);
        EXPECT_EQ(o.count("slNISSetOptions"), nis ? frames : 0u);
        // With NIS the DLSS output is the intermediate, not the game's output.
        const auto tags = entriesNamed(o.journal, "slSetTag");
        ASSERT_FALSE(tags.empty());
        // Five tags: without a mask its buffer type is tagged with no resource.
        EXPECT_EQ(tags[0].text("count"), "5");
        EXPECT_EQ(tags[0].text("t1.type"), "4");
        EXPECT_EQ(tags[0].text("t4.type"), "27");
        EXPECT_EQ(tags[0].text("t4.res"), "null");
        if (nis) {
            EXPECT_EQ(o.count("slSetTag", "count", "2"), frames);
        }
    }
}

TEST(Bridge, TransparencyMaskIsTaggedAsFifthResource)
{
    const Outcome o = play(scenario(L"mask"), gameArguments + L" --mask");
    expectBridgedFrames(o, frames);
    const auto tags = entriesNamed(o.journal, "slSetTag");
    ASSERT_FALSE(tags.empty());
    EXPECT_EQ(tags[0].text("count"), "5");
    EXPECT_EQ(tags[0].text("t4.type"), "27");
    EXPECT_EQ(tags[0].text("t4.state"), "0x40");
}

TEST(Bridge, ResizeRecreatesTheContextAtTheNewSize)
{
    const Outcome o = play(scenario(L"resize"),
                           L"--frames 12 --resize-at 6 --resize-to 96x80 --render 64x64 --display 128x128");
    expectBridgedFrames(o, frames);
    EXPECT_EQ(o.run.number("resizes"), 1u);
    EXPECT_EQ(o.count("swapchain.ResizeBuffers"), 1u);
    const auto options = entriesNamed(o.journal, "slDLSSSetOptions");
    ASSERT_GE(options.size(), 2u);
    EXPECT_EQ(options.front().text("outputWidth"), "128");
    EXPECT_EQ(options.back().text("outputWidth"), "96");
    EXPECT_EQ(options.back().text("outputHeight"), "80");
}

// A display-mode, HDR or output change: the game releases its swap chain and makes a new one on the same
// window. Windows (and the stand-in) refuses the new one while the old system swap chain is still alive, so
// the game's release must destroy it, whether Streamline wraps the swap chain or hands out the system's own.
TEST(Bridge, SwapChainRecreatedOnTheSameWindowKeepsPresenting)
{
    struct Case {
        const wchar_t* name;
        bool unwrapped;
    };
    for (const Case& c : {Case{L"recreate", false}, Case{L"recreate_unwrapped", true}}) {
        SCOPED_TRACE(narrow(c.name));
        Scenario s = scenario(c.name);
        if (c.unwrapped)
            s.folder.environment[L"SL_STANDIN_UNWRAPPED_SWAPCHAINS"] = L"1";
        const Outcome o = play(s, gameArguments + L" --recreate-at 6");
        EXPECT_EQ(o.run.exitCode, 0u) << o.run.output;
        EXPECT_EQ(o.run.value("swapchain_hr"), "0x00000000");
        EXPECT_EQ(o.run.number("swapchain_recreations"), 1u);
        EXPECT_EQ(o.run.number("frames_presented"), frames);
        EXPECT_EQ(o.run.value("swapchain_vtable"), "fsr2bridge.dll");
        EXPECT_EQ(o.count("factory.CreateSwapChainForHwnd", "result", "0x0"), 2u);
        EXPECT_EQ(o.count("swapchain.Present"), c.unwrapped ? 0u : frames);
        EXPECT_EQ(o.count("slReflexSleep"), frames) << "every present still ends a frame";
        EXPECT_EQ(o.run.number("dispatch_ok"), frames);
    }
}

// A game that keeps no factory rebuilds its swap chain from the factory a GetParent gives (and asks that
// parent each frame whether it is current). The swap chain's parent is the factory proxy, so the new swap
// chain presents through Streamline and Frame Generation comes back. An adapter's parent is the system
// factory: that swap chain's presents bypass the proxy, and each dispatch then moves the frame token on
// itself, so that no frame reuses another's token.
TEST(Bridge, SwapChainRebuiltFromAParentFactory)
{
    struct Case {
        const wchar_t* name;
        const wchar_t* option;
        bool throughStreamline;
    };
    for (const Case& c : {Case{L"via_parent", L" --recreate-via-parent", true},
                          Case{L"via_adapter", L" --recreate-via-adapter", false}}) {
        SCOPED_TRACE(narrow(c.name));
        const Outcome o = play(scenario(c.name), std::wstring(L"--frames 30 --resize-at 0 --render 64x64 "
                                                              L"--display 128x128 --recreate-at 10") +
                                                     c.option);
        EXPECT_EQ(o.run.exitCode, 0u) << o.run.output;
        EXPECT_EQ(o.run.value("parent_hr"), "0x00000000");
        EXPECT_EQ(o.run.value("parent_vtable") == "fsr2bridge.dll", c.throughStreamline);
        EXPECT_EQ(o.run.value("swapchain_vtable") == "fsr2bridge.dll", c.throughStreamline);
        EXPECT_EQ(o.run.number("swapchain_recreations"), 1u);
        EXPECT_EQ(o.run.number("frames_presented"), 30u);
        EXPECT_EQ(o.run.number("dispatch_ok"), 30u);
        EXPECT_EQ(o.count("swapchain.Present", "result", "0x0"), c.throughStreamline ? 30u : 10u);
        // The parent asked each frame is the first factory's proxy, not a new one per call: only the two
        // factories of the start are upgraded.
        EXPECT_EQ(o.count("slUpgradeInterface", "kind", "factory"), 2u);
        // Every frame's constants under a token of its own.
        std::set<std::string> tokens;
        for (const auto& e : entriesNamed(o.journal, "slSetConstants"))
            tokens.insert(e.text("token"));
        EXPECT_EQ(tokens.size(), 30u);
        EXPECT_EQ(o.count("slSetConstants", "refused", "duplicate"), 0u);
        const auto presents = entriesNamed(o.journal, "swapchain.Present");
        if (c.throughStreamline) {
            ASSERT_FALSE(presents.empty());
            EXPECT_EQ(presents.back().text("frameGeneration"), "1") << "Frame Generation is back";
        } else {
            const std::string log = o.run.file(L"fsr2bridge.log");
            EXPECT_NE(log.find("presents are not seen"), std::string::npos) << log;
        }
    }
}

TEST(Bridge, DeviceFromQueryInterfaceStillUpscales)
{
    const Outcome o = play(scenario(L"qi_device"), gameArguments + L" --qi-device");
    expectBridgedFrames(o, frames);
    EXPECT_EQ(o.run.value("qi_device_hr"), "0x00000000");
    EXPECT_EQ(o.count("slEvaluateFeature", "feature", "2"), frames);
}

TEST(Bridge, GameWithoutTheLayoutIsStillUpscaled)
{
    const Outcome o = play(scenario(L"plain_image"), gameArguments, plainGame);
    expectBridgedFrames(o, frames);
    EXPECT_EQ(o.run.value("layout"), "0");
    // Without the camera hook no frame asks for Frame Generation; the constants stay finite.
    for (const auto& c : entriesNamed(o.journal, "slSetConstants"))
        for (double v : c.numbers("cameraFwd"))
            EXPECT_TRUE(std::isfinite(v));
}

// The Frame Generation modes sent, in journal order, with "resize" where the swap chain was resized.
std::vector<std::string> frameGenerationRoad(const Outcome& o)
{
    std::vector<std::string> road;
    for (const auto& e : o.journal) {
        if (e.name == "slDLSSGSetOptions")
            road.push_back(e.text("mode"));
        else if (e.name == "swapchain.ResizeBuffers")
            road.push_back("resize");
    }
    return road;
}

TEST(Bridge, BadFrameGenerationStatusKeepsItOffUntilTheNextContext)
{
    // The status is bad from the first evaluation; after its menu the game presents with Frame Generation
    // requested, and the second case creates its context again at the resize.
    struct Case {
        const wchar_t* name;
        const wchar_t* arguments;
        std::vector<std::string> road;
    };
    const Case cases[] = {
        {L"bad_fg_status_30", L"--frames 30 --resize-at 0 --render 64x64 --display 128x128", {"0"}},
        {L"bad_fg_status_resize",
         L"--frames 30 --resize-at 20 --resize-to 96x80 --render 64x64 --display 128x128",
         {"0", "resize", "0"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(narrow(c.name));
        Scenario s = scenario(c.name);
        s.folder.environment[L"SL_STANDIN_DLSSG_STATUS"] = L"16";
        const Outcome o = play(s, c.arguments);
        expectBridgedFrames(o, 30);
        EXPECT_EQ(o.run.boxes.size(), 1u) << o.run.output;
        // The first bad status of a context switches off (whatever the mode), nothing more until a new one.
        const std::vector<std::string> road = frameGenerationRoad(o);
        const auto resizes = static_cast<std::size_t>(std::count(c.road.begin(), c.road.end(), "resize"));
        EXPECT_EQ(o.count("slDLSSGSetOptions"), c.road.size() - resizes) << "option changes in 30 frames";
        EXPECT_EQ(road, c.road);
    }
}

TEST(Bridge, FrameGenerationIsOffWhileTheSwapChainIsResized)
{
    // Frames 4 and 5 are played (Frame Generation on); the resize comes at frame 6.
    const Outcome o = play(scenario(L"resize_with_fg"),
                           L"--frames 12 --resize-at 6 --resize-to 96x80 --render 64x64 --display 128x128");
    expectBridgedFrames(o, frames);
    EXPECT_EQ(o.run.value("resize_hr"), "0x00000000");
    const auto resizes = entriesNamed(o.journal, "swapchain.ResizeBuffers");
    ASSERT_EQ(resizes.size(), 1u);
    EXPECT_EQ(resizes[0].text("frameGeneration"), "0");
    const std::vector<std::string> road = frameGenerationRoad(o);
    const auto resize = std::find(road.begin(), road.end(), "resize");
    ASSERT_NE(resize, road.end());
    ASSERT_NE(resize, road.begin());
    EXPECT_EQ(*(resize - 1), "0") << "switched off just before the resize";
    ASSERT_NE(resize + 1, road.end());
    EXPECT_EQ(*(resize + 1), "1") << "and back on after it";
}

// A present made with DXGI_PRESENT_DO_NOT_WAIT is refused while the GPU is still drawing and made again: the
// refused one ends no frame. Every shown frame has one token and one set of present markers, and Frame
// Generation keeps the mode its request asked for.
TEST(Bridge, RefusedAndRetriedPresentsAreOneFrame)
{
    const Outcome o = play(scenario(L"still_drawing"),
                           L"--frames 30 --resize-at 0 --render 64x64 --display 128x128 --still-drawing 3");
    expectBridgedFrames(o, 30);
    EXPECT_EQ(o.run.value("still_drawing_layer"), "1");
    EXPECT_EQ(o.run.number("presents_still_drawing"), 10u);
    EXPECT_EQ(o.count("swapchain.Present", "result", "0x887a000a"), 10u);
    EXPECT_EQ(o.count("slGetNewFrameToken"), 32u) << "the first two, then one per shown frame";
    for (const char* marker : {"3", "4", "5", "6"})
        EXPECT_EQ(o.count("slReflexSetMarker", "marker", marker), 30u) << "marker " << marker;
    EXPECT_EQ(o.count("slReflexSleep"), 30u);
    // On once, in play: the refused presents and their retries switch nothing.
    EXPECT_EQ(frameGenerationRoad(o), (std::vector<std::string>{"1"}));
}

// DXGI's own Alt+Enter: the full-screen change comes without SetFullscreenState passing through the proxy,
// and the game resizes its buffers on the WM_SIZE that follows. Frame Generation is off around both. A game
// that asked DXGI to leave Alt+Enter alone gets no change, and no pause of Frame Generation either.
TEST(Bridge, AltEnterOfDxgiItselfKeepsEveryFrame)
{
    struct Case {
        const wchar_t* name;
        const wchar_t* gameOption;
        bool switchedByDxgi;
    };
    for (const Case& c :
         {Case{L"alt_enter", L"", true}, Case{L"alt_enter_game_owned", L" --no-dxgi-alt-enter", false}}) {
        SCOPED_TRACE(narrow(c.name));
        const Outcome o = play(scenario(c.name),
                               std::wstring(L"--frames 30 --resize-at 0 --render 320x256 --display 640x512 "
                                            L"--alt-enter 10") +
                                   c.gameOption);
        expectBridgedFrames(o, 30);
        EXPECT_EQ(o.run.value("fullscreen_after_alt_enter"), c.switchedByDxgi ? "1" : "0");
        EXPECT_EQ(o.run.number("window_resizes"), c.switchedByDxgi ? 1u : 0u);
        EXPECT_EQ(o.count("swapchain.fullscreenChanged"), c.switchedByDxgi ? 1u : 0u);
        EXPECT_EQ(o.count("swapchain.fullscreenChanged", "refused", "frame-generation-on"), 0u);
        const auto resizes = entriesNamed(o.journal, "swapchain.ResizeBuffers");
        ASSERT_EQ(resizes.size(), c.switchedByDxgi ? 1u : 0u);
        for (const auto& resize : resizes)
            EXPECT_FALSE(resize.has("refused"));
        const auto presents = entriesNamed(o.journal, "swapchain.Present");
        ASSERT_FALSE(presents.empty());
        EXPECT_EQ(presents.back().text("frameGeneration"), "1") << "Frame Generation is back";
        if (!c.switchedByDxgi) {
            EXPECT_EQ(o.run.value("window_association_hr"), "0x00000000");
            EXPECT_EQ(frameGenerationRoad(o), (std::vector<std::string>{"1"}))
                << "no pause for a key DXGI ignores";
        }
    }
}

// DLSS history resets: the game asks for one on its first frame; the bridge adds one only where it starts
// or stops substituting unusable camera data.
TEST(Bridge, HistoryIsResetOnlyWhereTheGameOrTheCameraSubstitutionAsks)
{
    struct Case {
        const wchar_t* name;
        const std::wstring* game;
        std::size_t resets;
    };
    const Case cases[] = {{L"resets_layout", &layoutGame, 1}, {L"resets_plain", &plainGame, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(narrow(c.name));
        const Outcome o =
            play(scenario(c.name), L"--frames 30 --resize-at 0 --render 64x64 --display 128x128", *c.game);
        expectBridgedFrames(o, 30);
        EXPECT_EQ(o.count("slSetConstants", "reset", "1"), c.resets) << "resets in 30 frames";
        const auto constants = entriesNamed(o.journal, "slSetConstants");
        ASSERT_FALSE(constants.empty());
        EXPECT_EQ(constants[0].text("reset"), "1");
    }
}

// A later build of the game moved its camera function: the hook's position now lies inside it. The guard
// leaves the camera hook out (and says why in the log), DLSS still replaces FSR2, and every frame's camera
// is the neutral one: the game's function never ran through the hook.
TEST(Bridge, AnotherGameBuildKeepsItsCameraFunction)
{
    const Outcome o = play(scenario(L"other_build"), gameArguments, otherBuildGame);
    expectBridgedFrames(o, frames);
    EXPECT_EQ(o.run.value("layout"), "1") << "the game's data is in place for a hook to read";
    EXPECT_EQ(o.run.number("internal_calls"), frames);
    const auto constants = entriesNamed(o.journal, "slSetConstants");
    ASSERT_EQ(constants.size(), frames);
    const std::vector<double> identity = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    for (std::uint32_t frame = 0; frame < frames; ++frame) {
        SCOPED_TRACE(frame);
        EXPECT_EQ(constants[frame].numbers("cameraRight"), (std::vector<double>{1, 0, 0}));
        EXPECT_EQ(constants[frame].numbers("cameraUp"), (std::vector<double>{0, 1, 0}));
        EXPECT_EQ(constants[frame].numbers("cameraFwd"), (std::vector<double>{0, 0, 1}));
        EXPECT_EQ(constants[frame].numbers("cameraViewToClip"), identity);
    }
    EXPECT_EQ(o.count("slDLSSGSetOptions", "mode", "1"), 0u) << "no camera call asked for Frame Generation";
    const std::string log = o.run.file(L"fsr2bridge.log");
    EXPECT_NE(log.find("camera hook skipped: +0x33E4D68 lies inside the function at +0x33E4D60.."),
              std::string::npos)
        << log;
}

// The build the hook knows: the guard finds the function in the game's function table.
TEST(Bridge, TheKnownGameBuildGetsTheCameraHook)
{
    const Outcome o = play(scenario(L"known_build"));
    expectBridgedFrames(o, frames);
    const std::string log = o.run.file(L"fsr2bridge.log");
    EXPECT_NE(
        log.find("camera hook allowed: the game's function table has a function beginning at +0x33E4D68"),
        std::string::npos)
        << log;
}

// A binary PPM's size and RGB bytes; width 0 when it is not one.
struct Picture {
    unsigned width = 0, height = 0;
    std::string rgb;
    std::string pixel(unsigned x, unsigned y) const { return rgb.substr((y * width + x) * 3, 3); }
};

Picture readPpm(const std::string& bytes)
{
    Picture p;
    unsigned maxValue = 0;
    int consumed = 0;
    if (std::sscanf(bytes.c_str(), "P6 %u %u %u%n", &p.width, &p.height, &maxValue, &consumed) != 3 ||
        maxValue != 255 || bytes.size() != consumed + 1 + std::size_t{p.width} * p.height * 3)
        return {};
    p.rgb = bytes.substr(static_cast<std::size_t>(consumed) + 1);
    return p;
}

// What the demo shows: the presented frame is the render-resolution input scaled to the display (the
// stand-in's DLSS evaluation, then its NIS copy), every output pixel the input pixel under its centre.
TEST(Bridge, PresentsTheInputScaledToTheDisplay)
{
    const Outcome o =
        play(scenario(L"scaled_image"), gameArguments + L" --image out.ppm --input-image in.ppm");
    expectBridgedFrames(o, frames);
    ASSERT_EQ(o.run.value("image_written"), "1");
    ASSERT_EQ(o.run.value("input_image_written"), "1");
    const Picture input = readPpm(o.run.file(L"in.ppm"));
    const Picture output = readPpm(o.run.file(L"out.ppm"));
    ASSERT_EQ(input.width, 64u);
    ASSERT_EQ(input.height, 64u);
    ASSERT_EQ(output.width, 128u);
    ASSERT_EQ(output.height, 128u);
    const auto evaluations = entriesNamed(o.journal, "slEvaluateFeature");
    ASSERT_FALSE(evaluations.empty());
    EXPECT_EQ(evaluations.back().text("work"), "copy") << "NIS: display size to display size";
    EXPECT_EQ(evaluations[evaluations.size() - 2].text("work"), "scale");
    EXPECT_EQ(evaluations[evaluations.size() - 2].text("from"), "64,64");
    EXPECT_EQ(evaluations[evaluations.size() - 2].text("to"), "128,128");
    unsigned wrong = 0;
    for (unsigned y = 0; y < 128; ++y)
        for (unsigned x = 0; x < 128; ++x)
            wrong += output.pixel(x, y) != input.pixel((2 * x + 1) * 64 / 256, (2 * y + 1) * 64 / 256);
    EXPECT_EQ(wrong, 0u);
    // A picture worth scaling: more than a handful of colours.
    std::set<std::string> colours;
    for (unsigned i = 0; i < 64u * 64u; ++i)
        colours.insert(input.rgb.substr(i * 3, 3));
    EXPECT_GE(colours.size(), 8u);
}

} // namespace
