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

#include <windows.h>

namespace hostgame {

// Times the system's own swap chain Present and queue ExecuteCommandLists
// (whoever calls them), so that the benchmark can take them out of the
// bridge's cost: hooks the implementations behind a real swap chain and queue
// made for the purpose. Call before the bridge loads.
bool startInnerPresentTiming();
// Microseconds spent inside those system calls on the calling thread so far.
double innerPresentMicroseconds();

// Microseconds the stand-in Streamline has spent inside its own functions and methods so far (its export
// slStandinInsideMicroseconds); 0 without it.
double standinInsideMicroseconds();

} // namespace hostgame
