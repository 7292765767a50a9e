#pragma once
// Counts the heap allocations the game's main thread makes inside chosen
// windows (the frame calls of the benchmark mode), by hooking
// ntdll!RtlAllocateHeap, which every heap of the process ends in.
#include <cstdint>

namespace hostgame {

bool startAllocationCounting(); // false when the hook could not be placed
void countAllocations(bool on); // the calling thread's allocations from now on / no more
std::uint64_t countedAllocations();

} // namespace hostgame
