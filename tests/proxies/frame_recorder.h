#pragma once
// Stand-ins for the Reflex, Frame Generation and Streamline calls the proxies make: every call is appended
// to one event log, so tests can check what was called and in which order.
#include <cstdint>
#include <string>
#include <vector>

namespace recorder {

std::vector<std::string>& events();
std::vector<std::uint32_t> markers(); // the marker numbers among the events, in order

// What the recorded calls report (false: every Reflex/Frame Generation call fails).
extern bool callsSucceed;
// Every recorded call throws after recording (a misbehaving module must not break the host's calls).
extern bool callsThrow;
// The frame-generation request flag the camera hook would have raised.
extern bool frameGenerationRequested;

void reset();

} // namespace recorder
