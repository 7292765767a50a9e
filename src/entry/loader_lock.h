#pragma once
// Whether the calling thread holds the loader lock: it runs inside a module's DllMain (or another loader
// callback), where nothing may wait for another thread that loads a module or starts, nor start a load that
// creates and waits for threads of its own.

namespace fsr2bridge {

bool loaderLockHeld() noexcept;

} // namespace fsr2bridge
