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
        {"held by none", 3, 1000, 300, 3},
        {"configured mode unknown to Streamline", 5, 640, 360, 5},
        {"off stays off", 0, 853, 480, 0},
        {"larger than the output", 1, 1400, 800, 1},
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

TEST(DlssModeFit, DlaaOnlyWhenStreamlineKnowsIt)
{
    DlssModeRanges r = ranges();
    r.modes[6].known = false;
    r.modes[5] = {true, 1000, 560, 853, 480, 1280, 720};
    EXPECT_EQ(fitDlssMode(sl::DLSSMode::eMaxPerformance, r, 1280, 720), sl::DLSSMode::eUltraQuality);
}

} // namespace
