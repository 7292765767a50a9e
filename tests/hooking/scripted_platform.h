#pragma once
// The engine's platform seam for tests: Windows underneath, with single steps failed on demand,
// stand-in threads whose instruction pointers a test chooses, and a journal of the calls in order.
// The journal is a fixed array: nothing here allocates while threads are frozen.

#include "hooking/hook_platform.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace hooktest {

enum class Step : std::uint8_t { list, suspend, read, writeControl, resume, close, writeCode };

struct Event {
    Step step;
    HANDLE thread;          // thread steps
    std::uintptr_t address; // writeCode: where; writeControl: the new instruction pointer
};

class ScriptedPlatform : public fsr2bridge::WindowsHookPlatform {
public:
    using WindowsHookPlatform::WindowsHookPlatform;

    // Faults.
    bool failListing = false;
    HANDLE failSuspendOf = nullptr;
    HANDLE terminatingOf = nullptr; // on its way out for `terminatingFor` listings: refuses suspension and
    int terminatingFor = 0;         // has not ended; at the listing after those it has ended
    bool terminatedNow = false;
    // The snapshot listing's first opening of a thread gives this instead (`opened`: no fault).
    fsr2bridge::ThreadOpening firstOpening = fsr2bridge::ThreadOpening::opened;
    HANDLE failReadOf = nullptr;
    HANDLE failWriteControlOf = nullptr;
    bool failingThreadEnded = false; // what hasEnded says of the failing thread
    std::uintptr_t failWriteAt = 0;  // writeCode at this address fails
    std::uintptr_t failQueryAt = 0; // the memory at this address cannot be queried: no hook can be made there

    // Stand-in threads: when any are given, they replace the process's real threads.
    struct FakeThread {
        HANDLE handle;
        std::uint64_t rip;
        int suspendCount = 0;
    };
    std::vector<FakeThread> fakes;

    std::array<Event, 4096> events{};
    std::size_t eventCount = 0;
    std::size_t handedOut = 0; // thread handles the listings gave

    void clearJournal() { eventCount = 0; }
    void heal()
    {
        failListing = false;
        failSuspendOf = failReadOf = failWriteControlOf = nullptr;
        failingThreadEnded = false;
        terminatingOf = nullptr;
        terminatingFor = 0;
        terminatedNow = false;
        failWriteAt = 0;
        failQueryAt = 0;
    }
    std::size_t count(Step step) const
    {
        std::size_t n = 0;
        for (std::size_t i = 0; i < eventCount; ++i) {
            n += events[i].step == step;
        }
        return n;
    }

    bool otherThreads(std::vector<HANDLE>& out) override
    {
        log(Step::list, nullptr, 0);
        if (failListing) {
            return false;
        }
        if (fakes.empty()) {
            const bool listed = WindowsHookPlatform::otherThreads(out);
            handedOut += listed ? out.size() : 0;
            return listed;
        }
        out.clear();
        for (const FakeThread& f : fakes) {
            if (f.handle == terminatingOf) {
                terminatedNow = terminatingFor == 0;
                if (terminatedNow) {
                    continue;
                }
                --terminatingFor;
            }
            out.push_back(f.handle);
            ++handedOut;
        }
        return true;
    }
    fsr2bridge::Suspension suspend(HANDLE thread) override
    {
        log(Step::suspend, thread, 0);
        if (thread == failSuspendOf) {
            return fsr2bridge::Suspension::refused;
        }
        if (thread == terminatingOf && !terminatedNow) {
            return fsr2bridge::Suspension::exiting;
        }
        if (FakeThread* f = fake(thread)) {
            ++f->suspendCount;
            return fsr2bridge::Suspension::suspended;
        }
        return WindowsHookPlatform::suspend(thread);
    }
    bool readControl(HANDLE thread, fsr2bridge::ThreadControl& out) override
    {
        log(Step::read, thread, 0);
        if (thread == failReadOf) {
            return false;
        }
        if (FakeThread* f = fake(thread)) {
            out = {};
            out.rip = f->rip;
            return true;
        }
        return WindowsHookPlatform::readControl(thread, out);
    }
    bool writeControl(HANDLE thread, const fsr2bridge::ThreadControl& control) override
    {
        log(Step::writeControl, thread, static_cast<std::uintptr_t>(control.rip));
        if (thread == failWriteControlOf) {
            return false;
        }
        if (FakeThread* f = fake(thread)) {
            f->rip = control.rip;
            return true;
        }
        return WindowsHookPlatform::writeControl(thread, control);
    }
    void resume(HANDLE thread) override
    {
        log(Step::resume, thread, 0);
        if (FakeThread* f = fake(thread)) {
            --f->suspendCount;
            return;
        }
        WindowsHookPlatform::resume(thread);
    }
    void close(HANDLE thread) override
    {
        log(Step::close, thread, 0);
        if (fake(thread) == nullptr) {
            WindowsHookPlatform::close(thread);
        }
    }
    bool hasEnded(HANDLE thread) override
    {
        if (thread == failSuspendOf || thread == failReadOf) {
            return failingThreadEnded;
        }
        if (thread == terminatingOf) {
            return terminatedNow;
        }
        return fake(thread) != nullptr ? false : WindowsHookPlatform::hasEnded(thread);
    }
    bool awaitEnd(HANDLE thread, std::uint32_t milliseconds) override
    {
        return fake(thread) != nullptr || thread == terminatingOf
                   ? hasEnded(thread)
                   : WindowsHookPlatform::awaitEnd(thread, milliseconds);
    }
    bool query(std::uintptr_t at, MEMORY_BASIC_INFORMATION& out) override
    {
        return at != failQueryAt && WindowsHookPlatform::query(at, out);
    }
    bool writeCode(std::uint8_t* at, const std::uint8_t* bytes, std::size_t n) override
    {
        log(Step::writeCode, nullptr, reinterpret_cast<std::uintptr_t>(at));
        if (reinterpret_cast<std::uintptr_t>(at) == failWriteAt) {
            return false;
        }
        return WindowsHookPlatform::writeCode(at, bytes, n);
    }

protected:
    fsr2bridge::ThreadOpening openThread(DWORD id, HANDLE& out) override
    {
        const fsr2bridge::ThreadOpening scripted = firstOpening;
        firstOpening = fsr2bridge::ThreadOpening::opened;
        if (scripted != fsr2bridge::ThreadOpening::opened) {
            out = nullptr;
            return scripted;
        }
        return WindowsHookPlatform::openThread(id, out);
    }

private:
    FakeThread* fake(HANDLE h)
    {
        for (FakeThread& f : fakes) {
            if (f.handle == h) {
                return &f;
            }
        }
        return nullptr;
    }
    void log(Step step, HANDLE thread, std::uintptr_t address)
    {
        if (eventCount < events.size()) {
            events[eventCount++] = Event{step, thread, address};
        }
    }
};

// Stand-in thread handles: never real handles of this process.
inline HANDLE fakeHandle(std::uintptr_t n)
{
    return reinterpret_cast<HANDLE>(0x7A000000u + n * 4);
}

} // namespace hooktest
