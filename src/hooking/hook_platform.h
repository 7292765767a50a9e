#pragma once
// Everything the hook engine asks of the operating system, behind one seam: the threads of the
// process (enumerate, suspend, read and write their control registers, resume), virtual memory
// near a target, writing code, and the function table. The engine's parts call only this, so a
// test can fail one step or watch the order of steps; the default forwards to Windows.

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace fsr2bridge {

// The registers CONTEXT_CONTROL reads and writes: what a frozen thread's instruction-pointer
// move needs, read once while the thread stands still.
struct ThreadControl {
    std::uint64_t rip = 0;
    std::uint64_t rsp = 0;
    std::uint64_t rbp = 0;
    std::uint32_t eflags = 0;
    std::uint16_t cs = 0;
    std::uint16_t ss = 0;
};

enum class Suspension : std::uint8_t {
    suspended,
    exiting, // the thread is on its way out: past its last code, not ended yet
    refused,
};

struct AddressSpace {
    std::uintptr_t lowest = 0;  // lowest address an allocation may start at
    std::uintptr_t highest = 0; // highest usable address
    std::uintptr_t granularity = 0x10000;
};

class HookPlatform {
public:
    virtual ~HookPlatform() = default;

    // Threads. `otherThreads` opens every thread of the process but the calling one (handles
    // that allow suspend, resume, context get/set and waiting); false when they cannot be
    // listed. It may allocate; nothing after it does until the threads are resumed.
    virtual bool otherThreads(std::vector<HANDLE>& out) = 0;
    virtual Suspension suspend(HANDLE thread) = 0;
    // Waits until the suspension has taken effect (Windows suspends asynchronously).
    virtual bool readControl(HANDLE thread, ThreadControl& out) = 0;
    virtual bool writeControl(HANDLE thread, const ThreadControl& control) = 0;
    virtual void resume(HANDLE thread) = 0;
    virtual void close(HANDLE thread) = 0;
    virtual bool hasEnded(HANDLE thread) = 0;
    // Waits at most `milliseconds` for the thread to end; true when it has.
    virtual bool awaitEnd(HANDLE thread, std::uint32_t milliseconds) = 0;

    // Memory.
    virtual AddressSpace addressSpace() = 0;
    virtual bool query(std::uintptr_t at, MEMORY_BASIC_INFORMATION& out) = 0;
    // Reserves and commits `size` executable bytes exactly at `at` (which is never 0), or null.
    virtual std::uint8_t* reserveAt(std::uintptr_t at, std::size_t size) = 0;
    virtual void releaseBlock(std::uint8_t* block) = 0;
    // Copies `n` bytes over code (changing and restoring its protection) and flushes the
    // instruction cache; false, with nothing written, when the protection cannot be changed.
    virtual bool writeCode(std::uint8_t* at, const std::uint8_t* bytes, std::size_t n) = 0;
    // True when the function table names a function that begins in [from, to).
    virtual bool functionBeginsIn(std::uintptr_t from, std::uintptr_t to) = 0;
};

// How the Windows platform lists threads.
enum class ThreadListing : std::uint8_t {
    ownProcess, // NtGetNextThread: this process's threads only, handles come opened
    snapshot,   // Toolhelp snapshot of every thread in the system, filtered by process
};

// What opening a thread the snapshot listed gave.
enum class ThreadOpening : std::uint8_t {
    opened,
    gone,    // no thread has that id any more: it has ended
    refused, // it exists but could not be opened
};

class WindowsHookPlatform : public HookPlatform {
public:
    // `ownProcess` falls back to the snapshot where ntdll lacks NtGetNextThread.
    explicit WindowsHookPlatform(ThreadListing listing = ThreadListing::ownProcess);

    bool otherThreads(std::vector<HANDLE>& out) override;
    Suspension suspend(HANDLE thread) override;
    bool readControl(HANDLE thread, ThreadControl& out) override;
    bool writeControl(HANDLE thread, const ThreadControl& control) override;
    void resume(HANDLE thread) override;
    void close(HANDLE thread) override;
    bool hasEnded(HANDLE thread) override;
    bool awaitEnd(HANDLE thread, std::uint32_t milliseconds) override;

    AddressSpace addressSpace() override;
    bool query(std::uintptr_t at, MEMORY_BASIC_INFORMATION& out) override;
    std::uint8_t* reserveAt(std::uintptr_t at, std::size_t size) override;
    void releaseBlock(std::uint8_t* block) override;
    bool writeCode(std::uint8_t* at, const std::uint8_t* bytes, std::size_t n) override;
    bool functionBeginsIn(std::uintptr_t from, std::uintptr_t to) override;

    ThreadListing listing() const { return listing_; }

protected:
    virtual ThreadOpening openThread(DWORD id, HANDLE& out);
    bool listOwnProcess(std::vector<HANDLE>& out);
    bool listFromSnapshot(std::vector<HANDLE>& out);

private:
    ThreadListing listing_;
};

// The platform every table uses unless given another: built once, never destroyed.
HookPlatform& systemHookPlatform();

} // namespace fsr2bridge
