#pragma once
#include <cstdint>
#include <vector>

std::vector<std::uint32_t>& recordedMarkers();
