// The present path of the swap chain proxy, swap chain wrapping by the factory proxy, and the factory's
// identity rules on a real Wine factory.
#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "frame_boundary.h"
#include "proxies/D3D12CommandQueueProxy.h"
#include "proxies/DXGIFactoryProxy.h"
#include "proxies/DXGISwapChainProxy.h"
#include "recording_fake.h"
#include "streamline/streamline_api.h"
#include "tests/support/d3d12_objects.h"
#include "upscaler/frame_generation.h"
#include "upscaler/host_hooks.h"

using fakes::RecordingObject;
using fsr2bridge::DXGIFactoryProxy;
using fsr2bridge::DXGISwapChainProxy;
using proxiestest::frameBoundaryWorld;
using testsupport::ComPtr;
using testsupport::Entry;
using testsupport::referenceCount;

namespace {

constexpr int presentSlot = 8;
constexpr int present1Slot = 22;

struct PresentCase {
    const char* name;
    int slot;
    bool requested;
    bool callsSucceed;
    bool callsThrow = false;
};

class PresentPath : public testing::TestWithParam<PresentCase> {};

// The calls one object received (the system swap chain is also asked for its description once).
std::vector<fakes::Call> callsOn(const void* object)
{
    std::vector<fakes::Call> calls;
    for (const fakes::Call& call : fakes::callLog())
        if (call.object == object)
            calls.push_back(call);
    return calls;
}

TEST_P(PresentPath, FrameBoundaryStepsSurroundThePresentOfStreamlinesSwapChain)
{
    const PresentCase& c = GetParam();
    RecordingObject upgraded, native;
    DXGISwapChainProxy proxy(upgraded.as<IDXGISwapChain4>(), native.as<IDXGISwapChain4>());
    testsupport::FakeStreamline& fake = frameBoundaryWorld();
    fsr2bridge::takeFrameGenerationRequest();
    if (c.requested)
        fsr2bridge::requestFrameGeneration();
    // The mode stored is the other one, so that the switch is sent whichever is asked for; the frame's
    // inputs were tagged.
    fsr2bridge::resetFrameGenerationState(c.requested ? 0 : 1);
    fsr2bridge::noteFrameInputsTagged(fsr2bridge::frameTokenAdvances());
    if (!c.callsSucceed) {
        for (Entry entry : {Entry::slDLSSGSetOptions, Entry::slReflexSetMarker, Entry::slGetNewFrameToken,
                            Entry::slReflexSleep})
            fake.answer(entry, sl::Result::eErrorIO);
    }
    fake.throwing = c.callsThrow;
    fakes::callLog().clear();
    const DXGI_PRESENT_PARAMETERS parameters{};
    const HRESULT result = c.slot == presentSlot ? proxy.Present(1, 2) : proxy.Present1(1, 2, &parameters);
    fake.throwing = false;

    EXPECT_EQ(static_cast<fakes::Word>(result), fakes::slotResult(c.slot)) << "the present's own result";
    const std::vector<fakes::Call> calls = callsOn(&upgraded);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].slot, c.slot);
    EXPECT_EQ(calls[0].arguments[0] & 0xFFFFFFFF, 1u);
    EXPECT_EQ(calls[0].arguments[1] & 0xFFFFFFFF, 2u);
    const std::vector<std::string> expected = {std::string("slDLSSGSetOptions ") + (c.requested ? "1" : "0"),
                                               "slReflexSetMarker 3",
                                               "slReflexSetMarker 4",
                                               "slReflexSetMarker 5",
                                               "slGetNewFrameToken",
                                               "slReflexSleep",
                                               "slReflexSetMarker 6",
                                               "slReflexSetMarker 0"};
    EXPECT_EQ(fake.calls(), expected);
    EXPECT_FALSE(fsr2bridge::takeFrameGenerationRequest()) << "the request is taken by the present";
}

const PresentCase presentCases[] = {
    {"Present", presentSlot, false, true},
    {"PresentRequested", presentSlot, true, true},
    {"PresentReflexFailing", presentSlot, true, false},
    {"Present1", present1Slot, false, true},
    {"Present1Requested", present1Slot, true, true},
    {"Present1ReflexFailing", present1Slot, false, false},
    {"PresentReflexThrowing", presentSlot, true, false, true},
};
INSTANTIATE_TEST_SUITE_P(Proxies, PresentPath, testing::ValuesIn(presentCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(PresentPath, OneRequestIsSeenByOnlyTheNextPresentOfAnySwapChain)
{
    RecordingObject upgradedA, nativeA, upgradedB, nativeB;
    DXGISwapChainProxy a(upgradedA.as<IDXGISwapChain4>(), nativeA.as<IDXGISwapChain4>());
    DXGISwapChainProxy b(upgradedB.as<IDXGISwapChain4>(), nativeB.as<IDXGISwapChain4>());
    testsupport::FakeStreamline& fake = frameBoundaryWorld();
    fsr2bridge::resetFrameGenerationState(0);
    fsr2bridge::requestFrameGeneration();
    fsr2bridge::noteFrameInputsTagged(fsr2bridge::frameTokenAdvances());
    std::vector<std::uint32_t> modes;
    for (DXGISwapChainProxy* proxy : {&a, &b, &a}) {
        proxy->Present(0, 0);
        modes.push_back(static_cast<std::uint32_t>(fsr2bridge::frameGenerationOptions().mode));
    }
    EXPECT_EQ(modes, (std::vector<std::uint32_t>{1, 0, 0}));
    EXPECT_EQ(fake.callsOf({Entry::slDLSSGSetOptions}),
              (std::vector<std::string>{"slDLSSGSetOptions 1", "slDLSSGSetOptions 0"}));
}

// What Streamline's swap chain answers the next present with.
HRESULT scriptedPresentResult = S_OK;

template <int Slot>
fakes::Word scriptedPresent(void* self, fakes::Word a, fakes::Word b, fakes::Word c, fakes::Word d,
                            fakes::Word e, fakes::Word f, fakes::Word g, fakes::Word h)
{
    fakes::recordSlot<Slot>(self, a, b, c, d, e, f, g, h);
    return static_cast<fakes::Word>(static_cast<std::uint32_t>(scriptedPresentResult));
}

// Presents that show no frame: an occlusion poll (DXGI_PRESENT_TEST) presents nothing, and a present that
// fails or is refused (DXGI_ERROR_WAS_STILL_DRAWING under DXGI_PRESENT_DO_NOT_WAIT, then made again) shows
// nothing. Each reaches Streamline's swap chain with its flags and its result comes back; the token, the
// markers after the present, the sleep and the Frame Generation request wait for a present that shows a
// frame. A poll sends nothing at all; a refused present has sent the markers before it, which its retry under
// the same token does not send again.
TEST(PresentPath, PresentsThatShowNoFrameEndNoFrame)
{
    std::array<void*, fakes::maxSlots> table = fakes::recordingTable;
    table[presentSlot] = reinterpret_cast<void*>(&scriptedPresent<presentSlot>);
    table[present1Slot] = reinterpret_cast<void*>(&scriptedPresent<present1Slot>);
    RecordingObject upgraded, native;
    upgraded.table = table.data();
    DXGISwapChainProxy proxy(upgraded.as<IDXGISwapChain4>(), native.as<IDXGISwapChain4>());
    testsupport::FakeStreamline& fake = frameBoundaryWorld();
    fsr2bridge::takeFrameGenerationRequest();
    fsr2bridge::resetFrameGenerationState(0);
    constexpr HRESULT stillDrawing = DXGI_ERROR_WAS_STILL_DRAWING;
    constexpr HRESULT removed = DXGI_ERROR_DEVICE_REMOVED;
    struct Step {
        int slot;
        UINT flags;
        bool requestBefore;
        HRESULT result;
        std::vector<std::string> calls; // Reflex and Frame Generation calls of this present
    };
    const std::vector<std::string> frame = {
        "slReflexSetMarker 3", "slReflexSetMarker 4", "slReflexSetMarker 5", "slGetNewFrameToken",
        "slReflexSleep",       "slReflexSetMarker 6", "slReflexSetMarker 0"};
    const std::vector<std::string> started = {"slReflexSetMarker 3", "slReflexSetMarker 4"};
    const std::vector<std::string> ended = {"slReflexSetMarker 5", "slGetNewFrameToken", "slReflexSleep",
                                            "slReflexSetMarker 6", "slReflexSetMarker 0"};
    auto with = [](std::string first, std::vector<std::string> rest) {
        rest.insert(rest.begin(), std::move(first));
        return rest;
    };
    const Step steps[] = {
        {presentSlot, 0, false, S_OK, frame},
        {presentSlot, DXGI_PRESENT_TEST, true, S_OK, {}},
        {present1Slot, DXGI_PRESENT_TEST, false, S_OK, {}},
        {present1Slot, 0, false, S_OK, with("slDLSSGSetOptions 1", frame)},
        {presentSlot, DXGI_PRESENT_TEST | DXGI_PRESENT_DO_NOT_WAIT, false, S_OK, {}},
        {present1Slot, DXGI_PRESENT_TEST, false, S_OK, {}},
        {presentSlot, DXGI_PRESENT_DO_NOT_WAIT, false, stillDrawing, with("slDLSSGSetOptions 0", started)},
        {presentSlot, DXGI_PRESENT_DO_NOT_WAIT, true, stillDrawing, with("slDLSSGSetOptions 1", {})},
        {presentSlot, DXGI_PRESENT_DO_NOT_WAIT, false, S_OK, ended},
        {present1Slot, 0, false, removed, with("slDLSSGSetOptions 0", started)},
        {presentSlot, 0, true, S_OK, with("slDLSSGSetOptions 1", ended)},
        {presentSlot, 0, false, S_OK, with("slDLSSGSetOptions 0", frame)},
    };
    fakes::callLog().clear();
    const DXGI_PRESENT_PARAMETERS parameters{};
    for (std::size_t n = 0; n < std::size(steps); ++n) {
        const Step& step = steps[n];
        SCOPED_TRACE(n);
        if (step.requestBefore)
            fsr2bridge::requestFrameGeneration();
        fsr2bridge::noteFrameInputsTagged(fsr2bridge::frameTokenAdvances()); // every frame is upscaled
        scriptedPresentResult = step.result;
        fake.clearLog();
        const HRESULT result = step.slot == presentSlot ? proxy.Present(0, step.flags)
                                                        : proxy.Present1(0, step.flags, &parameters);
        EXPECT_EQ(result, step.result);
        EXPECT_EQ(fake.calls(), step.calls);
        const std::vector<fakes::Call> calls = callsOn(&upgraded);
        ASSERT_EQ(calls.size(), n + 1) << "every present reaches Streamline's swap chain";
        EXPECT_EQ(calls[n].slot, step.slot);
        EXPECT_EQ(calls[n].arguments[1] & 0xFFFFFFFF, step.flags);
    }
    scriptedPresentResult = S_OK;
}

// The format the system swap chain's GetDesc1 reports.
DXGI_FORMAT scriptedFormat = DXGI_FORMAT_R8G8B8A8_UNORM;

fakes::Word scriptedDesc1(void* self, fakes::Word a, fakes::Word b, fakes::Word c, fakes::Word d,
                          fakes::Word e, fakes::Word f, fakes::Word g, fakes::Word h)
{
    fakes::recordSlot<18>(self, a, b, c, d, e, f, g, h);
    reinterpret_cast<DXGI_SWAP_CHAIN_DESC1*>(a)->Format = scriptedFormat;
    return S_OK;
}

// Frame Generation is not asked for FP16 (scRGB) back buffers: their format is read at the first present
// after the creation, a resize and a colour-space change (not at every present), and the frames follow it.
TEST(PresentPath, FramesOfFp16BackBuffersDoNotAskForFrameGeneration)
{
    std::array<void*, fakes::maxSlots> table = fakes::recordingTable;
    table[18] = reinterpret_cast<void*>(&scriptedDesc1); // GetDesc1
    RecordingObject upgraded, native;
    native.table = table.data();
    DXGISwapChainProxy proxy(upgraded.as<IDXGISwapChain4>(), native.as<IDXGISwapChain4>());
    testsupport::FakeStreamline& fake = frameBoundaryWorld();
    fsr2bridge::resetFrameGenerationState(0);
    enum Change { none, resize, scRgb, sRgb };
    const std::tuple<DXGI_FORMAT, Change, const char*> steps[] = {
        {DXGI_FORMAT_R8G8B8A8_UNORM, none, "1"},       {DXGI_FORMAT_R16G16B16A16_FLOAT, none, ""}, // not read
        {DXGI_FORMAT_R16G16B16A16_FLOAT, resize, "0"}, {DXGI_FORMAT_R16G16B16A16_FLOAT, none, ""},
        {DXGI_FORMAT_R10G10B10A2_UNORM, resize, "1"},  {DXGI_FORMAT_R8G8B8A8_UNORM, scRgb, "0"},
        {DXGI_FORMAT_R8G8B8A8_UNORM, sRgb, "1"}};
    fakes::callLog().clear();
    for (const auto& [format, change, sent] : steps) {
        scriptedFormat = format;
        fake.clearLog();
        if (change == resize)
            proxy.ResizeBuffers(2, 64, 64, format, 0);
        else if (change != none)
            proxy.SetColorSpace1(change == scRgb ? DXGI_COLOR_SPACE_RGB_FULL_G10_NONE_P709
                                                 : DXGI_COLOR_SPACE_RGB_FULL_G22_NONE_P709);
        fsr2bridge::requestFrameGeneration();
        fsr2bridge::noteFrameInputsTagged(fsr2bridge::frameTokenAdvances());
        proxy.Present(0, 0);
        const std::string modes = *sent ? std::string("slDLSSGSetOptions ") + sent : "";
        EXPECT_EQ(fake.callsOf({Entry::slDLSSGSetOptions}),
                  *sent ? std::vector<std::string>{modes} : std::vector<std::string>{});
    }
    EXPECT_EQ(callsOn(&native).size(), 7u)
        << "GetDesc1 after the creation and each of 4 changes, 2 colour spaces";
    scriptedFormat = DXGI_FORMAT_R8G8B8A8_UNORM;
}

// ---- swap chain wrapping ----

TEST(SwapChainWrapping, OnlyAnSOkCreationIsWrappedWithStreamlinesAndTheSystemsSwapChain)
{
    struct Case {
        const char* name;
        HRESULT created;
        sl::Result nativeResult;
        bool getNativeAvailable;
        HRESULT expected;
        bool wrapped;
    };
    const Case cases[] = {
        {"wrapped", S_OK, sl::Result::eOk, true, S_OK, true},
        {"creation failed", DXGI_ERROR_INVALID_CALL, sl::Result::eOk, true, DXGI_ERROR_INVALID_CALL, false},
        {"positive success is not wrapped", S_FALSE, sl::Result::eOk, true, S_FALSE, false},
        {"Streamline refuses", S_OK, static_cast<sl::Result>(1), true, E_UNEXPECTED, false},
        {"Streamline not loaded", S_OK, sl::Result::eOk, false, E_UNEXPECTED, false},
    };
    RecordingObject nativeSwapChain;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RecordingObject streamlineSwapChain;
        testsupport::FakeStreamline& fake = testsupport::installFakeStreamline();
        fake.nativeInterface = &nativeSwapChain;
        fake.answer(Entry::slGetNativeInterface, c.nativeResult);
        if (!c.getNativeAvailable)
            fake.remove(Entry::slGetNativeInterface);
        void* out = &streamlineSwapChain;
        EXPECT_EQ(fsr2bridge::wrapCreatedSwapChain(c.created, &out), c.expected);
        if (c.wrapped) {
            auto* proxy = static_cast<DXGISwapChainProxy*>(out);
            EXPECT_EQ(proxy->upgraded, streamlineSwapChain.as<IDXGISwapChain4>());
            EXPECT_EQ(proxy->native, nativeSwapChain.as<IDXGISwapChain4>());
        } else {
            EXPECT_EQ(out, &streamlineSwapChain) << "Streamline's swap chain stays where it was";
        }
        EXPECT_EQ(fake.count(Entry::slGetNativeInterface),
                  c.created == S_OK && c.getNativeAvailable ? 1u : 0u);
    }
}

TEST(SwapChainWrapping, FactoryCreatesThroughStreamlinesFactoryOnlyOnTheGamesQueues)
{
    RecordingObject upgraded, native, gamesInner, othersQueue;
    DXGIFactoryProxy factory(upgraded.as<IDXGIFactory7>(), native.as<IDXGIFactory7>());
    // The game's queue was made through the device proxy; another program's (an overlay's) was not.
    fsr2bridge::D3D12CommandQueueProxy gamesQueue(gamesInner.as<ID3D12CommandQueue>());
    IUnknown* const game = &gamesQueue;
    IUnknown* const other = othersQueue.as<IUnknown>();
    IDXGISwapChain1* swapChain = nullptr;
    struct Case {
        const char* name;
        std::function<HRESULT(IUnknown*)> create;
        IUnknown* queue;
        const RecordingObject* expectedObject;
        int expectedSlot;
    };
    const DXGI_SWAP_CHAIN_DESC1 desc{};
    DXGI_SWAP_CHAIN_DESC oldDesc{};
    IDXGISwapChain* oldSwapChain = nullptr;
    const auto hwnd = [&](IUnknown* queue) {
        return factory.CreateSwapChainForHwnd(queue, nullptr, &desc, nullptr, nullptr, &swapChain);
    };
    const auto old = [&](IUnknown* queue) { return factory.CreateSwapChain(queue, &oldDesc, &oldSwapChain); };
    const auto core = [&](IUnknown* queue) {
        return factory.CreateSwapChainForCoreWindow(queue, nullptr, &desc, nullptr, &swapChain);
    };
    const Case cases[] = {
        {"CreateSwapChain", old, game, &upgraded, 10},
        {"CreateSwapChainForHwnd", hwnd, game, &upgraded, 15},
        {"CreateSwapChainForCoreWindow", core, game, &upgraded, 16},
        {"CreateSwapChainForComposition",
         [&](IUnknown* queue) {
             return factory.CreateSwapChainForComposition(queue, &desc, nullptr, &swapChain);
         },
         game, &native, 24},
        {"CreateSwapChain, another program's queue", old, other, &native, 10},
        {"CreateSwapChainForHwnd, another program's queue", hwnd, other, &native, 15},
        {"CreateSwapChainForCoreWindow, no queue", core, nullptr, &native, 16},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fakes::callLog().clear();
        c.create(c.queue);
        std::vector<fakes::Call> factoryCalls;
        for (const fakes::Call& call : fakes::callLog())
            if (call.object == &upgraded || call.object == &native)
                factoryCalls.push_back(call);
        ASSERT_EQ(factoryCalls.size(), 1u);
        EXPECT_EQ(factoryCalls[0].object, c.expectedObject);
        EXPECT_EQ(factoryCalls[0].slot, c.expectedSlot);
        EXPECT_EQ(factoryCalls[0].arguments[0], reinterpret_cast<fakes::Word>(c.queue))
            << "the queue is passed on unchanged";
    }
}

// ---- factory identity on a real Wine factory ----

TEST(FactoryIdentity, FactoryInterfacesAnswerWithTheProxyOthersWithTheSystemFactory)
{
    const ComPtr<IDXGIFactory7> held = testsupport::createFactory();
    IDXGIFactory7* system = held.Get();
    ASSERT_NE(system, nullptr);
    const ULONG heldOnly = referenceCount(system);
    system
        ->AddRef(); // the proxy's own two references (Streamline's object and the system's), here one object
    system->AddRef();
    DXGIFactoryProxy proxy(system, system);
    struct Case {
        const char* name;
        IID riid;
        bool answersWithProxy;
        HRESULT expected;
    };
    const Case cases[] = {
        {"IUnknown", __uuidof(IUnknown), true, S_OK},
        {"IDXGIObject", __uuidof(IDXGIObject), true, S_OK},
        {"IDXGIFactory", __uuidof(IDXGIFactory), true, S_OK},
        {"IDXGIFactory1", __uuidof(IDXGIFactory1), true, S_OK},
        {"IDXGIFactory6", __uuidof(IDXGIFactory6), true, S_OK},
        {"IDXGIFactory7", __uuidof(IDXGIFactory7), true, S_OK},
        {"IDXGIDeviceSubObject", __uuidof(IDXGIDeviceSubObject), false, E_NOINTERFACE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ULONG before = referenceCount(system);
        void* answer = nullptr;
        EXPECT_EQ(proxy.QueryInterface(c.riid, &answer), c.expected);
        if (c.answersWithProxy) {
            EXPECT_EQ(answer, &proxy);
            EXPECT_EQ(referenceCount(&proxy), 2u) << "one reference more of the game's";
            EXPECT_EQ(referenceCount(system), before) << "the query's reference replaced the proxy's";
            proxy.Release();
        }
        EXPECT_EQ(referenceCount(system), before);
    }
    EXPECT_EQ(proxy.QueryInterface(__uuidof(IUnknown), nullptr), E_POINTER);
    ComPtr<IDXGIAdapter1> viaProxy, direct;
    ASSERT_EQ(proxy.EnumAdapters1(0, &viaProxy), system->EnumAdapters1(0, &direct));
    DXGI_ADAPTER_DESC1 a{}, b{};
    viaProxy->GetDesc1(&a);
    direct->GetDesc1(&b);
    EXPECT_EQ(a.AdapterLuid.LowPart, b.AdapterLuid.LowPart);
    viaProxy.Reset();
    direct.Reset();
    EXPECT_EQ(proxy.Release(), 0u) << "the game's last reference";
    EXPECT_EQ(referenceCount(system), heldOnly) << "both of the proxy's references are given back";
}

} // namespace
