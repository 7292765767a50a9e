// The C API on synthetic functions written into executable memory: its states and errors,
// every relocation kind running for real, each refusal, short padded functions, the queue,
// stacked hooks, and threads racing enable/disable.
#include "code_page.h"
#include "hooking/MinHook.h"
#include "hooking/hook_table.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

namespace {

using hooktest::CodePage;
using hooktest::Fn;

Fn g_original = nullptr;
long long detourAdding1000(long long a)
{
    return 1000 + g_original(a);
}

Fn g_outerOriginal = nullptr;
long long outerDetour(long long a)
{
    return 20000 + g_outerOriginal(a);
}

void ensureInitialized()
{
    MH_STATUS s = MH_Initialize();
    ASSERT_TRUE(s == MH_OK || s == MH_ERROR_ALREADY_INITIALIZED);
}

// mov eax,7; ret — the helper the synthetic functions branch or call to, at 0x20.
const std::vector<std::uint8_t> kHelper = {0xB8, 0x07, 0x00, 0x00, 0x00, 0xC3};

struct RunCase {
    const char* what;
    std::vector<std::uint8_t> code;
    long long argument;
    long long expected;   // what the unhooked function returns
    std::size_t cell = 0; // when non-zero: the data cell that must hold the argument afterwards
};

const RunCase kRunCases[] = {
    // mov eax,[rip+3Ah] -> the cell at 0x40 holds 0x1234
    {"RIP-relative load", {0x8B, 0x05, 0x3A, 0, 0, 0, 0xC3}, 0, 0x1234},
    // mov [rip+42h],ecx; mov eax,ecx; ret -> stores into 0x48
    {"RIP-relative store", {0x89, 0x0D, 0x42, 0, 0, 0, 0x8B, 0xC1, 0xC3}, 77, 77, 0x48},
    // call helper; add eax,1; ret
    {"call rel32", {0xE8, 0x1B, 0, 0, 0, 0x83, 0xC0, 0x01, 0xC3}, 0, 8},
    {"jmp rel32", {0xE9, 0x1B, 0, 0, 0}, 0, 7},
    // xor eax,eax; xor edx,edx; jmp short helper
    {"jmp rel8", {0x31, 0xC0, 0x31, 0xD2, 0xEB, 0x1A}, 0, 7},
    // test ecx,ecx; jz helper; mov eax,1; ret
    {"jz rel8 taken", {0x85, 0xC9, 0x74, 0x1C, 0xB8, 1, 0, 0, 0, 0xC3}, 0, 7},
    {"jz rel8 not taken", {0x85, 0xC9, 0x74, 0x1C, 0xB8, 1, 0, 0, 0, 0xC3}, 1, 1},
    {"jz rel32 taken", {0x85, 0xC9, 0x0F, 0x84, 0x18, 0, 0, 0, 0xB8, 1, 0, 0, 0, 0xC3}, 0, 7},
    {"jz rel32 not taken", {0x85, 0xC9, 0x0F, 0x84, 0x18, 0, 0, 0, 0xB8, 1, 0, 0, 0, 0xC3}, 1, 1},
    // xor eax,eax; jrcxz helper; inc eax; ret
    {"jrcxz taken", {0x31, 0xC0, 0xE3, 0x1C, 0xFF, 0xC0, 0xC3}, 0, 7},
    {"jrcxz not taken", {0x31, 0xC0, 0xE3, 0x1C, 0xFF, 0xC0, 0xC3}, 5, 1},
};

TEST(Engine, EveryRelocationKindRunsThroughTheTrampoline)
{
    ensureInitialized();
    for (const RunCase& c : kRunCases) {
        CodePage page;
        page.put(0, c.code);
        page.put(0x20, kHelper);
        const std::uint32_t data = 0x1234;
        std::memcpy(page.at(0x40), &data, 4);
        Fn target = page.fn();
        ASSERT_EQ(target(c.argument), c.expected) << c.what;

        ASSERT_EQ(MH_CreateHook(page.at(0), reinterpret_cast<void*>(&detourAdding1000),
                                reinterpret_cast<void**>(&g_original)),
                  MH_OK)
            << c.what;
        ASSERT_EQ(MH_EnableHook(page.at(0)), MH_OK) << c.what;
        std::memset(page.at(0x48), 0, 4);
        EXPECT_EQ(target(c.argument), 1000 + c.expected) << c.what;
        if (c.cell != 0) {
            std::int32_t stored = 0;
            std::memcpy(&stored, page.at(c.cell), 4);
            EXPECT_EQ(stored, c.argument) << c.what;
        }
        EXPECT_EQ(g_original(c.argument), c.expected) << c.what;
        ASSERT_EQ(MH_DisableHook(page.at(0)), MH_OK) << c.what;
        EXPECT_EQ(target(c.argument), c.expected) << c.what;
        EXPECT_EQ(std::memcmp(page.at(0), c.code.data(), c.code.size()), 0)
            << c.what << ": bytes not restored";
        ASSERT_EQ(MH_RemoveHook(page.at(0)), MH_OK) << c.what;
    }
}

TEST(Engine, RefusesWhatItCannotMove)
{
    ensureInitialized();
    const struct {
        const char* what;
        std::vector<std::uint8_t> code;
    } cases[] = {
        // 48 83 EC 28 (sub rsp,28h) stands for the next function.
        {"ret followed directly by another function", {0xC3, 0x48, 0x83, 0xEC, 0x28}},
        {"xor eax,eax; ret followed directly by another function",
         {0x31, 0xC0, 0xC3, 0x48, 0x83, 0xEC, 0x28}},
        {"padding one byte too short", {0x31, 0xC0, 0xC3, 0xCC, 0x48, 0x83, 0xEC, 0x28}},
        {"falls into int3 padding without returning", {0x31, 0xC0, 0xCC, 0xCC, 0xCC}},
        {"jumps back into the patch", {0x90, 0x90, 0x75, 0xFC, 0x90, 0xC3}},
        {"unknown opcode", {0x06, 0x90, 0x90, 0x90, 0x90, 0xC3}},
        {"XOP encoding", {0x8F, 0xE8, 0x78, 0xC2, 0xC1, 0x01, 0xC3}},
    };
    for (const auto& c : cases) {
        CodePage page;
        page.put(0, c.code);
        void* original = reinterpret_cast<void*>(1);
        EXPECT_EQ(MH_CreateHook(page.at(0), reinterpret_cast<void*>(&detourAdding1000), &original),
                  MH_ERROR_UNSUPPORTED_FUNCTION)
            << c.what;
        EXPECT_EQ(original, reinterpret_cast<void*>(1)) << c.what;
        EXPECT_EQ(std::memcmp(page.at(0), c.code.data(), c.code.size()), 0) << c.what;
        EXPECT_EQ(MH_EnableHook(page.at(0)), MH_ERROR_NOT_CREATED) << c.what;
    }
}

TEST(Engine, StatusCodesOfTheApi)
{
    // Order and values are part of the interface.
    EXPECT_EQ(MH_UNKNOWN, -1);
    EXPECT_EQ(MH_OK, 0);
    EXPECT_EQ(MH_ERROR_ALREADY_INITIALIZED, 1);
    EXPECT_EQ(MH_ERROR_FUNCTION_NOT_FOUND, 12);
    EXPECT_STREQ(MH_StatusToString(MH_ERROR_NOT_EXECUTABLE), "MH_ERROR_NOT_EXECUTABLE");
    EXPECT_STREQ(MH_StatusToString(static_cast<MH_STATUS>(99)), "(unknown)");

    ensureInitialized();
    ASSERT_EQ(MH_Uninitialize(), MH_OK);
    EXPECT_EQ(MH_Uninitialize(), MH_ERROR_NOT_INITIALIZED);
    CodePage page;
    page.put(0, {0x48, 0x83, 0xEC, 0x28, 0x31, 0xC0, 0x48, 0x83, 0xC4, 0x28, 0xC3});
    EXPECT_EQ(MH_CreateHook(page.at(0), reinterpret_cast<void*>(&detourAdding1000), nullptr),
              MH_ERROR_NOT_INITIALIZED);
    EXPECT_EQ(MH_EnableHook(MH_ALL_HOOKS), MH_ERROR_NOT_INITIALIZED);
    ASSERT_EQ(MH_Initialize(), MH_OK);
    EXPECT_EQ(MH_Initialize(), MH_ERROR_ALREADY_INITIALIZED);

    const DWORD before = GetLastError();
    (void)before;
    std::uint8_t* data = static_cast<std::uint8_t*>(VirtualAlloc(nullptr, 4096, MEM_COMMIT, PAGE_READWRITE));
    std::memcpy(data, page.at(0), 16);
    EXPECT_EQ(MH_CreateHook(data, reinterpret_cast<void*>(&detourAdding1000), nullptr),
              MH_ERROR_NOT_EXECUTABLE);
    EXPECT_EQ(MH_CreateHook(page.at(0), data, nullptr), MH_ERROR_NOT_EXECUTABLE);
    EXPECT_EQ(MH_CreateHook(nullptr, reinterpret_cast<void*>(&detourAdding1000), nullptr),
              MH_ERROR_NOT_EXECUTABLE);
    VirtualFree(data, 0, MEM_RELEASE);

    void* target = nullptr;
    EXPECT_EQ(MH_CreateHookApiEx(L"no-such-module.dll", "X", reinterpret_cast<void*>(&detourAdding1000),
                                 nullptr, &target),
              MH_ERROR_MODULE_NOT_FOUND);
    EXPECT_EQ(MH_CreateHookApi(L"kernel32.dll", "NoSuchExport", reinterpret_cast<void*>(&detourAdding1000),
                               nullptr),
              MH_ERROR_FUNCTION_NOT_FOUND);
    // A null module name is the main executable, which exports nothing.
    EXPECT_EQ(MH_CreateHookApiEx(nullptr, "ffxFsr2ContextCreate", reinterpret_cast<void*>(&detourAdding1000),
                                 nullptr, &target),
              MH_ERROR_FUNCTION_NOT_FOUND);

    EXPECT_EQ(MH_EnableHook(page.at(0)), MH_ERROR_NOT_CREATED);
    EXPECT_EQ(MH_DisableHook(page.at(0)), MH_ERROR_NOT_CREATED);
    EXPECT_EQ(MH_RemoveHook(page.at(0)), MH_ERROR_NOT_CREATED);
    ASSERT_EQ(MH_CreateHook(page.at(0), reinterpret_cast<void*>(&detourAdding1000),
                            reinterpret_cast<void**>(&g_original)),
              MH_OK);
    EXPECT_EQ(MH_CreateHook(page.at(0), reinterpret_cast<void*>(&detourAdding1000), nullptr),
              MH_ERROR_ALREADY_CREATED);
    EXPECT_EQ(MH_DisableHook(page.at(0)), MH_ERROR_DISABLED);
    EXPECT_EQ(MH_EnableHook(MH_ALL_HOOKS), MH_OK);
    EXPECT_EQ(MH_EnableHook(page.at(0)), MH_ERROR_ENABLED);
    EXPECT_EQ(page.fn()(0), 1000);
    EXPECT_EQ(MH_DisableHook(MH_ALL_HOOKS), MH_OK);
    EXPECT_EQ(page.fn()(0), 0);
    EXPECT_EQ(MH_EnableHook(page.at(0)), MH_OK);
    // Uninitialising takes every hook out.
    EXPECT_EQ(MH_Uninitialize(), MH_OK);
    EXPECT_EQ(page.fn()(0), 0);
    EXPECT_EQ(MH_Initialize(), MH_OK);
}

TEST(Engine, HooksAFunctionThatIsAlreadyHooked)
{
    ensureInitialized();
    CodePage page;
    // sub rsp,28h; mov rax,rcx; add rsp,28h; ret
    page.put(0, {0x48, 0x83, 0xEC, 0x28, 0x48, 0x8B, 0xC1, 0x48, 0x83, 0xC4, 0x28, 0xC3});
    ASSERT_EQ(MH_CreateHook(page.at(0), reinterpret_cast<void*>(&detourAdding1000),
                            reinterpret_cast<void**>(&g_original)),
              MH_OK);
    ASSERT_EQ(MH_EnableHook(page.at(0)), MH_OK);
    // A second, independent table stands for another hooking library placed on top.
    static fsr2bridge::HookTable* other = new fsr2bridge::HookTable();
    ASSERT_EQ(other->create(page.at(0), reinterpret_cast<void*>(&outerDetour),
                            reinterpret_cast<void**>(&g_outerOriginal)),
              MH_OK);
    ASSERT_EQ(other->enable(page.at(0)), MH_OK);
    EXPECT_EQ(page.fn()(5), 21005);
    ASSERT_EQ(other->disable(page.at(0)), MH_OK);
    EXPECT_EQ(page.fn()(5), 1005);
    ASSERT_EQ(other->remove(page.at(0)), MH_OK);
    ASSERT_EQ(MH_RemoveHook(page.at(0)), MH_OK);
    EXPECT_EQ(page.fn()(5), 5);
}

// Threads call the target without pause while the hook flips hundreds of times: every call
// returns the original's result or the detour's, and the process survives.
TEST(Engine, StressEnableDisableUnderLoad)
{
    ensureInitialized();
    CodePage page;
    // xor eax,eax; inc eax; nop; nop; ret — several instruction boundaries inside the patch
    page.put(0, {0x31, 0xC0, 0xFF, 0xC0, 0x90, 0x90, 0xC3});
    ASSERT_EQ(MH_CreateHook(page.at(0), reinterpret_cast<void*>(&detourAdding1000),
                            reinterpret_cast<void**>(&g_original)),
              MH_OK);
    constexpr int kThreads = 4;
    constexpr int kCycles = 300;
    std::atomic<bool> stop{false};
    std::atomic<long long> calls{0}, wrong{0}, detoured{0};
    std::vector<std::thread> workers;
    const Fn target = page.fn();
    for (int i = 0; i < kThreads; ++i) {
        workers.emplace_back([&] {
            long long mine = 0, bad = 0, hooked = 0;
            while (!stop.load(std::memory_order_relaxed)) {
                long long r = target(0);
                hooked += r == 1001;
                bad += r != 1 && r != 1001;
                ++mine;
            }
            calls += mine;
            wrong += bad;
            detoured += hooked;
        });
    }
    int failures = 0;
    for (int i = 0; i < kCycles; ++i) {
        failures += MH_EnableHook(page.at(0)) != MH_OK;
        Sleep(0);
        failures += MH_DisableHook(page.at(0)) != MH_OK;
    }
    stop = true;
    for (std::thread& t : workers) {
        t.join();
    }
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_GT(calls.load(), 0);
    EXPECT_EQ(MH_RemoveHook(page.at(0)), MH_OK);
    CreateDirectoryA("summaries", nullptr);
    if (FILE* f = std::fopen("summaries/hooking_stress.txt", "w")) {
        std::fprintf(f,
                     "hooking stress: %lld calls on %d threads across %d enable/disable cycles, %lld "
                     "detoured, %lld wrong\n",
                     calls.load(), kThreads, kCycles, detoured.load(), wrong.load());
        std::fclose(f);
    }
}

int g_detourCalls = 0;
long long countingDetour(long long a)
{
    ++g_detourCalls;
    return g_original(a);
}

// mov eax,9; ret — the function that follows each padded stub directly at offset 5.
const std::vector<std::uint8_t> kNextFunction = {0xB8, 0x09, 0x00, 0x00, 0x00, 0xC3};

// Functions that return or jump away before 5 bytes, padded up to the 5th: the padding becomes
// part of the patch, and the function right behind it is never touched.
TEST(Engine, HooksShortFunctionsPaddedUpToThePatch)
{
    ensureInitialized();
    const struct {
        const char* what;
        std::vector<std::uint8_t> code; // five bytes
        long long expected;             // the result, or -1 when the function leaves rax as it was
    } cases[] = {
        {"xor eax,eax; ret; int3 padding", {0x31, 0xC0, 0xC3, 0xCC, 0xCC}, 0},
        {"xor eax,eax; ret; nop padding", {0x31, 0xC0, 0xC3, 0x90, 0x90}, 0},
        {"xor eax,eax; ret; zero padding", {0x31, 0xC0, 0xC3, 0x00, 0x00}, 0},
        {"xor eax,eax; ret; mixed padding", {0x31, 0xC0, 0xC3, 0x90, 0xCC}, 0},
        {"ret alone", {0xC3, 0xCC, 0xCC, 0xCC, 0xCC}, -1},
        {"ret 0 (C2)", {0xC2, 0x00, 0x00, 0xCC, 0xCC}, -1},
        {"short jump to the helper", {0xEB, 0x1E, 0xCC, 0xCC, 0xCC}, 7},
    };
    for (const auto& c : cases) {
        CodePage page;
        page.put(0, c.code);
        page.put(5, kNextFunction);
        page.put(0x20, kHelper);
        ASSERT_EQ(MH_CreateHook(page.at(0), reinterpret_cast<void*>(&countingDetour),
                                reinterpret_cast<void**>(&g_original)),
                  MH_OK)
            << c.what;
        ASSERT_EQ(MH_EnableHook(page.at(0)), MH_OK) << c.what;
        g_detourCalls = 0;
        const long long result = page.fn()(0);
        EXPECT_EQ(g_detourCalls, 1) << c.what;
        if (c.expected >= 0) {
            EXPECT_EQ(result, c.expected) << c.what;
        }
        EXPECT_TRUE(page.holds(5, kNextFunction)) << c.what << ": the next function was touched";
        EXPECT_EQ(page.fn(5)(0), 9) << c.what;
        ASSERT_EQ(MH_DisableHook(page.at(0)), MH_OK) << c.what;
        EXPECT_TRUE(page.holds(0, c.code)) << c.what << ": bytes not restored";
        ASSERT_EQ(MH_RemoveHook(page.at(0)), MH_OK) << c.what;
    }
}

// Padding that the function table claims as the start of a function is no padding.
TEST(Engine, PaddingThatTheFunctionTableClaimsIsRefused)
{
    ensureInitialized();
    const struct {
        const char* what;
        DWORD nextBegins; // 0: no second entry
        MH_STATUS expected;
    } cases[] = {
        {"no function in the padding", 0, MH_OK},
        {"next function right behind the padding", 5, MH_OK},
        {"a function begins at the first padding byte", 3, MH_ERROR_UNSUPPORTED_FUNCTION},
        {"a function begins at the last padding byte", 4, MH_ERROR_UNSUPPORTED_FUNCTION},
    };
    for (const auto& c : cases) {
        CodePage page;
        page.put(0, {0x31, 0xC0, 0xC3, 0x90, 0x90});
        page.put(0x100, {0x01, 0x00, 0x00, 0x00}); // unwind info: version 1, no prologue, no codes
        RUNTIME_FUNCTION entries[2] = {{0, 3, 0x100}, {c.nextBegins, c.nextBegins + 1, 0x100}};
        const DWORD count = c.nextBegins != 0 ? 2 : 1;
        ASSERT_TRUE(RtlAddFunctionTable(entries, count, reinterpret_cast<DWORD64>(page.at(0)))) << c.what;
        EXPECT_EQ(MH_CreateHook(page.at(0), reinterpret_cast<void*>(&countingDetour), nullptr), c.expected)
            << c.what;
        if (c.expected == MH_OK) {
            EXPECT_EQ(MH_RemoveHook(page.at(0)), MH_OK) << c.what;
        }
        RtlDeleteFunctionTable(entries);
    }
}

// The queue: each step's status, then which of two hooks are on once it is applied.
TEST(Engine, QueuedChangesApplyTogether)
{
    ensureInitialized();
    enum Op { queueEnable, queueDisable, enable, disable, apply };
    constexpr int kAll = -1;
    struct Step {
        Op op;
        int target; // 0, 1 or kAll
        MH_STATUS status = MH_OK;
    };
    const struct {
        const char* what;
        std::vector<Step> steps;
        bool on[2];
    } cases[] = {
        {"nothing queued", {{apply, kAll}}, {false, false}},
        {"queued, not applied", {{queueEnable, 0}}, {false, false}},
        {"one queued", {{queueEnable, 0}, {apply, kAll}}, {true, false}},
        {"all queued", {{queueEnable, kAll}, {apply, kAll}}, {true, true}},
        {"all, then one taken back", {{queueEnable, kAll}, {queueDisable, 1}, {apply, kAll}}, {true, false}},
        {"a direct switch keeps the other's queued state",
         {{queueEnable, 0}, {enable, 1}, {apply, kAll}},
         {true, true}},
        {"a direct switch replaces its own queued state",
         {{queueEnable, 0}, {disable, 0, MH_ERROR_DISABLED}, {enable, 0}, {disable, 0}, {apply, kAll}},
         {false, false}},
        {"disabling queued for all", {{enable, kAll}, {queueDisable, kAll}, {apply, kAll}}, {false, false}},
        {"applied twice", {{queueEnable, 1}, {apply, kAll}, {apply, kAll}}, {false, true}},
    };
    for (const auto& c : cases) {
        CodePage pages[2];
        Fn* originals[2] = {&g_original, &g_outerOriginal};
        void* detours[2] = {reinterpret_cast<void*>(&detourAdding1000),
                            reinterpret_cast<void*>(&outerDetour)};
        for (int i = 0; i < 2; ++i) {
            pages[i].put(0, hooktest::returning(static_cast<std::uint32_t>(i + 1)));
            ASSERT_EQ(MH_CreateHook(pages[i].at(0), detours[i], reinterpret_cast<void**>(originals[i])),
                      MH_OK);
        }
        for (const Step& step : c.steps) {
            void* target = step.target == kAll ? MH_ALL_HOOKS : pages[step.target].at(0);
            MH_STATUS s = MH_UNKNOWN;
            switch (step.op) {
            case queueEnable:
                s = MH_QueueEnableHook(target);
                break;
            case queueDisable:
                s = MH_QueueDisableHook(target);
                break;
            case enable:
                s = MH_EnableHook(target);
                break;
            case disable:
                s = MH_DisableHook(target);
                break;
            case apply:
                s = MH_ApplyQueued();
                break;
            }
            EXPECT_EQ(s, step.status) << c.what;
        }
        EXPECT_EQ(pages[0].fn()(0), c.on[0] ? 1001 : 1) << c.what;
        EXPECT_EQ(pages[1].fn()(0), c.on[1] ? 20002 : 2) << c.what;
        for (CodePage& page : pages) {
            ASSERT_EQ(MH_RemoveHook(page.at(0)), MH_OK) << c.what;
        }
    }
    CodePage stranger;
    EXPECT_EQ(MH_QueueEnableHook(stranger.at(0)), MH_ERROR_NOT_CREATED);
    EXPECT_EQ(MH_QueueDisableHook(stranger.at(0)), MH_ERROR_NOT_CREATED);
}

// Without initialisation the lookup errors still come first, then the engine's state.
TEST(Engine, ApiLookupComesBeforeTheInitialisationCheck)
{
    ensureInitialized();
    ASSERT_EQ(MH_Uninitialize(), MH_OK);
    const struct {
        const wchar_t* module;
        const char* name;
        MH_STATUS expected;
    } cases[] = {
        {L"no-such-module.dll", "X", MH_ERROR_MODULE_NOT_FOUND},
        {L"kernel32.dll", "NoSuchExport", MH_ERROR_FUNCTION_NOT_FOUND},
        {L"kernel32.dll", "GetTickCount", MH_ERROR_NOT_INITIALIZED},
    };
    for (const auto& c : cases) {
        void* target = nullptr;
        EXPECT_EQ(MH_CreateHookApiEx(c.module, c.name, reinterpret_cast<void*>(&detourAdding1000), nullptr,
                                     &target),
                  c.expected)
            << c.name;
        EXPECT_EQ(MH_CreateHookApi(c.module, c.name, reinterpret_cast<void*>(&detourAdding1000), nullptr),
                  c.expected)
            << c.name;
    }
    EXPECT_EQ(MH_QueueEnableHook(MH_ALL_HOOKS), MH_ERROR_NOT_INITIALIZED);
    EXPECT_EQ(MH_QueueDisableHook(MH_ALL_HOOKS), MH_ERROR_NOT_INITIALIZED);
    EXPECT_EQ(MH_ApplyQueued(), MH_ERROR_NOT_INITIALIZED);
    ASSERT_EQ(MH_Initialize(), MH_OK);
}

} // namespace
