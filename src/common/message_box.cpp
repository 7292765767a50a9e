#include "common/message_box.h"

#include <string>

#include "common/log.h"

namespace fsr2bridge {

int showMessageBox(const wchar_t* caption, const wchar_t* text, UINT style) noexcept
{
    std::wstring_view body = text != nullptr ? text : L"";
    while (!body.empty() && (body.back() == L'\n' || body.back() == L'\r'))
        body.remove_suffix(1);
    logLine("message box \"%s\": %s", toUtf8(caption != nullptr ? caption : L"").c_str(),
            toUtf8(body).c_str());
    // The player may close the game while the box is up: what led to it is in the file first.
    flushLog();
    return MessageBoxW(nullptr, text, caption, style);
}

} // namespace fsr2bridge
