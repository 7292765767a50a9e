#include "frame_recorder.h"

#include <stdexcept>

#include "streamline/reflex.h"
#include "streamline/streamline_api.h"
#include "upscaler/frame_generation.h"
#include "upscaler/host_hooks.h"

namespace recorder {

bool callsSucceed = true;
bool callsThrow = false;
bool frameGenerationRequested = false;

std::vector<std::string>& events()
{
    static std::vector<std::string> log;
    return log;
}

std::vector<std::uint32_t> markers()
{
    std::vector<std::uint32_t> result;
    for (const std::string& e : events())
        if (e.rfind("marker ", 0) == 0)
            result.push_back(static_cast<std::uint32_t>(std::stoul(e.substr(7))));
    return result;
}

void reset()
{
    events().clear();
    callsSucceed = true;
    callsThrow = false;
    frameGenerationRequested = false;
}

} // namespace recorder

namespace {
bool outcome()
{
    if (recorder::callsThrow)
        throw std::runtime_error("scripted failure");
    return recorder::callsSucceed;
}
} // namespace

namespace fsr2bridge {

bool sendReflexMarker(std::uint32_t marker)
{
    recorder::events().push_back("marker " + std::to_string(marker));
    return outcome();
}

bool advanceFrameToken()
{
    recorder::events().push_back("advance");
    return outcome();
}

bool reflexSleep()
{
    recorder::events().push_back("sleep");
    return outcome();
}

bool setFrameGenerationMode(std::uint32_t mode)
{
    recorder::events().push_back("frameGeneration " + std::to_string(mode));
    return outcome();
}

bool takeFrameGenerationRequest()
{
    const bool requested = recorder::frameGenerationRequested;
    recorder::frameGenerationRequested = false;
    return requested;
}

} // namespace fsr2bridge
