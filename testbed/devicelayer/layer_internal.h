#pragma once
// What the device layer's parts share: its hook table and the removed state of its devices.
#include <wrl/client.h>

#include "common/graphics.h"
#include "hooking/hook_table.h"

namespace testworld {

// The layer's own hook table: its hooks stay independent of the system's, as a separate overlay's would.
fsr2bridge::HookTable& layerTable();

// Hooks the function in slot `slot` of `object`'s virtual table (every object of that class shares it); the
// original goes to `*original`. True when the hook is live (also when an earlier call made it).
bool hookVirtual(const void* object, int slot, void* detour, void** original);

// The removed state of the layer device over a Wine device (false for a device the layer does not wrap).
bool markRemoved(ID3D12Device* native);
bool isRemoved(ID3D12Device* native);
// A factory of Wine's DXGI, from CreateDXGIFactory1 (which the system under test leaves alone); it shows
// where Wine's factory and adapter functions are.
Microsoft::WRL::ComPtr<IDXGIFactory4> systemFactory();

// The Wine device an object of it reports (ID3D12DeviceChild::GetDevice); null when it reports none.
Microsoft::WRL::ComPtr<ID3D12Device> deviceOf(ID3D12DeviceChild* child);

// The switches, read when the layer is installed (false: a switch is malformed or its hooks failed).
// TESTWORLD_DEVICE_LOST_AT (device_loss.cpp): the presents are hooked at the first swap chain, the fence and
// queue calls at the first device (`armDeviceLoss`).
bool armDeviceLossAtInstall();
bool deviceLossSwitched();
void armDeviceLoss(ID3D12Device* firstNative);
// TESTWORLD_ADAPTERS (adapters.cpp).
bool installAdapterModel();
bool isModelledAdapter(IUnknown* adapter);

} // namespace testworld
