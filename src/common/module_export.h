#pragma once
// The one way the system looks up a function that a module exports.
#include <windows.h>

namespace fsr2bridge {

// The function `name` exported by `module` as a pointer of type F*; null when it does not export it.
template <class F> F* exportedFunction(HMODULE module, const char* name) noexcept
{
    return reinterpret_cast<F*>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

} // namespace fsr2bridge
