#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "streamline/reflex.h"
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
        resetFrameGenerationState(0);
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
        resetFrameGenerationState(0);
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
    resetFrameGenerationState(1);
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
    // Each step starts from a new context, which lifts the hold: every bad status switches it off again.
    const Step steps[] = {{4, true}, {4, false}, {16, true}, {4, false}, {16, false}, {1, true}};
    for (const Step& s : steps) {
        boxes.clear();
        fake->dlssgStatus = s.status;
        startFrameGeneration(64, 64, true);
        const std::size_t sendsBefore = fake->dlssgOptions.size();
        EXPECT_TRUE(checkFrameGenerationHealth()) << s.status;
        const auto shown = boxes.boxes();
        ASSERT_EQ(shown.size(), s.boxShown ? 1u : 0u) << "status " << s.status;
        if (s.boxShown) {
            EXPECT_EQ(shown[0].caption, L"DLSS-G Error occured");
            EXPECT_EQ(shown[0].text, prefix + std::to_wstring(s.status));
        }
        ASSERT_EQ(fake->dlssgOptions.size(), sendsBefore + 1) << "switching off is sent";
        EXPECT_EQ(static_cast<std::uint32_t>(fake->dlssgOptions.back().mode), 0u);
        EXPECT_TRUE(frameGenerationHeldOff());
    }
}

namespace {

// One thing that happens to Frame Generation, and the modes it sends (after each step). A present's frame is
// requested (value 1) or not, and its inputs tagged unless it is `untagged`; `fp16` presents FP16 buffers.
enum class Event { newContext, present, untagged, fp16, check, pause, resume };
struct Step {
    Event event;
    std::uint32_t value; // the request of a present, the status of a check, the render width of a context
    std::vector<std::uint32_t> sent;
};

std::vector<std::uint32_t> run(FakeStreamline& fake, const Step& step)
{
    fake.clearLog();
    const bool tagged = step.event != Event::untagged;
    switch (step.event) {
    case Event::newContext:
        startFrameGeneration(step.value != 0 ? step.value : 2560, 1440, true);
        break;
    case Event::present:
    case Event::untagged:
    case Event::fp16:
        // Tagged for this frame, or for another one.
        noteFrameInputsTagged(frameTokenAdvances() + (tagged ? 0 : 1));
        setFrameGenerationMode(
            PresentedFrame{step.value != 0 || step.event != Event::present, step.event != Event::fp16});
        break;
    case Event::check:
        fake.dlssgStatus = step.value;
        EXPECT_TRUE(checkFrameGenerationHealth());
        break;
    case Event::pause:
        pauseFrameGeneration();
        break;
    case Event::resume:
        resumeFrameGeneration();
        break;
    }
    std::vector<std::uint32_t> modes;
    for (const auto& o : fake.dlssgOptions) {
        modes.push_back(static_cast<std::uint32_t>(o.mode));
    }
    return modes;
}

} // namespace

// The presents decide: on only for a requested frame whose inputs were tagged and whose back buffers suit it.
// A bad status holds it off until the next context, which switches nothing itself; resizes switch it off for
// their duration and the next present decides again. A release that forgets the options gets them at every
// present while on.
TEST_F(FrameGeneration, SwitchesFollowTheWantedModeHoldsAndResizes)
{
    testworld::BoxCatcher boxes;
    using E = Event;
    struct Case {
        const char* name;
        std::vector<Step> steps;
        bool forgetsOptions = false;
    };
    const Case cases[] = {
        {"bad status until the next context",
         {{E::newContext, 0, {}},
          {E::present, 1, {1}},
          {E::check, 16, {0}},
          {E::present, 1, {}},
          {E::present, 0, {}},
          {E::present, 1, {}},
          {E::check, 16, {}},
          {E::check, 0, {}},
          {E::present, 0, {}},
          {E::newContext, 0, {}},
          {E::present, 1, {1}},
          {E::check, 16, {0}},
          {E::present, 1, {}}}},
        {"healthy presents switch",
         {{E::newContext, 0, {}},
          {E::check, 0, {}},
          {E::present, 0, {}},
          {E::present, 1, {1}},
          {E::present, 1, {}},
          {E::present, 0, {0}}}},
        {"a new context switches nothing; a new render size is sent while on",
         {{E::newContext, 0, {}},
          {E::present, 1, {1}},
          {E::newContext, 0, {}},
          {E::newContext, 1920, {1}},
          {E::present, 1, {}}}},
        {"resize while on",
         {{E::present, 1, {1}},
          {E::pause, 0, {0}},
          {E::present, 1, {}},
          {E::resume, 0, {}},
          {E::present, 1, {1}},
          {E::present, 1, {}}}},
        {"a menu after a resize stays off",
         {{E::present, 1, {1}},
          {E::pause, 0, {0}},
          {E::resume, 0, {}},
          {E::present, 0, {}},
          {E::present, 1, {1}}}},
        {"nested resizes and a present asking for off meanwhile",
         {{E::present, 1, {1}},
          {E::pause, 0, {0}},
          {E::pause, 0, {}},
          {E::resume, 0, {}},
          {E::present, 0, {}},
          {E::resume, 0, {}},
          {E::present, 1, {1}}}},
        {"resize while off",
         {{E::present, 0, {}}, {E::pause, 0, {}}, {E::resume, 0, {}}, {E::present, 0, {}}}},
        {"resize while held off",
         {{E::present, 1, {1}},
          {E::check, 4, {0}},
          {E::pause, 0, {}},
          {E::resume, 0, {}},
          {E::present, 1, {}}}},
        {"a new context during a resize waits for its end",
         {{E::present, 1, {1}},
          {E::pause, 0, {0}},
          {E::newContext, 0, {}},
          {E::resume, 0, {}},
          {E::present, 1, {1}}}},
        {"an unmatched resume is harmless",
         {{E::resume, 0, {}},
          {E::present, 1, {1}},
          {E::pause, 0, {0}},
          {E::resume, 0, {}},
          {E::present, 1, {1}}}},
        {"frames without FSR2",
         {{E::present, 1, {1}}, {E::untagged, 0, {0}}, {E::untagged, 0, {}}, {E::present, 1, {1}}}},
        {"FP16 back buffers",
         {{E::present, 1, {1}}, {E::fp16, 0, {0}}, {E::fp16, 0, {}}, {E::present, 1, {1}}}},
        {"options forgotten at every present",
         {{E::present, 1, {1}},
          {E::present, 1, {1}},
          {E::untagged, 0, {0}},
          {E::present, 0, {}},
          {E::present, 1, {1}},
          {E::present, 1, {1}}},
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        resetFrameGenerationState(0, c.forgetsOptions);
        for (std::size_t i = 0; i < c.steps.size(); ++i) {
            EXPECT_EQ(run(*fake, c.steps[i]), c.steps[i].sent) << "step " << i;
        }
    }
    EXPECT_EQ(boxes.boxes().size(), 2u) << "statuses 16 and 4, once each";
}

// A present or a dispatch that meets another thread's Frame Generation call does not wait for it: the present
// leaves its switch to the next present, the dispatch its status check to the next dispatch.
TEST_F(FrameGeneration, FramesNeverWaitForAnotherThreadsCall)
{
    struct Case {
        const char* name;
        Entry outer;                 // the call under way on the other thread
        std::size_t outerCall;       // which call of its kind, from 1
        std::function<bool()> start; // makes it
        std::function<bool()> frame; // what the frame on this thread does meanwhile, and again afterwards
        std::vector<std::string> calls;
    };
    const Case cases[] = {
        {"a present during the status check",
         Entry::slDLSSGGetState,
         1,
         [] { return checkFrameGenerationHealth(); },
         [] { return setFrameGenerationMode(1); },
         {"frame meanwhile", "slDLSSGGetState", "slDLSSGSetOptions 1"}},
        {"a dispatch's status check during a switch",
         Entry::slDLSSGSetOptions,
         1,
         [] { return setFrameGenerationMode(1); },
         [] { return checkFrameGenerationHealth(); },
         {"frame meanwhile", "slDLSSGSetOptions 1", "slDLSSGGetState"}},
        {"a present during a switch for a resize",
         Entry::slDLSSGSetOptions,
         2,
         [] { return setFrameGenerationMode(1) && pauseFrameGeneration() && resumeFrameGeneration(); },
         [] { return setFrameGenerationMode(1); },
         {"slDLSSGSetOptions 1", "frame meanwhile", "slDLSSGSetOptions 0", "slDLSSGSetOptions 1"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        resetFrameGenerationState(0);
        fake->clearLog();
        std::atomic<bool> meanwhile{false}, frameEnded{false};
        bool frameWaited = false;
        std::size_t outerCalls = 0;
        std::thread frame;
        const DWORD outerThread = GetCurrentThreadId();
        // The frame runs on a thread of its own while the other thread's call is under way (a call is logged
        // when it ends), and must come back without making a Frame Generation call of its own. A frame that
        // waits for the call would wait forever: it is given two seconds.
        fake->duringDlssgCall = [&](Entry entry) {
            if (GetCurrentThreadId() != outerThread || entry != c.outer || ++outerCalls != c.outerCall) {
                return;
            }
            frame = std::thread([&] {
                meanwhile = c.frame();
                frameEnded = true;
            });
            for (int waited = 0; !frameEnded && waited < 2000; ++waited) {
                Sleep(1);
            }
            frameWaited = !frameEnded;
            fake->note("frame meanwhile");
        };
        EXPECT_TRUE(c.start());
        if (frame.joinable()) {
            frame.join();
        }
        fake->duringDlssgCall = nullptr;
        ASSERT_FALSE(frameWaited) << "the frame waited for the other thread's call";
        EXPECT_TRUE(meanwhile) << "the frame succeeds";
        EXPECT_TRUE(c.frame()) << "and makes its call next time";
        EXPECT_EQ(fake->callsOf({Entry::slDLSSGSetOptions, Entry::slDLSSGGetState}), c.calls);
        EXPECT_EQ(fake->dlssgOverlaps, 0u);
    }
}

TEST_F(FrameGeneration, ResizesWithFrameGenerationDisabledSendNothing)
{
    useSettings(testSettings(false, false));
    resetFrameGenerationState(1);
    EXPECT_TRUE(pauseFrameGeneration());
    EXPECT_EQ(static_cast<std::uint32_t>(frameGenerationOptions().mode), 0u) << "the record follows";
    EXPECT_TRUE(resumeFrameGeneration());
    EXPECT_TRUE(setFrameGenerationMode(1));
    EXPECT_EQ(static_cast<std::uint32_t>(frameGenerationOptions().mode), 1u);
    EXPECT_EQ(fake->count(Entry::slDLSSGSetOptions), 0u);

    useSettings(testSettings(true, false));
    fake->answer(Entry::slDLSSGSetOptions, sl::Result::eErrorIO);
    EXPECT_FALSE(pauseFrameGeneration()) << "a refused switch is reported";
    EXPECT_TRUE(resumeFrameGeneration());
    EXPECT_FALSE(setFrameGenerationMode(1)) << "and the present's";
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
    EXPECT_TRUE(checkFrameGenerationHealth()) << "held off already: nothing more to send";
    EXPECT_EQ(fake->count(Entry::slDLSSGSetOptions), 1u);

    fake->remove(Entry::slDLSSGGetState);
    EXPECT_FALSE(checkFrameGenerationHealth()) << "a missing entry point fails the check";
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
