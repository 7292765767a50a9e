#include "hooking/thread_freezer.h"

#include <tlhelp32.h>

namespace fsr2bridge {

ThreadFreezer::ThreadFreezer()
{
    const DWORD self = GetCurrentThreadId();
    const DWORD process = GetCurrentProcessId();
    std::vector<DWORD> ids;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return;
    }
    try {
        THREADENTRY32 te;
        te.dwSize = sizeof te;
        for (BOOL more = Thread32First(snapshot, &te); more; more = Thread32Next(snapshot, &te)) {
            if (te.dwSize >= offsetof(THREADENTRY32, th32OwnerProcessID) + sizeof te.th32OwnerProcessID &&
                te.th32OwnerProcessID == process && te.th32ThreadID != self) {
                ids.push_back(te.th32ThreadID);
            }
            te.dwSize = sizeof te;
        }
        threads_.reserve(ids.size());
    } catch (...) {
        CloseHandle(snapshot);
        return;
    }
    CloseHandle(snapshot);

    for (DWORD id : ids) {
        HANDLE h = OpenThread(THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT | THREAD_SET_CONTEXT |
                                  THREAD_QUERY_INFORMATION,
                              FALSE, id);
        if (h == nullptr) {
            continue;
        }
        if (SuspendThread(h) == static_cast<DWORD>(-1)) {
            CloseHandle(h);
            continue;
        }
        threads_.push_back(h); // capacity reserved above: no allocation
        suspended_ = threads_.size();
    }
}

ThreadFreezer::~ThreadFreezer()
{
    for (HANDLE h : threads_) {
        ResumeThread(h);
        CloseHandle(h);
    }
}

CONTEXT* ThreadFreezer::context()
{
    auto p = reinterpret_cast<std::uintptr_t>(contextStorage_);
    p = (p + 15) & ~static_cast<std::uintptr_t>(15);
    return reinterpret_cast<CONTEXT*>(p);
}

} // namespace fsr2bridge
