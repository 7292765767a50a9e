#include "hooking/thread_freezer.h"

namespace fsr2bridge {

ThreadFreezer::ThreadFreezer(HookPlatform& platform) : platform_(platform)
{
    for (int attempt = 1;; ++attempt) {
        const HANDLE exiting = freezeOnce();
        if (exiting == nullptr) {
            return;
        }
        platform_.awaitEnd(exiting, exitWaitMilliseconds);
        platform_.close(exiting);
        if (attempt == attempts) {
            return; // unconfirmed
        }
    }
}

HANDLE ThreadFreezer::freezeOnce()
{
    status_ = FreezeStatus::notListed;
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
        return nullptr;
    }

    // No allocation, and no freeing either, until every thread is resumed: both vectors live as long as the
    // freeze.
    status_ = FreezeStatus::ready;
    for (std::size_t i = 0; i < listed_.size(); ++i) {
        const HANDLE h = listed_[i];
        const Suspension s = platform_.suspend(h);
        if (s == Suspension::suspended) {
            threads_.push_back(Frozen{h, {}, false}); // capacity reserved above
            continue;
        }
        // A thread that has ended needs no freezing; any other might run the code we patch.
        if (!platform_.hasEnded(h)) {
            status_ = FreezeStatus::unconfirmed;
            if (s == Suspension::exiting) {
                for (std::size_t k = i + 1; k < listed_.size(); ++k) {
                    platform_.close(listed_[k]);
                }
                listed_.clear(); // every handle is closed (or handed back); keeps its capacity
                thaw();
                return h;
            }
        }
        platform_.close(h);
    }
    for (Frozen& t : threads_) {
        t.confirmed = platform_.readControl(t.handle, t.control);
        if (!t.confirmed && !platform_.hasEnded(t.handle)) {
            status_ = FreezeStatus::unconfirmed;
        }
    }
    return nullptr;
}

void ThreadFreezer::thaw()
{
    for (Frozen& t : threads_) {
        platform_.resume(t.handle);
        platform_.close(t.handle);
    }
    threads_.clear();
}

ThreadFreezer::~ThreadFreezer()
{
    thaw();
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
