#include "frame_recorder.h"

#include "streamline/reflex.h"
#include "streamline/streamline_api.h"
#include "upscaler/frame_generation.h"
#include "upscaler/host_hooks.h"

namespace recorder {

bool callsSucceed = true;
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
    frameGenerationRequested = false;
}

} // namespace recorder

namespace fsr2bridge {

bool sendReflexMarker(std::uint32_t marker)
{
    recorder::events().push_back("marker " + std::to_string(marker));
    return recorder::callsSucceed;
}

bool advanceFrameToken()
{
    recorder::events().push_back("advance");
    return recorder::callsSucceed;
}

bool reflexSleep()
{
    recorder::events().push_back("sleep");
    return recorder::callsSucceed;
}

bool setFrameGenerationMode(std::uint32_t mode)
{
    recorder::events().push_back("frameGeneration " + std::to_string(mode));
    return recorder::callsSucceed;
}

bool takeFrameGenerationRequest()
{
    const bool requested = recorder::frameGenerationRequested;
    recorder::frameGenerationRequested = false;
    return requested;
}

} // namespace fsr2bridge
