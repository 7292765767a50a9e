// The proxies against the stand-in Streamline on real Wine objects: a device and factory upgraded by the
// stand-in, a queue created through the device proxy, and swap chains created through the factory proxy.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <string>

#include "frame_recorder.h"
#include "proxies/D3D12CommandQueueProxy.h"
#include "proxies/D3D12DeviceProxy.h"
#include "proxies/DXGIFactoryProxy.h"
#include "proxies/DXGISwapChainProxy.h"
#include "streamline/streamline_api.h"
#include "testbed/streamline/journal.h"

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

std::string hex(const void* pointer)
{
    char text[32];
    std::snprintf(text, sizeof(text), "0x%llx",
                  static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(pointer)));
    return text;
}

HWND newWindow()
{
    return CreateWindowExW(0, L"STATIC", L"proxies", WS_OVERLAPPEDWINDOW, 0, 0, 64, 64, nullptr, nullptr,
                           nullptr, nullptr);
}

class StandinWorld : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        DeleteFileA(journalPath().c_str()); // process ids repeat between runs
        SetEnvironmentVariableA("SL_STANDIN_JOURNAL", journalPath().c_str());
        module = LoadLibraryW(standinPath().c_str());
        ASSERT_NE(module, nullptr);
        upgrade = reinterpret_cast<sl::PFun_slUpgradeInterface*>(
            reinterpret_cast<void*>(GetProcAddress(module, "slUpgradeInterface")));
        reload =
            reinterpret_cast<void (*)()>(reinterpret_cast<void*>(GetProcAddress(module, "slStandinReload")));
        fsr2bridge::streamlineApi.slGetNativeInterface = reinterpret_cast<sl::PFun_slGetNativeInterface*>(
            reinterpret_cast<void*>(GetProcAddress(module, "slGetNativeInterface")));
        ASSERT_TRUE(upgrade && reload && fsr2bridge::streamlineApi.slGetNativeInterface);

        ID3D12Device* nativeDevice = nullptr;
        ASSERT_EQ(D3D12CreateDevice(nullptr, D3D_FEATURE_LEVEL_11_0, IID_PPV_ARGS(&nativeDevice)), S_OK);
        void* upgradedDevice = nativeDevice;
        ASSERT_EQ(upgrade(&upgradedDevice), sl::Result::eOk);
        device = new fsr2bridge::D3D12DeviceProxy(static_cast<ID3D12Device10*>(upgradedDevice),
                                                  reinterpret_cast<ID3D12Device10*>(nativeDevice));
        D3D12_COMMAND_QUEUE_DESC desc{};
        desc.Type = D3D12_COMMAND_LIST_TYPE_DIRECT;
        ASSERT_EQ(device->CreateCommandQueue(&desc, IID_PPV_ARGS(&queue)), S_OK);
        ASSERT_EQ(nativeDevice->CreateCommandQueue(&desc, IID_PPV_ARGS(&realQueue)), S_OK);

        IDXGIFactory7* nativeFactory = nullptr;
        ASSERT_EQ(CreateDXGIFactory2(0, IID_PPV_ARGS(&nativeFactory)), S_OK);
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
    void* identity = nullptr;
    ASSERT_EQ(queue->QueryInterface(fsr2bridge::queueProxyIid, &identity), S_OK);
    queue->Release();
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
    const DXGI_SWAP_CHAIN_DESC1 desc = swapChainDesc();
    IDXGISwapChain1* swapChain = nullptr;
    ASSERT_EQ(factory->CreateSwapChainForHwnd(queue, newWindow(), &desc, nullptr, nullptr, &swapChain), S_OK);
    void* identity = nullptr;
    ASSERT_EQ(swapChain->QueryInterface(fsr2bridge::swapChainProxyIid, &identity), S_OK);
    swapChain->Release();
    auto* proxy = static_cast<fsr2bridge::DXGISwapChainProxy*>(swapChain);
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
    recorder::reset();
    EXPECT_EQ(swapChain->Present(0, 0), S_OK);
    EXPECT_EQ(recorder::markers(), (std::vector<std::uint32_t>{3, 4, 5, 6, 0}));
    EXPECT_EQ(countOf("swapchain.Present"), presents + 1);
    IDXGISwapChain3* three = nullptr;
    ASSERT_EQ(swapChain->QueryInterface(IID_PPV_ARGS(&three)), S_OK);
    EXPECT_EQ(static_cast<void*>(three), static_cast<void*>(swapChain));
    three->GetCurrentBackBufferIndex();
    EXPECT_EQ(countOf("swapchain.GetCurrentBackBufferIndex"), indexQueries + 1);
    three->Release();
}

TEST_F(StandinWorld, CompositionSwapChainsComeFromTheSystemFactoryUnwrapped)
{
    const DXGI_SWAP_CHAIN_DESC1 desc = swapChainDesc();
    IDXGISwapChain1* swapChain = nullptr;
    const HRESULT result = factory->CreateSwapChainForComposition(realQueue, &desc, nullptr, &swapChain);
    EXPECT_TRUE(entriesNamed(readJournal(journalPath()), "factory.CreateSwapChainForComposition").empty());
    if (SUCCEEDED(result)) {
        void* identity = nullptr;
        EXPECT_EQ(swapChain->QueryInterface(fsr2bridge::swapChainProxyIid, &identity), E_NOINTERFACE);
        swapChain->Release();
    }
}

TEST_F(StandinWorld, RefusedNativeInterfaceLeavesStreamlinesSwapChainAndReportsUnexpected)
{
    SetEnvironmentVariableA("SL_STANDIN_FAIL", "slGetNativeInterface");
    reload();
    const DXGI_SWAP_CHAIN_DESC1 desc = swapChainDesc();
    IDXGISwapChain1* swapChain = nullptr;
    EXPECT_EQ(factory->CreateSwapChainForHwnd(queue, newWindow(), &desc, nullptr, nullptr, &swapChain),
              E_UNEXPECTED);
    SetEnvironmentVariableA("SL_STANDIN_FAIL", nullptr);
    reload();
    const auto created = entriesNamed(readJournal(journalPath()), "factory.CreateSwapChainForHwnd");
    ASSERT_FALSE(created.empty());
    EXPECT_EQ(created.back().text("swapChain"), hex(swapChain))
        << "Streamline's swap chain stays in the out-pointer";
}

} // namespace
