#pragma once
// Windows associates at most one flip-model swap chain with a window at a time: creating a second one while
// the first is still alive fails with E_ACCESSDENIED. Wine does not check, so the stand-in's factory does.
// A window is claimed before its swap chain is created and stays claimed until the system swap chain is
// destroyed: the claim rides on the swap chain as private data, which DXGI releases with the object.
#include "common/graphics.h"

namespace fsr2bridge::standin {

// One creation's claim on a window. Refused when another live flip-model swap chain holds the window;
// given back at destruction unless `keep` handed it to the created swap chain.
class WindowClaim {
public:
    WindowClaim(HWND window, DXGI_SWAP_EFFECT effect);
    ~WindowClaim();
    WindowClaim(const WindowClaim&) = delete;
    WindowClaim& operator=(const WindowClaim&) = delete;

    // False: the creation must fail with E_ACCESSDENIED.
    bool granted() const { return granted_; }
    // The window stays claimed for as long as `swapChain` (a system swap chain) lives.
    void keep(IUnknown* swapChain);

private:
    HWND window_ = nullptr; // null: nothing claimed (no window, or not a flip-model swap chain)
    bool granted_ = true;
};

} // namespace fsr2bridge::standin
