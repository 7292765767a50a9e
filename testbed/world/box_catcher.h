#pragma once
#include <windows.h>

#include <mutex>
#include <string>
#include <vector>

namespace testworld {

// A message box that a test provoked: caption, text and owner-less style
// are what the user would have seen.
struct CaughtBox {
    std::wstring caption;
    std::wstring text;
};

// Catches every modal message box created on the threads it watches, records
// its caption and text, and dismisses it at once (under Xvfb nobody clicks).
// Construction watches the calling thread; watchThisThread() adds others.
class BoxCatcher {
public:
    BoxCatcher();
    ~BoxCatcher();
    BoxCatcher(const BoxCatcher&) = delete;
    BoxCatcher& operator=(const BoxCatcher&) = delete;

    void watchThisThread();
    std::vector<CaughtBox> boxes() const;
    void clear();

private:
    static LRESULT CALLBACK cbtProc(int code, WPARAM wParam, LPARAM lParam);
    void record(HWND dialog);

    mutable std::mutex lock_;
    std::vector<CaughtBox> boxes_;
    std::vector<HHOOK> hooks_;
};

} // namespace testworld
