#include "testbed/world/box_catcher.h"

namespace testworld {
namespace {
BoxCatcher* activeCatcher = nullptr;
constexpr int messageBoxTextId = 0xFFFF;
constexpr const wchar_t* caughtMark = L"testworld.boxCaught";
} // namespace

BoxCatcher::BoxCatcher()
{
    activeCatcher = this;
    watchThisThread();
}

BoxCatcher::~BoxCatcher()
{
    for (HHOOK hook : hooks_)
        UnhookWindowsHookEx(hook);
    activeCatcher = nullptr;
}

void BoxCatcher::watchThisThread()
{
    HHOOK hook = SetWindowsHookExW(WH_CBT, &BoxCatcher::cbtProc, nullptr, GetCurrentThreadId());
    if (hook) {
        std::lock_guard<std::mutex> guard(lock_);
        hooks_.push_back(hook);
    }
}

std::vector<CaughtBox> BoxCatcher::boxes() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return boxes_;
}

void BoxCatcher::clear()
{
    std::lock_guard<std::mutex> guard(lock_);
    boxes_.clear();
}

void BoxCatcher::record(HWND dialog)
{
    wchar_t caption[512] = {};
    wchar_t text[2048] = {};
    GetWindowTextW(dialog, caption, 512);
    GetDlgItemTextW(dialog, messageBoxTextId, text, 2048);
    {
        std::lock_guard<std::mutex> guard(lock_);
        boxes_.push_back({caption, text});
    }
    // The box's own message loop picks this up and returns IDOK.
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
}

LRESULT CALLBACK BoxCatcher::cbtProc(int code, WPARAM wParam, LPARAM lParam)
{
    if (code == HCBT_ACTIVATE && activeCatcher) {
        HWND window = reinterpret_cast<HWND>(wParam);
        wchar_t className[16] = {};
        GetClassNameW(window, className, 16);
        // A box is activated again when another window took the focus meanwhile (the test world's windows
        // are unmanaged, and other tests' windows come and go): it is recorded once.
        if (lstrcmpW(className, L"#32770") == 0 && GetPropW(window, caughtMark) == nullptr) {
            SetPropW(window, caughtMark, reinterpret_cast<HANDLE>(1));
            activeCatcher->record(window);
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

} // namespace testworld
