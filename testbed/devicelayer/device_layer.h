#pragma once
// The test world's device layer. Wine's Direct3D 12 knows only ID3D12Device; a current Windows
// hands out up to ID3D12Device10. Installing the layer hooks d3d12.dll!D3D12CreateDevice so that
// a request for any of ID3D12Device1..10 creates the real device and returns an ID3D12Device10
// wrapper: ID3D12Device methods forward, newer ones answer E_NOTIMPL (or a zeroed result).
// Test programs and the stand-in game install it before they load the system's DLL, whose own
// hook then lands on top of this one.

#include <cstdint>

#include "common/graphics.h"

namespace testworld {

// Switches, read when the layer is installed:
// - TESTWORLD_DEVICE_LOST_AT=N: the device is removed at frame N. The layer counts presents (not occlusion
//   polls) over every swap chain from 0; the present of frame N and every later present on that swap chain's
//   device answer DXGI_ERROR_DEVICE_REMOVED without presenting, its GetDeviceRemovedReason answers
//   DXGI_ERROR_DEVICE_HUNG, its fences report UINT64_MAX as completed (an event asked for is set at once) and
//   its queues' Signal answers DXGI_ERROR_DEVICE_REMOVED. Devices made later are not removed.
// - TESTWORLD_ADAPTERS=2: DXGI enumerates a second adapter, a modelled integrated GPU, first (index 0, LUID
//   modelledAdapterLuid, named modelledAdapterName); Wine's own adapter follows as adapter 1. The modelled
//   adapter is Wine's adapter object answering another description; no device is made on it.
inline constexpr LUID modelledAdapterLuid = {0x7E570001, 0};
inline constexpr const wchar_t* modelledAdapterName = L"Test world integrated GPU";

// Hooks D3D12CreateDevice once per process (loads d3d12.dll when needed). True when the layer
// is in place.
bool installDeviceLayer();

// The layer's ID3D12Device10 over `native`, sharing its reference count (the wrapper takes over
// the caller's reference); null when `native` is null or memory runs out.
ID3D12Device10* wrapDevice(ID3D12Device* native);

// True when `device` is one of the layer's wrappers.
bool isLayerDevice(IUnknown* device);

// Calls that reached a removed device through the layer since the process started, other than AddRef,
// Release and GetDeviceRemovedReason: 0 when nothing used a device after its removal.
std::uint64_t usesOfRemovedDevices();

// The system's own swap-chain, factory and queue methods (what its objects' tables hold), read once from
// throw-away objects on a hidden window; `found` false when they could not be made.
struct SystemMethods {
    bool found = false;
    void* present = nullptr;                // IDXGISwapChain slot 8
    void* present1 = nullptr;               // IDXGISwapChain1 slot 22
    void* createSwapChain = nullptr;        // IDXGIFactory slot 10
    void* createSwapChainForHwnd = nullptr; // IDXGIFactory2 slot 15
    void* executeCommandLists = nullptr;    // ID3D12CommandQueue slot 10
};
const SystemMethods& systemMethods();

// The switches below and TESTWORLD_DEVICE_LOST_AT may be on together: the layer hooks each of these system
// methods once, and its one detour applies every switch that is on (a present answers a device loss first,
// then the refusal below, else presents).

// Fault switch: the system swap chains' Present and Present1 refuse every present made with
// DXGI_PRESENT_DO_NOT_WAIT once, with DXGI_ERROR_WAS_STILL_DRAWING (as when the GPU has not finished an
// earlier frame), and show the retry that follows. Installed once per process (a throw-away swap chain on a
// hidden window finds the system's methods); call before the system's DLL loads. True when in place.
bool refuseNonWaitingPresentsOnce();

// Windows' DXGI makes a swap chain for any object that answers ID3D12CommandQueue; Wine's crashes on one that
// is not its own. This hooks the system factories' CreateSwapChain and CreateSwapChainForHwnd so that they
// take the real queue behind a stand-in Streamline queue (or a proxy of one), as a game's swap chain made
// from the system's own factory needs. Once per process, before the system's DLL loads.
bool acceptWrappedQueuesInSystemFactories();

// Wine under Xvfb can deadlock when one thread makes a DXGI factory while another presents; Windows does not.
// This makes factory creations (CreateDXGIFactory2, which Wine's D3D12CreateDevice calls too) and the system
// swap chains' presents take turns, so that another program making its objects on a thread of its own while
// the game presents (an overlay) runs as on Windows. Once per process, before the system's DLL loads.
bool keepCreationsApartFromPresents();

} // namespace testworld
