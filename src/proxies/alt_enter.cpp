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

// Installed after DXGI's own hook, so it runs first and around it.
LRESULT CALLBACK getMessageHook(int code, WPARAM removal, LPARAM parameter)
{
    const auto* message = reinterpret_cast<const MSG*>(parameter);
    if (code != HC_ACTION || message == nullptr || !isAltEnter(*message))
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
