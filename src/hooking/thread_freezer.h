#pragma once
// Suspends every other thread of the process while code is patched, so that none of them runs
// half-written bytes, and lets the caller move their instruction pointers.

#include <windows.h>

#include <cstdint>
#include <vector>

namespace fsr2bridge {

class ThreadFreezer {
public:
    // Enumerates and suspends the other threads. Everything that allocates happens before the
    // first suspension: a suspended thread may hold the heap lock.
    ThreadFreezer();
    ~ThreadFreezer(); // resumes them
    ThreadFreezer(const ThreadFreezer&) = delete;
    ThreadFreezer& operator=(const ThreadFreezer&) = delete;

    std::size_t frozenCount() const { return suspended_; }

    // Calls map(ip) for each frozen thread and writes back a changed instruction pointer.
    template <class Map> void moveInstructionPointers(Map&& map)
    {
        for (std::size_t i = 0; i < suspended_; ++i) {
            CONTEXT* ctx = context();
            ctx->ContextFlags = CONTEXT_CONTROL;
            if (!GetThreadContext(threads_[i], ctx)) {
                continue;
            }
            std::uintptr_t ip = static_cast<std::uintptr_t>(ctx->Rip);
            std::uintptr_t moved = map(ip);
            if (moved != ip) {
                ctx->Rip = moved;
                SetThreadContext(threads_[i], ctx);
            }
        }
    }

private:
    CONTEXT* context();
    std::vector<HANDLE> threads_;
    std::size_t suspended_ = 0;
    // CONTEXT needs 16-byte alignment; kept here so the frozen phase allocates nothing.
    alignas(16) unsigned char contextStorage_[sizeof(CONTEXT) + 16];
};

} // namespace fsr2bridge
