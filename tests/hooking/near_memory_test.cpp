// Near memory: every block handed out lies within rel32 reach of its target, on a scripted
// address space (the search never asks for address 0, which means "anywhere", and gives back a
// block placed out of reach) and on the real one.
#include "hooking/hook_platform.h"
#include "hooking/near_memory.h"

#include <gtest/gtest.h>

#include <set>
#include <vector>

namespace {

using fsr2bridge::nearReach;
using fsr2bridge::NearMemory;
using fsr2bridge::withinReach;

constexpr std::uintptr_t kGranule = 0x10000;

// An address space where only the listed granules are free, and whose allocator ignores the
// address asked for: every block comes from the top of the real address space.
class ScriptedSpace : public fsr2bridge::WindowsHookPlatform {
public:
    std::set<std::uintptr_t> freeGranules;
    std::vector<std::uintptr_t> asked;
    std::vector<std::uint8_t*> handedOut;
    std::vector<std::uint8_t*> givenBack;

    fsr2bridge::AddressSpace addressSpace() override
    {
        fsr2bridge::AddressSpace a;
        a.lowest = kGranule;
        a.highest = 0x7FFFFFFEFFFFull;
        a.granularity = kGranule;
        return a;
    }
    bool query(std::uintptr_t at, MEMORY_BASIC_INFORMATION& out) override
    {
        const std::uintptr_t base = at - at % kGranule;
        const bool free = freeGranules.count(base) != 0;
        out = {};
        out.BaseAddress = reinterpret_cast<void*>(base);
        out.AllocationBase = free ? nullptr : reinterpret_cast<void*>(base);
        out.RegionSize = kGranule;
        out.State = free ? MEM_FREE : MEM_RESERVE;
        return true;
    }
    std::uint8_t* reserveAt(std::uintptr_t at, std::size_t size) override
    {
        asked.push_back(at);
        auto* p = static_cast<std::uint8_t*>(
            VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT | MEM_TOP_DOWN, PAGE_EXECUTE_READWRITE));
        handedOut.push_back(p);
        return p;
    }
    void releaseBlock(std::uint8_t* block) override
    {
        givenBack.push_back(block);
        WindowsHookPlatform::releaseBlock(block);
    }
};

TEST(NearMemory, NeverHandsOutABlockOutOfReach)
{
    const struct {
        const char* what;
        std::uintptr_t target;
        std::set<std::uintptr_t> freeGranules;
        std::vector<std::uintptr_t> asked; // the addresses the search may ask for, in order
    } cases[] = {
        {"below the target only address 0 is free", 0x30000, {0}, {}},
        {"the lowest granule is tried, address 0 never", 0x30000, {0, 0x10000}, {0x10000}},
        {"a block placed elsewhere is given back",
         0x200000000ull,
         {0x200000000ull - kGranule},
         {0x200000000ull - kGranule}},
        {"above the target as well",
         0x200000000ull,
         {0x200000000ull + 4 * kGranule},
         {0x200000000ull + 4 * kGranule}},
    };
    for (const auto& c : cases) {
        ScriptedSpace space;
        space.freeGranules = c.freeGranules;
        NearMemory memory(space);
        EXPECT_EQ(memory.allocate(c.target), nullptr) << c.what;
        EXPECT_EQ(space.asked, c.asked) << c.what;
        EXPECT_EQ(space.givenBack, space.handedOut) << c.what << ": a block out of reach was kept";
    }
}

int g_localFunction = 0;
void localFunction()
{
    ++g_localFunction;
}

TEST(NearMemory, RealBlocksLieWithinReachOfTheirTargets)
{
    void* page = VirtualAlloc(nullptr, 4096, MEM_RESERVE | MEM_COMMIT, PAGE_EXECUTE_READWRITE);
    void* highPage =
        VirtualAlloc(nullptr, 4096, MEM_RESERVE | MEM_COMMIT | MEM_TOP_DOWN, PAGE_EXECUTE_READWRITE);
    const struct {
        const char* what;
        const void* target;
    } cases[] = {
        {"a function of this program", reinterpret_cast<const void*>(&localFunction)},
        {"an ntdll export",
         reinterpret_cast<const void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlAllocateHeap"))},
        {"a page allocated anywhere", page},
        {"a page at the top", highPage},
    };
    NearMemory memory(fsr2bridge::systemHookPlatform());
    for (const auto& c : cases) {
        const auto target = reinterpret_cast<std::uintptr_t>(c.target);
        std::uint8_t* slot = memory.allocate(target);
        ASSERT_NE(slot, nullptr) << c.what;
        EXPECT_TRUE(withinReach(target, reinterpret_cast<std::uintptr_t>(slot), fsr2bridge::slotSize))
            << c.what;
        memory.release(slot);
    }
    EXPECT_EQ(memory.trim(), 0u);
    EXPECT_EQ(fsr2bridge::systemHookPlatform().reserveAt(0, kGranule), nullptr);
    VirtualFree(page, 0, MEM_RELEASE);
    VirtualFree(highPage, 0, MEM_RELEASE);
}

} // namespace
