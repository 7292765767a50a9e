#pragma once
// The stand-in game: starts Direct3D 12 and DXGI the way a title does, renders
// animated frames, upscales them through its FSR2 exports and presents them.
#include "testbed/host/host_options.h"
#include "testbed/host/host_report.h"

namespace hostgame {

enum ExitCode : int {
    exitOk = 0,
    exitBadArguments = 2,
    exitFactoryFailed = 3,
    exitDeviceFailed = 4,
    exitSetupFailed = 5,
    exitDeviceLost = 6, // --on-device-lost quit
};

// Runs the whole game; fills `report` as it goes and returns the exit code.
int runGame(const GameOptions& options, Report& report);

} // namespace hostgame
