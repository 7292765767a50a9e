#pragma once
// The system's modal message boxes, each noted in the log with its text before it is shown.
#include <windows.h>

namespace fsr2bridge {

// The caption of every box that tells the player why something is unavailable.
inline constexpr wchar_t errorBoxCaption[] = L"An error occured!";

// Logs `caption` and `text`, then shows the box (no owner window) and returns MessageBoxW's answer. Blocks
// until the player dismisses it: off the per-frame paths only.
int showMessageBox(const wchar_t* caption, const wchar_t* text, UINT style) noexcept;

// An error box with the common caption: MB_OK | MB_ICONERROR.
inline int showErrorBox(const wchar_t* text) noexcept
{
    return showMessageBox(errorBoxCaption, text, MB_OK | MB_ICONERROR);
}

} // namespace fsr2bridge
