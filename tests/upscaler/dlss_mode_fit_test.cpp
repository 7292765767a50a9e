#include "upscaler/dlss_mode_fit.h"

#include <gtest/gtest.h>

using namespace fsr2bridge;

namespace {

// Ranges at 1280x720 with gaps and overlaps between the modes.
DlssModeRanges ranges()
{
    DlssModeRanges r{};
    r.outputWidth = 1280;
    r.outputHeight = 720;
    r.modes[1] = {true, 640, 360, 427, 240, 742, 418};    // MaxPerformance
    r.modes[2] = {true, 742, 418, 640, 360, 853, 480};    // Balanced
    r.modes[3] = {true, 853, 480, 742, 418, 985, 554};    // MaxQuality
    r.modes[4] = {true, 427, 240, 320, 180, 640, 360};    // UltraPerformance
    r.modes[5] = {false, 0, 0, 0, 0, 0, 0};               // UltraQuality: Streamline gave no answer
    r.modes[6] = {true, 1280, 720, 1100, 620, 1280, 720}; // DLAA
    return r;
}

TEST(DlssModeFit, TheConfiguredModeGivesWayOnlyWhenItsRangeMissesTheRenderSize)
{
    struct Case {
        const char* name;
        std::uint32_t configured;
        std::uint32_t width, height;
        std::uint32_t mode;
    };
    const Case cases[] = {
        {"configured holds it", 1, 640, 360, 1},
        {"configured holds it at its edge", 1, 742, 418, 1},
        {"FSR2 quality under the default", 1, 853, 480, 3},
        {"held by two: the closer optimal wins", 1, 760, 428, 2},
        {"render size equals the output", 3, 1280, 720, 6},
        {"held by one only", 3, 400, 225, 4},
        {"held by none: the nearest range", 1, 1000, 300, 3},
        {"below every range: the nearest", 1, 200, 100, 4},
        {"configured mode unknown to Streamline", 5, 640, 360, 5},
        {"off stays off", 0, 853, 480, 0},
        {"larger than the output: the nearest", 1, 1400, 800, 6},
        {"one axis in range only", 1, 853, 360, 2},
    };
    const DlssModeRanges r = ranges();
    for (const Case& c : cases) {
        EXPECT_EQ(static_cast<std::uint32_t>(
                      fitDlssMode(static_cast<sl::DLSSMode>(c.configured), r, c.width, c.height)),
                  c.mode)
            << c.name;
    }
}

TEST(DlssModeFit, RenderSizesNoModeTakesAreBelowOrAboveTheChosenRange)
{
    struct Case {
        const char* name;
        std::uint32_t mode, width, height;
        bool below, above;
        std::uint32_t limitWidth, limitHeight;
    };
    const Case cases[] = {
        {"held by a range", 4, 400, 225, false, false, 0, 0},
        {"below on one axis", 4, 400, 100, true, false, 320, 180},
        {"below on both", 4, 200, 100, true, false, 320, 180},
        {"above", 6, 1400, 800, false, true, 1280, 720},
        {"no range known for the mode", 5, 200, 100, false, false, 0, 0},
    };
    const DlssModeRanges r = ranges();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const RenderSizeOutside o =
            renderSizeOutside(r, static_cast<sl::DLSSMode>(c.mode), c.width, c.height);
        EXPECT_EQ(o.below, c.below);
        EXPECT_EQ(o.above, c.above);
        EXPECT_EQ(o.limitWidth, c.limitWidth);
        EXPECT_EQ(o.limitHeight, c.limitHeight);
    }
}

TEST(DlssModeFit, DlaaOnlyWhenStreamlineKnowsIt)
{
    DlssModeRanges r = ranges();
    r.modes[6].known = false;
    r.modes[5] = {true, 1000, 560, 853, 480, 1280, 720};
    EXPECT_EQ(fitDlssMode(sl::DLSSMode::eMaxPerformance, r, 1280, 720), sl::DLSSMode::eUltraQuality);
}

} // namespace
