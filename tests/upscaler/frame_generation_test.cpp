#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testbed/world/box_catcher.h"
#include "tests/upscaler/upscaler_world.h"
#include "upscaler/frame_generation.h"

using namespace fsr2bridge;
using namespace upscalertest;
using testsupport::Entry;
using testsupport::FakeStreamline;

namespace {

const std::wstring prefix = L"Got invalid DLSSG status while evaluating DLSS! Failed Status: ";

class FrameGeneration : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake = &testsupport::installFakeStreamline();
        useSettings(testSettings(true, false));
        frameGenerationOptions().mode = sl::DLSSGMode::eOff;
        forgetReportedFrameGenerationStatuses();
    }
    std::vector<std::uint32_t> sentModes() const
    {
        std::vector<std::uint32_t> modes;
        for (const auto& o : fake->dlssgOptions) {
            modes.push_back(static_cast<std::uint32_t>(o.mode));
        }
        return modes;
    }
    FakeStreamline* fake = nullptr;
};

} // namespace

TEST_F(FrameGeneration, OptionsAreSentOncePerChangeOfMode)
{
    struct Case {
        bool enabled;
        std::vector<std::uint32_t> requested;
        std::vector<std::uint32_t> sent;
    };
    const Case cases[] = {
        {true, {1, 1, 0, 0, 1}, {1, 0, 1}},
        {true, {0, 0}, {}},
        {false, {1, 0, 1}, {}},
    };
    for (const Case& c : cases) {
        fake->clearLog();
        frameGenerationOptions().mode = sl::DLSSGMode::eOff;
        useSettings(testSettings(c.enabled, false));
        for (std::uint32_t mode : c.requested) {
            EXPECT_TRUE(setFrameGenerationMode(mode));
            EXPECT_EQ(static_cast<std::uint32_t>(frameGenerationOptions().mode), mode)
                << "the stored mode follows";
        }
        EXPECT_EQ(sentModes(), c.sent);
    }
}

TEST_F(FrameGeneration, FailedSendIsReportedAndNotRepeated)
{
    fake->answer(Entry::slDLSSGSetOptions, sl::Result::eErrorIO);
    EXPECT_FALSE(setFrameGenerationMode(1));
    EXPECT_TRUE(setFrameGenerationMode(1));
    EXPECT_EQ(fake->count(Entry::slDLSSGSetOptions), 1u);

    fake->remove(Entry::slDLSSGSetOptions);
    EXPECT_FALSE(setFrameGenerationMode(0)) << "a missing entry point fails the switch";
}

TEST_F(FrameGeneration, HealthyStatusShowsNothingAndSendsNothing)
{
    testworld::BoxCatcher boxes;
    frameGenerationOptions().mode = sl::DLSSGMode::eOn;
    EXPECT_TRUE(checkFrameGenerationHealth());
    EXPECT_TRUE(boxes.boxes().empty());
    EXPECT_EQ(fake->calls(), std::vector<std::string>{"slDLSSGGetState"});
    EXPECT_EQ(static_cast<std::uint32_t>(frameGenerationOptions().mode), 1u);
}

TEST_F(FrameGeneration, BadStatusIsShownOncePerValueAndSwitchesOff)
{
    testworld::BoxCatcher boxes;
    struct Step {
        std::uint32_t status;
        bool boxShown;
    };
    const Step steps[] = {{4, true}, {4, false}, {16, true}, {4, false}, {16, false}, {1, true}};
    for (const Step& s : steps) {
        boxes.clear();
        fake->dlssgStatus = s.status;
        frameGenerationOptions().mode = sl::DLSSGMode::eOn;
        const std::size_t sendsBefore = fake->dlssgOptions.size();
        EXPECT_TRUE(checkFrameGenerationHealth()) << s.status;
        const auto shown = boxes.boxes();
        ASSERT_EQ(shown.size(), s.boxShown ? 1u : 0u) << "status " << s.status;
        if (s.boxShown) {
            EXPECT_EQ(shown[0].caption, L"DLSS-G Error occured");
            EXPECT_EQ(shown[0].text, prefix + std::to_wstring(s.status));
        }
        ASSERT_EQ(fake->dlssgOptions.size(), sendsBefore + 1) << "switching off is always sent";
        EXPECT_EQ(static_cast<std::uint32_t>(fake->dlssgOptions.back().mode), 0u);
    }
}

TEST_F(FrameGeneration, HealthCheckFailures)
{
    testworld::BoxCatcher boxes;
    fake->answer(Entry::slDLSSGGetState, sl::Result{2});
    EXPECT_FALSE(checkFrameGenerationHealth());
    EXPECT_EQ(fake->count(Entry::slDLSSGSetOptions), 0u);

    fake->answer(Entry::slDLSSGGetState, sl::Result::eOk);
    fake->dlssgStatus = 8;
    fake->answer(Entry::slDLSSGSetOptions, sl::Result{3});
    EXPECT_FALSE(checkFrameGenerationHealth()) << "a refused switch-off fails the check";
    EXPECT_EQ(boxes.boxes().size(), 1u);
}

TEST(FrameGenerationMessage, PrefixAndDecimalStatus)
{
    struct Case {
        std::uint32_t status;
        std::wstring digits;
    };
    for (const Case& c :
         {Case{4, L"4"}, Case{0x10, L"16"}, Case{0, L"0"}, Case{4294967295u, L"4294967295"}}) {
        wchar_t text[128];
        const std::size_t length = formatFrameGenerationStatusMessage(c.status, text, 128);
        EXPECT_EQ(std::wstring(text, length), prefix + c.digits);
    }
    EXPECT_EQ(prefix.size(), 63u);
    wchar_t tiny[8];
    EXPECT_EQ(formatFrameGenerationStatusMessage(4, tiny, 8), 0u) << "a short buffer is refused, not overrun";
}
