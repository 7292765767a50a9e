#pragma once
// Work that runs once per process on whichever thread asks first (the Streamline load, started by the
// first factory). Threads that ask while it runs wait for its end; the thread running it may ask again from
// inside it (Streamline may create a factory during its own initialisation) and is told so instead of
// waiting on itself. Once the work has finished, asking is one atomic read: no lock, no wait.
#include <windows.h>

#include <atomic>
#include <cstdint>

namespace fsr2bridge {

class LoadOnce {
public:
    enum class Turn : std::uint8_t {
        notStarted,   // nobody has claimed the work (only from awaitEnd)
        yours,        // the caller claimed it: it runs the work, then calls finish()
        nested,       // the work is running on the calling thread
        finished,     // the work has finished (waited for when another thread was running it)
        stillRunning, // another thread has run it for longer than the wait allows
    };

    // A waiter gives up after `waitMilliseconds`: a work that never ends must not stop every creator.
    constexpr explicit LoadOnce(std::uint32_t waitMilliseconds) : waitMilliseconds_(waitMilliseconds) {}
    LoadOnce(const LoadOnce&) = delete;
    LoadOnce& operator=(const LoadOnce&) = delete;

    // Claims the work when nobody has; otherwise as awaitEnd.
    Turn claim() noexcept;
    // Waits while another thread runs the work; claims nothing.
    Turn awaitEnd() noexcept;
    // Called once by the thread that claimed the work, when it is done; wakes the waiters.
    void finish() noexcept;

    bool claimed() const noexcept { return state_.load(std::memory_order_acquire) != notStartedState; }
    bool finished() const noexcept { return state_.load(std::memory_order_acquire) == finishedState; }
    // Threads that found the work running on another thread so far.
    std::uint32_t waiters() const noexcept { return waiters_.load(std::memory_order_relaxed); }

private:
    // The state: not started, finished, or running on the thread whose id it carries.
    static constexpr std::uint64_t notStartedState = 0;
    static constexpr std::uint64_t finishedState = 1;
    static std::uint64_t runningOn(DWORD thread) noexcept { return (std::uint64_t{thread} << 8) | 2; }

    Turn settle(std::uint64_t seen) noexcept;

    std::atomic<std::uint64_t> state_{notStartedState};
    std::atomic<std::uint32_t> waiters_{0};
    SRWLOCK lock_ = SRWLOCK_INIT;
    CONDITION_VARIABLE ended_ = CONDITION_VARIABLE_INIT;
    std::uint32_t waitMilliseconds_;
};

} // namespace fsr2bridge
