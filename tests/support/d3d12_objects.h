#pragma once
// Real Direct3D 12 and DXGI objects of the test world (vkd3d under Xvfb), held by ComPtr.
#include <wrl/client.h>

#include "common/graphics.h"

namespace testsupport {

using Microsoft::WRL::ComPtr;

// Makes `holder` the owner of the reference `object` carries. (MinGW's ComPtr::Attach adds a reference of its
// own, unlike the platform's, so tests never use it.)
template <class T, class U> void adopt(ComPtr<T>& holder, U* object)
{
    *holder.ReleaseAndGetAddressOf() = object;
}

// A new device on the default adapter; null without a display.
ComPtr<ID3D12Device> createDevice();
// One device for the whole process, made on first use and kept to the end; null without a display.
ID3D12Device* sharedDevice();

ComPtr<ID3D12CommandQueue> createQueue(ID3D12Device* device,
                                       D3D12_COMMAND_LIST_TYPE type = D3D12_COMMAND_LIST_TYPE_DIRECT);
// A single-mip 2D texture in default memory, usable for unordered access.
ComPtr<ID3D12Resource> createTexture(ID3D12Device* device, UINT width, UINT height, DXGI_FORMAT format,
                                     D3D12_RESOURCE_STATES state = D3D12_RESOURCE_STATE_COMMON);
ComPtr<ID3D12Resource> createBuffer(ID3D12Device* device, UINT64 size, D3D12_HEAP_TYPE heap,
                                    D3D12_RESOURCE_STATES state);
ComPtr<IDXGIFactory7> createFactory();

// The object's reference count, read by one AddRef/Release pair.
ULONG referenceCount(IUnknown* object);

// A small window for swap chains.
HWND createWindow(const wchar_t* title);

// A flip-model swap chain of two RGBA8 buffers, as the test world's games make.
DXGI_SWAP_CHAIN_DESC1 flipSwapChainDesc(UINT width, UINT height);

} // namespace testsupport
