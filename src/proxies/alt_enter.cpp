#include "proxies/alt_enter.h"

#include <atomic>
#include <iterator>

#include "common/best_effort.h"
#include "common/log.h"
#include "upscaler/frame_generation.h"

namespace fsr2bridge {

namespace {

inline constexpr LogEvent<const void*> altEnterSeen{
    "Alt+Enter for window {}: Frame Generation off while DXGI may switch full screen"};

// The Alt+Enter that makes DXGI switch full screen.
bool isAltEnter(const MSG& message) noexcept
{
    constexpr LPARAM altDown = LPARAM{1} << 29;
    return message.message == WM_SYSKEYDOWN && message.wParam == VK_RETURN && (message.lParam & altDown) != 0;
}

// The threads whose queues are watched; a handful at most (a game's window threads).
constinit std::atomic<DWORD> watchedThreads[8] = {};

// The windows the game associated with DXGI, and the flags of its latest call for each; a handful at most.
struct Association {
    std::atomic<HWND> window{nullptr};
    std::atomic<UINT> flags{0};
};
constinit Association associations[8] = {};

UINT associationFlags(HWND window) noexcept
{
    for (const Association& slot : associations)
        if (window != nullptr && slot.window.load(std::memory_order_acquire) == window)
            return slot.flags.load(std::memory_order_relaxed);
    return 0;
}

// DXGI leaves the Alt+Enter of the message's window (or the top-level window it belongs to) alone.
bool dxgiIgnoresAltEnter(HWND window) noexcept
{
    constexpr UINT ignored = DXGI_MWA_NO_ALT_ENTER | DXGI_MWA_NO_WINDOW_CHANGES;
    return ((associationFlags(window) | associationFlags(GetAncestor(window, GA_ROOT))) & ignored) != 0;
}

// Installed after DXGI's own hook, so it runs first and around it.
LRESULT CALLBACK getMessageHook(int code, WPARAM removal, LPARAM parameter)
{
    const auto* message = reinterpret_cast<const MSG*>(parameter);
    if (code != HC_ACTION || message == nullptr || !isAltEnter(*message) ||
        dxgiIgnoresAltEnter(message->hwnd))
        return CallNextHookEx(nullptr, code, removal, parameter);
    logEvent(altEnterSeen, message->hwnd);
    bestEffort([] { pauseFrameGeneration(); });
    const LRESULT result = CallNextHookEx(nullptr, code, removal, parameter);
    bestEffort([] { resumeFrameGeneration(); });
    return result;
}

// True for the first call with `thread`; false when it is watched already or the table is full.
bool claimThread(DWORD thread) noexcept
{
    for (std::atomic<DWORD>& slot : watchedThreads) {
        DWORD expected = 0;
        if (slot.compare_exchange_strong(expected, thread))
            return true;
        if (expected == thread)
            return false;
    }
    return false;
}

} // namespace

void noteWindowAssociation(HWND window, UINT flags) noexcept
{
    if (window == nullptr) // (NULL, 0): DXGI stops watching; pausing anyway is harmless
        return;
    for (Association& slot : associations) {
        HWND expected = nullptr;
        if (slot.window.compare_exchange_strong(expected, window) || expected == window) {
            slot.flags.store(flags, std::memory_order_relaxed);
            return;
        }
    }
}

void watchAltEnter(IDXGISwapChain1* swapChain) noexcept
{
    HWND window = nullptr;
    if (swapChain == nullptr || FAILED(swapChain->GetHwnd(&window)) || window == nullptr)
        return;
    const DWORD thread = GetWindowThreadProcessId(window, nullptr);
    if (thread == 0 || !claimThread(thread))
        return;
    if (SetWindowsHookExW(WH_GETMESSAGE, &getMessageHook, nullptr, thread) == nullptr)
        logLine(
            "Alt+Enter of window %p is not watched (SetWindowsHookExW failed, error %lu): Frame Generation "
            "stays on if DXGI switches full screen",
            static_cast<void*>(window), GetLastError());
}

} // namespace fsr2bridge
