#include "hooking/thread_freezer.h"

namespace fsr2bridge {

ThreadFreezer::ThreadFreezer(HookPlatform& platform) : platform_(platform)
{
    bool listed = false;
    try {
        listed = platform_.otherThreads(listed_);
        if (listed) {
            threads_.reserve(listed_.size());
        }
    } catch (...) {
        listed = false;
    }
    if (!listed) {
        for (HANDLE h : listed_) {
            platform_.close(h);
        }
        listed_.clear();
        return;
    }

    // No allocation, and no freeing either, until the destructor has resumed everyone: both
    // vectors live as long as the freeze.
    status_ = FreezeStatus::ready;
    for (HANDLE h : listed_) {
        if (platform_.suspend(h)) {
            threads_.push_back(Frozen{h, {}, false}); // capacity reserved above
        } else {
            // Only a thread that is ending refuses: anything else might run the code we patch.
            if (!platform_.hasEnded(h)) {
                status_ = FreezeStatus::unconfirmed;
            }
            platform_.close(h);
        }
    }
    for (Frozen& t : threads_) {
        t.confirmed = platform_.readControl(t.handle, t.control);
        if (!t.confirmed && !platform_.hasEnded(t.handle)) {
            status_ = FreezeStatus::unconfirmed;
        }
    }
}

ThreadFreezer::~ThreadFreezer()
{
    for (Frozen& t : threads_) {
        platform_.resume(t.handle);
        platform_.close(t.handle);
    }
}

bool ThreadFreezer::anyStandsIn(std::uintptr_t lo, std::uintptr_t hi) const
{
    for (const Frozen& t : threads_) {
        if (t.confirmed && t.control.rip >= lo && t.control.rip < hi) {
            return true;
        }
    }
    return false;
}

bool ThreadFreezer::setInstructionPointer(Frozen& t, std::uintptr_t ip)
{
    ThreadControl moved = t.control;
    moved.rip = ip;
    if (!platform_.writeControl(t.handle, moved)) {
        return false;
    }
    t.control = moved;
    return true;
}

} // namespace fsr2bridge
