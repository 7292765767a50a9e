// Hook installation when a step fails on the way. Module entry: the engine is taken down again and both
// system functions keep their bytes, so that the module can be unloaded; only when even that fails does the
// module stay, with the live hook intact. Attachment: hooks enabled together go live all or none. Faults
// come from the engine's platform seam.
#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "entry/creation_hooks.h"
#include "hooking/MinHook.h"
#include "hooking/hook_and_enable.h"
#include "hooking/hook_table.h"
#include "tests/hooking/scripted_platform.h"

namespace {

using Bytes = std::array<std::uint8_t, 16>;

std::uint8_t* exportOf(const wchar_t* module, const char* name)
{
    return reinterpret_cast<std::uint8_t*>(GetProcAddress(LoadLibraryW(module), name));
}

Bytes bytesAt(const std::uint8_t* code)
{
    Bytes b{};
    std::memcpy(b.data(), code, b.size());
    return b;
}

// Code writes at `target` fail; once one has, so do those at `alsoAfter` (a rollback that cannot undo).
class FaultyPlatform : public hooktest::ScriptedPlatform {
public:
    std::uintptr_t alsoAfter = 0;

    bool writeCode(std::uint8_t* at, const std::uint8_t* bytes, std::size_t n) override
    {
        const auto address = reinterpret_cast<std::uintptr_t>(at);
        if (failed_ && address == alsoAfter)
            return false;
        failed_ = failed_ || (failWriteAt != 0 && address == failWriteAt);
        return ScriptedPlatform::writeCode(at, bytes, n);
    }
    void heal()
    {
        ScriptedPlatform::heal();
        alsoAfter = 0;
        failed_ = false;
    }

private:
    bool failed_ = false;
};

TEST(ModuleEntry, AFailedInstallationLeavesNoHookBehind)
{
    std::uint8_t* const device = exportOf(L"d3d12.dll", "D3D12CreateDevice");
    std::uint8_t* const factory = exportOf(L"dxgi.dll", "CreateDXGIFactory2");
    ASSERT_TRUE(device && factory);
    const auto at = [](const std::uint8_t* p) { return reinterpret_cast<std::uintptr_t>(p); };
    enum class Fault { none, writeDevice, writeFactory, listing, undoFails };
    struct Case {
        const char* name;
        Fault fault;
        bool attached;      // what installation returns (the module stays)
        bool hooksLive;     // both functions lead into the module
        bool engineRunning; // the engine is still initialised
    };
    const Case cases[] = {
        {"both hooks go in", Fault::none, true, true, true},
        {"the second function cannot be written: the first is undone", Fault::writeFactory, false, false,
         false},
        {"the first function cannot be written", Fault::writeDevice, false, false, false},
        // Neither enabling nor taking down can freeze the threads: nothing was written, yet nothing can be
        // proven removed, so the module stays.
        {"no thread list at all", Fault::listing, true, false, true},
        {"the undo of the first function fails too: it stays live", Fault::undoFails, true, true, true},
    };
    MH_Uninitialize(); // whatever this program installed before
    const Bytes deviceBefore = bytesAt(device);
    const Bytes factoryBefore = bytesAt(factory);
    FaultyPlatform platform;
    ASSERT_TRUE(fsr2bridge::useProcessHookPlatform(platform));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        platform.heal();
        platform.failWriteAt = c.fault == Fault::writeDevice                                   ? at(device)
                               : c.fault == Fault::writeFactory || c.fault == Fault::undoFails ? at(factory)
                                                                                               : 0;
        platform.alsoAfter = c.fault == Fault::undoFails ? at(device) : 0;
        platform.failListing = c.fault == Fault::listing;
        EXPECT_EQ(fsr2bridge::installCreationHooks(), c.attached);
        EXPECT_EQ(bytesAt(device) != deviceBefore, c.hooksLive);
        EXPECT_EQ(bytesAt(factory) != factoryBefore, c.hooksLive && c.fault == Fault::none);
        EXPECT_EQ(MH_EnableHook(MH_ALL_HOOKS) != MH_ERROR_NOT_INITIALIZED, c.engineRunning)
            << "taken down: no hook is left in the engine";
        platform.heal();
        MH_Uninitialize();
        EXPECT_EQ(bytesAt(device), deviceBefore);
        EXPECT_EQ(bytesAt(factory), factoryBefore);
    }
    EXPECT_TRUE(fsr2bridge::useProcessHookPlatform(fsr2bridge::systemHookPlatform()));
}

// The attachment's host hooks go live together: all or none, and a failed try leaves nothing queued for a
// later switch.
TEST(Installation, HooksEnabledTogetherGoLiveAllOrNone)
{
    auto* page = static_cast<std::uint8_t*>(
        VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE));
    ASSERT_NE(page, nullptr);
    const std::uint8_t body[] = {0x48, 0x8D, 0x41, 0x01, 0x90, 0xC3}; // lea rax,[rcx+1]; nop; ret
    void* targets[3];
    for (int i = 0; i < 3; ++i) {
        targets[i] = page + 64 * i;
        std::memcpy(targets[i], body, sizeof body);
    }
    const auto live = [&] {
        int n = 0;
        for (void* t : targets)
            n += std::memcmp(t, body, sizeof body) != 0 ? 1 : 0;
        return n;
    };
    MH_Uninitialize();
    hooktest::ScriptedPlatform platform;
    ASSERT_TRUE(fsr2bridge::useProcessHookPlatform(platform));
    ASSERT_EQ(MH_Initialize(), MH_OK);
    void* trampolines[3] = {};
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(MH_CreateHook(targets[i], page + 2048, &trampolines[i]), MH_OK);

    struct Case {
        const char* name;
        std::size_t count;
        std::uintptr_t failAt;
        bool enabled;
        int live;
    };
    const Case cases[] = {
        {"the last cannot be written: none goes live", 3, reinterpret_cast<std::uintptr_t>(targets[2]), false,
         0},
        {"the first cannot be written", 3, reinterpret_cast<std::uintptr_t>(targets[0]), false, 0},
        {"nothing to enable", 0, 0, true, 0},
        {"two of three", 2, 0, true, 2},
        {"all three", 3, 0, true, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        platform.heal();
        platform.failWriteAt = c.failAt;
        EXPECT_EQ(fsr2bridge::enableTogether(targets, c.count), c.enabled);
        EXPECT_EQ(live(), c.live);
        platform.heal();
        EXPECT_EQ(MH_ApplyQueued(), MH_OK);
        EXPECT_EQ(live(), c.live) << "nothing left queued";
        ASSERT_EQ(MH_DisableHook(MH_ALL_HOOKS), MH_OK);
    }
    ASSERT_EQ(MH_Uninitialize(), MH_OK);
    EXPECT_TRUE(fsr2bridge::useProcessHookPlatform(fsr2bridge::systemHookPlatform()));
    VirtualFree(page, 0, MEM_RELEASE);
}

TEST(ModuleEntry, ThePlatformStaysWhileTheEngineRuns)
{
    MH_Uninitialize();
    hooktest::ScriptedPlatform platform;
    ASSERT_EQ(MH_Initialize(), MH_OK);
    EXPECT_FALSE(fsr2bridge::useProcessHookPlatform(platform));
    ASSERT_EQ(MH_Uninitialize(), MH_OK);
    EXPECT_TRUE(fsr2bridge::useProcessHookPlatform(fsr2bridge::systemHookPlatform()));
}

} // namespace
