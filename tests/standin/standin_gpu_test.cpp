// The interposed objects on real Wine objects: queue creation through the
// interposed device, a swap chain created from a queue hidden behind a
// forwarding proxy (Wine's DXGI crashes on anything but its own queue), real
// presents, and the evaluation scaling its input into the output texture.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "common/graphics.h"
#include "standin_fixture.h"
#include "tests/support/d3d12_objects.h"

namespace fsr2bridge::standin::test {
namespace {

// Behaves like the system's queue proxy: AddRef/Release go to the wrapped
// queue, and a query for an unknown identifier that the wrapped queue answers
// replaces the wrapped pointer by the answer and hands out the proxy itself.
class ForwardingQueue final : public ID3D12CommandQueue {
public:
    explicit ForwardingQueue(ID3D12CommandQueue* inner) : inner_(inner) {}

    // BEGIN generated forwarders
    // clang-format off
    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return inner_->AddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return inner_->Release(); }
    // ID3D12Object
    HRESULT STDMETHODCALLTYPE GetPrivateData(REFGUID guid, UINT* pDataSize, void* pData) override { return inner_->GetPrivateData(guid, pDataSize, pData); }
    HRESULT STDMETHODCALLTYPE SetPrivateData(REFGUID guid, UINT DataSize, const void* pData) override { return inner_->SetPrivateData(guid, DataSize, pData); }
    HRESULT STDMETHODCALLTYPE SetPrivateDataInterface(REFGUID guid, const IUnknown* pData) override { return inner_->SetPrivateDataInterface(guid, pData); }
    HRESULT STDMETHODCALLTYPE SetName(LPCWSTR Name) override { return inner_->SetName(Name); }
    // ID3D12DeviceChild
    HRESULT STDMETHODCALLTYPE GetDevice(REFIID riid, void** ppvDevice) override { return inner_->GetDevice(riid, ppvDevice); }
    // ID3D12Pageable
    // ID3D12CommandQueue
    void STDMETHODCALLTYPE UpdateTileMappings(ID3D12Resource* pResource, UINT NumResourceRegions, const D3D12_TILED_RESOURCE_COORDINATE* pResourceRegionStartCoordinates, const D3D12_TILE_REGION_SIZE* pResourceRegionSizes, ID3D12Heap* pHeap, UINT NumRanges, const D3D12_TILE_RANGE_FLAGS* pRangeFlags, const UINT* pHeapRangeStartOffsets, const UINT* pRangeTileCounts, D3D12_TILE_MAPPING_FLAGS Flags) override { inner_->UpdateTileMappings(pResource, NumResourceRegions, pResourceRegionStartCoordinates, pResourceRegionSizes, pHeap, NumRanges, pRangeFlags, pHeapRangeStartOffsets, pRangeTileCounts, Flags); }
    void STDMETHODCALLTYPE CopyTileMappings(ID3D12Resource* pDstResource, const D3D12_TILED_RESOURCE_COORDINATE* pDstRegionStartCoordinate, ID3D12Resource* pSrcResource, const D3D12_TILED_RESOURCE_COORDINATE* pSrcRegionStartCoordinate, const D3D12_TILE_REGION_SIZE* pRegionSize, D3D12_TILE_MAPPING_FLAGS Flags) override { inner_->CopyTileMappings(pDstResource, pDstRegionStartCoordinate, pSrcResource, pSrcRegionStartCoordinate, pRegionSize, Flags); }
    void STDMETHODCALLTYPE ExecuteCommandLists(UINT NumCommandLists, ID3D12CommandList* const* ppCommandLists) override { inner_->ExecuteCommandLists(NumCommandLists, ppCommandLists); }
    void STDMETHODCALLTYPE SetMarker(UINT Metadata, const void* pData, UINT Size) override { inner_->SetMarker(Metadata, pData, Size); }
    void STDMETHODCALLTYPE BeginEvent(UINT Metadata, const void* pData, UINT Size) override { inner_->BeginEvent(Metadata, pData, Size); }
    void STDMETHODCALLTYPE EndEvent() override { inner_->EndEvent(); }
    HRESULT STDMETHODCALLTYPE Signal(ID3D12Fence* pFence, UINT64 Value) override { return inner_->Signal(pFence, Value); }
    HRESULT STDMETHODCALLTYPE Wait(ID3D12Fence* pFence, UINT64 Value) override { return inner_->Wait(pFence, Value); }
    HRESULT STDMETHODCALLTYPE GetTimestampFrequency(UINT64* pFrequency) override { return inner_->GetTimestampFrequency(pFrequency); }
    HRESULT STDMETHODCALLTYPE GetClockCalibration(UINT64* pGpuTimestamp, UINT64* pCpuTimestamp) override { return inner_->GetClockCalibration(pGpuTimestamp, pCpuTimestamp); }
#if defined(_MSC_VER) || !defined(_WIN32)
    D3D12_COMMAND_QUEUE_DESC STDMETHODCALLTYPE GetDesc() override { return inner_->GetDesc(); }
#else
    D3D12_COMMAND_QUEUE_DESC* STDMETHODCALLTYPE GetDesc(D3D12_COMMAND_QUEUE_DESC* RetVal) override { return inner_->GetDesc(RetVal); }
#endif
    // clang-format on
    // END generated forwarders

private:
    testsupport::ComPtr<ID3D12CommandQueue> inner_;
};

using testsupport::ComPtr;

HRESULT STDMETHODCALLTYPE ForwardingQueue::QueryInterface(REFIID riid, void** out)
{
    if (riid == __uuidof(ID3D12CommandQueue) || riid == __uuidof(IUnknown)) {
        inner_->AddRef();
        *out = this;
        return S_OK;
    }
    ID3D12CommandQueue* answer = nullptr;
    HRESULT hr = inner_->QueryInterface(riid, reinterpret_cast<void**>(&answer));
    if (FAILED(hr))
        return hr;
    testsupport::adopt(inner_, answer); // the query's reference is the one the proxy keeps
    inner_->AddRef();                   // and the caller gets one more
    *out = this;
    return S_OK;
}

HWND makeWindow()
{
    WNDCLASSW wc = {};
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"StandinTestWindow";
    RegisterClassW(&wc);
    return CreateWindowW(L"StandinTestWindow", L"standin", WS_OVERLAPPEDWINDOW, 0, 0, 128, 128, nullptr,
                         nullptr, wc.hInstance, nullptr);
}

struct World {
    ComPtr<ID3D12Device> device = testsupport::createDevice();
    ComPtr<IDXGIFactory7> factory = testsupport::createFactory();
    bool ok() const { return device && factory; }
};

// Runs a command list to completion on a real queue.
void runAndWait(ID3D12Device* device, ID3D12CommandQueue* queue, ID3D12GraphicsCommandList* list)
{
    list->Close();
    ID3D12CommandList* lists[] = {list};
    queue->ExecuteCommandLists(1, lists);
    ComPtr<ID3D12Fence> fence;
    ASSERT_HRESULT_SUCCEEDED(device->CreateFence(0, D3D12_FENCE_FLAG_NONE, IID_PPV_ARGS(&fence)));
    HANDLE done = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    queue->Signal(fence.Get(), 1);
    fence->SetEventOnCompletion(1, done);
    WaitForSingleObject(done, 10000);
    CloseHandle(done);
}

TEST(StandinInterposed, SwapChainFromAProxiedQueuePresentsForReal)
{
    World w;
    ASSERT_TRUE(w.ok()) << "no D3D12 under this display";
    const std::string path = freshJournal("swapchain");
    auto* upgrade = entry<SlUpgradeInterface>("slUpgradeInterface");

    void* device = w.device.Get();
    ASSERT_EQ(0, upgrade(&device));
    ASSERT_NE(static_cast<void*>(w.device.Get()), device);
    ComPtr<ID3D12Device> upDevice;
    testsupport::adopt(upDevice, static_cast<ID3D12Device*>(device));
    void* factory = w.factory.Get();
    ASSERT_EQ(0, upgrade(&factory));
    ComPtr<IUnknown> upgradedFactory;
    testsupport::adopt(upgradedFactory, static_cast<IUnknown*>(factory));
    ComPtr<IDXGIFactory2> upFactory;
    ASSERT_HRESULT_SUCCEEDED(upgradedFactory.As(&upFactory));

    D3D12_COMMAND_QUEUE_DESC qd = {};
    ComPtr<ID3D12CommandQueue> queue;
    ASSERT_HRESULT_SUCCEEDED(upDevice->CreateCommandQueue(&qd, IID_PPV_ARGS(&queue)));
    ForwardingQueue proxy(queue.Get());

    HWND window = makeWindow();
    ASSERT_NE(nullptr, window);
    const DXGI_SWAP_CHAIN_DESC1 sd = testsupport::flipSwapChainDesc(64, 64);
    ComPtr<IDXGISwapChain1> chain;
    ASSERT_HRESULT_SUCCEEDED(
        upFactory->CreateSwapChainForHwnd(&proxy, window, &sd, nullptr, nullptr, &chain));
    ComPtr<IDXGISwapChain3> chain3;
    ASSERT_HRESULT_SUCCEEDED(chain->QueryInterface(IID_PPV_ARGS(&chain3)));
    for (int frame = 0; frame < 3; ++frame) {
        ComPtr<ID3D12Resource> buffer;
        EXPECT_HRESULT_SUCCEEDED(
            chain3->GetBuffer(chain3->GetCurrentBackBufferIndex(), IID_PPV_ARGS(&buffer)));
        EXPECT_HRESULT_SUCCEEDED(chain->Present(0, 0));
    }
    EXPECT_HRESULT_SUCCEEDED(chain->ResizeBuffers(0, 32, 32, DXGI_FORMAT_UNKNOWN, 0));

    void* native = nullptr;
    ASSERT_EQ(0, entry<SlGetNativeInterface>("slGetNativeInterface")(chain.Get(), &native));
    ASSERT_NE(static_cast<void*>(chain.Get()), native);
    ComPtr<IDXGISwapChain> nativeChain;
    testsupport::adopt(nativeChain, static_cast<IDXGISwapChain*>(native));
    ComPtr<IDXGISwapChain> probe;
    EXPECT_HRESULT_SUCCEEDED(nativeChain->QueryInterface(IID_PPV_ARGS(&probe)));

    auto journal = readJournal(path);
    auto upgrades = entriesNamed(journal, "slUpgradeInterface");
    ASSERT_EQ(2u, upgrades.size());
    EXPECT_EQ("device", upgrades[0].text("kind"));
    EXPECT_EQ("factory", upgrades[1].text("kind"));
    auto queues = entriesNamed(journal, "device.CreateCommandQueue");
    ASSERT_EQ(1u, queues.size());
    auto created = entriesNamed(journal, "factory.CreateSwapChainForHwnd");
    ASSERT_EQ(1u, created.size());
    EXPECT_EQ(1, created[0].integer("unwrapped"));
    EXPECT_EQ(queues[0].text("real"), created[0].text("real")) << "Wine must get the real queue";
    EXPECT_EQ(64, created[0].integer("width"));
    EXPECT_EQ(3u, entriesNamed(journal, "swapchain.Present").size());
    EXPECT_EQ(0, entriesNamed(journal, "swapchain.Present")[2].integer("result"));
    EXPECT_EQ(1u, entriesNamed(journal, "swapchain.ResizeBuffers").size());
    auto natives = entriesNamed(journal, "slGetNativeInterface");
    ASSERT_EQ(1u, natives.size());
    EXPECT_EQ("swapchain", natives[0].text("kind"));
    DestroyWindow(window);
}

TEST(StandinInterposed, DeviceAnswersExactlyTheLevelsOfTheRealDevice)
{
    World w;
    ASSERT_TRUE(w.ok());
    freshJournal("levels");
    void* device = w.device.Get();
    ASSERT_EQ(0, entry<SlUpgradeInterface>("slUpgradeInterface")(&device));
    ComPtr<ID3D12Device> upDevice;
    testsupport::adopt(upDevice, static_cast<ID3D12Device*>(device));
    const IID* const levels[] = {&__uuidof(ID3D12Device),  &__uuidof(ID3D12Device1), &__uuidof(ID3D12Device2),
                                 &__uuidof(ID3D12Device3), &__uuidof(ID3D12Device4), &__uuidof(ID3D12Device5),
                                 &__uuidof(ID3D12Device6), &__uuidof(ID3D12Device7), &__uuidof(ID3D12Device8),
                                 &__uuidof(ID3D12Device9), &__uuidof(ID3D12Device10)};
    for (std::size_t n = 0; n < std::size(levels); ++n) {
        ComPtr<IUnknown> viaReal, viaUpgraded;
        const bool realHas = SUCCEEDED(w.device->QueryInterface(*levels[n], &viaReal));
        const bool upgradedHas = SUCCEEDED(upDevice->QueryInterface(*levels[n], &viaUpgraded));
        EXPECT_EQ(realHas, upgradedHas) << "level " << n;
        if (upgradedHas) {
            EXPECT_EQ(static_cast<void*>(upDevice.Get()), static_cast<void*>(viaUpgraded.Get()))
                << "level " << n;
        }
    }
    const LUID real = adapterLuidOf(w.device.Get());
    const LUID upgraded = adapterLuidOf(upDevice.Get());
    EXPECT_EQ(0, std::memcmp(&real, &upgraded, sizeof real));
    EXPECT_EQ(w.device->GetNodeCount(), upDevice->GetNodeCount());
    // A level the real device lacks is refused, never called through.
    auto* newest = static_cast<ID3D12Device10*>(upDevice.Get());
    ComPtr<IUnknown> probe;
    if (FAILED(w.device->QueryInterface(__uuidof(ID3D12Device9), &probe))) {
        D3D12_COMMAND_QUEUE_DESC qd = {};
        void* queue = nullptr;
        EXPECT_EQ(E_NOINTERFACE, newest->CreateCommandQueue1(&qd, __uuidof(ID3D12Device),
                                                             __uuidof(ID3D12CommandQueue), &queue));
        EXPECT_EQ(nullptr, queue);
    }
}

TEST(StandinInterposed, ScriptedPresentFailureReachesTheCaller)
{
    World w;
    ASSERT_TRUE(w.ok());
    const std::string path = freshJournal("presentfail");
    void* device = w.device.Get();
    ASSERT_EQ(0, entry<SlUpgradeInterface>("slUpgradeInterface")(&device));
    ComPtr<ID3D12Device> upDevice;
    testsupport::adopt(upDevice, static_cast<ID3D12Device*>(device));
    void* factory = w.factory.Get();
    ASSERT_EQ(0, entry<SlUpgradeInterface>("slUpgradeInterface")(&factory));
    ComPtr<IDXGIFactory2> upFactory;
    testsupport::adopt(upFactory, static_cast<IDXGIFactory2*>(static_cast<IDXGIFactory7*>(factory)));
    D3D12_COMMAND_QUEUE_DESC qd = {};
    ComPtr<ID3D12CommandQueue> queue;
    ASSERT_HRESULT_SUCCEEDED(upDevice->CreateCommandQueue(&qd, IID_PPV_ARGS(&queue)));
    HWND window = makeWindow();
    const DXGI_SWAP_CHAIN_DESC1 sd = testsupport::flipSwapChainDesc(32, 32);
    ComPtr<IDXGISwapChain1> chain;
    // The interposed queue itself, unproxied, is unwrapped as well.
    ASSERT_HRESULT_SUCCEEDED(
        upFactory->CreateSwapChainForHwnd(queue.Get(), window, &sd, nullptr, nullptr, &chain));
    setVariable("SL_STANDIN_FAIL", "swapchain.Present:0x887A0005");
    reload();
    EXPECT_EQ(static_cast<HRESULT>(0x887A0005), chain->Present(0, 0));
    setVariable("SL_STANDIN_FAIL", nullptr);
    reload();
    EXPECT_HRESULT_SUCCEEDED(chain->Present(0, 0));
    // With Frame Generation on, a present stands for two frames.
    void* fn = nullptr;
    ASSERT_EQ(0, entry<SlGetFeatureFunction>("slGetFeatureFunction")(1000, "slDLSSGSetOptions", &fn));
    Record<104> options({0xFAC5F1CB, 0x2DFD, 0x4F36, {0xA1, 0xE6, 0x3A, 0x9E, 0x86, 0x52, 0x56, 0xC5}}, 1);
    options.set<std::uint32_t>(32, 1);
    auto vp = viewport(0);
    ASSERT_EQ(0, reinterpret_cast<int (*)(const void*, const void*)>(fn)(vp.get(), options.get()));
    EXPECT_HRESULT_SUCCEEDED(chain->Present(0, 0));
    // Resizing and full-screen changes are refused while Frame Generation is on, as Streamline's guide asks.
    EXPECT_EQ(DXGI_ERROR_INVALID_CALL, chain->ResizeBuffers(0, 16, 16, DXGI_FORMAT_UNKNOWN, 0));
    EXPECT_EQ(DXGI_ERROR_INVALID_CALL, chain->SetFullscreenState(FALSE, nullptr));
    options.set<std::uint32_t>(32, 0);
    reinterpret_cast<int (*)(const void*, const void*)>(fn)(vp.get(), options.get());
    EXPECT_HRESULT_SUCCEEDED(chain->ResizeBuffers(0, 16, 16, DXGI_FORMAT_UNKNOWN, 0));
    const auto journal = readJournal(path);
    const auto resizes = entriesNamed(journal, "swapchain.ResizeBuffers");
    ASSERT_EQ(2u, resizes.size());
    EXPECT_EQ(1, resizes[0].integer("frameGeneration"));
    EXPECT_EQ("frame-generation-on", resizes[0].text("refused"));
    EXPECT_EQ(0, resizes[1].integer("frameGeneration"));
    EXPECT_FALSE(resizes[1].has("refused"));
    ASSERT_EQ(1u, entriesNamed(journal, "swapchain.SetFullscreenState").size());
    EXPECT_EQ(1, entriesNamed(journal, "swapchain.SetFullscreenState")[0].integer("frameGeneration"));
    auto presents = entriesNamed(journal, "swapchain.Present");
    ASSERT_EQ(3u, presents.size());
    EXPECT_EQ("1", presents[0].text("scripted"));
    EXPECT_EQ(1, presents[1].integer("presented"));
    EXPECT_EQ(2, presents[2].integer("presented"));
    EXPECT_EQ(1, presents[2].integer("frameGeneration"));
    DestroyWindow(window);
}

// The rules that differ between releases, on the interposer of each (alone in its folder: the complete set of
// its release). Each row: the release and what its rules make of the same calls.
TEST(StandinReleases, RulesFollowTheRelease)
{
    struct Case {
        const char* release;
        std::size_t droppedAfterOnePresent, droppedAfterTwo;
        std::size_t secondChainHooked; // a second live swap chain gets the present hooks
        std::size_t allocations;       // on, off, on, off retaining, on; then a new holder with it on
        std::uint32_t forgotten;       // the holder's next present after Frame Generation was set on
        std::uint32_t stateWritten;    // bytes of a version-3 state record written
        bool presetsRevert;            // G counts as the default, and a preset change creates DLSS anew
    };
    const Case cases[] = {{"2.1.1", 0, 0, 1, 2, 1, 56, false},
                          {"2.4.0", 2, 2, 0, 2, 0, 56, false},
                          {"2.7.2", 0, 2, 0, 3, 1, 80, true}};
    World w;
    ASSERT_TRUE(w.ok());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.release);
        const std::string dir = std::string(STANDIN_DIR) + (c.release == std::string("2.1.1") ? "" : "/") +
                                (c.release == std::string("2.1.1") ? "" : c.release);
        HMODULE m = LoadLibraryW((L"Z:" + widen(dir + "/sl.interposer.dll")).c_str());
        ASSERT_NE(m, nullptr);
        const std::string path = freshJournal(c.release);
        exportedFunction<SlReload>(m, "slStandinReload")();
        auto* getFunction = exportedFunction<SlGetFeatureFunction>(m, "slGetFeatureFunction");
        Record<144> preferences(
            {0x1CA10965, 0xBF8E, 0x432B, {0x8D, 0xA1, 0x67, 0x16, 0xD8, 0x79, 0xFB, 0x14}}, 1);
        ASSERT_EQ(0, exportedFunction<SlInit>(m, "slInit")(preferences.get(), 0x000200010001FEDCull));
        auto* upgrade = exportedFunction<SlUpgradeInterface>(m, "slUpgradeInterface");
        void* device = w.device.Get();
        void* factory = w.factory.Get();
        ASSERT_EQ(0, upgrade(&device));
        ASSERT_EQ(0, upgrade(&factory));
        ComPtr<ID3D12Device> upDevice;
        ComPtr<IDXGIFactory2> upFactory;
        testsupport::adopt(upDevice, static_cast<ID3D12Device*>(device));
        testsupport::adopt(upFactory, static_cast<IDXGIFactory2*>(static_cast<IDXGIFactory7*>(factory)));
        D3D12_COMMAND_QUEUE_DESC qd = {};
        ComPtr<ID3D12CommandQueue> queue;
        ASSERT_HRESULT_SUCCEEDED(upDevice->CreateCommandQueue(&qd, IID_PPV_ARGS(&queue)));
        const DXGI_SWAP_CHAIN_DESC1 sd = testsupport::flipSwapChainDesc(32, 32);
        HWND windows[2] = {makeWindow(), makeWindow()};
        ComPtr<IDXGISwapChain1> first, second;
        ASSERT_HRESULT_SUCCEEDED(
            upFactory->CreateSwapChainForHwnd(queue.Get(), windows[0], &sd, nullptr, nullptr, &first));
        ASSERT_HRESULT_SUCCEEDED(first->Present(0, 0));
        ASSERT_HRESULT_SUCCEEDED(
            upFactory->CreateSwapChainForHwnd(queue.Get(), windows[1], &sd, nullptr, nullptr, &second));
        ASSERT_HRESULT_SUCCEEDED(second->Present(0, 0));

        // Depth and motion vectors tagged, then evaluated after one present and after two.
        ComPtr<ID3D12Resource> texture =
            testsupport::createTexture(upDevice.Get(), 8, 8, DXGI_FORMAT_R8G8B8A8_UNORM);
        Record<112> resource({}, 1);
        resource.set(40, texture.Get());
        Record<128> tags({}, 1);
        for (std::uint32_t t = 0; t < 2; ++t) {
            tags.set(64 * t + 32, resource.get());
            tags.set(64 * t + 40, t);
        }
        auto vp = viewport(0);
        const void* inputs[] = {vp.get()};
        auto tag = [&] { exportedFunction<SlSetTag>(m, "slSetTag")(vp.get(), tags.get(), 2, nullptr); };
        auto evaluate = [&](std::uint32_t feature) {
            void* token = nullptr;
            exportedFunction<SlGetNewFrameToken>(m, "slGetNewFrameToken")(&token, nullptr);
            exportedFunction<SlEvaluateFeature>(m, "slEvaluateFeature")(feature, token, inputs, 1,
                                                                        queue.Get());
        };
        tag();
        first->Present(0, 0);
        evaluate(2);
        EXPECT_EQ(entriesNamed(readJournal(path), "tag.dropped").size(), c.droppedAfterOnePresent);
        first->Present(0, 0);
        evaluate(2);
        EXPECT_EQ(entriesNamed(readJournal(path), "tag.dropped").size(), c.droppedAfterTwo);

        // Frame Generation: on, off, on, off with eRetainResourcesWhenOff, on; each present after it.
        void* fn = nullptr;
        getFunction(1000, "slDLSSGSetOptions", &fn);
        Record<104> options({0xFAC5F1CB, 0x2DFD, 0x4F36, {0xA1, 0xE6, 0x3A, 0x9E, 0x86, 0x52, 0x56, 0xC5}},
                            1);
        const std::pair<std::uint32_t, std::uint32_t> steps[] = {{1, 0}, {0, 0}, {1, 0}, {0, 8}, {1, 0}};
        for (const auto& [mode, flags] : steps) {
            options.set<std::uint32_t>(32, mode);
            options.set<std::uint32_t>(40, flags);
            ASSERT_EQ(0, reinterpret_cast<int (*)(const void*, const void*)>(fn)(vp.get(), options.get()));
            tag();
            second->Present(0, 0);
            first->Present(0, 0);
        }
        first->Present(0, 0);
        getFunction(1000, "slDLSSGGetState", &fn);
        Record<80> state({0xCC8AC8E1, 0xA179, 0x44F5, {0x97, 0xFA, 0xE7, 0x41, 0x12, 0xF9, 0xBC, 0x61}}, 3);
        reinterpret_cast<SlDLSSGGetState*>(fn)(vp.get(), state.bytes, nullptr);

        // DLSS with preset G for every mode, then with A.
        getFunction(0, "slDLSSSetOptions", &fn);
        Record<88> dlss({0x6AC826E4, 0x4C61, 0x4101, {0xA9, 0x2D, 0x63, 0x8D, 0x42, 0x10, 0x57, 0xB8}}, 1);
        for (std::uint32_t preset : {7u, 1u}) {
            for (int p = 0; p < 6; ++p)
                dlss.set<std::uint32_t>(60 + 4 * p, preset);
            reinterpret_cast<int (*)(const void*, const void*)>(fn)(vp.get(), dlss.get());
            evaluate(0);
        }
        // The holder gone, the other swap chain takes the hooks at its next present.
        first.Reset();
        second->Present(0, 0);

        const auto journal = readJournal(path);
        const auto creations = entriesNamed(journal, "factory.CreateSwapChainForHwnd");
        ASSERT_EQ(creations.size(), 2u);
        EXPECT_EQ(creations[1].integer("hooked"), static_cast<std::int64_t>(c.secondChainHooked));
        const auto presents = entriesNamed(journal, "swapchain.Present");
        EXPECT_EQ(presents[1].integer("hooked"), static_cast<std::int64_t>(c.secondChainHooked));
        EXPECT_EQ(presents[4].integer("presented"), c.secondChainHooked ? 2 : 1) << "the second, with FG on";
        ASSERT_EQ(presents.size(), 16u);
        EXPECT_EQ(presents[14].integer("frameGeneration"), c.forgotten);
        EXPECT_EQ(presents.back().integer("hooked"), 1);
        EXPECT_EQ(entriesNamed(journal, "dlssg.allocate").size(), c.allocations);
        EXPECT_EQ(entriesNamed(journal, "slDLSSGGetState")[0].integer("wrote"), std::int64_t{c.stateWritten});
        const auto dlssOptions = entriesNamed(journal, "slDLSSSetOptions");
        EXPECT_EQ(dlssOptions[0].has("defaultedPresets"), c.presetsRevert);
        std::vector<bool> created;
        for (const auto& e : entriesNamed(journal, "slEvaluateFeature"))
            if (e.text("feature") == "0")
                created.push_back(e.has("created"));
        EXPECT_EQ(created, (std::vector<bool>{true, c.presetsRevert}));
        second.Reset();
        for (HWND window : windows)
            DestroyWindow(window);
    }
}

// The evaluation scales the input extent onto the output extent (nearest texel); equal extents are copied.
TEST(StandinEvaluation, ScalesTheInputExtentOntoTheOutputExtent)
{
    struct Case {
        const char* name;
        std::uint32_t in[4];  // top, left, width, height of the tagged input extent (4x4 texture)
        std::uint32_t out[4]; // the same for the output (8x8 texture); may reach past the texture
        const char* work;
        const char* from;
        const char* to;
        // Output texel (x, y) of the extent shows input texel (col[x], row[y]), both absolute.
        std::vector<UINT> col, row;
    };
    const Case cases[] = {
        {"upscale, output extent clamped to the texture",
         {1, 1, 3, 3},
         {0, 2, 8, 8},
         "scale",
         "3,3",
         "6,8",
         {1, 1, 2, 2, 3, 3},
         {1, 1, 1, 2, 2, 3, 3, 3}},
        {"same size: one copy", {1, 1, 3, 3}, {2, 4, 3, 3}, "copy", "3,3", "3,3", {1, 2, 3}, {1, 2, 3}},
        {"empty extents mean whole textures",
         {0, 0, 0, 0},
         {0, 0, 0, 0},
         "scale",
         "4,4",
         "8,8",
         {0, 0, 1, 1, 2, 2, 3, 3},
         {0, 0, 1, 1, 2, 2, 3, 3}},
        {"downscale", {0, 0, 4, 4}, {1, 1, 2, 2}, "scale", "4,4", "2,2", {1, 3}, {1, 3}},
        {"one axis scaled",
         {0, 1, 2, 4},
         {0, 0, 2, 8},
         "scale",
         "2,4",
         "2,8",
         {1, 2},
         {0, 0, 1, 1, 2, 2, 3, 3}},
    };
    World w;
    ASSERT_TRUE(w.ok());
    ID3D12Device* device = w.device.Get();
    D3D12_COMMAND_QUEUE_DESC qd = {};
    ComPtr<ID3D12CommandQueue> queue;
    ASSERT_HRESULT_SUCCEEDED(device->CreateCommandQueue(&qd, IID_PPV_ARGS(&queue)));
    const GUID resourceType = {0x3A9D70CF, 0x2418, 0x4B72, {0x83, 0x91, 0x13, 0xF8, 0x72, 0x1C, 0x72, 0x61}};
    const GUID tagType = {0x4C6A5AAD, 0xB445, 0x496C, {0x87, 0xFF, 0x1A, 0xF3, 0x84, 0x5B, 0xE6, 0x53}};
    constexpr std::uint32_t untouched = 0x5A5A5A5Au;

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = freshJournal("evaluate");
        ComPtr<ID3D12CommandAllocator> alloc;
        ASSERT_HRESULT_SUCCEEDED(
            device->CreateCommandAllocator(D3D12_COMMAND_LIST_TYPE_DIRECT, IID_PPV_ARGS(&alloc)));
        ComPtr<ID3D12GraphicsCommandList> list;
        ASSERT_HRESULT_SUCCEEDED(device->CreateCommandList(0, D3D12_COMMAND_LIST_TYPE_DIRECT, alloc.Get(),
                                                           nullptr, IID_PPV_ARGS(&list)));
        // Input 4x4 (render size), output 8x8 (display size), both filled through one upload buffer with
        // 256-byte rows: input texel (x, y) = 0xAA0000xy + 0x11, every output texel `untouched`.
        const DXGI_FORMAT format = DXGI_FORMAT_R8G8B8A8_UNORM;
        const ComPtr<ID3D12Resource> input =
            testsupport::createTexture(device, 4, 4, format, D3D12_RESOURCE_STATE_COPY_DEST);
        const ComPtr<ID3D12Resource> output =
            testsupport::createTexture(device, 8, 8, format, D3D12_RESOURCE_STATE_COPY_DEST);
        const ComPtr<ID3D12Resource> upload = testsupport::createBuffer(
            device, 256 * 12, D3D12_HEAP_TYPE_UPLOAD, D3D12_RESOURCE_STATE_GENERIC_READ);
        const ComPtr<ID3D12Resource> readback = testsupport::createBuffer(
            device, 256 * 8, D3D12_HEAP_TYPE_READBACK, D3D12_RESOURCE_STATE_COPY_DEST);
        ASSERT_TRUE(input && output && upload && readback);
        std::uint32_t* up = nullptr;
        ASSERT_HRESULT_SUCCEEDED(upload->Map(0, nullptr, reinterpret_cast<void**>(&up)));
        for (UINT y = 0; y < 4; ++y)
            for (UINT x = 0; x < 4; ++x)
                up[y * 64 + x] = 0xAA000011u + (x << 4) + (y << 8);
        for (UINT y = 0; y < 8; ++y)
            for (UINT x = 0; x < 8; ++x)
                up[(4 + y) * 64 + x] = untouched;
        upload->Unmap(0, nullptr);
        D3D12_TEXTURE_COPY_LOCATION src = {}, dst = {};
        src.pResource = upload.Get();
        src.Type = D3D12_TEXTURE_COPY_TYPE_PLACED_FOOTPRINT;
        src.PlacedFootprint.Footprint = {DXGI_FORMAT_R8G8B8A8_UNORM, 4, 4, 1, 256};
        dst.pResource = input.Get();
        dst.Type = D3D12_TEXTURE_COPY_TYPE_SUBRESOURCE_INDEX;
        list->CopyTextureRegion(&dst, 0, 0, 0, &src, nullptr);
        src.PlacedFootprint.Offset = 256 * 4;
        src.PlacedFootprint.Footprint = {DXGI_FORMAT_R8G8B8A8_UNORM, 8, 8, 1, 256};
        dst.pResource = output.Get();
        list->CopyTextureRegion(&dst, 0, 0, 0, &src, nullptr);
        D3D12_RESOURCE_BARRIER b[2] = {};
        b[0].Transition.pResource = input.Get();
        b[0].Transition.Subresource = D3D12_RESOURCE_BARRIER_ALL_SUBRESOURCES;
        b[0].Transition.StateBefore = D3D12_RESOURCE_STATE_COPY_DEST;
        b[0].Transition.StateAfter = D3D12_RESOURCE_STATE_NON_PIXEL_SHADER_RESOURCE;
        b[1] = b[0];
        b[1].Transition.pResource = output.Get();
        b[1].Transition.StateAfter = D3D12_RESOURCE_STATE_UNORDERED_ACCESS;
        list->ResourceBarrier(2, b);

        Record<112> inRes(resourceType, 1), outRes(resourceType, 1);
        inRes.set(40, input.Get());
        inRes.set<std::uint32_t>(64, 0x40);
        outRes.set(40, output.Get());
        outRes.set<std::uint32_t>(64, 0x8);
        alignas(8) unsigned char tags[2][64] = {};
        auto fillTag = [&](unsigned char* t, const void* res, std::uint32_t type,
                           const std::uint32_t* extent) {
            std::memcpy(t + 8, &tagType, sizeof tagType);
            const std::uint64_t one = 1;
            std::memcpy(t + 24, &one, 8);
            std::memcpy(t + 32, &res, sizeof res);
            std::memcpy(t + 40, &type, 4);
            std::memcpy(t + 48, extent, 16);
        };
        fillTag(tags[0], inRes.get(), 3, c.in);
        fillTag(tags[1], outRes.get(), 4, c.out);
        auto vp = viewport(0);
        ASSERT_EQ(0, entry<SlSetTag>("slSetTag")(vp.get(), tags, 2, list.Get()));
        void* token = nullptr;
        ASSERT_EQ(0, entry<SlGetNewFrameToken>("slGetNewFrameToken")(&token, nullptr));
        const void* inputs[] = {vp.get()};
        ASSERT_EQ(0, entry<SlEvaluateFeature>("slEvaluateFeature")(0, token, inputs, 1, list.Get()));

        // The output must be back in its tagged state for the read-back transition.
        b[1].Transition.StateBefore = D3D12_RESOURCE_STATE_UNORDERED_ACCESS;
        b[1].Transition.StateAfter = D3D12_RESOURCE_STATE_COPY_SOURCE;
        list->ResourceBarrier(1, &b[1]);
        src = {};
        src.pResource = output.Get();
        src.Type = D3D12_TEXTURE_COPY_TYPE_SUBRESOURCE_INDEX;
        dst = {};
        dst.pResource = readback.Get();
        dst.Type = D3D12_TEXTURE_COPY_TYPE_PLACED_FOOTPRINT;
        dst.PlacedFootprint.Footprint = {DXGI_FORMAT_R8G8B8A8_UNORM, 8, 8, 1, 256};
        list->CopyTextureRegion(&dst, 0, 0, 0, &src, nullptr);
        runAndWait(device, queue.Get(), list.Get());

        std::uint32_t* back = nullptr;
        ASSERT_HRESULT_SUCCEEDED(readback->Map(0, nullptr, reinterpret_cast<void**>(&back)));
        const UINT top = c.out[2] == 0 ? 0 : c.out[0], left = c.out[3] == 0 ? 0 : c.out[1];
        for (UINT y = 0; y < 8; ++y)
            for (UINT x = 0; x < 8; ++x) {
                const bool inside =
                    x >= left && x < left + c.col.size() && y >= top && y < top + c.row.size();
                const std::uint32_t expected =
                    inside ? 0xAA000011u + (c.col[x - left] << 4) + (c.row[y - top] << 8) : untouched;
                EXPECT_EQ(expected, back[y * 64 + x]) << x << "," << y;
            }
        readback->Unmap(0, nullptr);

        auto evals = entriesNamed(readJournal(path), "slEvaluateFeature");
        ASSERT_EQ(1u, evals.size());
        EXPECT_EQ(c.work, evals[0].text("work"));
        EXPECT_EQ(c.from, evals[0].text("from"));
        EXPECT_EQ(c.to, evals[0].text("to"));
        const auto copies = evals[0].integer("copies");
        if (std::string(c.work) == "copy")
            EXPECT_EQ(1, copies);
        else
            EXPECT_LE(copies, static_cast<long long>(c.col.size() + c.row.size()));
        auto tagLines = entriesNamed(readJournal(path), "slSetTag");
        ASSERT_EQ(1u, tagLines.size());
        EXPECT_EQ("4,4,28", tagLines[0].text("t0.desc"));
        EXPECT_EQ("0x40", tagLines[0].text("t0.state"));
    }
}

} // namespace
} // namespace fsr2bridge::standin::test
