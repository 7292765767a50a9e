#include "streamline/reflex.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hooking/MinHook.h"
#include "standin_world.h"
#include "streamline/loader.h"
#include "streamline/streamline_api.h"
#include "testbed/streamline/journal.h"

namespace {

using namespace fsr2bridge;
using namespace fsr2bridge::testing;

TEST(ReflexFrameLimit, SinglePrecisionRule)
{
    const std::pair<std::uint32_t, std::uint32_t> cases[] = {
        {0, 0},       {1, 1000000}, {60, 16666},  {144, 6944},  {625, 1599},
        {1000, 1000}, {5000, 199},  {1000000, 1}, {1000001, 0}, {0xFFFFFFFFu, 0},
    };
    for (const auto& [cap, limit] : cases) {
        EXPECT_EQ(reflexFrameLimitUs(cap), limit) << cap;
    }
}

TEST(ReflexFrameLimit, OptionsRecord)
{
    const sl::ReflexOptions o = reflexOptions(2, 144);
    EXPECT_EQ(o.next, nullptr);
    EXPECT_TRUE(o.structType == sl::kReflexOptionsType);
    EXPECT_EQ(o.structVersion, 1u);
    EXPECT_EQ(o.mode, sl::ReflexMode::eLowLatencyWithBoost);
    EXPECT_EQ(o.frameLimitUs, 6944u);
    EXPECT_TRUE(o.useMarkersToOptimize);
    EXPECT_EQ(o.virtualKey, 0);
    EXPECT_EQ(o.idThread, 0u);
}

// One process-wide scenario: the Reflex state lives for the whole process.
class ReflexScenario : public ::testing::Test {
protected:
    std::wstring dir;
    std::string journal;
    HWND window = nullptr;
    UINT ping = 0;

    void SetUp() override
    {
        dir = freshDirectory(L"reflex_world");
        ASSERT_TRUE(placeInterposer(dir, standinFile("signed/sl.interposer.dll")));
        const std::wstring journalPath = dir + L"\\journal.txt";
        journal = narrow(journalPath);
        SetEnvironmentVariableW(L"SL_STANDIN_JOURNAL", journalPath.c_str());
        SetEnvironmentVariableW(L"SL_STANDIN_FAIL", nullptr);
        ASSERT_TRUE(SetCurrentDirectoryW(dir.c_str()));
        ASSERT_EQ(MH_Initialize(), MH_OK);
        ASSERT_TRUE(loadStreamline());
        ping = RegisterWindowMessageW(L"SL_STANDIN_PCL_PING");
        window =
            CreateWindowExW(0, L"STATIC", L"reflex", 0, 0, 0, 16, 16, nullptr, nullptr, nullptr, nullptr);
        ASSERT_NE(window, nullptr);
    }

    void script(const char* fail)
    {
        SetEnvironmentVariableA("SL_STANDIN_FAIL", fail);
        auto* reload = exportedFunction<void()>(streamlineApi.interposerModule, "slStandinReload");
        ASSERT_NE(reload, nullptr);
        reload();
    }

    // "marker:token" of every slReflexSetMarker, "sleep:token" of every slReflexSleep, from entry `from` on.
    std::vector<std::string> calls(std::size_t& from)
    {
        const auto entries = standin::readJournal(journal);
        std::vector<std::string> out;
        for (std::size_t i = from; i < entries.size(); ++i) {
            const auto& e = entries[i];
            if (e.name == "slReflexSetMarker") {
                out.push_back(e.text("marker") + ":" + e.text("token"));
            } else if (e.name == "slReflexSleep") {
                out.push_back("sleep:" + e.text("token"));
            } else if (e.name == "slGetNewFrameToken") {
                out.push_back("token:" + e.text("token") + (e.integer("result") == 0 ? "" : "!"));
            }
        }
        from = entries.size();
        return out;
    }

    // Posts `id` and retrieves it with PeekMessageA; returns what PeekMessageA returned.
    BOOL postAndPeek(UINT id, UINT remove = PM_REMOVE)
    {
        PostMessageW(window, id, 0, 0);
        MSG message = {};
        const BOOL got = PeekMessageA(&message, window, id, id, remove);
        EXPECT_TRUE(!got || message.message == id);
        return got;
    }

    void setSettings(bool sleep, std::uint32_t cap, ReflexMode mode)
    {
        Settings s = settingsStore()->snapshot();
        s.enableReflexSleep = sleep;
        s.reflexFpsCap = cap;
        s.reflexMode = mode;
        settingsStore()->replace(s);
    }
};

using V = std::vector<std::string>;

TEST_F(ReflexScenario, TokensMarkersSleepAndPing)
{
    std::size_t cursor = 0;
    calls(cursor);

    // Before start-up: no tokens, silent markers and sleep, advancing fails.
    EXPECT_TRUE(sendReflexMarker(sl::ReflexMarker::eRenderSubmitEnd));
    EXPECT_TRUE(reflexSleep());
    EXPECT_FALSE(advanceFrameToken());
    EXPECT_EQ(currentFrameToken(), nullptr);
    EXPECT_EQ(calls(cursor), V{});

    // Start-up whose token fetch fails: Reflex runs (tokens are Streamline's, not Reflex's), but with no
    // token yet no marker and no ping is sent.
    setSettings(true, 144, ReflexMode::LowLatency);
    script("slGetNewFrameToken");
    EXPECT_TRUE(startReflex(settingsStore()));
    EXPECT_TRUE(reflexRunning());
    auto entries = standin::readJournal(journal);
    const auto options = standin::entriesNamed(entries, "slReflexSetOptions");
    ASSERT_EQ(options.size(), 1u);
    EXPECT_EQ(options[0].integer("mode"), 1);
    EXPECT_EQ(options[0].integer("frameLimitUs"), 6944);
    EXPECT_EQ(options[0].integer("useMarkersToOptimize"), 1);
    // The records as Streamline reads them: identifier and version from the header bytes.
    EXPECT_EQ(options[0].text("type"), "{F03AF81A-6D0B-4902-A651-C4965E215434}");
    EXPECT_EQ(options[0].integer("version"), 1);
    const auto states = standin::entriesNamed(entries, "slReflexGetState");
    ASSERT_EQ(states.size(), 1u);
    EXPECT_EQ(states[0].text("type"), "{F0BB5985-DAF9-4728-B2FD-AE80A2BD7989}");
    EXPECT_EQ(states[0].integer("version"), 1);
    EXPECT_EQ(calls(cursor), V{"token:!"} /* scripted failure */);
    EXPECT_TRUE(postAndPeek(ping));
    EXPECT_EQ(calls(cursor), V{});

    // Tokens arrive: the first advance fetches two.
    script("");
    ASSERT_TRUE(advanceFrameToken());
    V fetched = calls(cursor);
    ASSERT_EQ(fetched.size(), 2u);
    const std::string first = fetched[0].substr(6), second = fetched[1].substr(6);
    EXPECT_NE(first, second);

    // Ping: answered with nextFrameToken, on every retrieval, also when only peeking.
    EXPECT_TRUE(postAndPeek(ping, PM_NOREMOVE));
    EXPECT_TRUE(postAndPeek(ping, PM_REMOVE));
    EXPECT_EQ(calls(cursor), (V{"8:" + second, "8:" + second}));
    MSG leftover;
    while (PeekMessageW(&leftover, window, 0, 0, PM_REMOVE)) {
    }
    calls(cursor);
    // Another message and an empty queue: no ping.
    EXPECT_TRUE(postAndPeek(WM_USER + 7));
    MSG none = {};
    EXPECT_FALSE(PeekMessageA(&none, window, ping, ping, PM_REMOVE));
    EXPECT_EQ(calls(cursor), V{});

    // One present as the swap chain drives it.
    sendReflexMarker(sl::ReflexMarker::eRenderSubmitEnd);
    sendReflexMarker(sl::ReflexMarker::ePresentStart);
    sendReflexMarker(sl::ReflexMarker::ePresentEnd);
    ASSERT_TRUE(advanceFrameToken());
    EXPECT_TRUE(reflexSleep());
    sendReflexMarker(sl::ReflexMarker::eInputSample);
    sendReflexMarker(sl::ReflexMarker::eSimulationStart);
    V present = calls(cursor);
    ASSERT_EQ(present.size(), 7u);
    const std::string third = present[3].substr(6);
    EXPECT_NE(third, second);
    // 3, 4, 5 carry the presented frame's token; the sleep, 6 and 0 the next one's.
    EXPECT_EQ(present, (V{"3:" + first, "4:" + first, "5:" + first, "token:" + third, "sleep:" + second,
                          "6:" + second, "0:" + second}));

    // Sleep switched off takes effect at once; markers still go out.
    setSettings(false, 144, ReflexMode::LowLatency);
    EXPECT_TRUE(reflexSleep());
    EXPECT_TRUE(sendReflexMarker(sl::ReflexMarker::eSimulationEnd));
    EXPECT_EQ(calls(cursor), V{"1:" + second});

    // A second start-up fails at the existing hook and leaves the tokens alone.
    sl::FrameToken* current = currentFrameToken();
    sl::FrameToken* next = nextFrameToken();
    EXPECT_FALSE(startReflex(settingsStore()));
    EXPECT_EQ(currentFrameToken(), current);
    EXPECT_EQ(nextFrameToken(), next);
}

} // namespace
