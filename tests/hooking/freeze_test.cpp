// Freezing and all-or-nothing switching, observed and failed through the engine's platform seam:
// the order suspend -> register read -> write, one read per thread serving the moves, a freeze
// that fails writing nothing, and switches of several hooks rolled back when one fails.
#include "bystanders.h"
#include "code_page.h"
#include "hooking/hook_table.h"
#include "scripted_platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <iterator>

namespace {

using fsr2bridge::HookTable;
using hooktest::Bystanders;
using hooktest::CodePage;
using hooktest::Event;
using hooktest::fakeHandle;
using hooktest::Fn;
using hooktest::ScriptedPlatform;
using hooktest::Step;

constexpr int kTargets = 3;
Fn g_originals[kTargets] = {};

// Detour N adds 1000 * (N + 1) to what target N returns.
template <int N> long long detour(long long a)
{
    return 1000 * (N + 1) + g_originals[N](a);
}
void* const kDetours[kTargets] = {reinterpret_cast<void*>(&detour<0>), reinterpret_cast<void*>(&detour<1>),
                                  reinterpret_cast<void*>(&detour<2>)};

// Three functions returning 1, 2, 3, each on its own page, hooked in one table.
struct ThreeTargets {
    CodePage pages[kTargets];
    explicit ThreeTargets(HookTable& table)
    {
        for (int i = 0; i < kTargets; ++i) {
            pages[i].put(0, hooktest::returning(i + 1));
            EXPECT_EQ(table.create(pages[i].at(0), kDetours[i], reinterpret_cast<void**>(&g_originals[i])),
                      MH_OK);
        }
    }
    void* target(int i) const { return pages[i].at(0); }
    // What calling target i gives now: i+1 unhooked, detoured adds 1000 * (i + 1).
    bool hooked(int i) const { return pages[i].fn()(0) == 1000 * (i + 1) + i + 1; }
    bool pristine(int i) const { return pages[i].holds(0, hooktest::returning(i + 1)); }
    std::uintptr_t address(int i) const { return reinterpret_cast<std::uintptr_t>(pages[i].at(0)); }
};

struct Operation {
    const char* what;
    bool startEnabled;
    std::function<MH_STATUS(HookTable&, ThreeTargets&)> run;
};

const Operation kSwitches[] = {
    {"enable one", false, [](HookTable& t, ThreeTargets& x) { return t.enable(x.target(1)); }},
    {"enable all", false, [](HookTable& t, ThreeTargets&) { return t.enable(MH_ALL_HOOKS); }},
    {"apply queued enables", false,
     [](HookTable& t, ThreeTargets&) {
         t.queueEnable(MH_ALL_HOOKS);
         return t.applyQueued();
     }},
    {"disable one", true, [](HookTable& t, ThreeTargets& x) { return t.disable(x.target(1)); }},
    {"disable all", true, [](HookTable& t, ThreeTargets&) { return t.disable(MH_ALL_HOOKS); }},
    {"apply queued disables", true,
     [](HookTable& t, ThreeTargets&) {
         t.queueDisable(MH_ALL_HOOKS);
         return t.applyQueued();
     }},
    {"remove one", true, [](HookTable& t, ThreeTargets& x) { return t.remove(x.target(1)); }},
    {"remove all", true, [](HookTable& t, ThreeTargets&) { return t.removeAll(); }},
};

std::size_t firstIndex(const ScriptedPlatform& p, Step step)
{
    for (std::size_t i = 0; i < p.eventCount; ++i) {
        if (p.events[i].step == step) {
            return i;
        }
    }
    return p.eventCount;
}

std::size_t lastIndex(const ScriptedPlatform& p, Step step)
{
    std::size_t last = p.eventCount;
    for (std::size_t i = 0; i < p.eventCount; ++i) {
        if (p.events[i].step == step) {
            last = i;
        }
    }
    return last;
}

// Every suspended thread: suspended, then its registers read exactly once, before the first code
// write; resumed and closed after the last one.
void expectConfirmedBeforeWriting(const ScriptedPlatform& p, std::size_t minimumThreads, const char* what)
{
    const std::size_t firstWrite = firstIndex(p, Step::writeCode);
    const std::size_t lastWrite = lastIndex(p, Step::writeCode);
    ASSERT_LT(firstWrite, p.eventCount) << what << ": nothing written";
    std::size_t threads = 0;
    for (std::size_t i = 0; i < p.eventCount; ++i) {
        if (p.events[i].step != Step::suspend) {
            continue;
        }
        ++threads;
        const HANDLE h = p.events[i].thread;
        std::size_t reads = 0, readAt = 0, resumeAt = 0, closes = 0;
        for (std::size_t k = 0; k < p.eventCount; ++k) {
            if (p.events[k].thread != h) {
                continue;
            }
            if (p.events[k].step == Step::read) {
                ++reads;
                readAt = k;
            }
            if (p.events[k].step == Step::resume) {
                resumeAt = k;
            }
            closes += p.events[k].step == Step::close;
        }
        EXPECT_EQ(reads, 1u) << what;
        EXPECT_GT(readAt, i) << what << ": read before suspending";
        EXPECT_LT(readAt, firstWrite) << what << ": written before the suspension was confirmed";
        EXPECT_GT(resumeAt, lastWrite) << what << ": resumed before the writing ended";
        EXPECT_EQ(closes, 1u) << what;
    }
    EXPECT_GE(threads, minimumThreads) << what;
    EXPECT_LT(lastIndex(p, Step::list), firstIndex(p, Step::suspend)) << what;
}

TEST(Freezing, EveryThreadIsConfirmedStoppedBeforeAByteIsWritten)
{
    Bystanders others(4, 2, 1);
    for (const Operation& op : kSwitches) {
        ScriptedPlatform platform;
        HookTable table(platform);
        ThreeTargets targets(table);
        if (op.startEnabled) {
            ASSERT_EQ(table.enable(MH_ALL_HOOKS), MH_OK) << op.what;
        }
        platform.clearJournal();
        ASSERT_EQ(op.run(table, targets), MH_OK) << op.what;
        expectConfirmedBeforeWriting(platform, 7, op.what);
        table.removeAll();
    }
}

TEST(Freezing, ThreadsInsideThePatchMoveWithTheOneReadTheyHad)
{
    ScriptedPlatform platform;
    HookTable table(platform);
    CodePage page;
    // push rbx; sub rsp,20h; mov rbx,rcx; mov eax,5; pop rbx... boundaries at 0, 2, 6
    page.put(0, {0x40, 0x53, 0x48, 0x83, 0xEC, 0x20, 0x48, 0x8B, 0xD9, 0xB8, 5, 0, 0, 0, 0x5B, 0xC3});
    void* original = nullptr;
    ASSERT_EQ(table.create(page.at(0), kDetours[0], &original), MH_OK);
    const auto base = reinterpret_cast<std::uintptr_t>(page.at(0));
    const auto tramp = reinterpret_cast<std::uintptr_t>(original);
    const struct {
        std::uintptr_t at;         // where the thread stands unhooked
        std::uintptr_t whenHooked; // where it stands after enabling
    } standing[] = {
        {base, tramp},         // at the first instruction
        {base + 2, tramp + 2}, // at the second one
        {base + 1, base + 1},  // not at a boundary (cannot happen): left alone
        {base + 6, base + 6},  // behind the moved instructions: nothing to do
        {base + 0x800, base + 0x800},
    };
    for (std::size_t i = 0; i < std::size(standing); ++i) {
        platform.fakes.push_back({fakeHandle(i), standing[i].at});
    }

    ASSERT_EQ(table.enable(page.at(0)), MH_OK);
    for (std::size_t i = 0; i < std::size(standing); ++i) {
        EXPECT_EQ(platform.fakes[i].rip, standing[i].whenHooked) << i;
        EXPECT_EQ(platform.fakes[i].suspendCount, 0) << i;
    }
    // Enabling: the moves precede the write, so no thread ever sees the patch mid-way.
    EXPECT_EQ(platform.count(Step::writeControl), 2u);
    EXPECT_LT(lastIndex(platform, Step::writeControl), firstIndex(platform, Step::writeCode));
    EXPECT_EQ(platform.count(Step::read), std::size(standing));

    platform.clearJournal();
    ASSERT_EQ(table.disable(page.at(0)), MH_OK);
    for (std::size_t i = 0; i < std::size(standing); ++i) {
        EXPECT_EQ(platform.fakes[i].rip, standing[i].at) << i;
    }
    // Disabling: the bytes come back first, then the threads leave the trampoline.
    EXPECT_EQ(platform.count(Step::writeControl), 2u);
    EXPECT_GT(firstIndex(platform, Step::writeControl), lastIndex(platform, Step::writeCode));
    EXPECT_EQ(platform.count(Step::read), std::size(standing));
    table.removeAll();
}

struct FreezeFault {
    const char* what;
    void (*arm)(ScriptedPlatform&);
    bool writes; // whether the switch still goes ahead
};

const FreezeFault kFreezeFaults[] = {
    {"the threads cannot be listed", [](ScriptedPlatform& p) { p.failListing = true; }, false},
    {"a live thread refuses suspension", [](ScriptedPlatform& p) { p.failSuspendOf = fakeHandle(1); }, false},
    {"a live thread's suspension is not confirmed", [](ScriptedPlatform& p) { p.failReadOf = fakeHandle(1); },
     false},
    {"an ended thread refuses suspension",
     [](ScriptedPlatform& p) {
         p.failSuspendOf = fakeHandle(1);
         p.failingThreadEnded = true;
     },
     true},
    {"an ended thread's registers cannot be read",
     [](ScriptedPlatform& p) {
         p.failReadOf = fakeHandle(1);
         p.failingThreadEnded = true;
     },
     true},
    {"a thread on its way out, ended at the next try",
     [](ScriptedPlatform& p) {
         p.terminatingOf = fakeHandle(1);
         p.terminatingFor = 1;
     },
     true},
    {"a thread on its way out at every try",
     [](ScriptedPlatform& p) {
         p.terminatingOf = fakeHandle(1);
         p.terminatingFor = 1000;
     },
     false},
};

TEST(Freezing, AFailedFreezeWritesNothingAndSaysSo)
{
    for (const FreezeFault& fault : kFreezeFaults) {
        for (const Operation& op : kSwitches) {
            ScriptedPlatform platform;
            for (std::uintptr_t i = 0; i < 3; ++i) {
                platform.fakes.push_back({fakeHandle(i), 0x1000});
            }
            HookTable table(platform);
            ThreeTargets targets(table);
            if (op.startEnabled) {
                ASSERT_EQ(table.enable(MH_ALL_HOOKS), MH_OK);
            }
            fault.arm(platform);
            platform.clearJournal();
            platform.handedOut = 0;
            const MH_STATUS s = op.run(table, targets);
            for (const auto& f : platform.fakes) {
                EXPECT_EQ(f.suspendCount, 0) << fault.what << ", " << op.what << ": left suspended";
            }
            EXPECT_EQ(platform.count(Step::close), platform.handedOut) << fault.what << ", " << op.what;
            if (fault.writes) {
                EXPECT_EQ(s, MH_OK) << fault.what << ", " << op.what;
                continue;
            }
            EXPECT_EQ(s, MH_ERROR_MEMORY_ALLOC) << fault.what << ", " << op.what;
            EXPECT_EQ(platform.count(Step::writeCode), 0u) << fault.what << ", " << op.what;
            EXPECT_EQ(table.size(), 3u) << fault.what << ", " << op.what;
            for (int i = 0; i < kTargets; ++i) {
                EXPECT_EQ(targets.hooked(i), op.startEnabled)
                    << fault.what << ", " << op.what << ", target " << i;
                EXPECT_EQ(table.isEnabled(targets.target(i)), op.startEnabled)
                    << fault.what << ", " << op.what;
            }
            platform.heal();
            EXPECT_EQ(table.removeAll(), MH_OK);
        }
    }
}

// Operations over several hooks whose n-th code write fails: every hook ends as it started.
TEST(AllOrNothing, ASwitchThatFailsPartWayIsUndone)
{
    const Operation* multi[] = {&kSwitches[1], &kSwitches[2], &kSwitches[4], &kSwitches[5], &kSwitches[7]};
    for (const Operation* op : multi) {
        for (int failing = 0; failing < kTargets; ++failing) {
            ScriptedPlatform platform;
            HookTable table(platform);
            ThreeTargets targets(table);
            if (op->startEnabled) {
                ASSERT_EQ(table.enable(MH_ALL_HOOKS), MH_OK);
            }
            platform.failWriteAt = targets.address(failing);
            EXPECT_EQ(op->run(table, targets), MH_ERROR_MEMORY_PROTECT)
                << op->what << ", failing " << failing;
            EXPECT_EQ(table.size(), 3u) << op->what << ": freed although a hook stayed enabled";
            for (int i = 0; i < kTargets; ++i) {
                EXPECT_EQ(targets.hooked(i), op->startEnabled)
                    << op->what << ", failing " << failing << ", target " << i;
                EXPECT_EQ(table.isEnabled(targets.target(i)), op->startEnabled) << op->what;
                if (!op->startEnabled) {
                    EXPECT_TRUE(targets.pristine(i))
                        << op->what << ", failing " << failing << ", target " << i;
                }
            }
            // Without the fault the same call goes through.
            platform.failWriteAt = 0;
            EXPECT_EQ(op->run(table, targets), MH_OK) << op->what;
            for (int i = 0; i < kTargets; ++i) {
                EXPECT_EQ(targets.hooked(i), !op->startEnabled) << op->what << ", target " << i;
            }
            table.removeAll();
            for (int i = 0; i < kTargets; ++i) {
                EXPECT_TRUE(targets.pristine(i)) << op->what << ", target " << i;
            }
        }
    }
}

// A thread that cannot be moved into the trampoline stops the enabling before anything is written.
TEST(AllOrNothing, AThreadThatCannotBeMovedUndoesTheSwitch)
{
    ScriptedPlatform platform;
    HookTable table(platform);
    ThreeTargets targets(table);
    platform.fakes.push_back({fakeHandle(0), targets.address(2)});
    platform.failWriteControlOf = fakeHandle(0);
    EXPECT_EQ(table.enable(MH_ALL_HOOKS), MH_UNKNOWN);
    for (int i = 0; i < kTargets; ++i) {
        EXPECT_FALSE(targets.hooked(i)) << i;
        EXPECT_TRUE(targets.pristine(i)) << i;
    }
    EXPECT_EQ(platform.fakes[0].rip, targets.address(2));
    platform.failWriteControlOf = nullptr;
    EXPECT_EQ(table.enable(MH_ALL_HOOKS), MH_OK);
    EXPECT_NE(platform.fakes[0].rip, targets.address(2));
    table.removeAll();
}

TEST(ThreadListing, OwnProcessAndSnapshotListTheSameOtherThreads)
{
    Bystanders others(5, 0);
    fsr2bridge::WindowsHookPlatform own(fsr2bridge::ThreadListing::ownProcess);
    fsr2bridge::WindowsHookPlatform snapshot(fsr2bridge::ThreadListing::snapshot);
    // Wine 8 has NtGetNextThread: the fast way is the one in use.
    EXPECT_EQ(own.listing(), fsr2bridge::ThreadListing::ownProcess);
    std::vector<DWORD> ids[2];
    fsr2bridge::WindowsHookPlatform* ways[2] = {&own, &snapshot};
    for (int w = 0; w < 2; ++w) {
        std::vector<HANDLE> handles;
        ASSERT_TRUE(ways[w]->otherThreads(handles)) << w;
        for (HANDLE h : handles) {
            ids[w].push_back(GetThreadId(h));
            ways[w]->close(h);
        }
        std::sort(ids[w].begin(), ids[w].end());
        EXPECT_EQ(std::count(ids[w].begin(), ids[w].end(), GetCurrentThreadId()), 0) << w;
        EXPECT_GE(ids[w].size(), 5u) << w;
        EXPECT_EQ(std::adjacent_find(ids[w].begin(), ids[w].end()), ids[w].end()) << w << ": listed twice";
    }
    EXPECT_EQ(ids[0], ids[1]);
}

// The snapshot listing opens each thread itself: one whose id is gone has ended, but one that exists and
// cannot be opened might run the bytes being written.
TEST(ThreadListing, ASnapshotThreadThatCannotBeOpenedStopsTheWriting)
{
    Bystanders others(2, 0);
    const struct {
        fsr2bridge::ThreadOpening opening;
        MH_STATUS status;
    } rows[] = {{fsr2bridge::ThreadOpening::gone, MH_OK},
                {fsr2bridge::ThreadOpening::refused, MH_ERROR_MEMORY_ALLOC}};
    for (const auto& row : rows) {
        ScriptedPlatform platform(fsr2bridge::ThreadListing::snapshot);
        HookTable table(platform);
        ThreeTargets targets(table);
        platform.firstOpening = row.opening;
        platform.clearJournal();
        EXPECT_EQ(table.enable(MH_ALL_HOOKS), row.status) << static_cast<int>(row.opening);
        EXPECT_EQ(platform.count(Step::writeCode) != 0, row.status == MH_OK) << static_cast<int>(row.opening);
        EXPECT_EQ(targets.hooked(0), row.status == MH_OK) << static_cast<int>(row.opening);
        EXPECT_EQ(table.removeAll(), MH_OK);
    }
}

} // namespace
