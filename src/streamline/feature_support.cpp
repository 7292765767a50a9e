#include "streamline/feature_support.h"

#include <atomic>

namespace fsr2bridge {

namespace {
// Written at attachment, read by every dispatch (on another thread).
std::atomic<bool> nisAvailable{false};
std::atomic<bool> frameGenerationFilesMissing{false};
} // namespace

bool nisSupported() noexcept
{
    return nisAvailable.load(std::memory_order_relaxed);
}

void recordNisSupport(bool available) noexcept
{
    nisAvailable.store(available, std::memory_order_relaxed);
}

bool frameGenerationMissing() noexcept
{
    return frameGenerationFilesMissing.load(std::memory_order_relaxed);
}

void recordFrameGenerationMissing(bool missing) noexcept
{
    frameGenerationFilesMissing.store(missing, std::memory_order_relaxed);
}

} // namespace fsr2bridge
