// The once-per-process load as each asking thread sees it: the first claims it, its own nested asks are
// told so, others wait for the end (or give up after their wait), and afterwards everyone finds it done.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "entry/load_once.h"

namespace {

using fsr2bridge::LoadOnce;
using Turn = LoadOnce::Turn;

enum class Ask { claim, awaitEnd, finish };
enum class On { runner, other };

struct Step {
    On thread;
    Ask ask;
    Turn expected; // ignored for finish
};

// Runs the steps in order, each on the thread named (the other one on a thread of its own each time).
void play(LoadOnce& once, const std::vector<Step>& steps)
{
    for (std::size_t i = 0; i < steps.size(); ++i) {
        SCOPED_TRACE(i);
        const Step& s = steps[i];
        Turn got = Turn::notStarted;
        const auto ask = [&] {
            if (s.ask == Ask::claim)
                got = once.claim();
            else if (s.ask == Ask::awaitEnd)
                got = once.awaitEnd();
            else
                once.finish();
        };
        if (s.thread == On::runner)
            ask();
        else
            std::thread(ask).join();
        if (s.ask != Ask::finish) {
            EXPECT_EQ(got, s.expected);
        }
    }
}

TEST(LoadOnce, EachAskerLearnsItsTurn)
{
    struct Case {
        const char* name;
        std::vector<Step> steps;
    };
    const Case cases[] = {
        {"nothing claimed yet",
         {{On::other, Ask::awaitEnd, Turn::notStarted},
          {On::runner, Ask::awaitEnd, Turn::notStarted},
          {On::runner, Ask::claim, Turn::yours}}},
        {"the runner asking again from inside is nested",
         {{On::runner, Ask::claim, Turn::yours},
          {On::runner, Ask::claim, Turn::nested},
          {On::runner, Ask::awaitEnd, Turn::nested},
          {On::runner, Ask::finish, {}},
          {On::runner, Ask::claim, Turn::finished}}},
        {"another thread gives up after its wait while the work runs",
         {{On::runner, Ask::claim, Turn::yours},
          {On::other, Ask::claim, Turn::stillRunning},
          {On::other, Ask::awaitEnd, Turn::stillRunning},
          {On::runner, Ask::finish, {}},
          {On::other, Ask::claim, Turn::finished},
          {On::other, Ask::awaitEnd, Turn::finished}}},
        {"claimed on another thread",
         {{On::other, Ask::claim, Turn::yours},
          {On::runner, Ask::claim, Turn::stillRunning},
          {On::other, Ask::finish, {}},
          {On::runner, Ask::awaitEnd, Turn::finished}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LoadOnce once(20);
        play(once, c.steps);
    }
}

// Many threads asking at once while the work runs: one runs it, all others wait until it has finished and
// none of them sees it unfinished afterwards.
TEST(LoadOnce, WaitersWakeOnlyWhenTheWorkIsDone)
{
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        LoadOnce once(60000);
        std::atomic<bool> go{false};
        std::atomic<bool> done{false};
        std::atomic<int> runners{0}, finishedEarly{0}, finished{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t) {
            threads.emplace_back([&] {
                while (!go.load())
                    std::this_thread::yield();
                const Turn turn = once.claim();
                if (turn == Turn::yours) {
                    ++runners;
                    Sleep(20);
                    done = true;
                    once.finish();
                } else if (turn == Turn::finished) {
                    ++finished;
                    finishedEarly += done.load() ? 0 : 1;
                }
            });
        }
        go = true;
        for (std::thread& t : threads)
            t.join();
        EXPECT_EQ(runners.load(), 1);
        EXPECT_EQ(finished.load(), 7);
        EXPECT_EQ(finishedEarly.load(), 0);
        EXPECT_LE(once.waiters(), 7u);
    }
}

} // namespace
