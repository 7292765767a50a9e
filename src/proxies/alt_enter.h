#pragma once
// DXGI's own Alt+Enter: unless the game asked DXGI not to (MakeWindowAssociation), DXGI watches the message
// queue of a swap chain's window and switches full screen itself when the game retrieves Alt+Enter, without
// SetFullscreenState passing through the swap-chain proxy. Frame Generation must be off around that change as
// around SetFullscreenState (Streamline presents on a thread of its own and may deadlock), so the window's
// thread gets a message hook of its own that runs before DXGI's.
#include "common/graphics.h"

namespace fsr2bridge {

// Watches the message queue of the thread that owns the window of `swapChain` (none for a composition or
// core-window swap chain), once per thread: Frame Generation is paused while the later hooks, DXGI's among
// them, see an Alt+Enter being retrieved. Every other message passes straight on. The hook stays for the
// process's life, like every hook.
void watchAltEnter(IDXGISwapChain1* swapChain) noexcept;

// What the game asked of DXGI for `window` (MakeWindowAssociation, the latest call per window): with
// DXGI_MWA_NO_ALT_ENTER or DXGI_MWA_NO_WINDOW_CHANGES, DXGI switches nothing on that window's Alt+Enter, so
// Frame Generation is not paused for it either (a pause costs a hitch with releases that free its resources).
void noteWindowAssociation(HWND window, UINT flags) noexcept;

} // namespace fsr2bridge
