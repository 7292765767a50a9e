#include "entry/loader_lock.h"

#include <windows.h>

#include <winternl.h>

#include <cstddef>
#include <cstring>
#include <type_traits>

#include "common/module_export.h"

namespace fsr2bridge {

namespace {
// The process environment block's pointer to the loader lock (PEB::LoaderLock): +0x110 in every 64-bit
// Windows since XP, and in Wine.
constexpr std::size_t pebLoaderLockOffset = 0x110;
static_assert(sizeof(void*) == 8, "the offset is that of 64-bit processes");
static_assert(offsetof(RTL_CRITICAL_SECTION, OwningThread) == 0x10);
} // namespace

bool loaderLockHeld() noexcept
{
    // The block's address, from the documented query (it never moves).
    using QueryProcess = LONG(WINAPI*)(HANDLE, PROCESSINFOCLASS, void*, ULONG, ULONG*);
    static const unsigned char* const environment = [] {
        PROCESS_BASIC_INFORMATION basic{};
        auto* const query = exportedFunction<std::remove_pointer_t<QueryProcess>>(
            GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationProcess");
        return query != nullptr &&
                       query(GetCurrentProcess(), ProcessBasicInformation, &basic, sizeof basic, nullptr) >= 0
                   ? reinterpret_cast<const unsigned char*>(basic.PebBaseAddress)
                   : nullptr;
    }();
    if (environment == nullptr)
        return false;
    RTL_CRITICAL_SECTION* lock = nullptr;
    std::memcpy(&lock, environment + pebLoaderLockOffset, sizeof lock);
    if (lock == nullptr)
        return false;
    // Only the owner writes its own id there, so no other thread's write can make this equal ours.
    const HANDLE owner = *static_cast<const volatile HANDLE*>(&lock->OwningThread);
    return static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(owner)) == GetCurrentThreadId();
}

} // namespace fsr2bridge
