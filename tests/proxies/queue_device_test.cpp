// The queue and device proxies' own behaviour: the marker cycle, the identity rules and reference counts on
// real Wine objects, queue wrapping, the R8 view repair and nativeDeviceOf.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "frame_boundary.h"
#include "proxies/D3D12CommandQueueProxy.h"
#include "proxies/D3D12DeviceProxy.h"
#include "recording_fake.h"
#include "tests/support/d3d12_objects.h"

using fakes::RecordingObject;
using fsr2bridge::D3D12CommandQueueProxy;
using fsr2bridge::D3D12DeviceProxy;
using proxiestest::frameBoundaryWorld;
using proxiestest::markerNumbers;
using testsupport::ComPtr;
using testsupport::referenceCount;
using testsupport::sharedDevice;

namespace {

constexpr int executeCommandListsSlot = 10;
constexpr int createShaderResourceViewSlot = 18;

// ---- marker cycle ----

TEST(QueueMarkers, FirstOfEveryFiveSubmissionsSendsSimulationEndThenRenderSubmitStart)
{
    struct Step {
        int submission;
        std::vector<std::uint32_t> markers;
    };
    const std::vector<Step> steps = {{1, {1, 2}}, {2, {}}, {3, {}}, {4, {}},  {5, {}},      {6, {1, 2}},
                                     {7, {}},     {8, {}}, {9, {}}, {10, {}}, {11, {1, 2}}, {12, {}}};
    RecordingObject inner;
    D3D12CommandQueueProxy proxy(inner.as<ID3D12CommandQueue>());
    for (const Step& step : steps) {
        SCOPED_TRACE("submission " + std::to_string(step.submission));
        testsupport::FakeStreamline& fake = frameBoundaryWorld();
        fakes::callLog().clear();
        ID3D12CommandList* lists[2] = {reinterpret_cast<ID3D12CommandList*>(0x1), nullptr};
        proxy.ExecuteCommandLists(2, lists);
        EXPECT_EQ(markerNumbers(fake), step.markers);
        ASSERT_EQ(fakes::callLog().size(), 1u);
        EXPECT_EQ(fakes::callLog()[0].slot, executeCommandListsSlot);
        EXPECT_EQ(fakes::callLog()[0].arguments[0] & 0xFFFFFFFF, 2u);
        EXPECT_EQ(fakes::callLog()[0].arguments[1], reinterpret_cast<fakes::Word>(lists));
    }
}

TEST(QueueMarkers, QueuesCycleIndependentlyAndAnEmptySubmissionStillCounts)
{
    RecordingObject innerA, innerB;
    D3D12CommandQueueProxy a(innerA.as<ID3D12CommandQueue>()), b(innerB.as<ID3D12CommandQueue>());
    testsupport::FakeStreamline& fake = frameBoundaryWorld();
    fakes::callLog().clear();
    a.ExecuteCommandLists(0, nullptr);
    EXPECT_EQ(markerNumbers(fake), (std::vector<std::uint32_t>{1, 2}));
    EXPECT_EQ(fakes::callLog().size(), 1u) << "an empty submission is still forwarded";
    fake.throwing = true;
    b.ExecuteCommandLists(0, nullptr);
    fake.throwing = false;
    EXPECT_EQ(fakes::callLog().size(), 2u) << "a throwing marker does not stop the submission";
    EXPECT_EQ(markerNumbers(fake), (std::vector<std::uint32_t>{1, 2, 1, 2}));
    for (int i = 0; i < 4; ++i)
        a.ExecuteCommandLists(0, nullptr);
    EXPECT_EQ(fake.markers.size(), 4u);
    a.ExecuteCommandLists(0, nullptr);
    EXPECT_EQ(fake.markers.size(), 6u) << "the sixth submission of the first queue starts a new cycle";
}

// ---- queue identity ----

struct QueueIdentityCase {
    const char* name;
    IID riid;
    bool answersWithProxy;
    HRESULT expected;
};

class QueueIdentity : public testing::TestWithParam<QueueIdentityCase> {};

TEST_P(QueueIdentity, AnswersPerTheIdentityRules)
{
    const ComPtr<ID3D12CommandQueue> held = testsupport::createQueue(sharedDevice());
    ID3D12CommandQueue* queue = held.Get();
    ASSERT_NE(queue, nullptr);
    D3D12CommandQueueProxy proxy(queue);
    const ULONG before = referenceCount(queue);
    void* answer = nullptr;
    EXPECT_EQ(proxy.QueryInterface(GetParam().riid, &answer), GetParam().expected);
    if (GetParam().answersWithProxy) {
        EXPECT_EQ(answer, &proxy);
        EXPECT_EQ(referenceCount(queue), before + 1);
        proxy.Release();
    } else if (SUCCEEDED(GetParam().expected)) {
        EXPECT_NE(answer, &proxy);
        static_cast<IUnknown*>(answer)->Release();
    } else {
        EXPECT_EQ(answer, nullptr);
    }
    EXPECT_EQ(referenceCount(queue), before);
    EXPECT_EQ(proxy.inner, queue) << "the wrapped queue is still the same object";
}

const QueueIdentityCase queueIdentityCases[] = {
    {"Identity", fsr2bridge::queueProxyIid, true, S_OK},
    {"IUnknown", __uuidof(IUnknown), true, S_OK},
    {"Object", __uuidof(ID3D12Object), true, S_OK},
    {"DeviceChild", __uuidof(ID3D12DeviceChild), true, S_OK},
    {"Pageable", __uuidof(ID3D12Pageable), true, S_OK},
    {"CommandQueue", __uuidof(ID3D12CommandQueue), true, S_OK},
    {"Fence", __uuidof(ID3D12Fence), false, E_NOINTERFACE},
};
INSTANTIATE_TEST_SUITE_P(Proxies, QueueIdentity, testing::ValuesIn(queueIdentityCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(QueueIdentity, NullOutPointerIsRejectedWithoutTouchingTheQueue)
{
    RecordingObject inner;
    D3D12CommandQueueProxy proxy(inner.as<ID3D12CommandQueue>());
    fakes::callLog().clear();
    EXPECT_EQ(proxy.QueryInterface(__uuidof(IUnknown), nullptr), E_POINTER);
    EXPECT_TRUE(fakes::callLog().empty());
}

// ---- device ----

TEST(DeviceProxy, QueriesAnswerWithTheSystemDeviceAndCountsAreTheGames)
{
    ID3D12Device* device = sharedDevice();
    ASSERT_NE(device, nullptr);
    auto* d10 = reinterpret_cast<ID3D12Device10*>(device);
    const ULONG heldOnly = referenceCount(device);
    device
        ->AddRef(); // the proxy's own two references (Streamline's device and the system's), here one object
    device->AddRef();
    D3D12DeviceProxy proxy(d10, d10);
    const ULONG before = referenceCount(device);
    EXPECT_EQ(proxy.AddRef(), 2u) << "the game's count, not the system device's";
    EXPECT_EQ(proxy.Release(), 1u);
    EXPECT_EQ(referenceCount(device), before);
    for (const IID& riid : {__uuidof(IUnknown), __uuidof(ID3D12Device)}) {
        ComPtr<IUnknown> answer;
        ASSERT_EQ(proxy.QueryInterface(riid, &answer), S_OK);
        EXPECT_NE(answer.Get(), &proxy) << "the proxy never answers with itself";
    }
    EXPECT_EQ(proxy.QueryInterface(__uuidof(IUnknown), nullptr), E_POINTER);
    EXPECT_EQ(referenceCount(device), before);
    EXPECT_EQ(proxy.Release(), 0u);
    EXPECT_EQ(referenceCount(device), heldOnly) << "both of the proxy's references are given back";
    ComPtr<IUnknown> late;
    EXPECT_EQ(proxy.QueryInterface(__uuidof(IUnknown), &late), E_NOINTERFACE) << "nothing is left to query";
}

TEST(DeviceProxy, AdapterLuidComesFromTheSystemDevice)
{
    ID3D12Device* device = sharedDevice();
    ASSERT_NE(device, nullptr);
    auto* d10 = reinterpret_cast<ID3D12Device10*>(device);
    D3D12DeviceProxy proxy(d10, d10);
    const LUID viaProxy = fsr2bridge::adapterLuidOf(&proxy);
    const LUID direct = fsr2bridge::adapterLuidOf(device);
    EXPECT_EQ(viaProxy.LowPart, direct.LowPart);
    EXPECT_EQ(viaProxy.HighPart, direct.HighPart);
}

TEST(DeviceProxy, QueuesComeFromTheUpgradedDeviceWrapped)
{
    ID3D12Device* device = sharedDevice();
    ASSERT_NE(device, nullptr);
    RecordingObject native;
    D3D12DeviceProxy proxy(reinterpret_cast<ID3D12Device10*>(device), native.as<ID3D12Device10>());
    fakes::callLog().clear();
    D3D12_COMMAND_QUEUE_DESC desc{};
    desc.Type = D3D12_COMMAND_LIST_TYPE_DIRECT;
    void* queue = nullptr;
    ASSERT_EQ(proxy.CreateCommandQueue(&desc, __uuidof(ID3D12CommandQueue), &queue), S_OK);
    EXPECT_TRUE(fakes::callLog().empty()) << "the system device is not asked";
    ComPtr<D3D12CommandQueueProxy> wrapped; // takes over the creation's reference
    *wrapped.ReleaseAndGetAddressOf() = static_cast<D3D12CommandQueueProxy*>(queue);
    ComPtr<IUnknown> identity;
    ASSERT_EQ(wrapped->QueryInterface(fsr2bridge::queueProxyIid, &identity), S_OK);
    EXPECT_EQ(identity.Get(), wrapped.Get());
    EXPECT_EQ(wrapped->submitCount, 0);
    D3D12_COMMAND_QUEUE_DESC reported{};
    wrapped->GetDesc(&reported);
    EXPECT_EQ(reported.Type, D3D12_COMMAND_LIST_TYPE_DIRECT);
}

TEST(DeviceProxy, FailedOrUnreportedQueueCreationWrapsNothing)
{
    struct Case {
        const char* name;
        HRESULT created;
        bool withQueue;
        HRESULT expected;
    };
    RecordingObject queue;
    const Case cases[] = {
        {"failure", E_INVALIDARG, true, E_INVALIDARG},
        {"null out-pointer", S_FALSE, false, S_FALSE},
        {"positive success becomes S_OK", S_FALSE, true, S_OK},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        void* out = c.withQueue ? static_cast<void*>(&queue) : nullptr;
        const HRESULT result = fsr2bridge::wrapCreatedQueue(c.created, c.withQueue ? &out : nullptr);
        EXPECT_EQ(result, c.expected);
        if (c.withQueue && SUCCEEDED(c.created)) {
            EXPECT_EQ(static_cast<D3D12CommandQueueProxy*>(out)->inner, queue.as<ID3D12CommandQueue>());
        } else if (c.withQueue) {
            EXPECT_EQ(out, &queue);
        }
    }
}

TEST(DeviceProxy, ShaderResourceViewsOfR8TypelessAreRepairedInTheCallersDescriptor)
{
    struct Case {
        DXGI_FORMAT given, forwarded;
    };
    const Case cases[] = {{DXGI_FORMAT_R8_TYPELESS, DXGI_FORMAT_R8_UNORM},
                          {DXGI_FORMAT_R8_UNORM, DXGI_FORMAT_R8_UNORM},
                          {DXGI_FORMAT_R16_TYPELESS, DXGI_FORMAT_R16_TYPELESS},
                          {DXGI_FORMAT_R8G8B8A8_TYPELESS, DXGI_FORMAT_R8G8B8A8_TYPELESS}};
    RecordingObject upgraded, native;
    D3D12DeviceProxy proxy(upgraded.as<ID3D12Device10>(), native.as<ID3D12Device10>());
    for (const Case& c : cases) {
        D3D12_SHADER_RESOURCE_VIEW_DESC desc{};
        desc.Format = c.given;
        fakes::callLog().clear();
        proxy.CreateShaderResourceView(reinterpret_cast<ID3D12Resource*>(0x1234), &desc, {0x5678});
        EXPECT_EQ(desc.Format, c.forwarded);
        ASSERT_EQ(fakes::callLog().size(), 1u);
        const fakes::Call& call = fakes::callLog()[0];
        EXPECT_EQ(call.object, &native);
        EXPECT_EQ(call.slot, createShaderResourceViewSlot);
        EXPECT_EQ(call.arguments[0], 0x1234u);
        EXPECT_EQ(call.arguments[1], reinterpret_cast<fakes::Word>(&desc));
        EXPECT_EQ(call.arguments[2], 0x5678u);
    }
    fakes::callLog().clear();
    proxy.CreateShaderResourceView(nullptr, nullptr, {0x5678});
    ASSERT_EQ(fakes::callLog().size(), 1u);
    EXPECT_EQ(fakes::callLog()[0].arguments[1], 0u);
}

TEST(NativeDeviceOf, RecognisesOurProxiesOnly)
{
    RecordingObject upgraded, native;
    D3D12DeviceProxy proxy(upgraded.as<ID3D12Device10>(), native.as<ID3D12Device10>());
    EXPECT_EQ(fsr2bridge::nativeDeviceOf(&proxy), native.as<ID3D12Device>());
    EXPECT_EQ(fsr2bridge::nativeDeviceOf(&native), native.as<ID3D12Device>());
    EXPECT_EQ(fsr2bridge::nativeDeviceOf(nullptr), nullptr);
    if (ID3D12Device* device = sharedDevice()) {
        EXPECT_EQ(fsr2bridge::nativeDeviceOf(device), device);
    }
}

} // namespace
