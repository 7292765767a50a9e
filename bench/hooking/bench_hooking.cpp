// Prints "name: value unit" lines: the cost of a call through detour and trampoline against a
// direct call of the same function, measured in the same run, and of one enable/disable cycle.
#include "hooking/MinHook.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

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
    return 0;
}
