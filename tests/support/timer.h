#pragma once
// The benchmarks' clock.

namespace testsupport {

// Seconds on the performance counter.
double secondsNow();

} // namespace testsupport
