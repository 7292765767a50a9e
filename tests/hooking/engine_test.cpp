// The C API on synthetic functions written into executable memory: its states and errors,
// every relocation kind running for real, each refusal, stacked hooks, and threads racing
// enable/disable.
#include "hooking/MinHook.h"
#include "hooking/hook_table.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

namespace {

using Fn = long long (*)(long long);

// An executable page holding a function at offset 0 and helpers/data further on.
class CodePage {
public:
    CodePage()
        : base_(static_cast<std::uint8_t*>(
              VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE)))
    {
        std::memset(base_, 0xCC, 4096);
    }
    ~CodePage() { VirtualFree(base_, 0, MEM_RELEASE); }
    CodePage(const CodePage&) = delete;
    CodePage& operator=(const CodePage&) = delete;
    void put(std::size_t at, const std::vector<std::uint8_t>& bytes)
    {
        std::memcpy(base_ + at, bytes.data(), bytes.size());
        FlushInstructionCache(GetCurrentProcess(), base_ + at, bytes.size());
    }
    std::uint8_t* at(std::size_t offset) const { return base_ + offset; }
    Fn fn() const { return reinterpret_cast<Fn>(base_); }

private:
    std::uint8_t* base_;
};

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
        {"ret only", {0xC3}},
        {"too short: xor eax,eax; ret", {0x31, 0xC0, 0xC3}},
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

} // namespace
