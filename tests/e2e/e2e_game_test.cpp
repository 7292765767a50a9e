// The stand-in game on its own: the frame road without the bridge, each run
// its own process in its own folder.
#include "tests/e2e/game_run.h"

#include <gtest/gtest.h>

using namespace e2e;

namespace {

const std::wstring layoutGame = windowsPath(E2E_HOST_GAME);
const std::wstring plainGame = windowsPath(E2E_HOST_GAME_PLAIN);
const std::wstring runsDir = windowsPath(E2E_RUNS_DIR);

std::string escape(const wchar_t* text)
{
    std::string out;
    for (; *text; ++text)
        out.push_back(static_cast<char>(*text));
    return out;
}

GameFolder folderFor(const wchar_t* name)
{
    GameFolder folder;
    folder.path = runsDir + L"\\" + name;
    return folder;
}

struct AloneCase {
    const wchar_t* name;
    const std::wstring* game;
    const wchar_t* arguments;
    std::uint64_t frames;
    std::uint64_t internalCalls;
    std::uint64_t layout;
    std::uint64_t resizes;
};

TEST(GameAlone, ItsOwnFsr2PutsEveryFrameOnScreen)
{
    const AloneCase cases[] = {
        {L"alone_layout", &layoutGame, L"--no-bridge --frames 12 --resize-at 6", 12, 12, 1, 1},
        {L"alone_plain", &plainGame, L"--no-bridge --frames 8 --mask --qi-device", 8, 0, 0, 0},
        {L"alone_noresize", &layoutGame, L"--no-bridge --frames 5 --resize-at 0 --no-internal", 5, 0, 1, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "scenario " << escape(c.name));
        const GameRun run = runGame(folderFor(c.name), *c.game, c.arguments);
        EXPECT_EQ(run.exitCode, 0u) << run.output;
        EXPECT_EQ(run.number("frames_rendered"), c.frames);
        EXPECT_EQ(run.number("frames_presented"), c.frames);
        EXPECT_EQ(run.number("own_fsr2_dispatches"), c.frames);
        EXPECT_EQ(run.number("dispatch_failed"), 0u);
        EXPECT_EQ(run.number("internal_calls"), c.internalCalls);
        EXPECT_EQ(run.number("internal_mismatches"), 0u);
        EXPECT_EQ(run.number("layout"), c.layout);
        EXPECT_EQ(run.number("resizes"), c.resizes);
        EXPECT_EQ(run.number("context_creates"), c.resizes + 1);
        EXPECT_EQ(run.number("own_fsr2_destroys"), c.resizes + 1);
        EXPECT_EQ(run.number("boxes"), 0u);
        EXPECT_EQ(run.value("bridge_loaded"), "0");
    }
}

TEST(GameAlone, WritesTheLastPresentedFrame)
{
    const GameRun run = runGame(folderFor(L"alone_image"), layoutGame,
                                L"--no-bridge --frames 3 --render 64x32 --display 128x64 --image last.ppm");
    ASSERT_EQ(run.exitCode, 0u) << run.output;
    EXPECT_EQ(run.value("image_written"), "1");
    const std::string image = run.file(L"last.ppm");
    const std::string header = "P6\n128 64\n255\n";
    ASSERT_EQ(image.size(), header.size() + 128 * 64 * 3);
    EXPECT_EQ(image.substr(0, header.size()), header);
    // The rendered picture sits top left (sky at 0,0), the rest of the output is black.
    const auto pixel = [&](int x, int y) { return image.substr(header.size() + (y * 128 + x) * 3, 3); };
    EXPECT_NE(pixel(0, 0), std::string(3, '\0'));
    EXPECT_EQ(pixel(127, 63), std::string(3, '\0'));
}

TEST(GameAlone, RefusesBadArgumentsWithoutRunning)
{
    const GameRun run = runGame(folderFor(L"alone_badargs"), layoutGame, L"--frames zero");
    EXPECT_EQ(run.exitCode, 2u);
    EXPECT_TRUE(run.printed("bad or missing value for '--frames'"));
    EXPECT_TRUE(run.values.empty());
}

} // namespace
