// Where the stand-in is stricter than Wine, as Windows is: one live flip-model swap chain per window (and
// Windows' rule that a resize fails while a back buffer is referenced, which Wine keeps itself). And the
// switch under which it hands out the system's swap chains unwrapped, as Streamline does when no plug-in
// needs a swap-chain wrapper.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

#include "common/graphics.h"
#include "standin_fixture.h"
#include "tests/support/d3d12_objects.h"

namespace fsr2bridge::standin::test {
namespace {

using testsupport::ComPtr;

constexpr HRESULT windowTaken = E_ACCESSDENIED; // 0x80070005, as Windows answers

// The stand-in's device and factory over fresh Wine objects, and a queue of its device.
struct Upgraded {
    ComPtr<ID3D12Device> device;
    ComPtr<IDXGIFactory2> factory;
    ComPtr<ID3D12CommandQueue> queue;

    Upgraded()
    {
        auto* upgrade = entry<SlUpgradeInterface>("slUpgradeInterface");
        ComPtr<ID3D12Device> realDevice = testsupport::createDevice();
        ComPtr<IDXGIFactory7> realFactory = testsupport::createFactory();
        if (!upgrade || !realDevice || !realFactory)
            return;
        // The upgrade's reference is taken over (MinGW's ComPtr::Attach would add one).
        void* object = realDevice.Get();
        if (upgrade(&object) == 0)
            *device.ReleaseAndGetAddressOf() = static_cast<ID3D12Device*>(object);
        object = realFactory.Get();
        if (upgrade(&object) == 0)
            *factory.ReleaseAndGetAddressOf() =
                static_cast<IDXGIFactory2*>(static_cast<IDXGIFactory7*>(object));
        D3D12_COMMAND_QUEUE_DESC desc{};
        if (device)
            device->CreateCommandQueue(&desc, IID_PPV_ARGS(&queue));
    }
    bool ok() const { return device && factory && queue; }

    HRESULT createForHwnd(HWND window, ComPtr<IDXGISwapChain1>& out) const
    {
        const DXGI_SWAP_CHAIN_DESC1 desc = testsupport::flipSwapChainDesc(32, 32);
        out.Reset();
        return factory->CreateSwapChainForHwnd(queue.Get(), window, &desc, nullptr, nullptr, &out);
    }

    HRESULT createLegacy(HWND window, ComPtr<IDXGISwapChain>& out) const
    {
        DXGI_SWAP_CHAIN_DESC desc{};
        desc.BufferDesc.Width = 32;
        desc.BufferDesc.Height = 32;
        desc.BufferDesc.Format = DXGI_FORMAT_R8G8B8A8_UNORM;
        desc.SampleDesc.Count = 1;
        desc.BufferUsage = DXGI_USAGE_RENDER_TARGET_OUTPUT;
        desc.BufferCount = 2;
        desc.OutputWindow = window;
        desc.Windowed = TRUE;
        desc.SwapEffect = DXGI_SWAP_EFFECT_FLIP_DISCARD;
        out.Reset();
        return factory->CreateSwapChain(queue.Get(), &desc, &out);
    }
};

// Each step creates (or releases) a swap chain and says what the creation must answer.
TEST(StandinWindows, OneLiveFlipModelSwapChainPerWindow)
{
    const std::string path = freshJournal("windows");
    const Upgraded world;
    ASSERT_TRUE(world.ok()) << "no D3D12 under this display";
    const HWND a = testsupport::createWindow(L"window a");
    const HWND b = testsupport::createWindow(L"window b");
    ComPtr<IDXGISwapChain1> first, second, other;
    ComPtr<IDXGISwapChain> legacy;
    ComPtr<ID3D12Resource> held;
    const auto resize = [&] { return second->ResizeBuffers(2, 48, 48, DXGI_FORMAT_R8G8B8A8_UNORM, 0); };

    struct Step {
        const char* name;
        std::function<HRESULT()> run;
        HRESULT expected;
    };
    const Step steps[] = {
        {"first on window a", [&] { return world.createForHwnd(a, first); }, S_OK},
        {"second on window a while the first lives", [&] { return world.createForHwnd(a, second); },
         windowTaken},
        {"legacy creation on window a", [&] { return world.createLegacy(a, legacy); }, windowTaken},
        {"window b is free", [&] { return world.createForHwnd(b, other); }, S_OK},
        {"window a after the first is released",
         [&] {
             first.Reset();
             return world.createForHwnd(a, second);
         },
         S_OK},
        {"window b after its swap chain is released, legacy creation",
         [&] {
             other.Reset();
             return world.createLegacy(b, legacy);
         },
         S_OK},
        {"a resize while a back buffer is held",
         [&] { return FAILED(second->GetBuffer(0, IID_PPV_ARGS(&held))) ? E_FAIL : resize(); },
         DXGI_ERROR_INVALID_CALL},
        {"a resize once it is released",
         [&] {
             held.Reset();
             return resize();
         },
         S_OK},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        EXPECT_EQ(step.run(), step.expected);
    }
    EXPECT_NE(second, nullptr);
    const auto created = entriesNamed(readJournal(path), "factory.CreateSwapChainForHwnd");
    ASSERT_EQ(created.size(), 4u);
    EXPECT_EQ(created[1].text("result"), "0x80070005");
    EXPECT_EQ(created[1].text("swapChain"), "null");
    legacy.Reset();
    second.Reset();
    DestroyWindow(a);
    DestroyWindow(b);
}

TEST(StandinWindows, UnwrappedSwapChainsAreTheSystemsOwnAndAnyObjectIsItsOwnNative)
{
    const std::string path = freshJournal("unwrapped");
    setVariable("SL_STANDIN_UNWRAPPED_SWAPCHAINS", "1");
    reload();
    const Upgraded world;
    ASSERT_TRUE(world.ok());
    const HWND window = testsupport::createWindow(L"unwrapped");
    ComPtr<IDXGISwapChain1> chain;
    ASSERT_EQ(world.createForHwnd(window, chain), S_OK);
    ComPtr<IDXGISwapChain1> refused;
    EXPECT_EQ(world.createForHwnd(window, refused), windowTaken) << "the window rule holds unwrapped too";

    auto* getNative = entry<SlGetNativeInterface>("slGetNativeInterface");
    const ULONG before = testsupport::referenceCount(chain.Get());
    void* native = nullptr;
    ASSERT_EQ(getNative(chain.Get(), &native), 0);
    EXPECT_EQ(native, static_cast<void*>(chain.Get())) << "the swap chain is its own native interface";
    EXPECT_EQ(testsupport::referenceCount(chain.Get()), before + 1) << "with one added reference";
    static_cast<IUnknown*>(native)->Release();
    EXPECT_EQ(chain->Present(0, 0), S_OK) << "presents go to the system swap chain itself";

    const auto journal = readJournal(path);
    const auto created = entriesNamed(journal, "factory.CreateSwapChainForHwnd");
    ASSERT_EQ(created.size(), 2u);
    char handedOut[32];
    std::snprintf(handedOut, sizeof handedOut, "0x%llx",
                  static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(chain.Get())));
    EXPECT_EQ(created[0].text("swapChain"), handedOut) << "the system swap chain, unwrapped";
    EXPECT_TRUE(entriesNamed(journal, "swapchain.Present").empty()) << "no Streamline swap chain in between";
    const auto natives = entriesNamed(journal, "slGetNativeInterface");
    ASSERT_EQ(natives.size(), 1u);
    EXPECT_EQ(natives[0].text("kind"), "foreign");
    EXPECT_EQ(natives[0].text("result"), "0");

    setVariable("SL_STANDIN_UNWRAPPED_SWAPCHAINS", nullptr);
    reload();
    native = nullptr;
    EXPECT_NE(getNative(chain.Get(), &native), 0) << "without the switch a foreign object has no native one";
    chain.Reset();
    DestroyWindow(window);
}

} // namespace
} // namespace fsr2bridge::standin::test
