#pragma once
// How long each part of the start took: one line in the log at the end of the start-up (after the first
// device's attachment, or when the load failed).
#include <string>

namespace fsr2bridge {

// Milliseconds; negative: the phase did not run.
struct StartupPhases {
    double settings = -1;        // the settings store made from config.json
    double signature = -1;       // the interposer examined (there, a file, held, its signature)
    bool signatureEarly = false; // examined while the game booted
    double signatureWait = 0;    // how long the first factory waited for that
    double load = -1;            // LoadLibraryW of the interposer
    double slInit = -1;
    double attachment = -1; // the first device's attachment, the hooks included
    double hooks = -1;      // the host hooks installed by the attachment
};

StartupPhases& startupPhases() noexcept;

// "start-up phases: settings 2.1 ms, signature check 281.0 ms (during the game's boot; the first factory
// waited 0.0 ms for it), load ..., device attachment ..., hooks ..."
std::string startupPhasesText(const StartupPhases& phases);

// Logs the line once per process.
void logStartupPhases() noexcept;

// The time since `start` (a QueryPerformanceCounter reading) in milliseconds.
double millisecondsSince(long long start) noexcept;
long long performanceNow() noexcept;

} // namespace fsr2bridge
