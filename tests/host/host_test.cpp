// The stand-in game's own pieces: its command line, its report lines and the
// memory layout that a reader following the fixed offsets must find.
#include "testbed/host/host_layout.h"
#include "testbed/host/host_options.h"
#include "testbed/host/host_report.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

using namespace hostgame;

namespace {

struct OptionCase {
    std::vector<std::wstring> arguments;
    bool ok;
    std::uint32_t frames;
    Size render;
    Size display;
    std::uint32_t flags;
    std::uint32_t resizeAt;
};

TEST(HostOptions, ParsesOrRejects)
{
    const OptionCase cases[] = {
        {{}, true, 120, {640, 360}, {1280, 720}, 0, 60},
        {{L"--frames", L"10"}, true, 10, {640, 360}, {1280, 720}, 0, 0}, // resize beyond the run is dropped
        {{L"--frames", L"100", L"--resize-at", L"7"}, true, 100, {640, 360}, {1280, 720}, 0, 7},
        {{L"--render", L"320x200", L"--display", L"640x400"}, true, 120, {320, 200}, {640, 400}, 0, 60},
        {{L"--depth-inverted", L"--jitter-cancellation", L"--display-mvs"},
         true,
         120,
         {640, 360},
         {1280, 720},
         0xE,
         60},
        {{L"--flags", L"21"}, true, 120, {640, 360}, {1280, 720}, 0x21, 60},
        {{L"--frames"}, false, 0, {}, {}, 0, 0},
        {{L"--frames", L"0"}, false, 0, {}, {}, 0, 0},
        {{L"--frames", L"-3"}, false, 0, {}, {}, 0, 0},
        {{L"--frames", L"12abc"}, false, 0, {}, {}, 0, 0},
        {{L"--frames", L"99999999999"}, false, 0, {}, {}, 0, 0},
        {{L"--render", L"320"}, false, 0, {}, {}, 0, 0},
        {{L"--render", L"4x4"}, false, 0, {}, {}, 0, 0},
        {{L"--display", L"x720"}, false, 0, {}, {}, 0, 0},
        {{L"--bridge"}, false, 0, {}, {}, 0, 0},
        {{L"--on-device-lost", L"retry"}, false, 0, {}, {}, 0, 0},
        {{L"--adapter", L"first"}, false, 0, {}, {}, 0, 0},
        {{L"--what"}, false, 0, {}, {}, 0, 0},
        {{L"--boot-ms", L"-1"}, false, 0, {}, {}, 0, 0},
        {{L"--overlay", L":after"}, false, 0, {}, {}, 0, 0},
        {{L"--format", L"rgb565"}, false, 0, {}, {}, 0, 0},
        {{L"--format-at", L"15"}, false, 0, {}, {}, 0, 0},
        {{L"--format-at", L"x:rgba8"}, false, 0, {}, {}, 0, 0},
        {{L"--fsr2-off", L"10"}, false, 0, {}, {}, 0, 0},
        {{L"--fsr2-off", L"19:10"}, false, 0, {}, {}, 0, 0},
    };
    for (const auto& c : cases) {
        const ParseResult r = parseOptions(c.arguments);
        SCOPED_TRACE(c.arguments.empty() ? std::string("(none)") : escapeText(c.arguments[0]));
        EXPECT_EQ(r.error.empty(), c.ok) << r.error;
        if (!c.ok || !r.error.empty())
            continue;
        EXPECT_EQ(r.options.frames, c.frames);
        EXPECT_EQ(r.options.renderSize.width, c.render.width);
        EXPECT_EQ(r.options.renderSize.height, c.render.height);
        EXPECT_EQ(r.options.displaySize.width, c.display.width);
        EXPECT_EQ(r.options.displaySize.height, c.display.height);
        EXPECT_EQ(r.options.fsr2Flags, c.flags);
        EXPECT_EQ(r.options.resizeAtFrame, c.resizeAt);
    }
}

TEST(HostOptions, BridgeAndImagePaths)
{
    EXPECT_EQ(parseOptions({}).options.bridgePath, L"fsr2bridge.dll");
    EXPECT_TRUE(parseOptions({L"--no-bridge"}).options.bridgePath.empty());
    EXPECT_EQ(parseOptions({L"--bridge", L"C:\\a b\\x.dll"}).options.bridgePath, L"C:\\a b\\x.dll");
    EXPECT_EQ(parseOptions({L"--image", L"out.ppm"}).options.imagePath, L"out.ppm");
    EXPECT_EQ(parseOptions({L"--input-image", L"in.ppm"}).options.inputImagePath, L"in.ppm");
    EXPECT_TRUE(parseOptions({L"--input-image", L"in.ppm"}).options.imagePath.empty());
    EXPECT_FALSE(parseOptions({L"--input-image"}).error.empty());
    EXPECT_EQ(parseOptions({L"--ping-every", L"30"}).options.pingEvery, 30u);
    EXPECT_EQ(parseOptions({L"--boot-ms", L"500"}).options.bootMs, 500u);
    EXPECT_EQ(parseOptions({L"--frames", L"9", L"--recreate-at", L"4"}).options.recreateAtFrame, 4u);
    EXPECT_EQ(parseOptions({L"--frames", L"9", L"--recreate-at", L"9"}).options.recreateAtFrame, 0u)
        << "a recreation beyond the run is dropped";
    EXPECT_FALSE(parseOptions({L"--recreate-at"}).error.empty());
    EXPECT_FALSE(parseOptions({L"--ping-every", L"x"}).error.empty());
    // The placement after the last colon; a drive's colon stays in the path.
    const GameOptions before = parseOptions({L"--overlay", L"Z:\\o\\overlay.dll:before"}).options;
    EXPECT_EQ(before.overlayPath, L"Z:\\o\\overlay.dll");
    EXPECT_TRUE(before.overlayBeforeBridge);
    const GameOptions unplaced = parseOptions({L"--overlay", L"Z:\\overlay.dll"}).options;
    EXPECT_EQ(unplaced.overlayPath, L"Z:\\overlay.dll");
    EXPECT_FALSE(unplaced.overlayBeforeBridge);
}

TEST(HostOptions, ScenarioSwitches)
{
    const GameOptions mask = parseOptions({L"--mask-frames", L"5"}).options;
    EXPECT_EQ(mask.maskFrames, 5u);
    EXPECT_TRUE(mask.transparencyMask) << "a mask for some frames is a mask";
    EXPECT_FALSE(parseOptions({L"--mask-frames", L"0"}).error.empty());
    EXPECT_FALSE(parseOptions({L"--mask-frames"}).error.empty());
    const GameOptions all =
        parseOptions({L"--second-context", L"--render-ahead", L"--second-device"}).options;
    EXPECT_TRUE(all.secondContext);
    EXPECT_TRUE(all.renderAhead);
    EXPECT_TRUE(all.secondDevice);
    const GameOptions none = parseOptions({}).options;
    EXPECT_FALSE(none.secondContext || none.renderAhead || none.secondDevice);
    EXPECT_EQ(none.maskFrames, 0u);
    EXPECT_EQ(none.format, PresentFormat::rgba8);
    EXPECT_GT(none.fsr2OffFrom, none.fsr2OffTo) << "no frame without FSR2";
    const GameOptions hdr =
        parseOptions({L"--format", L"rgb10a2", L"--format-at", L"15:rgba16f", L"--fsr2-off", L"10:19"})
            .options;
    EXPECT_TRUE(hdr.format == PresentFormat::rgb10a2 && hdr.formatAtFrame == 15u &&
                hdr.formatTo == PresentFormat::rgba16f && hdr.fsr2OffFrom == 10u && hdr.fsr2OffTo == 19u);
}

TEST(HostReport, EscapesEveryBoxTextUnambiguously)
{
    const std::pair<std::wstring, std::string> cases[] = {
        {L"plain", "plain"}, {L"line\n", "line\\n"},       {L"say \"hi\"", "say \\\"hi\\\""},
        {L"a\\b", "a\\\\b"}, {L"\r\t\x01", "\\r\\t\\x01"}, {L"\u00e9", "\\u00E9"},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(escapeText(text), expected);
}

TEST(HostReport, KeepsFirstOrderAndOverwritesValues)
{
    Report report;
    report.set("a", 1);
    report.setHex("b", 0x8000FFFFu);
    report.set("a", 2);
    report.addBox(L"An error occured!", L"text\n");
    EXPECT_EQ(report.format(),
              "game: a=2\ngame: b=0x8000FFFF\nbox: caption=\"An error occured!\" text=\"text\\n\"\n");
}

// A fake image: the three fixed pointer slots in reserved memory of the
// game's image size, committed only where they are.
class FakeImage {
public:
    FakeImage()
    {
        base_ = static_cast<std::uint8_t*>(VirtualAlloc(nullptr, 0x5906000, MEM_RESERVE, PAGE_NOACCESS));
        for (std::uintptr_t rva : {world1SlotRva, world2SlotRva, gameStateSlotRva})
            VirtualAlloc(base_ + (rva & ~std::uintptr_t(0xFFF)), 0x1000, MEM_COMMIT, PAGE_READWRITE);
    }
    ~FakeImage() { VirtualFree(base_, 0, MEM_RELEASE); }
    void place(HostWorld& world)
    {
        void* w1 = world.world1();
        void* w2 = world.world2();
        void* g = world.gameState();
        std::memcpy(base_ + world1SlotRva, &w1, 8);
        std::memcpy(base_ + world2SlotRva, &w2, 8);
        std::memcpy(base_ + gameStateSlotRva, &g, 8);
    }
    const std::uint8_t* base() const { return base_; }

private:
    std::uint8_t* base_ = nullptr;
};

TEST(HostLayout, ReaderFollowingTheOffsetsFindsTheActiveCamera)
{
    FakeImage image;
    ASSERT_NE(image.base(), nullptr);
    auto world = std::make_unique<HostWorld>();
    image.place(*world);
    for (std::uint32_t frame : {0u, 1u, 17u, 250u}) {
        const CameraPose pose = cameraForFrame(frame, 16.0f / 9.0f, 1.0f, 0.1f, 1000.0f);
        world->setCamera(pose);
        world->setMenuOpen(frame % 2 == 1);
        const LayoutReading r = readLayout(image.base(), world->argument());
        SCOPED_TRACE(frame);
        EXPECT_EQ(std::memcmp(r.basis.right, pose.right, 12), 0);
        EXPECT_EQ(std::memcmp(r.basis.up, pose.up, 12), 0);
        EXPECT_EQ(std::memcmp(r.basis.forward, pose.forward, 12), 0);
        EXPECT_EQ(std::memcmp(r.frustum.extents, pose.frustum, 24), 0);
        EXPECT_EQ(r.frameGenerationWanted, frame % 2 == 0);
    }
}

TEST(HostLayout, CameraMovesAndStaysAnOrthogonalBasis)
{
    const CameraPose a = cameraForFrame(10, 1.5f, 1.0f, 0.1f, 1000.0f);
    const CameraPose b = cameraForFrame(11, 1.5f, 1.0f, 0.1f, 1000.0f);
    EXPECT_NE(std::memcmp(a.forward, b.forward, 12), 0);
    for (const CameraPose& p : {a, b}) {
        const float dotRF = p.right[0] * p.forward[0] + p.right[1] * p.forward[1] + p.right[2] * p.forward[2];
        const float lenF = std::sqrt(p.forward[0] * p.forward[0] + p.forward[1] * p.forward[1] +
                                     p.forward[2] * p.forward[2]);
        const float lenU = std::sqrt(p.up[0] * p.up[0] + p.up[1] * p.up[1] + p.up[2] * p.up[2]);
        EXPECT_NEAR(dotRF, 0.0f, 1e-6f);
        EXPECT_NEAR(lenF, 2.0f, 1e-5f);
        EXPECT_NEAR(lenU, 1.0f, 1e-5f);
        // symmetric frustum with the requested aspect
        EXPECT_FLOAT_EQ(p.frustum[0], -p.frustum[1]);
        EXPECT_FLOAT_EQ(p.frustum[1] / p.frustum[2], 1.5f);
        EXPECT_FLOAT_EQ(p.frustum[4], 0.1f);
        EXPECT_FLOAT_EQ(p.frustum[5], 1000.0f);
    }
}

TEST(HostLayout, OnlyTheLayoutBuildHasIt)
{
    EXPECT_FALSE(imageHasLayout(GetModuleHandleW(nullptr)));
    EXPECT_FALSE(imageHasLayout(nullptr));
}

} // namespace
