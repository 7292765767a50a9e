// Prints "name: value unit" lines: the cost of a call through detour and trampoline against a
// direct call of the same function, measured in the same run; of one enable/disable cycle; and
// of enabling and disabling one hook while 0, 50 and 100 other threads run (a tenth of them
// busy), against a reference freeze done the common way in the same run (a system-wide thread
// snapshot, each thread opened, suspended and its context read once per patch); and making five hooks live
// one by one against all at once through the queue.
#include "hooking/MinHook.h"
#include "tests/hooking/bystanders.h"

#include <windows.h>

#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "tests/support/timer.h"

namespace {

using Fn = long long (*)(long long);
Fn g_original = nullptr;

// The detour does nothing but pass the call on, so the difference is the hook's own cost.
long long passOn(long long a)
{
    return g_original(a);
}

// Nanoseconds per call of `fn`, best of several rounds.
double nsPerCall(Fn volatile& fn, long long calls)
{
    double best = 1e30;
    for (int round = 0; round < 5; ++round) {
        long long sum = 0;
        const double start = testsupport::secondsNow();
        for (long long i = 0; i < calls; ++i) {
            sum += fn(i);
        }
        const double elapsed = testsupport::secondsNow() - start;
        if (sum == 42) {
            std::puts("");
        }
        double ns = elapsed * 1e9 / static_cast<double>(calls);
        best = ns < best ? ns : best;
    }
    return best;
}

// One patch written the common way: snapshot every thread of the system, open and suspend this
// process's others, read each one's context (for the instruction-pointer check), write, resume.
void referencePatch(unsigned char* at, const unsigned char* bytes)
{
    std::vector<HANDLE> suspended;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot != INVALID_HANDLE_VALUE) {
        THREADENTRY32 te;
        te.dwSize = sizeof te;
        for (BOOL more = Thread32First(snapshot, &te); more; more = Thread32Next(snapshot, &te)) {
            if (te.th32OwnerProcessID == GetCurrentProcessId() && te.th32ThreadID != GetCurrentThreadId()) {
                HANDLE h = OpenThread(THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT | THREAD_SET_CONTEXT, FALSE,
                                      te.th32ThreadID);
                if (h != nullptr && SuspendThread(h) != static_cast<DWORD>(-1)) {
                    suspended.push_back(h);
                } else if (h != nullptr) {
                    CloseHandle(h);
                }
            }
            te.dwSize = sizeof te;
        }
        CloseHandle(snapshot);
    }
    for (HANDLE h : suspended) {
        CONTEXT ctx;
        ctx.ContextFlags = CONTEXT_CONTROL;
        GetThreadContext(h, &ctx);
    }
    DWORD old = 0;
    VirtualProtect(at, 5, PAGE_EXECUTE_READWRITE, &old);
    std::memcpy(at, bytes, 5);
    VirtualProtect(at, 5, old, &old);
    FlushInstructionCache(GetCurrentProcess(), at, 5);
    for (HANDLE h : suspended) {
        ResumeThread(h);
        CloseHandle(h);
    }
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Milliseconds of one enable + disable, the engine's and the reference's, median of `rounds`.
void measureFreezing(unsigned char* code, int extraThreads, int rounds)
{
    hooktest::Bystanders crowd(extraThreads - extraThreads / 10, extraThreads / 10);
    unsigned char original[5], patch[5] = {0xE9, 0, 0, 0, 0};
    std::memcpy(original, code, 5);
    std::vector<double> engine, reference;
    for (int i = 0; i < rounds; ++i) {
        const double a = testsupport::secondsNow();
        MH_EnableHook(code);
        MH_DisableHook(code);
        const double b = testsupport::secondsNow();
        // The reference writes a jump and restores the bytes; nothing calls the target meanwhile.
        referencePatch(code, patch);
        referencePatch(code, original);
        const double c = testsupport::secondsNow();
        engine.push_back((b - a) * 1e3);
        reference.push_back((c - b) * 1e3);
    }
    const double ours = median(engine), theirs = median(reference);
    std::printf("hooking_enable_disable_%d_threads: %.2f ms\n", extraThreads, ours);
    std::printf("hooking_reference_freeze_enable_disable_%d_threads: %.2f ms\n", extraThreads, theirs);
    std::printf("hooking_enable_disable_vs_reference_%d_threads: %.2f x\n", extraThreads, ours / theirs);
    std::fflush(stdout);
}

// Milliseconds to make five hooks live while `extraThreads` others run: each enabled on its own (a freeze
// per hook), and all queued and applied at once (one freeze), median of `rounds`.
void measureFiveHooks(unsigned char* const (&targets)[5], int extraThreads, int rounds)
{
    hooktest::Bystanders crowd(extraThreads - extraThreads / 10, extraThreads / 10);
    std::vector<double> oneByOne, together;
    for (int i = 0; i < rounds; ++i) {
        const double a = testsupport::secondsNow();
        for (unsigned char* t : targets) {
            MH_EnableHook(t);
        }
        const double b = testsupport::secondsNow();
        MH_DisableHook(MH_ALL_HOOKS);
        const double c = testsupport::secondsNow();
        for (unsigned char* t : targets) {
            MH_QueueEnableHook(t);
        }
        MH_ApplyQueued();
        const double d = testsupport::secondsNow();
        MH_DisableHook(MH_ALL_HOOKS);
        oneByOne.push_back((b - a) * 1e3);
        together.push_back((d - c) * 1e3);
    }
    const double separate = median(oneByOne), batched = median(together);
    std::printf("hooking_enable_five_one_by_one_%d_threads: %.2f ms\n", extraThreads, separate);
    std::printf("hooking_enable_five_together_%d_threads: %.2f ms\n", extraThreads, batched);
    std::printf("hooking_enable_five_together_vs_one_by_one_%d_threads: %.2f x\n", extraThreads,
                batched / separate);
    std::fflush(stdout);
}

} // namespace

int main()
{
    auto* code = static_cast<unsigned char*>(
        VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE));
    // lea rax,[rcx+1]; nop; ret — a typical small function with room for the patch
    const unsigned char body[] = {0x48, 0x8D, 0x41, 0x01, 0x90, 0xC3};
    std::memcpy(code, body, sizeof body);
    FlushInstructionCache(GetCurrentProcess(), code, sizeof body);
    Fn volatile target = reinterpret_cast<Fn>(code);

    const long long calls = 20000000;
    const double direct = nsPerCall(target, calls);
    if (MH_Initialize() != MH_OK ||
        MH_CreateHook(code, reinterpret_cast<void*>(&passOn), reinterpret_cast<void**>(&g_original)) !=
            MH_OK ||
        MH_EnableHook(code) != MH_OK) {
        std::fprintf(stderr, "bench_hooking: hook failed\n");
        return 1;
    }
    const double hooked = nsPerCall(target, calls);

    MH_DisableHook(code);
    const int cycles = 100;
    const double start = testsupport::secondsNow();
    for (int i = 0; i < cycles; ++i) {
        MH_EnableHook(code);
        MH_DisableHook(code);
    }
    const double cyclesTook = testsupport::secondsNow() - start;

    std::printf("hooking_direct_call: %.2f ns\n", direct);
    std::printf("hooking_hooked_call: %.2f ns\n", hooked);
    std::printf("hooking_hooked_vs_direct: %.2f x\n", hooked / direct);
    std::printf("hooking_enable_disable_cycle: %.1f us\n", cyclesTook * 1e6 / cycles);
    std::fflush(stdout);

    measureFreezing(code, 0, 9);
    measureFreezing(code, 50, 5);
    measureFreezing(code, 100, 5);

    // Five more functions like the first, hooked as the system installs the game's hooks.
    unsigned char* five[5];
    void* originals[5];
    for (int i = 0; i < 5; ++i) {
        five[i] = code + 64 + 16 * i;
        std::memcpy(five[i], body, sizeof body);
        FlushInstructionCache(GetCurrentProcess(), five[i], sizeof body);
        if (MH_CreateHook(five[i], reinterpret_cast<void*>(&passOn), &originals[i]) != MH_OK) {
            std::fprintf(stderr, "bench_hooking: hook failed\n");
            return 1;
        }
    }
    measureFiveHooks(five, 0, 9);
    measureFiveHooks(five, 50, 5);
    measureFiveHooks(five, 100, 5);
    if (std::memcmp(code, body, sizeof body) != 0 || target(41) != 42) {
        std::fprintf(stderr, "bench_hooking: the target was left changed\n");
        return 1;
    }
    return 0;
}
