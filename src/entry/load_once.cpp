#include "entry/load_once.h"

namespace fsr2bridge {

LoadOnce::Turn LoadOnce::claim() noexcept
{
    std::uint64_t seen = notStartedState;
    if (state_.compare_exchange_strong(seen, runningOn(GetCurrentThreadId()), std::memory_order_acq_rel,
                                       std::memory_order_acquire))
        return Turn::yours;
    return settle(seen);
}

LoadOnce::Turn LoadOnce::awaitEnd() noexcept
{
    return settle(state_.load(std::memory_order_acquire));
}

void LoadOnce::finish() noexcept
{
    // Set under the lock, so that a waiter cannot miss the wake-up between its test and its sleep.
    AcquireSRWLockExclusive(&lock_);
    state_.store(finishedState, std::memory_order_release);
    ReleaseSRWLockExclusive(&lock_);
    WakeAllConditionVariable(&ended_);
}

LoadOnce::Turn LoadOnce::settle(std::uint64_t seen) noexcept
{
    if (seen == finishedState)
        return Turn::finished;
    if (seen == notStartedState)
        return Turn::notStarted;
    if (seen == runningOn(GetCurrentThreadId()))
        return Turn::nested;
    waiters_.fetch_add(1, std::memory_order_relaxed);
    const ULONGLONG deadline = GetTickCount64() + waitMilliseconds_;
    AcquireSRWLockExclusive(&lock_);
    bool ended = state_.load(std::memory_order_acquire) == finishedState;
    for (ULONGLONG now = GetTickCount64(); !ended && now < deadline; now = GetTickCount64()) {
        SleepConditionVariableSRW(&ended_, &lock_, static_cast<DWORD>(deadline - now), 0);
        ended = state_.load(std::memory_order_acquire) == finishedState;
    }
    ReleaseSRWLockExclusive(&lock_);
    return ended ? Turn::finished : Turn::stillRunning;
}

} // namespace fsr2bridge
