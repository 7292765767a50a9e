// The proxies against the stand-in Streamline on real Wine objects: a device and factory upgraded by the
// stand-in, a queue created through the device proxy, and swap chains created through the factory proxy.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <functional>
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

    static DXGI_SWAP_CHAIN_DESC1 swapChainDesc() { return testsupport::flipSwapChainDesc(64, 64); }

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

    // Its parent, asked as a factory, is the factory proxy that made it (with a reference of the game's); as
    // anything else, the system's answer.
    const ULONG references = testsupport::referenceCount(factory);
    ComPtr<IDXGIFactory2> parent;
    ASSERT_EQ(swapChain->GetParent(IID_PPV_ARGS(&parent)), S_OK);
    EXPECT_EQ(static_cast<void*>(parent.Get()), static_cast<void*>(factory));
    EXPECT_EQ(testsupport::referenceCount(factory), references + 1);
    ComPtr<IDXGIObject> parentObject;
    ASSERT_EQ(swapChain->GetParent(IID_PPV_ARGS(&parentObject)), S_OK);
    EXPECT_NE(static_cast<void*>(parentObject.Get()), static_cast<void*>(factory));
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

// ---- identities and lifetime ----

// The identities of a widely used post-processing overlay's own queue and swap-chain wrappers: an object that
// answers one is taken for that overlay's wrapper and read as such.
constexpr IID overlayQueueIdentity = {
    0x2C576D2A, 0x0C1C, 0x4D1D, {0xAD, 0x7C, 0xBC, 0x4F, 0xAE, 0xC1, 0x5A, 0xBC}};
constexpr IID overlaySwapChainIdentity = {
    0x1F445F9F, 0x9887, 0x4C4C, {0x90, 0x55, 0x4E, 0x3B, 0xAD, 0xAF, 0xCC, 0xA8}};

// Set as private data on a system object; the object gives it back when it is destroyed.
class Watch final : public IUnknown {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override
    {
        *object = IsEqualIID(riid, __uuidof(IUnknown)) ? this : nullptr;
        if (*object == nullptr)
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override { return --references_; }
    bool heldByTheObject() const { return references_ > 1; }

private:
    std::atomic<ULONG> references_{1}; // the test's own
};

constexpr GUID watchSlot = {0x2DA8827B, 0x432B, 0x4CD0, {0x9B, 0x1C, 0x61, 0x43, 0x57, 0xB7, 0x99, 0x1D}};

TEST_F(StandinWorld, QueuesAndSwapChainsAnswerTheirOwnIdentityAndNotTheOverlays)
{
    useStandinForObjects();
    const DXGI_SWAP_CHAIN_DESC1 desc = swapChainDesc();
    ComPtr<IDXGISwapChain1> swapChain;
    ASSERT_EQ(factory->CreateSwapChainForHwnd(queue, testsupport::createWindow(L"identities"), &desc, nullptr,
                                              nullptr, &swapChain),
              S_OK);
    struct Case {
        const char* name;
        IUnknown* object;
        IID riid;
        HRESULT expected;
    };
    const Case cases[] = {
        {"queue, own", queue, fsr2bridge::queueProxyIid, S_OK},
        {"queue, overlay's queue", queue, overlayQueueIdentity, E_NOINTERFACE},
        {"queue, overlay's swap chain", queue, overlaySwapChainIdentity, E_NOINTERFACE},
        {"swap chain, own", swapChain.Get(), fsr2bridge::swapChainProxyIid, S_OK},
        {"swap chain, overlay's swap chain", swapChain.Get(), overlaySwapChainIdentity, E_NOINTERFACE},
        {"swap chain, overlay's queue", swapChain.Get(), overlayQueueIdentity, E_NOINTERFACE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ComPtr<IUnknown> answer;
        EXPECT_EQ(c.object->QueryInterface(c.riid, &answer), c.expected);
        EXPECT_EQ(answer.Get(), c.expected == S_OK ? c.object : nullptr);
    }
}

// The game's last reference destroys the system swap chain (its private data is let go) and frees its window
// for the next one, whether Streamline wraps the swap chain or hands out the system's own.
TEST_F(StandinWorld, SystemSwapChainDiesWithTheGamesLastReference)
{
    for (const bool unwrapped : {false, true}) {
        SCOPED_TRACE(unwrapped ? "unwrapped" : "wrapped");
        SetEnvironmentVariableA("SL_STANDIN_UNWRAPPED_SWAPCHAINS", unwrapped ? "1" : nullptr);
        reload();
        useStandinForObjects();
        const HWND window = testsupport::createWindow(L"lifetime");
        const DXGI_SWAP_CHAIN_DESC1 desc = swapChainDesc();
        ComPtr<IDXGISwapChain1> created;
        ASSERT_EQ(factory->CreateSwapChainForHwnd(queue, window, &desc, nullptr, nullptr, &created), S_OK);
        auto* proxy = static_cast<fsr2bridge::DXGISwapChainProxy*>(created.Get());
        EXPECT_EQ(proxy->upgraded == proxy->native, unwrapped);
        Watch watch;
        ASSERT_EQ(created->SetPrivateDataInterface(watchSlot, &watch), S_OK);
        EXPECT_TRUE(watch.heldByTheObject());

        ComPtr<IDXGISwapChain3> three;
        ASSERT_EQ(created.As(&three), S_OK);
        EXPECT_EQ(static_cast<void*>(three.Get()), static_cast<void*>(proxy));
        EXPECT_EQ(three->AddRef(), 3u) << "the game's own count";
        EXPECT_EQ(three->Release(), 2u);
        created.Reset();
        EXPECT_TRUE(watch.heldByTheObject()) << "the game still holds a reference";
        ComPtr<IDXGISwapChain1> second;
        EXPECT_EQ(factory->CreateSwapChainForHwnd(queue, window, &desc, nullptr, nullptr, &second),
                  E_ACCESSDENIED);
        three.Reset();
        EXPECT_FALSE(watch.heldByTheObject()) << "the system swap chain is destroyed";
        EXPECT_EQ(factory->CreateSwapChainForHwnd(queue, window, &desc, nullptr, nullptr, &second), S_OK);
    }
    SetEnvironmentVariableA("SL_STANDIN_UNWRAPPED_SWAPCHAINS", nullptr);
    reload();
}

TEST_F(StandinWorld, SystemFactoryAndDeviceDieWithTheGamesLastReference)
{
    IDXGIFactory7* nativeFactory = testsupport::createFactory().Detach();
    ID3D12Device* nativeDevice = testsupport::createDevice().Detach();
    ASSERT_TRUE(nativeFactory && nativeDevice);
    void* upgradedFactory = nativeFactory;
    void* upgradedDevice = nativeDevice;
    ASSERT_EQ(upgrade(&upgradedFactory), sl::Result::eOk);
    ASSERT_EQ(upgrade(&upgradedDevice), sl::Result::eOk);
    // As the creation hooks make them: each holds the creation's reference and Streamline's.
    IUnknown* factoryProxy =
        new fsr2bridge::DXGIFactoryProxy(static_cast<IDXGIFactory7*>(upgradedFactory), nativeFactory);
    IUnknown* deviceProxy = new fsr2bridge::D3D12DeviceProxy(static_cast<ID3D12Device10*>(upgradedDevice),
                                                             reinterpret_cast<ID3D12Device10*>(nativeDevice));
    Watch factoryWatch, deviceWatch;
    ASSERT_EQ(static_cast<IDXGIObject*>(
                  static_cast<IDXGIFactory7*>(static_cast<fsr2bridge::DXGIFactoryProxy*>(factoryProxy)))
                  ->SetPrivateDataInterface(watchSlot, &factoryWatch),
              S_OK);
    ASSERT_EQ(static_cast<fsr2bridge::D3D12DeviceProxy*>(deviceProxy)
                  ->SetPrivateDataInterface(watchSlot, &deviceWatch),
              S_OK);

    ComPtr<IDXGIFactory2> factory2; // the proxy again, switched to the system factory's IDXGIFactory2
    ASSERT_EQ(factoryProxy->QueryInterface(IID_PPV_ARGS(&factory2)), S_OK);
    EXPECT_EQ(static_cast<void*>(factory2.Get()), static_cast<void*>(factoryProxy));
    ComPtr<ID3D12Device> systemDevice; // the device proxy answers with the system device itself
    ASSERT_EQ(deviceProxy->QueryInterface(IID_PPV_ARGS(&systemDevice)), S_OK);
    EXPECT_NE(static_cast<void*>(systemDevice.Get()), static_cast<void*>(deviceProxy));

    struct Step {
        const char* name;
        std::function<ULONG()> release;
        ULONG returned;
        bool factoryAlive, deviceAlive;
    };
    const Step steps[] = {
        {"factory's creation pointer", [&] { return factoryProxy->Release(); }, 1, true, true},
        {"factory's last pointer", [&] { return factory2.Reset(), 0ul; }, 0, false, true},
        {"device proxy", [&] { return deviceProxy->Release(); }, 0, false, true},
        {"the system device from the query", [&] { return systemDevice.Reset(), 0ul; }, 0, false, false},
        {"a release after the last", [&] { return deviceProxy->Release(); }, 0, false, false},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        EXPECT_EQ(step.release(), step.returned);
        EXPECT_EQ(factoryWatch.heldByTheObject(), step.factoryAlive);
        EXPECT_EQ(deviceWatch.heldByTheObject(), step.deviceAlive);
    }
}

// A game that keeps only a queried device and releases the pointer the creation gave: Streamline's queues
// point at its device wrapper without a reference, so the wrapper and the system device must outlive them,
// and go with the last of them.
TEST_F(StandinWorld, StreamlinesDeviceOutlivesItsQueuesAndGoesWithTheLast)
{
    useStandinForObjects();
    ID3D12Device* nativeDevice = testsupport::createDevice().Detach();
    ASSERT_NE(nativeDevice, nullptr);
    void* upgradedDevice = nativeDevice;
    ASSERT_EQ(upgrade(&upgradedDevice), sl::Result::eOk);
    auto* given = new fsr2bridge::D3D12DeviceProxy(static_cast<ID3D12Device10*>(upgradedDevice),
                                                   reinterpret_cast<ID3D12Device10*>(nativeDevice));
    Watch deviceWatch;
    ASSERT_EQ(given->SetPrivateDataInterface(watchSlot, &deviceWatch), S_OK);
    D3D12_COMMAND_QUEUE_DESC desc{};
    desc.Type = D3D12_COMMAND_LIST_TYPE_DIRECT;
    ComPtr<ID3D12CommandQueue> gameQueue;
    ASSERT_EQ(given->CreateCommandQueue(&desc, IID_PPV_ARGS(&gameQueue)), S_OK);
    ComPtr<ID3D12Device> kept;
    ASSERT_EQ(given->QueryInterface(IID_PPV_ARGS(&kept)), S_OK);
    EXPECT_EQ(given->Release(), 0u) << "the game's count of the pointer it was given";

    const auto faults = [] {
        std::size_t n = 0;
        for (const auto& entry : readJournal(journalPath()))
            n += entry.text("fault") == "deviceReleased" ? 1 : 0;
        return n;
    };
    const std::size_t faultsBefore = faults();
    ComPtr<ID3D12Device> fromQueue;
    EXPECT_EQ(gameQueue->GetDevice(IID_PPV_ARGS(&fromQueue)), S_OK);
    const DXGI_SWAP_CHAIN_DESC1 chainDesc = swapChainDesc();
    ComPtr<IDXGISwapChain1> swapChain;
    EXPECT_EQ(factory->CreateSwapChainForHwnd(gameQueue.Get(), testsupport::createWindow(L"kept device"),
                                              &chainDesc, nullptr, nullptr, &swapChain),
              S_OK);
    EXPECT_EQ(faults(), faultsBefore) << "Streamline's queue used its released device wrapper";

    fromQueue.Reset();
    kept.Reset();
    EXPECT_TRUE(deviceWatch.heldByTheObject()) << "the queue and the swap chain still use the device";
    swapChain.Reset();
    gameQueue.Reset();
    EXPECT_FALSE(deviceWatch.heldByTheObject()) << "the system device goes with the last object using it";
}

} // namespace
