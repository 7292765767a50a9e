// Proves that the test world is real: Wine's Direct3D 12 and DXGI create
// working objects under Xvfb, structure-returning methods use the out-pointer
// form of the MSVC ABI, and the box catcher records and dismisses boxes.
#include "common/graphics.h"
#include <gtest/gtest.h>

#include "testbed/world/box_catcher.h"
#include "tests/support/d3d12_objects.h"

namespace {

using testsupport::ComPtr;

TEST(TestWorld, DeviceQueueAndResourceAreReal)
{
    ComPtr<ID3D12Device> device;
    ASSERT_EQ(D3D12CreateDevice(nullptr, D3D_FEATURE_LEVEL_11_0, IID_PPV_ARGS(&device)), S_OK);

    D3D12_COMMAND_QUEUE_DESC queueDesc = {};
    queueDesc.Type = D3D12_COMMAND_LIST_TYPE_DIRECT;
    ComPtr<ID3D12CommandQueue> queue;
    ASSERT_EQ(device->CreateCommandQueue(&queueDesc, IID_PPV_ARGS(&queue)), S_OK);
    D3D12_COMMAND_QUEUE_DESC back;
    queue->GetDesc(&back);
    EXPECT_EQ(back.Type, D3D12_COMMAND_LIST_TYPE_DIRECT);

    const ComPtr<ID3D12Resource> texture = testsupport::createTexture(
        device.Get(), 64, 32, DXGI_FORMAT_R8G8B8A8_UNORM, D3D12_RESOURCE_STATE_UNORDERED_ACCESS);
    ASSERT_NE(texture, nullptr);
    const D3D12_RESOURCE_DESC read = fsr2bridge::resourceDescriptionOf(texture.Get());
    EXPECT_EQ(read.Width, 64u);
    EXPECT_EQ(read.Height, 32u);
    EXPECT_EQ(read.Format, DXGI_FORMAT_R8G8B8A8_UNORM);

    const LUID luid = fsr2bridge::adapterLuidOf(device.Get());
    EXPECT_TRUE(luid.LowPart != 0 || luid.HighPart != 0);
}

TEST(TestWorld, FactoryUpToVersionSeven)
{
    ComPtr<IDXGIFactory2> factory;
    ASSERT_EQ(CreateDXGIFactory2(0, IID_PPV_ARGS(&factory)), S_OK);
    ComPtr<IDXGIFactory7> factory7;
    EXPECT_EQ(factory.As(&factory7), S_OK);
}

TEST(TestWorld, BoxCatcherRecordsAndDismisses)
{
    testworld::BoxCatcher catcher;
    int answer = MessageBoxW(nullptr, L"Some text.\n", L"A caption", MB_OK | MB_ICONERROR);
    EXPECT_EQ(answer, IDOK);
    auto boxes = catcher.boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, L"A caption");
    EXPECT_EQ(boxes[0].text, L"Some text.\n");
}

} // namespace
