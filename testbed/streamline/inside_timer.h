#pragma once
// The time spent inside the stand-in: every exported function, feature function and interposed method opens
// one InsideTimer; the outermost one on a thread adds its duration (time-stamp counter ticks) to one
// process-wide sum, which the export slStandinInsideMicroseconds reads, so that a benchmark can take the
// stand-in's own cost out of a frame. Per-frame safe: no lock, no allocation (the thread's depth is made at
// its first use, at slInit on the game's thread).
#include <intrin.h>

#include <atomic>
#include <cstdint>

namespace fsr2bridge::standin {

inline std::atomic<std::uint64_t> insideTicks{0};
inline thread_local std::uint32_t insideDepth = 0;

class InsideTimer {
public:
    InsideTimer() noexcept : start_(insideDepth++ == 0 ? __rdtsc() : 0) {}
    ~InsideTimer()
    {
        if (--insideDepth == 0)
            insideTicks.fetch_add(__rdtsc() - start_, std::memory_order_relaxed);
    }
    InsideTimer(const InsideTimer&) = delete;
    InsideTimer& operator=(const InsideTimer&) = delete;

private:
    std::uint64_t start_;
};

} // namespace fsr2bridge::standin
