#pragma once

namespace loaderfakes {
extern bool loadResult;
extern bool passThrough;
extern int loads;
} // namespace loaderfakes
