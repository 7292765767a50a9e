// Records the Reflex markers the proxies send, in order.
#include "reflex_recorder.h"

namespace fsr2bridge {
bool sendReflexMarker(std::uint32_t marker)
{
    recordedMarkers().push_back(marker);
    return true;
}
} // namespace fsr2bridge

std::vector<std::uint32_t>& recordedMarkers()
{
    static std::vector<std::uint32_t> markers;
    return markers;
}
