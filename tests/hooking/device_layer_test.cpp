// The test world's device layer: newer device interfaces over Wine's ID3D12Device, and the
// system's own hook stacked on top of the layer's.
#include "common/graphics.h"
#include "hooking/MinHook.h"
#include "testbed/devicelayer/device_layer.h"
#include "tests/support/d3d12_objects.h"

#include <gtest/gtest.h>
#include <wrl/client.h>

namespace {

using Microsoft::WRL::ComPtr;

// The switches are read when the layer is installed, by the first test: a device removed at frame 2, and a
// modelled integrated GPU listed before Wine's adapter.
const bool switchesSet = SetEnvironmentVariableA("TESTWORLD_DEVICE_LOST_AT", "2") &&
                         SetEnvironmentVariableA("TESTWORLD_ADAPTERS", "2");

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

const DXGI_PRESENT_PARAMETERS& presentParameters()
{
    static const DXGI_PRESENT_PARAMETERS none{};
    return none;
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

// What a removed device answers, call by call, and a device made after it that works; the other switches on
// the same system methods are on as well.
TEST(DeviceLayer, DeviceRemovedAtItsFrameAnswersAsWindowsDoes)
{
    ASSERT_TRUE(switchesSet && testworld::installDeviceLayer());
    ASSERT_TRUE(testworld::refuseNonWaitingPresentsOnce());
    ASSERT_TRUE(testworld::acceptWrappedQueuesInSystemFactories());
    ComPtr<ID3D12Device5> device;
    ASSERT_EQ(D3D12CreateDevice(nullptr, D3D_FEATURE_LEVEL_11_0, IID_PPV_ARGS(&device)), S_OK);
    const ComPtr<ID3D12CommandQueue> queue = testsupport::createQueue(device.Get());
    const ComPtr<IDXGIFactory7> factory = testsupport::createFactory();
    ComPtr<ID3D12Fence> fence;
    ASSERT_TRUE(queue && factory &&
                SUCCEEDED(device->CreateFence(0, D3D12_FENCE_FLAG_NONE, IID_PPV_ARGS(&fence))));
    const DXGI_SWAP_CHAIN_DESC1 desc = testsupport::flipSwapChainDesc(64, 64);
    ComPtr<IDXGISwapChain1> swapChain;
    ASSERT_EQ(factory->CreateSwapChainForHwnd(queue.Get(), testsupport::createWindow(L"loss"), &desc, nullptr,
                                              nullptr, &swapChain),
              S_OK);
    const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    struct Step {
        const char* name;
        HRESULT result, expected;
    };
    const Step beforeTheLoss[] = {
        {"present of frame 0", swapChain->Present(0, 0), S_OK},
        {"occlusion poll", swapChain->Present(0, DXGI_PRESENT_TEST), S_OK},
        {"present of frame 1", swapChain->Present(0, 0), S_OK},
        {"removed reason", device->GetDeviceRemovedReason(), S_OK},
        {"signal", queue->Signal(fence.Get(), 1), S_OK},
    };
    const std::uint64_t usesBefore = testworld::usesOfRemovedDevices();
    const Step afterTheLoss[] = {
        {"present of frame 2", swapChain->Present(0, 0), DXGI_ERROR_DEVICE_REMOVED},
        {"present1 of frame 3", swapChain->Present1(0, 0, &presentParameters()), DXGI_ERROR_DEVICE_REMOVED},
        {"removed reason", device->GetDeviceRemovedReason(), DXGI_ERROR_DEVICE_HUNG},
        {"signal", queue->Signal(fence.Get(), 2), DXGI_ERROR_DEVICE_REMOVED},
        {"event on completion", fence->SetEventOnCompletion(~0ull - 1, event), S_OK},
    };
    for (const auto* steps : {&beforeTheLoss, &afterTheLoss}) {
        for (const Step& step : *steps) {
            SCOPED_TRACE(step.name);
            EXPECT_EQ(step.result, step.expected);
        }
    }
    EXPECT_EQ(fence->GetCompletedValue(), UINT64_MAX);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0) << "every wait on a removed device ends";
    EXPECT_EQ(testworld::usesOfRemovedDevices(), usesBefore)
        << "presents, fences, queues and the reason are no use";
    ComPtr<ID3D12CommandAllocator> allocator;
    device->CreateCommandAllocator(D3D12_COMMAND_LIST_TYPE_DIRECT, IID_PPV_ARGS(&allocator));
    EXPECT_EQ(testworld::usesOfRemovedDevices(), usesBefore + 1) << "a creation on the removed device is";
    CloseHandle(event);

    // The game's next device works.
    swapChain.Reset();
    ComPtr<ID3D12Device5> next;
    ASSERT_EQ(D3D12CreateDevice(nullptr, D3D_FEATURE_LEVEL_11_0, IID_PPV_ARGS(&next)), S_OK);
    const ComPtr<ID3D12CommandQueue> nextQueue = testsupport::createQueue(next.Get());
    ASSERT_EQ(factory->CreateSwapChainForHwnd(nextQueue.Get(), testsupport::createWindow(L"after the loss"),
                                              &desc, nullptr, nullptr, &swapChain),
              S_OK);
    EXPECT_EQ(swapChain->Present(0, 0), S_OK);
    EXPECT_EQ(swapChain->Present(0, DXGI_PRESENT_DO_NOT_WAIT), DXGI_ERROR_WAS_STILL_DRAWING);
    EXPECT_EQ(swapChain->Present(0, DXGI_PRESENT_DO_NOT_WAIT), S_OK) << "the retry";
    EXPECT_EQ(next->GetDeviceRemovedReason(), S_OK);
}

// DXGI lists the modelled integrated GPU first and Wine's adapter second; the modelled one makes no device.
TEST(DeviceLayer, SecondAdapterIsListedFirstAndFoundByItsLuid)
{
    ASSERT_TRUE(switchesSet && testworld::installDeviceLayer());
    const ComPtr<IDXGIFactory7> factory = testsupport::createFactory();
    ComPtr<IDXGIAdapter1> modelled, wine, none;
    ASSERT_EQ(factory->EnumAdapters1(0, &modelled), S_OK);
    ASSERT_EQ(factory->EnumAdapters1(1, &wine), S_OK);
    EXPECT_EQ(factory->EnumAdapters1(2, &none), DXGI_ERROR_NOT_FOUND);
    DXGI_ADAPTER_DESC1 first{}, second{};
    ASSERT_EQ(modelled->GetDesc1(&first), S_OK);
    ASSERT_EQ(wine->GetDesc1(&second), S_OK);
    EXPECT_EQ(std::wstring(first.Description), testworld::modelledAdapterName);
    EXPECT_EQ(first.AdapterLuid.LowPart, testworld::modelledAdapterLuid.LowPart);
    EXPECT_NE(second.AdapterLuid.LowPart, testworld::modelledAdapterLuid.LowPart);

    ComPtr<IDXGIAdapter> found;
    ASSERT_EQ(factory->EnumAdapterByLuid(testworld::modelledAdapterLuid, IID_PPV_ARGS(&found)), S_OK);
    DXGI_ADAPTER_DESC described{};
    ASSERT_EQ(found->GetDesc(&described), S_OK);
    EXPECT_EQ(std::wstring(described.Description), testworld::modelledAdapterName);
    ASSERT_EQ(factory->EnumAdapterByLuid(second.AdapterLuid, IID_PPV_ARGS(&found)), S_OK);
    ASSERT_EQ(found->GetDesc(&described), S_OK);
    EXPECT_EQ(std::wstring(described.Description), std::wstring(second.Description));

    ComPtr<ID3D12Device5> device;
    EXPECT_EQ(D3D12CreateDevice(modelled.Get(), D3D_FEATURE_LEVEL_11_0, IID_PPV_ARGS(&device)),
              DXGI_ERROR_UNSUPPORTED);
    ASSERT_EQ(D3D12CreateDevice(wine.Get(), D3D_FEATURE_LEVEL_11_0, IID_PPV_ARGS(&device)), S_OK);
    LUID luid{};
    device->GetAdapterLuid(&luid);
    EXPECT_EQ(luid.LowPart, second.AdapterLuid.LowPart);
}

} // namespace
