#include "streamline/startup_phases.h"

#include <windows.h>

#include <atomic>
#include <cstdio>

#include "common/log.h"

namespace fsr2bridge {

namespace {

void appendPhase(std::string& text, const char* name, double milliseconds)
{
    char part[64];
    if (milliseconds < 0)
        std::snprintf(part, sizeof part, "%s%s -", text.empty() ? "" : ", ", name);
    else
        std::snprintf(part, sizeof part, "%s%s %.1f ms", text.empty() ? "" : ", ", name, milliseconds);
    text += part;
}

} // namespace

StartupPhases& startupPhases() noexcept
{
    static StartupPhases phases;
    return phases;
}

std::string startupPhasesText(const StartupPhases& phases)
{
    std::string text;
    appendPhase(text, "settings", phases.settings);
    appendPhase(text, "signature check", phases.signature);
    if (phases.signature >= 0) {
        char part[96];
        std::snprintf(part, sizeof part, " (%s; the first factory waited %.1f ms for it)",
                      phases.signatureEarly ? "during the game's boot" : "in the first factory",
                      phases.signatureWait);
        text += part;
    }
    appendPhase(text, "load", phases.load);
    appendPhase(text, "slInit", phases.slInit);
    appendPhase(text, "device attachment", phases.attachment);
    appendPhase(text, "hooks", phases.hooks);
    return "start-up phases: " + text;
}

void logStartupPhases() noexcept
{
    static std::atomic<bool> logged{false};
    if (logged.exchange(true))
        return;
    try {
        logText(startupPhasesText(startupPhases()));
    } catch (...) {
    }
}

long long performanceNow() noexcept
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

double millisecondsSince(long long start) noexcept
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * static_cast<double>(performanceNow() - start) / static_cast<double>(frequency.QuadPart);
}

} // namespace fsr2bridge
