// The identity rules of the three wrapping proxies (queue, swap chain, factory) and the lifetime rule of the
// proxies that hold references of their own (swap chain, factory, device), on fake objects that count every
// reference by facet.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "fake_object.h"
#include "proxies/D3D12CommandQueueProxy.h"
#include "proxies/D3D12DeviceProxy.h"
#include "proxies/DXGIFactoryProxy.h"
#include "proxies/DXGISwapChainProxy.h"

using fakes::FakeObject;

namespace {

// The identities of a widely used post-processing overlay's own queue and swap-chain wrappers. An object
// answering one of them is taken for that overlay's wrapper and read as such.
constexpr IID overlayQueueIdentity = {
    0x2C576D2A, 0x0C1C, 0x4D1D, {0xAD, 0x7C, 0xBC, 0x4F, 0xAE, 0xC1, 0x5A, 0xBC}};
constexpr IID overlaySwapChainIdentity = {
    0x1F445F9F, 0x9887, 0x4C4C, {0x90, 0x55, 0x4E, 0x3B, 0xAD, 0xAF, 0xCC, 0xA8}};

// An interface none of the proxies lists, which a swap chain, a factory or a queue may still answer.
const IID unlistedIdentity = __uuidof(IDXGIResource);

// The game's count of references to `object`, read by one AddRef/Release pair.
ULONG countOf(IUnknown* object)
{
    object->AddRef();
    return object->Release();
}

// ---- identity rules ----

enum class Answer {
    Proxy,         // the proxy, inner pointer unchanged
    ProxySwitched, // the proxy, inner pointer switched to the interface asked for
    Inner,         // the inner object's own answer
    Refused,       // E_NOINTERFACE and a null out-pointer
};

struct QueryCase {
    const char* name;
    IID riid;
    bool innerAnswers; // the wrapped object answers `riid` itself
    Answer answer;
    int innerQueries; // queries the proxy makes of the wrapped object
};

struct WrappingProxy {
    const char* name;
    std::function<IUnknown*(FakeObject& inner)> make;
    std::function<IUnknown*(IUnknown* proxy)> innerOf;
    bool countsGameReferences; // its own count; otherwise AddRef/Release go to the wrapped object
    std::vector<QueryCase> cases;
};

FakeObject& streamlinesObject()
{
    static FakeObject object;
    return object;
}

const WrappingProxy wrappingProxies[] = {
    {"DXGISwapChainProxy",
     [](FakeObject& inner) -> IUnknown* {
         return new fsr2bridge::DXGISwapChainProxy(streamlinesObject().as<IDXGISwapChain4>(),
                                                   inner.as<IDXGISwapChain4>());
     },
     [](IUnknown* proxy) -> IUnknown* { return static_cast<fsr2bridge::DXGISwapChainProxy*>(proxy)->native; },
     true,
     {
         {"own identity", fsr2bridge::swapChainProxyIid, false, Answer::Proxy, 0},
         {"IUnknown", __uuidof(IUnknown), true, Answer::Proxy, 0},
         {"IDXGIObject", __uuidof(IDXGIObject), true, Answer::Proxy, 0},
         {"IDXGIDeviceSubObject", __uuidof(IDXGIDeviceSubObject), true, Answer::Proxy, 0},
         {"IDXGISwapChain", __uuidof(IDXGISwapChain), true, Answer::ProxySwitched, 1},
         {"IDXGISwapChain1", __uuidof(IDXGISwapChain1), true, Answer::ProxySwitched, 1},
         {"IDXGISwapChain2", __uuidof(IDXGISwapChain2), true, Answer::ProxySwitched, 1},
         {"IDXGISwapChain3", __uuidof(IDXGISwapChain3), true, Answer::ProxySwitched, 1},
         {"IDXGISwapChain4", __uuidof(IDXGISwapChain4), true, Answer::ProxySwitched, 1},
         {"IDXGISwapChain4 refused: asked again", __uuidof(IDXGISwapChain4), false, Answer::Refused, 2},
         {"unlisted, answered", unlistedIdentity, true, Answer::Inner, 1},
         {"unlisted, refused", __uuidof(ID3D12Fence), false, Answer::Refused, 1},
         {"overlay's swap-chain identity", overlaySwapChainIdentity, false, Answer::Refused, 1},
         {"overlay's queue identity", overlayQueueIdentity, false, Answer::Refused, 1},
     }},
    {"DXGIFactoryProxy",
     [](FakeObject& inner) -> IUnknown* {
         return new fsr2bridge::DXGIFactoryProxy(streamlinesObject().as<IDXGIFactory7>(),
                                                 inner.as<IDXGIFactory7>());
     },
     [](IUnknown* proxy) -> IUnknown* { return static_cast<fsr2bridge::DXGIFactoryProxy*>(proxy)->native; },
     true,
     {
         {"IUnknown", __uuidof(IUnknown), true, Answer::Proxy, 0},
         {"IDXGIObject", __uuidof(IDXGIObject), true, Answer::Proxy, 0},
         {"IDXGIFactory", __uuidof(IDXGIFactory), true, Answer::ProxySwitched, 1},
         {"IDXGIFactory1", __uuidof(IDXGIFactory1), true, Answer::ProxySwitched, 1},
         {"IDXGIFactory2", __uuidof(IDXGIFactory2), true, Answer::ProxySwitched, 1},
         {"IDXGIFactory5", __uuidof(IDXGIFactory5), true, Answer::ProxySwitched, 1},
         {"IDXGIFactory7", __uuidof(IDXGIFactory7), true, Answer::ProxySwitched, 1},
         {"IDXGIFactory7 refused: answered as left", __uuidof(IDXGIFactory7), false, Answer::Refused, 1},
         {"IDXGIDeviceSubObject is not the factory's", __uuidof(IDXGIDeviceSubObject), false, Answer::Refused,
          1},
         {"unlisted, answered", unlistedIdentity, true, Answer::Inner, 1},
     }},
    {"D3D12CommandQueueProxy",
     [](FakeObject& inner) -> IUnknown* {
         return new fsr2bridge::D3D12CommandQueueProxy(inner.as<ID3D12CommandQueue>());
     },
     [](IUnknown* proxy) -> IUnknown* {
         return static_cast<fsr2bridge::D3D12CommandQueueProxy*>(proxy)->inner;
     },
     false,
     {
         {"own identity", fsr2bridge::queueProxyIid, false, Answer::Proxy, 0},
         {"IUnknown", __uuidof(IUnknown), true, Answer::Proxy, 0},
         {"ID3D12Object", __uuidof(ID3D12Object), true, Answer::Proxy, 0},
         {"ID3D12DeviceChild", __uuidof(ID3D12DeviceChild), true, Answer::Proxy, 0},
         {"ID3D12Pageable", __uuidof(ID3D12Pageable), true, Answer::Proxy, 0},
         {"ID3D12CommandQueue", __uuidof(ID3D12CommandQueue), true, Answer::ProxySwitched, 1},
         {"ID3D12CommandQueue refused: asked again", __uuidof(ID3D12CommandQueue), false, Answer::Refused, 2},
         {"unlisted, answered", unlistedIdentity, true, Answer::Inner, 1},
         {"overlay's queue identity", overlayQueueIdentity, false, Answer::Refused, 1},
         {"overlay's swap-chain identity", overlaySwapChainIdentity, false, Answer::Refused, 1},
     }},
};

class WrappingIdentity : public testing::TestWithParam<WrappingProxy> {};

TEST_P(WrappingIdentity, EachIdentifierIsAnsweredByItsRuleWithTheRightReferences)
{
    const WrappingProxy& kind = GetParam();
    for (const QueryCase& c : kind.cases) {
        SCOPED_TRACE(c.name);
        FakeObject inner(c.innerAnswers ? std::vector<IID>{c.riid} : std::vector<IID>{});
        IUnknown* proxy = kind.make(inner);
        const ULONG gameBefore = countOf(proxy);
        const long innerBefore = inner.references();

        void* answer = reinterpret_cast<void*>(0x1); // overwritten by every answer
        const HRESULT result = proxy->QueryInterface(c.riid, &answer);
        EXPECT_EQ(inner.queries(), c.innerQueries);
        const bool answeredByProxy = c.answer == Answer::Proxy || c.answer == Answer::ProxySwitched;
        EXPECT_EQ(result, c.answer == Answer::Refused ? E_NOINTERFACE : S_OK);
        IUnknown* expected = answeredByProxy             ? proxy
                             : c.answer == Answer::Inner ? inner.facetFor(c.riid)
                                                         : nullptr;
        EXPECT_EQ(answer, static_cast<void*>(expected));
        EXPECT_EQ(kind.innerOf(proxy),
                  c.answer == Answer::ProxySwitched ? inner.facetFor(c.riid) : inner.unknown())
            << "the inner pointer";

        // One reference more for the one handed out: the game's on the proxy (for proxies that count their
        // own), the wrapped object's otherwise; what the proxy's AddRef reports follows the same count.
        const bool gameCounted = answeredByProxy && kind.countsGameReferences;
        const bool innerCounted =
            c.answer == Answer::Inner || (answeredByProxy && !kind.countsGameReferences);
        const bool proxyReports = kind.countsGameReferences ? gameCounted : innerCounted;
        EXPECT_EQ(countOf(proxy), gameBefore + (proxyReports ? 1 : 0));
        EXPECT_EQ(inner.references(), innerBefore + (innerCounted ? 1 : 0));
        if (expected != nullptr)
            expected->Release();
        EXPECT_EQ(countOf(proxy), gameBefore);
        EXPECT_EQ(inner.references(), innerBefore);
    }
}

TEST_P(WrappingIdentity, NullOutPointerIsRefusedWithoutAskingTheWrappedObject)
{
    const WrappingProxy& kind = GetParam();
    for (const QueryCase& c : kind.cases) {
        SCOPED_TRACE(c.name);
        FakeObject inner({c.riid});
        IUnknown* proxy = kind.make(inner);
        EXPECT_EQ(proxy->QueryInterface(c.riid, nullptr), E_POINTER);
        EXPECT_EQ(inner.queries(), 0);
        EXPECT_EQ(inner.references(), 1);
    }
}

INSTANTIATE_TEST_SUITE_P(Proxies, WrappingIdentity, testing::ValuesIn(wrappingProxies),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- lifetime ----

// A proxy that holds one reference on each of `upgraded` and `native` (the creation's and Streamline's).
struct CountingProxy {
    const char* name;
    std::function<IUnknown*(IUnknown* upgraded, IUnknown* native)> make;
    IID newerInterface; // a query that switches `native`
};

const CountingProxy countingProxies[] = {
    {"DXGISwapChainProxy",
     [](IUnknown* upgraded, IUnknown* native) -> IUnknown* {
         return new fsr2bridge::DXGISwapChainProxy(reinterpret_cast<IDXGISwapChain4*>(upgraded),
                                                   reinterpret_cast<IDXGISwapChain4*>(native));
     },
     __uuidof(IDXGISwapChain3)},
    {"DXGIFactoryProxy",
     [](IUnknown* upgraded, IUnknown* native) -> IUnknown* {
         return new fsr2bridge::DXGIFactoryProxy(reinterpret_cast<IDXGIFactory7*>(upgraded),
                                                 reinterpret_cast<IDXGIFactory7*>(native));
     },
     __uuidof(IDXGIFactory6)},
    {"D3D12DeviceProxy",
     [](IUnknown* upgraded, IUnknown* native) -> IUnknown* {
         return new fsr2bridge::D3D12DeviceProxy(reinterpret_cast<ID3D12Device10*>(upgraded),
                                                 reinterpret_cast<ID3D12Device10*>(native));
     },
     GUID_NULL}, // the device proxy never answers with itself
};

class Lifetime : public testing::TestWithParam<CountingProxy> {};

TEST_P(Lifetime, TheGameSeesItsOwnCountsAndTheLastReleaseGivesBackBothReferencesOnce)
{
    FakeObject upgraded, native;
    IUnknown* proxy = GetParam().make(upgraded.unknown(), native.unknown());
    struct Step {
        const char* name;
        std::function<ULONG()> call;
        ULONG returned;
        long referencesLeft; // on each of the two objects
    };
    const Step steps[] = {
        {"AddRef", [&] { return proxy->AddRef(); }, 2, 1},
        {"AddRef", [&] { return proxy->AddRef(); }, 3, 1},
        {"Release", [&] { return proxy->Release(); }, 2, 1},
        {"Release", [&] { return proxy->Release(); }, 1, 1},
        {"the game's last Release", [&] { return proxy->Release(); }, 0, 0},
        {"a Release after the last", [&] { return proxy->Release(); }, 0, 0},
        {"an AddRef after the last brings nothing back", [&] { return proxy->AddRef(); }, 0, 0},
        {"and its Release gives nothing back twice", [&] { return proxy->Release(); }, 0, 0},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        EXPECT_EQ(step.call(), step.returned);
        EXPECT_EQ(upgraded.references(), step.referencesLeft);
        EXPECT_EQ(native.references(), step.referencesLeft);
    }
}

TEST_P(Lifetime, OneObjectAsBothUpgradedAndNativeLosesBothReferences)
{
    FakeObject object({}, 2); // Streamline's creation reference and slGetNativeInterface's
    IUnknown* proxy = GetParam().make(object.unknown(), object.unknown());
    EXPECT_EQ(proxy->Release(), 0u);
    EXPECT_EQ(object.references(), 0);
}

TEST_P(Lifetime, AfterASwitchTheLastReleaseGivesBackTheInterfaceNowHeld)
{
    if (IsEqualIID(GetParam().newerInterface, GUID_NULL))
        GTEST_SKIP() << "never switches its native pointer";
    FakeObject upgraded, native({GetParam().newerInterface});
    IUnknown* proxy = GetParam().make(upgraded.unknown(), native.unknown());
    void* answer = nullptr;
    ASSERT_EQ(proxy->QueryInterface(GetParam().newerInterface, &answer), S_OK);
    EXPECT_EQ(answer, static_cast<void*>(proxy));
    EXPECT_EQ(proxy->Release(), 1u);
    EXPECT_EQ(proxy->Release(), 0u);
    EXPECT_EQ(native.references(), 0);
    EXPECT_EQ(native.referencesOf(native.unknown()), 0) << "the first interface was given back once";
    EXPECT_EQ(native.referencesOf(native.facetFor(GetParam().newerInterface)), 0);
    EXPECT_EQ(upgraded.references(), 0);
}

TEST_P(Lifetime, ConcurrentAddRefAndReleaseNeverGiveBackEarlyOrTwice)
{
    FakeObject upgraded, native;
    IUnknown* proxy = GetParam().make(upgraded.unknown(), native.unknown());
    constexpr int threads = 4;
    constexpr int pairs = 20000;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([proxy] {
            for (int n = 0; n < pairs; ++n) {
                proxy->AddRef();
                proxy->Release();
            }
        });
    }
    for (std::thread& worker : workers)
        worker.join();
    EXPECT_EQ(native.references(), 1) << "the game's reference kept everything";
    EXPECT_EQ(proxy->Release(), 0u);
    EXPECT_EQ(native.references(), 0);
    EXPECT_EQ(upgraded.references(), 0);
}

INSTANTIATE_TEST_SUITE_P(Proxies, Lifetime, testing::ValuesIn(countingProxies),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
