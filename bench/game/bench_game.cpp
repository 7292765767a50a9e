// The bridge's per-frame cost in context: the stand-in game runs the same
// frames twice, once with the bridge (stand-in Streamline doing no GPU work)
// and once on its own FSR2 path, and the difference of its timed frame calls
// is what the bridge adds. The bridge's log runs meanwhile, as in every game.
// That difference holds the stand-in Streamline's own bookkeeping too: it times
// itself, and the figure without it is the bridge's own.
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

    // The frames were measured with the log running: the DLL started it, and it took the attachment's lines.
    const std::string log = with.file(L"fsr2bridge.log");
    const bool logRunning = log.find("] fsr2bridge ") != std::string::npos &&
                            log.find("DLSS is in place of the game's FSR2") != std::string::npos;
    if (!logRunning) {
        std::printf("FAIL: the bridged run kept no fsr2bridge.log\n%s\n", log.c_str());
        return 1;
    }

    const double frameBudgetUs = 16667.0;
    struct Part {
        const char* name;
        const char* key;
    };
    // Dispatch translation, the present path minus the system's present, queue submissions minus the
    // system's.
    const Part parts[] = {
        {"dispatch", "bench_dispatch_us"},
        {"present", "bench_present_us"},
        {"submit", "bench_submit_us"},
    };
    const double overhead = numberOf(with, "bench_frame_us") - numberOf(without, "bench_frame_us");
    const double allocations =
        numberOf(with, "bench_allocations_per_frame") - numberOf(without, "bench_allocations_per_frame");
    const double standin = numberOf(with, "bench_standin_us");
    std::printf("game_frame_overhead: %.2f us\n", overhead);
    // Added time without the stand-in's share; and the frame calls with the bridge without it: the time in
    // the bridge's own code, not less the game's own FSR2 work that it replaces.
    std::printf("game_frame_overhead_own: %.2f us\n", overhead - standin);
    std::printf("game_frame_own_with: %.2f us\n", numberOf(with, "bench_frame_us") - standin);
    std::printf("game_standin_frame: %.2f us\n", standin);
    std::printf("game_frame_allocations: %.2f allocations/frame\n", allocations);
    // Each part: added time, its share of a 16.7 ms frame, and the time with and without the bridge.
    for (const Part& part : parts) {
        const double added = numberOf(with, part.key) - numberOf(without, part.key);
        std::printf("game_%s_added: %.2f us\n", part.name, added);
        std::printf("game_%s_frame_share: %.3f %%\n", part.name, 100.0 * added / frameBudgetUs);
        std::printf("game_%s_with: %.2f us\n", part.name, numberOf(with, part.key));
        std::printf("game_%s_without: %.2f us\n", part.name, numberOf(without, part.key));
    }
    // Allocations per frame with and without the bridge, and whether they were counted at all (1/0).
    std::printf("game_allocations_with: %s allocations/frame\n",
                with.value("bench_allocations_per_frame").c_str());
    std::printf("game_allocations_without: %s allocations/frame\n",
                without.value("bench_allocations_per_frame").c_str());
    std::printf("game_allocation_counting: %d flag\n", with.value("allocation_counting") == "1" ? 1 : 0);
    // The system's own present (not counted above), and whether it was timed at all (1/0).
    std::printf("game_system_present_with: %s us\n", with.value("bench_inner_present_us").c_str());
    std::printf("game_system_present_without: %s us\n", without.value("bench_inner_present_us").c_str());
    std::printf("game_system_present_timing: %d flag\n", with.value("inner_present_timing") == "1" ? 1 : 0);
    std::printf("game_log_running: %d flag\n", logRunning ? 1 : 0);
    if (standin <= 0) {
        std::printf("FAIL: the stand-in Streamline's own time was not measured\n");
        return 1;
    }
    return allocations > 0.5 ? 1 : 0;
}
