// The stand-in game's entry: parses the command line, runs, prints the report.
#include "testbed/host/host_game.h"

#include <windows.h>

#include <shellapi.h>

#include <cstdio>
#include <exception>

int main()
{
    using namespace hostgame;
    std::vector<std::wstring> arguments;
    int count = 0;
    if (LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &count)) {
        for (int i = 1; i < count; ++i)
            arguments.emplace_back(argv[i]);
        LocalFree(argv);
    }
    const ParseResult parsed = parseOptions(arguments);
    if (!parsed.error.empty()) {
        std::fprintf(stderr, "host_game: %s\n%s", parsed.error.c_str(), usageText().c_str());
        return exitBadArguments;
    }
    Report report;
    int code = exitSetupFailed;
    try {
        code = runGame(parsed.options, report);
    } catch (const std::exception& e) {
        report.setText("exception", e.what());
    }
    std::fputs(report.format().c_str(), stdout);
    std::fflush(stdout);
    return code;
}
