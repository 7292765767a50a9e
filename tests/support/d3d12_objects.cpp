#include "tests/support/d3d12_objects.h"

#include "testbed/world/d3d12_records.h"

namespace testsupport {

ComPtr<ID3D12Device> createDevice()
{
    ComPtr<ID3D12Device> device;
    D3D12CreateDevice(nullptr, D3D_FEATURE_LEVEL_11_0, IID_PPV_ARGS(&device));
    return device;
}

ID3D12Device* sharedDevice()
{
    // Never released: the device outlives every test, as the host's does.
    static ID3D12Device* const device = createDevice().Detach();
    return device;
}

ComPtr<ID3D12CommandQueue> createQueue(ID3D12Device* device, D3D12_COMMAND_LIST_TYPE type)
{
    D3D12_COMMAND_QUEUE_DESC desc{};
    desc.Type = type;
    ComPtr<ID3D12CommandQueue> queue;
    device->CreateCommandQueue(&desc, IID_PPV_ARGS(&queue));
    return queue;
}

ComPtr<ID3D12Resource> createTexture(ID3D12Device* device, UINT width, UINT height, DXGI_FORMAT format,
                                     D3D12_RESOURCE_STATES state)
{
    D3D12_HEAP_PROPERTIES heap{};
    heap.Type = D3D12_HEAP_TYPE_DEFAULT;
    D3D12_RESOURCE_DESC desc{};
    desc.Dimension = D3D12_RESOURCE_DIMENSION_TEXTURE2D;
    desc.Width = width;
    desc.Height = height;
    desc.DepthOrArraySize = 1;
    desc.MipLevels = 1;
    desc.Format = format;
    desc.SampleDesc.Count = 1;
    desc.Flags = D3D12_RESOURCE_FLAG_ALLOW_UNORDERED_ACCESS;
    ComPtr<ID3D12Resource> texture;
    device->CreateCommittedResource(&heap, D3D12_HEAP_FLAG_NONE, &desc, state, nullptr,
                                    IID_PPV_ARGS(&texture));
    return texture;
}

ComPtr<ID3D12Resource> createBuffer(ID3D12Device* device, UINT64 size, D3D12_HEAP_TYPE type,
                                    D3D12_RESOURCE_STATES state)
{
    D3D12_HEAP_PROPERTIES heap{};
    heap.Type = type;
    D3D12_RESOURCE_DESC desc{};
    desc.Dimension = D3D12_RESOURCE_DIMENSION_BUFFER;
    desc.Width = size;
    desc.Height = 1;
    desc.DepthOrArraySize = 1;
    desc.MipLevels = 1;
    desc.SampleDesc.Count = 1;
    desc.Layout = D3D12_TEXTURE_LAYOUT_ROW_MAJOR;
    ComPtr<ID3D12Resource> buffer;
    device->CreateCommittedResource(&heap, D3D12_HEAP_FLAG_NONE, &desc, state, nullptr,
                                    IID_PPV_ARGS(&buffer));
    return buffer;
}

ComPtr<IDXGIFactory7> createFactory()
{
    ComPtr<IDXGIFactory7> factory;
    CreateDXGIFactory2(0, IID_PPV_ARGS(&factory));
    return factory;
}

ULONG referenceCount(IUnknown* object)
{
    object->AddRef();
    return object->Release();
}

HWND createWindow(const wchar_t* title)
{
    return CreateWindowExW(0, L"STATIC", title, WS_OVERLAPPEDWINDOW, 0, 0, 64, 64, nullptr, nullptr, nullptr,
                           nullptr);
}

DXGI_SWAP_CHAIN_DESC1 flipSwapChainDesc(UINT width, UINT height)
{
    return testworld::flipModelDesc(width, height);
}

} // namespace testsupport
