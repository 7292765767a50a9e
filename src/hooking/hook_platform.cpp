#include "hooking/hook_platform.h"

#include "common/module_export.h"

#include <tlhelp32.h>

#include <cstring>
#include <new>
#include <type_traits>

namespace fsr2bridge {
namespace {

constexpr DWORD threadAccess = THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT | THREAD_SET_CONTEXT |
                               THREAD_QUERY_LIMITED_INFORMATION | SYNCHRONIZE;

using NtGetNextThreadFn = LONG(NTAPI*)(HANDLE process, HANDLE thread, ACCESS_MASK access, ULONG attributes,
                                       ULONG flags, HANDLE* next);
constexpr LONG noMoreEntries = static_cast<LONG>(0x8000001A);

NtGetNextThreadFn ntGetNextThread()
{
    static const NtGetNextThreadFn fn = [] {
        HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        return ntdll != nullptr
                   ? exportedFunction<std::remove_pointer_t<NtGetNextThreadFn>>(ntdll, "NtGetNextThread")
                   : nullptr;
    }();
    return fn;
}

using LastNtStatusFn = LONG(NTAPI*)();

LastNtStatusFn rtlGetLastNtStatus()
{
    static const LastNtStatusFn fn = [] {
        HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        return ntdll != nullptr
                   ? exportedFunction<std::remove_pointer_t<LastNtStatusFn>>(ntdll, "RtlGetLastNtStatus")
                   : nullptr;
    }();
    return fn;
}

// Closes the handles collected so far unless the listing completes.
class OpenedThreads {
public:
    explicit OpenedThreads(std::vector<HANDLE>& list) : list_(list) {}
    ~OpenedThreads()
    {
        if (!kept_) {
            for (HANDLE h : list_) {
                CloseHandle(h);
            }
            list_.clear();
        }
    }
    OpenedThreads(const OpenedThreads&) = delete;
    OpenedThreads& operator=(const OpenedThreads&) = delete;
    void keep() { kept_ = true; }

private:
    std::vector<HANDLE>& list_;
    bool kept_ = false;
};

} // namespace

WindowsHookPlatform::WindowsHookPlatform(ThreadListing listing) : listing_(listing)
{
    if (listing_ == ThreadListing::ownProcess && ntGetNextThread() == nullptr) {
        listing_ = ThreadListing::snapshot;
    }
    // Looked up now: during a freeze a suspended thread may hold the loader's lock or the one guarding
    // function-local statics.
    rtlGetLastNtStatus();
}

bool WindowsHookPlatform::otherThreads(std::vector<HANDLE>& out)
{
    out.clear();
    if (listing_ == ThreadListing::ownProcess && listOwnProcess(out)) {
        return true;
    }
    return listFromSnapshot(out);
}

// Walks the process's own thread list: no system-wide snapshot, and each handle arrives opened.
bool WindowsHookPlatform::listOwnProcess(std::vector<HANDLE>& out)
{
    const NtGetNextThreadFn next = ntGetNextThread();
    if (next == nullptr) {
        return false;
    }
    const DWORD self = GetCurrentThreadId();
    OpenedThreads opened(out);
    HANDLE cursor = nullptr;
    bool cursorIsOurs = false; // the cursor is not in `out` (it is the calling thread)
    try {
        for (;;) {
            HANDLE h = nullptr;
            const LONG status = next(GetCurrentProcess(), cursor, threadAccess, 0, 0, &h);
            if (cursorIsOurs) {
                CloseHandle(cursor);
                cursorIsOurs = false;
            }
            if (status == noMoreEntries) {
                break;
            }
            if (status < 0 || h == nullptr) {
                return false;
            }
            cursor = h;
            const DWORD id = GetThreadId(h);
            if (id == 0) {
                // Unknown: it might be this thread, which must never be suspended.
                CloseHandle(h);
                return false;
            }
            if (id == self) {
                cursorIsOurs = true;
                continue;
            }
            out.push_back(h);
        }
    } catch (...) {
        if (cursorIsOurs) {
            CloseHandle(cursor);
        }
        return false;
    }
    opened.keep();
    return true;
}

bool WindowsHookPlatform::listFromSnapshot(std::vector<HANDLE>& out)
{
    const DWORD self = GetCurrentThreadId();
    const DWORD process = GetCurrentProcessId();
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return false;
    }
    OpenedThreads opened(out);
    bool listed = true;
    try {
        THREADENTRY32 te;
        te.dwSize = sizeof te;
        for (BOOL more = Thread32First(snapshot, &te); more; more = Thread32Next(snapshot, &te)) {
            if (te.dwSize >= offsetof(THREADENTRY32, th32OwnerProcessID) + sizeof te.th32OwnerProcessID &&
                te.th32OwnerProcessID == process && te.th32ThreadID != self) {
                // A thread that ended since the snapshot needs no freezing; one that cannot be opened
                // might run the code being patched.
                HANDLE h = nullptr;
                const ThreadOpening opening = openThread(te.th32ThreadID, h);
                if (opening == ThreadOpening::refused) {
                    listed = false;
                    break;
                }
                if (opening == ThreadOpening::opened) {
                    try {
                        out.push_back(h);
                    } catch (...) {
                        CloseHandle(h);
                        throw;
                    }
                }
            }
            te.dwSize = sizeof te;
        }
    } catch (...) {
        listed = false;
    }
    CloseHandle(snapshot);
    if (listed) {
        opened.keep();
    }
    return listed;
}

ThreadOpening WindowsHookPlatform::openThread(DWORD id, HANDLE& out)
{
    out = OpenThread(threadAccess, FALSE, id);
    if (out != nullptr) {
        return ThreadOpening::opened;
    }
    // No thread has the id any more; any other error (access denied, no memory) leaves it running.
    return GetLastError() == ERROR_INVALID_PARAMETER ? ThreadOpening::gone : ThreadOpening::refused;
}

Suspension WindowsHookPlatform::suspend(HANDLE thread)
{
    if (SuspendThread(thread) != static_cast<DWORD>(-1)) {
        return Suspension::suspended;
    }
    // A thread in its exit path refuses with this status until it has ended (Win32 says only "access
    // denied").
    constexpr LONG threadIsTerminating = static_cast<LONG>(0xC000004B);
    const LastNtStatusFn lastNtStatus = rtlGetLastNtStatus();
    const bool exiting = lastNtStatus != nullptr ? lastNtStatus() == threadIsTerminating
                                                 : GetLastError() == ERROR_ACCESS_DENIED;
    return exiting ? Suspension::exiting : Suspension::refused;
}

bool WindowsHookPlatform::readControl(HANDLE thread, ThreadControl& out)
{
    CONTEXT ctx;
    std::memset(&ctx, 0, sizeof ctx);
    ctx.ContextFlags = CONTEXT_CONTROL;
    if (!GetThreadContext(thread, &ctx)) {
        return false;
    }
    out.rip = ctx.Rip;
    out.rsp = ctx.Rsp;
    out.rbp = ctx.Rbp;
    out.eflags = ctx.EFlags;
    out.cs = ctx.SegCs;
    out.ss = ctx.SegSs;
    return true;
}

bool WindowsHookPlatform::writeControl(HANDLE thread, const ThreadControl& control)
{
    CONTEXT ctx;
    std::memset(&ctx, 0, sizeof ctx);
    ctx.ContextFlags = CONTEXT_CONTROL;
    ctx.Rip = control.rip;
    ctx.Rsp = control.rsp;
    ctx.Rbp = control.rbp;
    ctx.EFlags = control.eflags;
    ctx.SegCs = control.cs;
    ctx.SegSs = control.ss;
    return SetThreadContext(thread, &ctx) != FALSE;
}

void WindowsHookPlatform::resume(HANDLE thread)
{
    ResumeThread(thread);
}

void WindowsHookPlatform::close(HANDLE thread)
{
    CloseHandle(thread);
}

bool WindowsHookPlatform::hasEnded(HANDLE thread)
{
    return awaitEnd(thread, 0);
}

bool WindowsHookPlatform::awaitEnd(HANDLE thread, std::uint32_t milliseconds)
{
    return WaitForSingleObject(thread, milliseconds) == WAIT_OBJECT_0;
}

AddressSpace WindowsHookPlatform::addressSpace()
{
    SYSTEM_INFO si;
    GetSystemInfo(&si);
    AddressSpace a;
    a.lowest = reinterpret_cast<std::uintptr_t>(si.lpMinimumApplicationAddress);
    a.highest = reinterpret_cast<std::uintptr_t>(si.lpMaximumApplicationAddress);
    a.granularity = si.dwAllocationGranularity;
    return a;
}

bool WindowsHookPlatform::query(std::uintptr_t at, MEMORY_BASIC_INFORMATION& out)
{
    return VirtualQuery(reinterpret_cast<const void*>(at), &out, sizeof out) != 0;
}

std::uint8_t* WindowsHookPlatform::reserveAt(std::uintptr_t at, std::size_t size)
{
    if (at == 0) {
        return nullptr; // would mean "anywhere"
    }
    void* p =
        VirtualAlloc(reinterpret_cast<void*>(at), size, MEM_RESERVE | MEM_COMMIT, PAGE_EXECUTE_READWRITE);
    if (p != nullptr && reinterpret_cast<std::uintptr_t>(p) != at) {
        VirtualFree(p, 0, MEM_RELEASE);
        return nullptr;
    }
    return static_cast<std::uint8_t*>(p);
}

void WindowsHookPlatform::releaseBlock(std::uint8_t* block)
{
    VirtualFree(block, 0, MEM_RELEASE);
}

bool WindowsHookPlatform::writeCode(std::uint8_t* at, const std::uint8_t* bytes, std::size_t n)
{
    DWORD old = 0;
    if (!VirtualProtect(at, n, PAGE_EXECUTE_READWRITE, &old)) {
        return false;
    }
    std::memcpy(at, bytes, n);
    DWORD ignored = 0;
    VirtualProtect(at, n, old, &ignored);
    FlushInstructionCache(GetCurrentProcess(), at, n);
    return true;
}

bool WindowsHookPlatform::functionBeginsIn(std::uintptr_t from, std::uintptr_t to)
{
    for (std::uintptr_t a = from; a < to; ++a) {
        DWORD64 base = 0;
        const PRUNTIME_FUNCTION f = RtlLookupFunctionEntry(a, &base, nullptr);
        if (f != nullptr && base + f->BeginAddress >= from && base + f->BeginAddress < to) {
            return true;
        }
    }
    return false;
}

HookPlatform& systemHookPlatform()
{
    alignas(WindowsHookPlatform) static unsigned char storage[sizeof(WindowsHookPlatform)];
    static HookPlatform* instance = new (storage) WindowsHookPlatform();
    return *instance;
}

} // namespace fsr2bridge
