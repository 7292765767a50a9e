#pragma once
// Stops every other thread of the process while code is patched, so that none of them runs
// half-written bytes, and lets the caller move their instruction pointers.
//
// Windows suspends asynchronously: SuspendThread only asks, and the thread may run on for a
// moment. Each suspension is therefore confirmed by reading the thread's control registers,
// which waits until the thread really stands still; that one read also gives the instruction
// pointer the moves work on. All threads are asked first and confirmed afterwards, so their
// stops overlap. Nothing may be written until `ready()`.
//
// A thread on its way out refuses suspension until it has ended, which takes a moment: the freeze
// then lets every thread go, waits for that one, and starts again (thread-pool and loader workers
// come and go during start-up, when most hooks are made).

#include "hooking/hook_platform.h"

#include <cstdint>
#include <vector>

namespace fsr2bridge {

enum class FreezeStatus : std::uint8_t {
    ready,       // every other live thread is suspended and confirmed
    notListed,   // the threads could not be listed, or memory for them ran out: none is suspended
    unconfirmed, // a live thread could not be suspended or its suspension not confirmed
};

class ThreadFreezer {
public:
    static constexpr int attempts = 4;
    static constexpr std::uint32_t exitWaitMilliseconds = 50;

    // Everything that allocates happens before the first suspension: a suspended thread may hold
    // the heap lock.
    explicit ThreadFreezer(HookPlatform& platform);
    ~ThreadFreezer(); // resumes them
    ThreadFreezer(const ThreadFreezer&) = delete;
    ThreadFreezer& operator=(const ThreadFreezer&) = delete;

    bool ready() const { return status_ == FreezeStatus::ready; }

    // Calls map(ip) for each frozen thread and writes back a changed instruction pointer.
    // False when a move could not be written (that thread stays where it was).
    template <class Map> bool moveInstructionPointers(Map&& map)
    {
        bool all = true;
        for (Frozen& t : threads_) {
            if (!t.confirmed) {
                continue;
            }
            const std::uintptr_t ip = static_cast<std::uintptr_t>(t.control.rip);
            const std::uintptr_t moved = map(ip);
            if (moved != ip) {
                all = setInstructionPointer(t, moved) && all;
            }
        }
        return all;
    }

    // True when a frozen thread's instruction pointer lies in [lo, hi).
    bool anyStandsIn(std::uintptr_t lo, std::uintptr_t hi) const;

private:
    struct Frozen {
        HANDLE handle;
        ThreadControl control;
        bool confirmed; // false: the thread ended before its registers could be read
    };
    bool setInstructionPointer(Frozen& t, std::uintptr_t ip);
    // One attempt. Returns a thread on its way out, still open, after resuming and closing the others
    // (status unconfirmed); otherwise null.
    HANDLE freezeOnce();
    void thaw();

    HookPlatform& platform_;
    std::vector<HANDLE> listed_;
    std::vector<Frozen> threads_;
    FreezeStatus status_ = FreezeStatus::notListed;
};

} // namespace fsr2bridge
