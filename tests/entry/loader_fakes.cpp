// The Streamline loader, scripted: whether the load succeeds and whether the settings turn the system off.
#include "loader_fakes.h"

#include "streamline/loader.h"

namespace loaderfakes {
bool loadResult = true;
bool passThrough = false;
int loads = 0;
} // namespace loaderfakes

namespace fsr2bridge {

bool loadStreamline()
{
    ++loaderfakes::loads;
    return loaderfakes::loadResult;
}

bool passThroughMode()
{
    return loaderfakes::passThrough;
}

} // namespace fsr2bridge
