// What the bridge adds to the game's start: the stand-in game's time from its process's creation to its
// first presented frame, with the bridge (signature verification, settings, hooks, attachment, the log)
// and without it, the median of several runs each.
#include "tests/e2e/game_run.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

using namespace e2e;

namespace {

const wchar_t* const startupArguments = L"--frames 2 --resize-at 0 --render 64x64 --display 128x128";
constexpr int measuredRuns = 9;

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? -1.0 : values[values.size() / 2];
}

} // namespace

int main()
{
    const std::wstring game = windowsPath(BENCH_HOST_GAME);
    const std::wstring runs = windowsPath(BENCH_RUNS_DIR);

    GameFolder alone;
    alone.path = runs + L"\\startup_alone";
    GameFolder bridged;
    bridged.path = runs + L"\\startup_bridged";
    bridged.bridge = windowsPath(BENCH_BRIDGE);
    bridged.interposer = windowsPath(BENCH_INTERPOSER);
    bridged.environment[L"SL_STANDIN_NOGPU"] = L"1";

    std::vector<double> with, without;
    GameRun last;
    // The first run of each warms the caches (and creates config.json, as a player's first start does);
    // the others start as every later start of the game does.
    for (int run = 0; run <= measuredRuns; ++run) {
        const GameRun a = runGame(alone, game, std::wstring(startupArguments) + L" --no-bridge");
        last = runGame(bridged, game, startupArguments);
        alone.fresh = bridged.fresh = false;
        if (a.exitCode != 0 || last.exitCode != 0 || a.value("first_present_ms").empty() ||
            last.value("first_present_ms").empty()) {
            std::printf("FAIL: start-up not measured (game exit codes %lu and %lu)\n%s\n%s\n", a.exitCode,
                        last.exitCode, a.output.c_str(), last.output.c_str());
            return 1;
        }
        if (run == 0)
            continue;
        without.push_back(std::stod(a.value("first_present_ms")));
        with.push_back(std::stod(last.value("first_present_ms")));
    }
    if (last.value("swapchain_vtable") != "fsr2bridge.dll") {
        std::printf("FAIL: the bridge did not take over the game\n%s\n", last.output.c_str());
        return 1;
    }
    // The start-up measured includes the log: its file began with the build line.
    const std::string log = last.file(L"fsr2bridge.log");
    const bool logged = log.find("] fsr2bridge ") != std::string::npos &&
                        log.find("Streamline: loaded and initialised") != std::string::npos;

    std::printf("startup_overhead: %.1f ms\n", median(with) - median(without));
    std::printf("startup_with: %.1f ms\n", median(with));
    std::printf("startup_without: %.1f ms\n", median(without));
    std::printf("startup_log_written: %d flag\n", logged ? 1 : 0);
    if (!logged) {
        std::printf("FAIL: the bridged start wrote no fsr2bridge.log\n");
        return 1;
    }
    return 0;
}
