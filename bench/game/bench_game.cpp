// The bridge's per-frame cost in context: the stand-in game runs the same
// frames twice, once with the bridge (stand-in Streamline doing no GPU work)
// and once on its own FSR2 path, and the difference of its timed frame calls
// is what the bridge adds.
#include "tests/e2e/game_run.h"

#include <cstdio>
#include <string>

using namespace e2e;

namespace {

const wchar_t* const benchArguments =
    L"--bench --frames 600 --resize-at 0 --render 64x64 --display 128x128 --no-internal";

double numberOf(const GameRun& run, const std::string& key)
{
    const std::string text = run.value(key);
    return text.empty() ? -1.0 : std::stod(text);
}

} // namespace

int main()
{
    const std::wstring game = windowsPath(BENCH_HOST_GAME);
    const std::wstring runs = windowsPath(BENCH_RUNS_DIR);

    GameFolder alone;
    alone.path = runs + L"\\alone";
    const GameRun without = runGame(alone, game, std::wstring(benchArguments) + L" --no-bridge");

    GameFolder bridged;
    bridged.path = runs + L"\\bridged";
    bridged.bridge = windowsPath(BENCH_BRIDGE);
    bridged.interposer = windowsPath(BENCH_INTERPOSER);
    // No config.json: the defaults, with Frame Generation, NIS and Reflex on.
    bridged.environment[L"SL_STANDIN_NOGPU"] = L"1";
    const GameRun with = runGame(bridged, game, benchArguments);

    if (without.exitCode != 0 || with.exitCode != 0 || numberOf(with, "bench_frame_us") < 0 ||
        numberOf(without, "bench_frame_us") < 0) {
        std::printf("frame overhead: not measured (game exit codes %lu and %lu)\n%s\n%s\n", without.exitCode,
                    with.exitCode, without.output.c_str(), with.output.c_str());
        return 1;
    }
    if (with.value("swapchain_vtable") != "fsr2bridge.dll" || with.number("own_fsr2_dispatches") != 0) {
        std::printf("frame overhead: not measured (the bridge did not take over the game's frames)\n%s\n",
                    with.output.c_str());
        return 1;
    }

    const double frameBudgetUs = 16667.0;
    struct Part {
        const char* name;
        const char* key;
    };
    const Part parts[] = {
        {"dispatch translation", "bench_dispatch_us"},
        {"present path minus the system's present", "bench_present_us"},
        {"queue submissions minus the system's", "bench_submit_us"},
    };
    const double overhead = numberOf(with, "bench_frame_us") - numberOf(without, "bench_frame_us");
    const double allocations =
        numberOf(with, "bench_allocations_per_frame") - numberOf(without, "bench_allocations_per_frame");
    std::printf("frame overhead: %.2f us per frame\n", overhead);
    std::printf("frame allocations: %.2f per frame\n", allocations);
    for (const Part& part : parts) {
        const double added = numberOf(with, part.key) - numberOf(without, part.key);
        std::printf("frame overhead %s: %.2f us (%.3f%% of a 16.7 ms frame; %.2f us with, %.2f us without)\n",
                    part.name, added, 100.0 * added / frameBudgetUs, numberOf(with, part.key),
                    numberOf(without, part.key));
    }
    std::printf("frame allocations with the bridge: %s per frame, without: %s per frame (counting %s)\n",
                with.value("bench_allocations_per_frame").c_str(),
                without.value("bench_allocations_per_frame").c_str(),
                with.value("allocation_counting") == "1" ? "on" : "unavailable");
    std::printf("system present (not counted): %s us with the bridge, %s us without (timing %s)\n",
                with.value("bench_inner_present_us").c_str(), without.value("bench_inner_present_us").c_str(),
                with.value("inner_present_timing") == "1" ? "on" : "unavailable");
    return allocations > 0.5 ? 1 : 0;
}
