#pragma once
// What the device layer's parts share: its hook table, the system methods it hooks and the removed state of
// its devices.
#include <wrl/client.h>

#include "common/graphics.h"
#include "hooking/hook_table.h"

namespace testworld {

// Virtual-table slots of the system methods the layer hooks (the interfaces' published order).
inline constexpr int swapChainPresentSlot = 8, swapChainPresent1Slot = 22;
inline constexpr int factoryCreateSwapChainSlot = 10, factoryEnumAdapters1Slot = 12,
                     factoryCreateSwapChainForHwndSlot = 15, factoryEnumAdapterByLuidSlot = 26;
inline constexpr int adapterGetDescSlot = 8, adapterGetDesc1Slot = 10;
inline constexpr int fenceGetCompletedValueSlot = 8, fenceSetEventOnCompletionSlot = 9;
// ID3D12CommandQueue: IUnknown 3, ID3D12Object 4, ID3D12DeviceChild 1, two tile mappings, then these.
inline constexpr int queueExecuteCommandListsSlot = 10, queueSignalSlot = 14;

// Their types, as the system's functions take them.
using CreateFactory2Fn = HRESULT(WINAPI*)(UINT, REFIID, void**);
using PresentFn = HRESULT(STDMETHODCALLTYPE*)(IDXGISwapChain*, UINT, UINT);
using Present1Fn = HRESULT(STDMETHODCALLTYPE*)(IDXGISwapChain1*, UINT, UINT, const DXGI_PRESENT_PARAMETERS*);
using CreateSwapChainFn = HRESULT(STDMETHODCALLTYPE*)(IDXGIFactory*, IUnknown*, DXGI_SWAP_CHAIN_DESC*,
                                                      IDXGISwapChain**);
using CreateSwapChainForHwndFn = HRESULT(STDMETHODCALLTYPE*)(IDXGIFactory2*, IUnknown*, HWND,
                                                             const DXGI_SWAP_CHAIN_DESC1*,
                                                             const DXGI_SWAP_CHAIN_FULLSCREEN_DESC*,
                                                             IDXGIOutput*, IDXGISwapChain1**);
using EnumAdapters1Fn = HRESULT(STDMETHODCALLTYPE*)(IDXGIFactory1*, UINT, IDXGIAdapter1**);
using EnumAdapterByLuidFn = HRESULT(STDMETHODCALLTYPE*)(IDXGIFactory4*, LUID, REFIID, void**);
using GetDescFn = HRESULT(STDMETHODCALLTYPE*)(IDXGIAdapter*, DXGI_ADAPTER_DESC*);
using GetDesc1Fn = HRESULT(STDMETHODCALLTYPE*)(IDXGIAdapter1*, DXGI_ADAPTER_DESC1*);
using GetCompletedValueFn = UINT64(STDMETHODCALLTYPE*)(ID3D12Fence*);
using SetEventOnCompletionFn = HRESULT(STDMETHODCALLTYPE*)(ID3D12Fence*, UINT64, HANDLE);
using QueueSignalFn = HRESULT(STDMETHODCALLTYPE*)(ID3D12CommandQueue*, ID3D12Fence*, UINT64);

// The layer's own hook table: its hooks stay independent of the system's, as a separate overlay's would.
fsr2bridge::HookTable& layerTable();

// Hooks `target` and enables the hook; the original goes to `*original`. A target is hooked once: a second
// hook on it fails (its original would be the first hook's to keep), so each system method has one detour
// that applies every switch on it.
bool hookMethod(void* target, void* detour, void** original);
// The same for the function in slot `slot` of `object`'s virtual table (every object of that class shares
// it).
bool hookVirtual(const void* object, int slot, void* detour, void** original);

// The system's Present and Present1, hooked once for every switch that answers for them (system_methods.cpp).
bool hookSystemPresents();

// The removed state of the layer device over a Wine device (false for a device the layer does not wrap).
bool markRemoved(ID3D12Device* native);
bool isRemoved(ID3D12Device* native);
// A factory of Wine's DXGI, from CreateDXGIFactory1 (which the system under test leaves alone); it shows
// where Wine's factory and adapter functions are.
Microsoft::WRL::ComPtr<IDXGIFactory4> systemFactory();

// The Wine device an object of it reports (ID3D12DeviceChild::GetDevice); null when it reports none.
Microsoft::WRL::ComPtr<ID3D12Device> deviceOf(ID3D12DeviceChild* child);

// The switches, read when the layer is installed (false: a switch is malformed or its hooks failed).
// TESTWORLD_DEVICE_LOST_AT (device_loss.cpp): the presents are hooked at install, the fence and queue calls
// at the first device (`armDeviceLoss`).
bool armDeviceLossAtInstall();
bool deviceLossSwitched();
void armDeviceLoss(ID3D12Device* firstNative);
// True when this present must answer DXGI_ERROR_DEVICE_REMOVED (always false while the switch is off).
bool presentFindsDeviceRemoved(IDXGISwapChain* swapChain, UINT flags);
// TESTWORLD_ADAPTERS (adapters.cpp).
bool installAdapterModel();
bool isModelledAdapter(IUnknown* adapter);

} // namespace testworld
