// The proxies against the stand-in Streamline on real Wine objects: a device and factory upgraded by the
// stand-in, a queue created through the device proxy, and swap chains created through the factory proxy.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <string>

#include "frame_boundary.h"
#include "proxies/D3D12CommandQueueProxy.h"
#include "proxies/D3D12DeviceProxy.h"
#include "proxies/DXGIFactoryProxy.h"
#include "proxies/DXGISwapChainProxy.h"
#include "streamline/streamline_api.h"
#include "testbed/streamline/journal.h"
#include "tests/support/d3d12_objects.h"

using fsr2bridge::standin::entriesNamed;
using fsr2bridge::standin::readJournal;

namespace {

std::string journalPath()
{
    static const std::string path = [] {
        char directory[MAX_PATH];
        GetTempPathA(MAX_PATH, directory);
        return std::string(directory) + "proxies_standin_journal_" + std::to_string(GetCurrentProcessId()) +
               ".txt";
    }();
    return path;
}

std::wstring standinPath()
{
    std::wstring path = L"Z:";
    for (const char* p = STANDIN_DLL; *p; ++p)
        path += static_cast<wchar_t>(*p == '/' ? '\\' : *p);
    return path;
}

using testsupport::ComPtr;

std::string hex(const void* pointer)
{
    char text[32];
    std::snprintf(text, sizeof(text), "0x%llx",
                  static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(pointer)));
    return text;
}

class StandinWorld : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        DeleteFileA(journalPath().c_str()); // process ids repeat between runs
        SetEnvironmentVariableA("SL_STANDIN_JOURNAL", journalPath().c_str());
        module = LoadLibraryW(standinPath().c_str());
        ASSERT_NE(module, nullptr);
        upgrade = fsr2bridge::exportedFunction<sl::PFun_slUpgradeInterface>(module, "slUpgradeInterface");
        reload = fsr2bridge::exportedFunction<void()>(module, "slStandinReload");
        ASSERT_TRUE(upgrade && reload);

        ID3D12Device* nativeDevice = testsupport::sharedDevice();
        ASSERT_NE(nativeDevice, nullptr);
        void* upgradedDevice = nativeDevice;
        ASSERT_EQ(upgrade(&upgradedDevice), sl::Result::eOk);
        device = new fsr2bridge::D3D12DeviceProxy(static_cast<ID3D12Device10*>(upgradedDevice),
                                                  reinterpret_cast<ID3D12Device10*>(nativeDevice));
        D3D12_COMMAND_QUEUE_DESC desc{};
        desc.Type = D3D12_COMMAND_LIST_TYPE_DIRECT;
        ASSERT_EQ(device->CreateCommandQueue(&desc, IID_PPV_ARGS(&queue)), S_OK);
        realQueue = testsupport::createQueue(nativeDevice).Detach();
        ASSERT_NE(realQueue, nullptr);

        IDXGIFactory7* nativeFactory = testsupport::createFactory().Detach();
        ASSERT_NE(nativeFactory, nullptr);
        void* upgradedFactory = nativeFactory;
        ASSERT_EQ(upgrade(&upgradedFactory), sl::Result::eOk);
        factory =
            new fsr2bridge::DXGIFactoryProxy(static_cast<IDXGIFactory7*>(upgradedFactory), nativeFactory);
    }

    static DXGI_SWAP_CHAIN_DESC1 swapChainDesc()
    {
        DXGI_SWAP_CHAIN_DESC1 desc{};
        desc.Width = 64;
        desc.Height = 64;
        desc.Format = DXGI_FORMAT_R8G8B8A8_UNORM;
        desc.SampleDesc.Count = 1;
        desc.BufferUsage = DXGI_USAGE_RENDER_TARGET_OUTPUT;
        desc.BufferCount = 2;
        desc.SwapEffect = DXGI_SWAP_EFFECT_FLIP_DISCARD;
        return desc;
    }

    // The Reflex and Frame Generation calls of the proxies go to the fake; their objects come from the
    // stand-in, which names the system swap chain behind its own.
    static void useStandinForObjects()
    {
        fsr2bridge::streamlineApi.slGetNativeInterface =
            fsr2bridge::exportedFunction<sl::PFun_slGetNativeInterface>(module, "slGetNativeInterface");
    }

    // The objects below live as long as the process, as the host's do.
    static inline HMODULE module = nullptr;
    static inline sl::PFun_slUpgradeInterface* upgrade = nullptr;
    static inline void (*reload)() = nullptr;
    static inline fsr2bridge::D3D12DeviceProxy* device = nullptr;
    static inline ID3D12CommandQueue* queue = nullptr;
    static inline ID3D12CommandQueue* realQueue = nullptr;
    static inline fsr2bridge::DXGIFactoryProxy* factory = nullptr;
};

TEST_F(StandinWorld, QueueComesFromStreamlinesDeviceAndSubmitsThroughIt)
{
    ComPtr<IUnknown> identity;
    ASSERT_EQ(queue->QueryInterface(fsr2bridge::queueProxyIid, &identity), S_OK);
    const auto* proxy = static_cast<fsr2bridge::D3D12CommandQueueProxy*>(queue);
    const auto created = entriesNamed(readJournal(journalPath()), "device.CreateCommandQueue");
    ASSERT_FALSE(created.empty());
    EXPECT_EQ(created.back().text("queue"), hex(proxy->inner));
    const std::size_t before = entriesNamed(readJournal(journalPath()), "queue.ExecuteCommandLists").size();
    queue->ExecuteCommandLists(0, nullptr);
    EXPECT_EQ(entriesNamed(readJournal(journalPath()), "queue.ExecuteCommandLists").size(), before + 1);
}

TEST_F(StandinWorld, HwndSwapChainsAreWrappedWithStreamlinesAndTheSystemsSwapChain)
{
    testsupport::FakeStreamline& fake = proxiestest::frameBoundaryWorld();
    useStandinForObjects();
    const DXGI_SWAP_CHAIN_DESC1 desc = swapChainDesc();
    ComPtr<IDXGISwapChain1> swapChain;
    ASSERT_EQ(factory->CreateSwapChainForHwnd(queue, testsupport::createWindow(L"proxies"), &desc, nullptr,
                                              nullptr, &swapChain),
              S_OK);
    ComPtr<IUnknown> identity;
    ASSERT_EQ(swapChain->QueryInterface(fsr2bridge::swapChainProxyIid, &identity), S_OK);
    auto* proxy = static_cast<fsr2bridge::DXGISwapChainProxy*>(swapChain.Get());
    const auto journal = readJournal(journalPath());
    const auto created = entriesNamed(journal, "factory.CreateSwapChainForHwnd");
    ASSERT_FALSE(created.empty());
    EXPECT_EQ(created.back().text("swapChain"), hex(proxy->upgraded));
    EXPECT_EQ(created.back().text("queue"), hex(queue)) << "the queue proxy is handed on unchanged";
    const auto natives = entriesNamed(journal, "slGetNativeInterface");
    ASSERT_FALSE(natives.empty());
    EXPECT_EQ(natives.back().text("out"), hex(proxy->native));

    const auto countOf = [](const char* name) {
        return entriesNamed(readJournal(journalPath()), name).size();
    };
    const std::size_t presents = countOf("swapchain.Present");
    const std::size_t indexQueries = countOf("swapchain.GetCurrentBackBufferIndex");
    fake.clearLog();
    EXPECT_EQ(swapChain->Present(0, 0), S_OK);
    EXPECT_EQ(proxiestest::markerNumbers(fake), (std::vector<std::uint32_t>{3, 4, 5, 6, 0}));
    EXPECT_EQ(countOf("swapchain.Present"), presents + 1);
    ComPtr<IDXGISwapChain3> three;
    ASSERT_EQ(swapChain.As(&three), S_OK);
    EXPECT_EQ(static_cast<void*>(three.Get()), static_cast<void*>(swapChain.Get()));
    three->GetCurrentBackBufferIndex();
    EXPECT_EQ(countOf("swapchain.GetCurrentBackBufferIndex"), indexQueries + 1);
}

TEST_F(StandinWorld, CompositionSwapChainsComeFromTheSystemFactoryUnwrapped)
{
    const DXGI_SWAP_CHAIN_DESC1 desc = swapChainDesc();
    ComPtr<IDXGISwapChain1> swapChain;
    const HRESULT result = factory->CreateSwapChainForComposition(realQueue, &desc, nullptr, &swapChain);
    EXPECT_TRUE(entriesNamed(readJournal(journalPath()), "factory.CreateSwapChainForComposition").empty());
    if (SUCCEEDED(result)) {
        ComPtr<IUnknown> identity;
        EXPECT_EQ(swapChain->QueryInterface(fsr2bridge::swapChainProxyIid, &identity), E_NOINTERFACE);
    }
}

TEST_F(StandinWorld, RefusedNativeInterfaceLeavesStreamlinesSwapChainAndReportsUnexpected)
{
    useStandinForObjects();
    SetEnvironmentVariableA("SL_STANDIN_FAIL", "slGetNativeInterface");
    reload();
    const DXGI_SWAP_CHAIN_DESC1 desc = swapChainDesc();
    IDXGISwapChain1* swapChain = nullptr;
    EXPECT_EQ(factory->CreateSwapChainForHwnd(queue, testsupport::createWindow(L"proxies"), &desc, nullptr,
                                              nullptr, &swapChain),
              E_UNEXPECTED);
    SetEnvironmentVariableA("SL_STANDIN_FAIL", nullptr);
    reload();
    const auto created = entriesNamed(readJournal(journalPath()), "factory.CreateSwapChainForHwnd");
    ASSERT_FALSE(created.empty());
    EXPECT_EQ(created.back().text("swapChain"), hex(swapChain))
        << "Streamline's swap chain stays in the out-pointer";
}

} // namespace
