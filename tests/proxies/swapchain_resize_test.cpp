// Resizes and full-screen changes of the swap chain proxy: Streamline's swap chain gets the call with Frame
// Generation off, and the next present brings back the mode it wants.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "frame_boundary.h"
#include "proxies/DXGISwapChainProxy.h"
#include "recording_fake.h"
#include "upscaler/frame_generation.h"

using fakes::Word;
using fsr2bridge::DXGISwapChainProxy;
using testsupport::Entry;

namespace {

constexpr int setFullscreenStateSlot = 10;
constexpr int resizeBuffersSlot = 13;
constexpr int resizeBuffers1Slot = 39;

// A recording slot that also notes, in the fake Streamline's log, the Frame Generation mode in force.
template <int Slot>
Word noteModeSlot(void* self, Word a, Word b, Word c, Word d, Word e, Word f, Word g, Word h)
{
    const auto mode = static_cast<std::uint32_t>(fsr2bridge::frameGenerationOptions().mode);
    testsupport::fakeStreamline().note("slot " + std::to_string(Slot) + " with mode " + std::to_string(mode));
    return fakes::recordSlot<Slot>(self, a, b, c, d, e, f, g, h);
}

// Streamline's swap chain: records every slot; the three resizing slots note the mode.
struct StreamlineSwapChain {
    StreamlineSwapChain() : table(fakes::recordingTable)
    {
        table[setFullscreenStateSlot] = reinterpret_cast<void*>(&noteModeSlot<setFullscreenStateSlot>);
        table[resizeBuffersSlot] = reinterpret_cast<void*>(&noteModeSlot<resizeBuffersSlot>);
        table[resizeBuffers1Slot] = reinterpret_cast<void*>(&noteModeSlot<resizeBuffers1Slot>);
    }
    IDXGISwapChain4* swapChain() { return reinterpret_cast<IDXGISwapChain4*>(this); }
    void* const* vtable = table.data(); // laid out as a COM object
    std::array<void*, fakes::maxSlots> table;
};

HRESULT callResizingSlot(DXGISwapChainProxy& proxy, int slot)
{
    switch (slot) {
    case setFullscreenStateSlot:
        return proxy.SetFullscreenState(TRUE, nullptr);
    case resizeBuffersSlot:
        return proxy.ResizeBuffers(2, 640, 480, DXGI_FORMAT_R8G8B8A8_UNORM, 0);
    default: {
        const UINT nodeMasks[2] = {1, 1};
        return proxy.ResizeBuffers1(2, 640, 480, DXGI_FORMAT_R8G8B8A8_UNORM, 0, nodeMasks, nullptr);
    }
    }
}

struct ResizeCase {
    const char* name;
    int slot;
    std::uint32_t modeBefore;
    enum { works, refuses, throws } streamline;
    std::vector<std::string> calls;
};

class ResizingWithFrameGeneration : public testing::TestWithParam<ResizeCase> {};

TEST_P(ResizingWithFrameGeneration, IsOffDuringTheCallAndTheNextPresentDecides)
{
    const ResizeCase& c = GetParam();
    StreamlineSwapChain upgraded;
    fakes::RecordingObject native;
    DXGISwapChainProxy proxy(upgraded.swapChain(), native.as<IDXGISwapChain4>());
    testsupport::FakeStreamline& fake = proxiestest::frameBoundaryWorld();
    fsr2bridge::resetFrameGenerationState(c.modeBefore);
    if (c.streamline == ResizeCase::refuses) {
        fake.answer(Entry::slDLSSGSetOptions, sl::Result::eErrorIO);
    }
    fake.throwing = c.streamline == ResizeCase::throws;
    fakes::callLog().clear();
    const HRESULT result = callResizingSlot(proxy, c.slot);
    fake.throwing = false;
    fsr2bridge::setFrameGenerationMode(c.modeBefore); // the next present, asking as before

    EXPECT_EQ(static_cast<Word>(result), fakes::slotResult(c.slot)) << "the swap chain's own result";
    ASSERT_EQ(fakes::callLog().size(), 1u);
    EXPECT_EQ(fakes::callLog()[0].object, &upgraded) << "Streamline's swap chain resizes";
    EXPECT_EQ(fakes::callLog()[0].arguments[1] & 0xFFFFFFFF, c.slot == setFullscreenStateSlot ? 0u : 640u);
    EXPECT_EQ(fake.callsOf({Entry::slDLSSGSetOptions}), c.calls);
    EXPECT_EQ(static_cast<std::uint32_t>(fsr2bridge::frameGenerationOptions().mode), c.modeBefore)
        << "the mode wanted is back";
}

const ResizeCase resizeCases[] = {
    {"ResizeBuffersOn",
     resizeBuffersSlot,
     1,
     ResizeCase::works,
     {"slDLSSGSetOptions 0", "slot 13 with mode 0", "slDLSSGSetOptions 1"}},
    {"ResizeBuffers1On",
     resizeBuffers1Slot,
     1,
     ResizeCase::works,
     {"slDLSSGSetOptions 0", "slot 39 with mode 0", "slDLSSGSetOptions 1"}},
    {"SetFullscreenStateOn",
     setFullscreenStateSlot,
     1,
     ResizeCase::works,
     {"slDLSSGSetOptions 0", "slot 10 with mode 0", "slDLSSGSetOptions 1"}},
    {"ResizeBuffersOff", resizeBuffersSlot, 0, ResizeCase::works, {"slot 13 with mode 0"}},
    {"SetFullscreenStateOff", setFullscreenStateSlot, 0, ResizeCase::works, {"slot 10 with mode 0"}},
    {"ResizeBuffersSwitchRefused",
     resizeBuffersSlot,
     1,
     ResizeCase::refuses,
     {"slDLSSGSetOptions 0", "slot 13 with mode 0", "slDLSSGSetOptions 1"}},
    {"ResizeBuffers1StreamlineThrowing",
     resizeBuffers1Slot,
     1,
     ResizeCase::throws,
     {"slDLSSGSetOptions 0", "slot 39 with mode 0", "slDLSSGSetOptions 1"}},
};
INSTANTIATE_TEST_SUITE_P(Proxies, ResizingWithFrameGeneration, testing::ValuesIn(resizeCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A present during a resize (another thread) changes what is wanted, not what is sent.
TEST(ResizingWithFrameGeneration, APresentDuringTheResizeDecidesTheModeAfterIt)
{
    testsupport::FakeStreamline& fake = proxiestest::frameBoundaryWorld();
    fsr2bridge::resetFrameGenerationState(1);
    EXPECT_TRUE(fsr2bridge::pauseFrameGeneration());
    EXPECT_TRUE(fsr2bridge::setFrameGenerationMode(0));
    EXPECT_TRUE(fsr2bridge::resumeFrameGeneration());
    EXPECT_EQ(fake.callsOf({Entry::slDLSSGSetOptions}), std::vector<std::string>{"slDLSSGSetOptions 0"});
}

} // namespace
