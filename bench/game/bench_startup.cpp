// What the bridge adds to the game's start: the stand-in game's time from the moment it loads the bridge (in
// the run without it, the same moment) to its first presented frame, with the bridge (signature
// verification, settings, hooks, attachment, the log) and without it, the median of several runs each. (From
// the process's creation on, Wine's own start adds a noise of its own to both.) A real game boots for seconds
// between loading the bridge and its first factory, and the signature is verified meanwhile: so the runs that
// count have a boot of 500 ms, and the runs without one show the bridge's whole start as it was measured
// before.
#include "tests/e2e/game_run.h"

#include <algorithm>
#include <cstdio>
#include <regex>
#include <string>
#include <vector>

using namespace e2e;

namespace {

const wchar_t* const startupArguments = L"--frames 2 --resize-at 0 --render 64x64 --display 128x128";
constexpr int measuredRuns = 9;
constexpr int bootMilliseconds = 500;
const char* const firstPresent = "first_present_after_load_ms";

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? -1.0 : values[values.size() / 2];
}

// The median of each run with the bridge less the run without it just before: a machine whose load changes
// from second to second slows both of a pair alike.
double medianOverhead(const std::vector<double>& with, const std::vector<double>& without)
{
    std::vector<double> added;
    for (std::size_t i = 0; i < with.size() && i < without.size(); ++i)
        added.push_back(with[i] - without[i]);
    return median(added);
}

struct Startup {
    std::vector<double> with, without;
    std::vector<double> signature, factoryWait; // from the bridged runs' start-up phases lines
    std::vector<double>
        gameThread; // the phases on the game's thread: settings, the wait, load, slInit, attachment
    bool signatureDuringBoot = true; // every bridged run verified while the game booted
    bool logged = true;              // every bridged run wrote its log and its phases line
    GameRun last;
};

// From the log's start-up phases line: the signature check's total, the first factory's wait for it, and what
// the start-up took on the game's thread.
bool readPhases(const std::string& log, Startup& startup)
{
    static const std::regex phases(
        R"(start-up phases: .*signature check ([0-9.]+) ms \(([^;]*); the first factory waited ([0-9.]+) ms)");
    std::smatch match;
    if (!std::regex_search(log, match, phases))
        return false;
    startup.signature.push_back(std::stod(match[1]));
    startup.factoryWait.push_back(std::stod(match[3]));
    const std::string line = log.substr(static_cast<std::size_t>(match.position(0)));
    const bool early = match[2] == "during the game's boot";
    // The wait for an early check, or a check made in the first factory.
    double onGameThread = std::stod(match[early ? 3 : 1]);
    for (const char* phase : {"settings", "load", "slInit", "device attachment"}) {
        const std::regex one(std::string(phase) + R"( ([0-9.]+) ms)");
        std::smatch m;
        if (!std::regex_search(line, m, one))
            return false;
        onGameThread += std::stod(m[1]);
    }
    startup.gameThread.push_back(onGameThread);
    startup.signatureDuringBoot = startup.signatureDuringBoot && early;
    return true;
}

// The first run of each warms the caches (and creates config.json, as a player's first start does); the
// others start as every later start of the game does.
bool measure(const std::wstring& name, int bootMs, Startup& out)
{
    const std::wstring game = windowsPath(BENCH_HOST_GAME);
    const std::wstring runs = windowsPath(BENCH_RUNS_DIR);
    GameFolder alone;
    alone.path = runs + L"\\startup_alone" + name;
    GameFolder bridged;
    bridged.path = runs + L"\\startup_bridged" + name;
    bridged.bridge = windowsPath(BENCH_BRIDGE);
    bridged.interposer = windowsPath(BENCH_INTERPOSER);
    bridged.environment[L"SL_STANDIN_NOGPU"] = L"1";
    const std::wstring arguments = std::wstring(startupArguments) + L" --boot-ms " + std::to_wstring(bootMs);
    for (int run = 0; run <= measuredRuns; ++run) {
        const GameRun a = runGame(alone, game, arguments + L" --no-bridge");
        out.last = runGame(bridged, game, arguments);
        alone.fresh = bridged.fresh = false;
        if (a.exitCode != 0 || out.last.exitCode != 0 || a.value(firstPresent).empty() ||
            out.last.value(firstPresent).empty()) {
            std::printf("FAIL: start-up not measured (game exit codes %lu and %lu)\n%s\n%s\n", a.exitCode,
                        out.last.exitCode, a.output.c_str(), out.last.output.c_str());
            return false;
        }
        if (run == 0)
            continue;
        out.without.push_back(std::stod(a.value(firstPresent)));
        out.with.push_back(std::stod(out.last.value(firstPresent)));
        // The start-up measured includes the log: its file began with the build line.
        const std::string log = out.last.file(L"fsr2bridge.log");
        out.logged = out.logged && log.find("] fsr2bridge ") != std::string::npos &&
                     log.find("Streamline: loaded and initialised") != std::string::npos &&
                     readPhases(log, out);
    }
    if (out.last.value("swapchain_vtable") != "fsr2bridge.dll") {
        std::printf("FAIL: the bridge did not take over the game\n%s\n", out.last.output.c_str());
        return false;
    }
    return true;
}

} // namespace

int main()
{
    Startup booted, unbooted;
    if (!measure(L"_boot", bootMilliseconds, booted) || !measure(L"", 0, unbooted))
        return 1;
    std::printf("startup_overhead: %.1f ms\n", medianOverhead(booted.with, booted.without));
    std::printf("startup_factory_wait: %.1f ms\n", median(booted.factoryWait));
    std::printf("startup_signature_check: %.1f ms\n", median(booted.signature));
    std::printf("startup_phases_on_game_thread: %.1f ms\n", median(booted.gameThread));
    std::printf("startup_with: %.1f ms\n", median(booted.with));
    std::printf("startup_without: %.1f ms\n", median(booted.without));
    std::printf("startup_overhead_no_boot: %.1f ms\n", medianOverhead(unbooted.with, unbooted.without));
    std::printf("startup_factory_wait_no_boot: %.1f ms\n", median(unbooted.factoryWait));
    std::printf("startup_with_no_boot: %.1f ms\n", median(unbooted.with));
    std::printf("startup_without_no_boot: %.1f ms\n", median(unbooted.without));
    std::printf("startup_log_written: %d flag\n", booted.logged && unbooted.logged ? 1 : 0);
    std::printf("startup_signature_during_boot: %d flag\n", booted.signatureDuringBoot ? 1 : 0);
    if (!booted.logged || !unbooted.logged) {
        std::printf("FAIL: a bridged start wrote no fsr2bridge.log with its start-up phases\n");
        return 1;
    }
    if (!booted.signatureDuringBoot) {
        std::printf("FAIL: the signature was not verified while the game booted\n");
        return 1;
    }
    return 0;
}
