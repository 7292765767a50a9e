#pragma once
// The hooks over D3D12CreateDevice and CreateDXGIFactory2: the system call runs first, the first factory
// loads Streamline, and the host receives our proxies in place of the system objects.
#include <cstdint>

#include "common/graphics.h"
#include "streamline/loader.h"

namespace fsr2bridge {

// The Streamline loader as the hooks call it; tests put scripted functions in its place.
struct StreamlineLoader {
    bool (*loadStreamline)() noexcept = &fsr2bridge::loadStreamline;
    bool (*passThroughMode)() noexcept = &fsr2bridge::passThroughMode;
};
extern StreamlineLoader streamlineLoader;

HRESULT WINAPI createDeviceHook(IUnknown* adapter, D3D_FEATURE_LEVEL minimumLevel, REFIID riid,
                                void** device);
HRESULT WINAPI createFactoryHook(UINT flags, REFIID riid, void** factory);

// What the hooks do with the system's result: wrap (and attach) or pass through. Exposed for tests.
HRESULT wrapCreatedDevice(HRESULT created, REFIID riid, void** device) noexcept;
HRESULT wrapCreatedFactory(HRESULT created, void** factory) noexcept;

// Connects the layers (the upscaler's installation for device attachment, the device proxies' lookup for the
// upscaler) and hooks both creation functions (d3d12.dll and dxgi.dll must be loaded). False when a hook
// step failed: the engine is then taken down again and no hook is left. When even that fails, true: a hook
// may still lead into the module, which must stay loaded.
bool installCreationHooks() noexcept;

// Whether the first factory has started the Streamline load (it is never attempted twice).
bool streamlineLoadAttempted() noexcept;
// Creations so far that found the load running on another thread (and waited for it).
std::uint32_t streamlineLoadWaiters() noexcept;

} // namespace fsr2bridge
