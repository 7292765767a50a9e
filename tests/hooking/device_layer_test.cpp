// The test world's device layer: newer device interfaces over Wine's ID3D12Device, and the
// system's own hook stacked on top of the layer's.
#include "common/graphics.h"
#include "hooking/MinHook.h"
#include "testbed/devicelayer/device_layer.h"

#include <gtest/gtest.h>
#include <wrl/client.h>

namespace {

using Microsoft::WRL::ComPtr;

TEST(DeviceLayer, Device5ComesBackAndWorks)
{
    ASSERT_TRUE(testworld::installDeviceLayer());
    ASSERT_TRUE(testworld::installDeviceLayer()); // idempotent

    ComPtr<ID3D12Device5> device;
    ASSERT_EQ(D3D12CreateDevice(nullptr, D3D_FEATURE_LEVEL_11_0, IID_PPV_ARGS(&device)), S_OK);
    ASSERT_NE(device, nullptr);
    EXPECT_TRUE(testworld::isLayerDevice(device.Get()));

    D3D12_COMMAND_QUEUE_DESC queueDesc = {};
    queueDesc.Type = D3D12_COMMAND_LIST_TYPE_DIRECT;
    ComPtr<ID3D12CommandQueue> queue;
    ASSERT_EQ(device->CreateCommandQueue(&queueDesc, IID_PPV_ARGS(&queue)), S_OK);

    D3D12_HEAP_PROPERTIES heap = {};
    heap.Type = D3D12_HEAP_TYPE_DEFAULT;
    D3D12_RESOURCE_DESC desc = {};
    desc.Dimension = D3D12_RESOURCE_DIMENSION_BUFFER;
    desc.Width = 256;
    desc.Height = 1;
    desc.DepthOrArraySize = 1;
    desc.MipLevels = 1;
    desc.SampleDesc.Count = 1;
    desc.Layout = D3D12_TEXTURE_LAYOUT_ROW_MAJOR;
    ComPtr<ID3D12Resource> buffer;
    ASSERT_EQ(device->CreateCommittedResource(&heap, D3D12_HEAP_FLAG_NONE, &desc, D3D12_RESOURCE_STATE_COMMON,
                                              nullptr, IID_PPV_ARGS(&buffer)),
              S_OK);
    LUID luid;
    device->GetAdapterLuid(&luid);
    EXPECT_TRUE(luid.LowPart != 0 || luid.HighPart != 0);

    // Newer methods answer "not implemented"; any device identifier yields the wrapper.
    EXPECT_EQ(device->CreateStateObject(nullptr, IID_PPV_ARGS(static_cast<ID3D12StateObject**>(nullptr))),
              E_NOTIMPL);
    const IID* iids[] = {&__uuidof(ID3D12Device), &__uuidof(ID3D12Device1), &__uuidof(ID3D12Device5),
                         &__uuidof(ID3D12Device10), &__uuidof(IUnknown)};
    for (const IID* iid : iids) {
        ComPtr<IUnknown> same;
        ASSERT_EQ(device->QueryInterface(*iid, reinterpret_cast<void**>(same.GetAddressOf())), S_OK);
        EXPECT_EQ(static_cast<void*>(same.Get()),
                  static_cast<void*>(static_cast<ID3D12Device10*>(static_cast<ID3D12Device*>(device.Get()))));
    }
    EXPECT_EQ(device->QueryInterface(__uuidof(ID3D12Device5), nullptr), E_POINTER);
}

TEST(DeviceLayer, PlainDeviceRequestsPassThrough)
{
    ASSERT_TRUE(testworld::installDeviceLayer());
    ComPtr<ID3D12Device> device;
    ASSERT_EQ(D3D12CreateDevice(nullptr, D3D_FEATURE_LEVEL_11_0, IID_PPV_ARGS(&device)), S_OK);
    EXPECT_FALSE(testworld::isLayerDevice(device.Get()));
    EXPECT_EQ(D3D12CreateDevice(nullptr, D3D_FEATURE_LEVEL_11_0, __uuidof(ID3D12Device5), nullptr), S_FALSE);
}

using CreateDeviceFn = HRESULT(WINAPI*)(IUnknown*, D3D_FEATURE_LEVEL, REFIID, void**);
CreateDeviceFn g_next = nullptr;
int g_topCalls = 0;
HRESULT WINAPI topHook(IUnknown* a, D3D_FEATURE_LEVEL l, REFIID r, void** o)
{
    ++g_topCalls;
    return g_next(a, l, r, o);
}

TEST(DeviceLayer, SystemHookLandsOnTopOfTheLayer)
{
    ASSERT_TRUE(testworld::installDeviceLayer());
    MH_STATUS s = MH_Initialize();
    ASSERT_TRUE(s == MH_OK || s == MH_ERROR_ALREADY_INITIALIZED);
    ASSERT_EQ(MH_CreateHookApi(L"d3d12.dll", "D3D12CreateDevice", reinterpret_cast<void*>(&topHook),
                               reinterpret_cast<void**>(&g_next)),
              MH_OK);
    ASSERT_EQ(MH_EnableHook(MH_ALL_HOOKS), MH_OK);
    ComPtr<ID3D12Device5> device;
    ASSERT_EQ(D3D12CreateDevice(nullptr, D3D_FEATURE_LEVEL_11_0, IID_PPV_ARGS(&device)), S_OK);
    EXPECT_EQ(g_topCalls, 1);
    EXPECT_TRUE(testworld::isLayerDevice(device.Get()));
    EXPECT_EQ(MH_DisableHook(MH_ALL_HOOKS), MH_OK);
}

} // namespace
