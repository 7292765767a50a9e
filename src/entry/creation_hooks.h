#pragma once
// The hooks over D3D12CreateDevice and CreateDXGIFactory2: the system call runs first, the first factory
// loads Streamline, and the host receives our proxies in place of the system objects.
#include "common/graphics.h"

namespace fsr2bridge {

HRESULT WINAPI createDeviceHook(IUnknown* adapter, D3D_FEATURE_LEVEL minimumLevel, REFIID riid,
                                void** device);
HRESULT WINAPI createFactoryHook(UINT flags, REFIID riid, void** factory);

// What the hooks do with the system's result: wrap (and attach) or pass through. Exposed for tests.
HRESULT wrapCreatedDevice(HRESULT created, REFIID riid, void** device) noexcept;
HRESULT wrapCreatedFactory(HRESULT created, void** factory) noexcept;

// Hooks both creation functions (d3d12.dll and dxgi.dll must be loaded). False when any step fails.
bool installCreationHooks() noexcept;

// Whether the first factory has started the Streamline load (it is never attempted twice).
bool streamlineLoadAttempted() noexcept;

} // namespace fsr2bridge
