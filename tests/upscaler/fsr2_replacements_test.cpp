#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <functional>
#include <iterator>
#include <vector>

#include "common/graphics.h"
#include "hooking/MinHook.h"
#include "proxies/D3D12DeviceProxy.h"
#include "streamline/feature_support.h"
#include "testbed/world/box_catcher.h"
#include "tests/proxies/recording_fake.h"
#include "tests/proxies/slot_tables.h"
#include "tests/support/d3d12_objects.h"
#include "tests/upscaler/upscaler_world.h"
#include "upscaler/camera_constants.h"
#include "upscaler/dlss_mode_fit.h"
#include "upscaler/frame_generation.h"
#include "upscaler/fsr2_replacements.h"
#include "upscaler/host_hooks.h"

using namespace fsr2bridge;
using namespace upscalertest;
using testsupport::ComPtr;
using testsupport::Entry;
using testsupport::FakeStreamline;
using testsupport::referenceCount;
using testsupport::sharedDevice;
using testsupport::TaggedResource;

namespace {

ComPtr<ID3D12Resource> makeTexture(UINT width, UINT height, DXGI_FORMAT format)
{
    return testsupport::createTexture(sharedDevice(), width, height, format);
}

FfxFsr2ContextDescription contextDescription(std::uint32_t flags = 0)
{
    FfxFsr2ContextDescription d{};
    d.flags = flags;
    d.maxRenderSize = {2560, 1440};
    d.displaySize = {3840, 2160};
    d.device = sharedDevice();
    return d;
}

struct alignas(16) HostContext {
    unsigned char bytes[0x10000];
};

template <class T> T fieldAt(const void* record, std::size_t offset)
{
    T value;
    std::memcpy(&value, static_cast<const unsigned char*>(record) + offset, sizeof value);
    return value;
}

class Fsr2Replacements : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(sharedDevice(), nullptr) << "tests need a real D3D12 device (run under Xvfb)";
        // The module entry initialises the hook engine in the game.
        const MH_STATUS initialised = MH_Initialize();
        ASSERT_TRUE(initialised == MH_OK || initialised == MH_ERROR_ALREADY_INITIALIZED);
        fake = &testsupport::installFakeStreamline();
        useSettings(testSettings(false, false));
        setFrameTokenAvailable(true);
        resetFrameGenerationState(0);
        forgetCameraHistory();
        resetHostCamera();
        // As attachment records it on an adapter with NIS; every test asks Streamline's ranges afresh.
        recordNisSupport(true);
        forgetDlssModeRanges();
        fake->clearLog();
        std::memset(&context_, 0xCC, sizeof context_);
    }
    void TearDown() override { setFrameTokenAvailable(false); }

    std::uint32_t create(const FfxFsr2ContextDescription& d)
    {
        return fsr2ContextCreateReplacement(&context_, &d);
    }
    Fsr2ContextRecord& record() { return fsr2ContextRecordOf(&context_); }

    HostContext context_;
    FakeStreamline* fake = nullptr;
};

} // namespace

TEST_F(Fsr2Replacements, NullArgumentsAreRefused)
{
    const FfxFsr2ContextDescription d = contextDescription();
    FfxFsr2DispatchDescription dispatch{};
    EXPECT_EQ(fsr2ContextCreateReplacement(nullptr, &d), FFX_ERROR_INVALID_POINTER);
    EXPECT_EQ(fsr2ContextCreateReplacement(&context_, nullptr), FFX_ERROR_INVALID_POINTER);
    EXPECT_EQ(fsr2ContextDispatchReplacement(nullptr, &dispatch), FFX_ERROR_INVALID_POINTER);
    EXPECT_EQ(fsr2ContextDispatchReplacement(&context_, nullptr), FFX_ERROR_INVALID_POINTER);
    EXPECT_EQ(fsr2ContextDestroyReplacement(nullptr), FFX_ERROR_INVALID_POINTER);
    EXPECT_EQ(fsr2RegisterAliasableResourcesReplacement(nullptr, nullptr, nullptr, nullptr), FFX_OK);
    EXPECT_EQ(fsr2RegisterAliasableResourcesReplacement(&context_, &dispatch, &context_, &dispatch), FFX_OK);
    EXPECT_TRUE(fake->calls().empty());
    EXPECT_EQ(context_.bytes[0], 0xCC) << "nothing is written for a refused call";
}

TEST_F(Fsr2Replacements, CreateWritesTheRecordIntoHostMemory)
{
    Settings s = testSettings(false, false);
    s.dlssMode = static_cast<DlssMode>(3);
    useSettings(s);
    ASSERT_EQ(create(contextDescription(0x2A)), FFX_OK);
    const unsigned char* r = context_.bytes;
    const unsigned char guid[16] = {0xE4, 0x26, 0xC8, 0x6A, 0x61, 0x4C, 0x01, 0x41,
                                    0xA9, 0x2D, 0x63, 0x8D, 0x42, 0x10, 0x57, 0xB8};
    EXPECT_EQ(fieldAt<void*>(r, 0), nullptr);
    EXPECT_EQ(std::memcmp(r + 8, guid, 16), 0);
    EXPECT_EQ(fieldAt<std::uint64_t>(r, 24), 2u);
    EXPECT_EQ(fieldAt<std::uint32_t>(r, 32), 3u);
    EXPECT_EQ(fieldAt<std::uint32_t>(r, 36), 3840u);
    EXPECT_EQ(fieldAt<std::uint32_t>(r, 40), 2160u);
    EXPECT_EQ(fieldAt<float>(r, 44), 0.0f);
    EXPECT_EQ(fieldAt<float>(r, 48), 1.0f);
    EXPECT_EQ(fieldAt<float>(r, 52), 1.0f);
    EXPECT_EQ(r[56], 1);
    EXPECT_EQ(r[57], 0);
    EXPECT_EQ(r[58], 0);
    EXPECT_EQ(r[84], 1);
    EXPECT_EQ(fieldAt<std::uint32_t>(r, 88), 0x2Au);
    EXPECT_EQ(fieldAt<void*>(r, 96), sharedDevice());
    EXPECT_EQ(fieldAt<void*>(r, 104), nullptr);
    for (std::size_t gap : {59, 85, 86, 87, 92, 93, 94, 95}) {
        EXPECT_EQ(r[gap], 0) << "byte " << gap;
    }
    EXPECT_EQ(r[112], 0xCC) << "nothing after the record is touched";
    ASSERT_EQ(fake->dlssOptions.size(), 1u);
    EXPECT_EQ(std::memcmp(&fake->dlssOptions[0], r, 88), 0) << "the record's options are what was sent";
}

TEST_F(Fsr2Replacements, PresetAndAutoExposure)
{
    struct Case {
        std::uint32_t preset;
        std::uint32_t flags;
        std::uint8_t autoExposure;
    };
    for (const Case& c : {Case{0, 0x20, 1}, Case{3, 0x1F, 0}, Case{7, 0x3F, 1}, Case{0, 0, 0}}) {
        Settings s = testSettings(false, false);
        s.dlssPreset = static_cast<DlssPreset>(c.preset);
        useSettings(s);
        ASSERT_EQ(create(contextDescription(c.flags)), FFX_OK);
        for (std::size_t offset = 60; offset <= 80; offset += 4) {
            EXPECT_EQ(fieldAt<std::uint32_t>(context_.bytes, offset), c.preset) << "offset " << offset;
        }
        EXPECT_EQ(context_.bytes[84], c.autoExposure) << "flags " << c.flags;
    }
}

// A new context switches nothing: the record follows its render size and keeps the mode the presents chose;
// while on, the new size is sent (after the DLSS options).
TEST_F(Fsr2Replacements, CreateFollowsTheRenderSizeAndKeepsTheMode)
{
    struct Case {
        bool enabled;
        std::size_t sends;
    };
    for (const Case& c : {Case{true, 1}, Case{false, 0}}) {
        // The record of an earlier context, on.
        useSettings(testSettings(true, false));
        startFrameGeneration(7, 9, true);
        setFrameGenerationMode(1);
        fake->clearLog();
        useSettings(testSettings(c.enabled, false));
        ASSERT_EQ(create(contextDescription()), FFX_OK);
        const sl::DLSSGOptions fg = frameGenerationOptions();
        EXPECT_EQ(static_cast<std::uint32_t>(fg.mode), 1u);
        EXPECT_EQ(fg.numFramesToGenerate, 1u);
        EXPECT_EQ(static_cast<std::uint32_t>(fg.flags), 2u);
        EXPECT_EQ(fg.dynamicResWidth, 2560u);
        EXPECT_EQ(fg.dynamicResHeight, 1440u);
        const auto* bytes = reinterpret_cast<const unsigned char*>(&fg);
        EXPECT_EQ(fieldAt<std::uint64_t>(bytes, 24), 1u);
        for (std::size_t offset = 52; offset < 104; ++offset) {
            EXPECT_EQ(bytes[offset], 0) << "offset " << offset;
        }
        ASSERT_EQ(fake->dlssgOptions.size(), c.sends);
        if (c.sends) {
            EXPECT_EQ(static_cast<std::uint32_t>(fake->dlssgOptions[0].mode), 1u);
            EXPECT_EQ(fake->dlssgOptions[0].dynamicResWidth, 2560u);
            EXPECT_EQ(fake->callsOf({Entry::slDLSSSetOptions, Entry::slDLSSGSetOptions}).front(),
                      "slDLSSSetOptions");
        }
    }
}

TEST_F(Fsr2Replacements, RefusedDlssOptionsFailCreationAndLeaveFrameGenerationAlone)
{
    useSettings(testSettings(true, false));
    startFrameGeneration(99, 77, true); // the record of an earlier context, on
    const sl::DLSSGOptions before = frameGenerationOptions();
    struct Case {
        const char* name;
        bool missing;
    };
    for (const Case& c : {Case{"refused", false}, Case{"missing", true}}) {
        FakeStreamline& refusing = testsupport::installFakeStreamline();
        refusing.answer(Entry::slDLSSSetOptions, sl::Result::eErrorIO);
        if (c.missing) {
            refusing.remove(Entry::slDLSSSetOptions);
        }
        EXPECT_EQ(create(contextDescription()), FFX_ERROR_BACKEND_API_ERROR) << c.name;
        const sl::DLSSGOptions after = frameGenerationOptions();
        EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0) << c.name;
        EXPECT_EQ(refusing.count(Entry::slDLSSGSetOptions), 0u) << c.name;
    }
}

TEST_F(Fsr2Replacements, DestroyReleasesTheIntermediateOnce)
{
    struct Case {
        bool nis;
        bool released;
    };
    for (const Case& c : {Case{true, true}, Case{false, false}}) {
        useSettings(testSettings(false, c.nis));
        ASSERT_EQ(create(contextDescription()), FFX_OK);
        const ComPtr<ID3D12Resource> texture = makeTexture(16, 16, DXGI_FORMAT_R8G8B8A8_UNORM);
        ASSERT_NE(texture, nullptr);
        // The record owns one reference of its own, as after a dispatch that made it.
        ComPtr<ID3D12Resource>(texture).Detach();
        record().nisIntermediate = texture.Get();
        const ULONG before = referenceCount(texture.Get());
        EXPECT_EQ(fsr2ContextDestroyReplacement(&context_), FFX_OK);
        EXPECT_EQ(fsr2ContextDestroyReplacement(&context_), FFX_OK) << "a repeated destroy";
        EXPECT_EQ(referenceCount(texture.Get()), c.released ? before - 1 : before);
        EXPECT_EQ(record().nisIntermediate, c.released ? nullptr : texture.Get());
        if (!c.released) {
            ComPtr<ID3D12Resource> recordsReference;
            testsupport::adopt(recordsReference, record().nisIntermediate);
        }
    }
    ASSERT_EQ(create(contextDescription()), FFX_OK);
    EXPECT_EQ(fsr2ContextDestroyReplacement(&context_), FFX_OK) << "nothing to release";
    EXPECT_EQ(fake->count(Entry::slEvaluateFeature), 0u);
}

namespace {

// The resources of one host frame on the real device.
struct Frame {
    Frame()
    {
        d.commandList = &commandListMarker;
        d.color.resource = color;
        d.depth.resource = depth;
        d.motionVectors.resource = motion;
        d.output.resource = output;
        d.renderSize = {1280, 720};
        d.motionVectorScale = {1280, 720};
        d.preExposure = 1.0f;
        d.sharpness = 0.4f;
        d.cameraNear = 0.1f;
        d.cameraFar = 1000;
        d.cameraFovAngleVertical = 1;
    }
    Frame(const Frame&) = delete;
    Frame& operator=(const Frame&) = delete;

    void withMask() { d.transparencyAndComposition.resource = mask; }

    const ComPtr<ID3D12Resource> colorTexture = makeTexture(1280, 720, DXGI_FORMAT_R16G16B16A16_FLOAT);
    const ComPtr<ID3D12Resource> depthTexture = makeTexture(1280, 720, DXGI_FORMAT_R32_FLOAT);
    const ComPtr<ID3D12Resource> motionTexture = makeTexture(1280, 720, DXGI_FORMAT_R16G16_FLOAT);
    const ComPtr<ID3D12Resource> maskTexture = makeTexture(1280, 720, DXGI_FORMAT_R8_TYPELESS);
    const ComPtr<ID3D12Resource> outputTexture = makeTexture(3840, 2160, DXGI_FORMAT_R16G16B16A16_FLOAT);
    ID3D12Resource* const color = colorTexture.Get();
    ID3D12Resource* const depth = depthTexture.Get();
    ID3D12Resource* const motion = motionTexture.Get();
    ID3D12Resource* const mask = maskTexture.Get();
    ID3D12Resource* const output = outputTexture.Get();
    int commandListMarker = 0;
    FfxFsr2DispatchDescription d{};
};

struct ExpectedTag {
    void* resource;
    std::uint32_t state;
    std::uint32_t type;
    std::uint32_t lifecycle;
    sl::Extent extent;
};

void expectTags(const std::vector<TaggedResource>& tags, const std::vector<ExpectedTag>& expected)
{
    ASSERT_EQ(tags.size(), expected.size());
    for (std::size_t i = 0; i < tags.size(); ++i) {
        SCOPED_TRACE(i);
        const TaggedResource& t = tags[i];
        EXPECT_EQ(t.resource.native, expected[i].resource);
        EXPECT_EQ(t.resource.state, expected[i].state);
        EXPECT_EQ(static_cast<std::uint32_t>(t.tag.type), expected[i].type);
        EXPECT_EQ(static_cast<std::uint32_t>(t.tag.lifecycle), expected[i].lifecycle);
        EXPECT_EQ(t.tag.extent.top, expected[i].extent.top);
        EXPECT_EQ(t.tag.extent.left, expected[i].extent.left);
        EXPECT_EQ(t.tag.extent.width, expected[i].extent.width);
        EXPECT_EQ(t.tag.extent.height, expected[i].extent.height);
        EXPECT_EQ(t.resource.memory, nullptr);
        EXPECT_EQ(t.resource.view, nullptr);
        EXPECT_EQ(t.resource.width, 0u);
        EXPECT_EQ(t.resource.gpuVirtualAddress, 0u);
        EXPECT_EQ(static_cast<std::uint32_t>(t.resource.type), 0u);
    }
}

const sl::Extent render{0, 0, 1280, 720};
const sl::Extent display{0, 0, 3840, 2160};

} // namespace

TEST_F(Fsr2Replacements, DispatchTagsAndEvaluatesDlss)
{
    struct Case {
        const char* name;
        std::uint32_t flags;
        bool mask;
        sl::Extent motionExtent;
    };
    const Case cases[] = {
        {"render-size vectors", 0, false, render},
        {"display-size vectors", 0x2, false, display},
        {"with transparency mask", 0x8, true, render},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(create(contextDescription(c.flags)), FFX_OK);
        Frame frame;
        if (c.mask) {
            frame.withMask();
        }
        fake->clearLog();
        ASSERT_EQ(fsr2ContextDispatchReplacement(&context_, &frame.d), FFX_OK);
        EXPECT_EQ(fake->calls(),
                  (std::vector<std::string>{"slSetConstants", "slSetTag", "slEvaluateFeature 0"}));
        ASSERT_EQ(fake->tagCalls.size(), 1u);
        // Without a mask its buffer type is tagged with no resource, so that no older mask stays tagged.
        const std::vector<ExpectedTag> expected = {
            {frame.color, 0x40, 3, 1, render},
            {frame.output, 0x8, 4, 1, display},
            {frame.depth, 0x40, 0, 0, render},
            {frame.motion, 0x40, 1, 0, c.motionExtent},
            {c.mask ? frame.mask : nullptr, c.mask ? 0x40u : 0u, 27, 1, render},
        };
        expectTags(fake->tagCalls[0], expected);
        EXPECT_EQ(fake->tagCalls[0][4].tag.resource == nullptr, !c.mask);
        EXPECT_EQ(fake->evaluated, std::vector<sl::Feature>{sl::kFeatureDLSS});
        for (const auto& [input, count] : fake->evaluationInputs) {
            EXPECT_EQ(input, sl::asBaseStructure(viewportHandle())) << "the viewport is the one input";
            EXPECT_EQ(count, 1u);
        }
        for (const void* list : fake->commandLists) {
            EXPECT_EQ(list, &frame.commandListMarker);
        }
        EXPECT_FALSE(r8TypelessRewriteActive());
    }
}

TEST_F(Fsr2Replacements, PreExposureChangesResendTheOptions)
{
    ASSERT_EQ(create(contextDescription()), FFX_OK);
    Frame frame;
    struct Step {
        float preExposure;
        std::size_t sends;
    };
    const float nan = std::nanf("");
    for (const Step& s :
         {Step{1.0f, 0}, Step{2.0f, 1}, Step{2.0f, 0}, Step{nan, 1}, Step{nan, 1}, Step{0.5f, 1}}) {
        fake->clearLog();
        frame.d.preExposure = s.preExposure;
        ASSERT_EQ(fsr2ContextDispatchReplacement(&context_, &frame.d), FFX_OK);
        ASSERT_EQ(fake->dlssOptions.size(), s.sends) << "pre-exposure " << s.preExposure;
        if (s.sends) {
            EXPECT_EQ(std::memcmp(&fake->dlssOptions[0].preExposure, &s.preExposure, 4), 0);
        }
    }
    fake->answer(Entry::slDLSSSetOptions, sl::Result::eErrorIO);
    frame.d.preExposure = 3.0f;
    fake->clearLog();
    EXPECT_EQ(fsr2ContextDispatchReplacement(&context_, &frame.d), FFX_ERROR_BACKEND_API_ERROR);
    EXPECT_EQ(fake->count(Entry::slSetConstants), 0u);
}

TEST_F(Fsr2Replacements, NoFrameTokenFailsAfterTheMatricesMoved)
{
    ASSERT_EQ(create(contextDescription()), FFX_OK);
    Frame frame;
    previousFrameMatrices() = {identityMatrix4x4, identityMatrix4x4};
    previousFrameMatrices().viewToClip.m[0][1] = 42;
    setFrameTokenAvailable(false);
    fake->clearLog();
    EXPECT_EQ(fsr2ContextDispatchReplacement(&context_, &frame.d), FFX_ERROR_BACKEND_API_ERROR);
    EXPECT_TRUE(fake->calls().empty());
    EXPECT_NE(previousFrameMatrices().viewToClip.m[0][1], 42.0f);
}

namespace {

// Publishes a host camera as the camera hook would: right, up and forward at bytes 32, 48 and 64.
void publishCamera(const float (&right)[3], const float (&up)[3], const float (&forward)[3])
{
    unsigned char basis[160] = {};
    std::memcpy(basis + 32, right, sizeof right);
    std::memcpy(basis + 48, up, sizeof up);
    std::memcpy(basis + 64, forward, sizeof forward);
    const float frustum[6] = {-1, 1, 1, -1, 0.1f, 1000};
    ASSERT_TRUE(publishHostCamera(basis, frustum));
}

} // namespace

// Whatever camera another test left behind: each case sets its own and starts without history.
TEST_F(Fsr2Replacements, ConstantsCarryNoNonFiniteValues)
{
    ASSERT_EQ(create(contextDescription()), FFX_OK);
    struct Case {
        const char* name;
        void (*camera)();
        void (*spoil)(FfxFsr2DispatchDescription&);
    };
    const Case cases[] = {
        {"never filled camera, zero render size", [] { resetHostCamera(); },
         [](FfxFsr2DispatchDescription& d) {
             d.renderSize = {0, 0};
         }},
        {"game camera, zero render size",
         [] {
             publishCamera({1, 0, 0}, {0, 1, 0}, {0, 0, 1});
         },
         [](FfxFsr2DispatchDescription& d) {
             d.renderSize = {0, 0};
         }},
        {"NaN camera",
         [] {
             publishCamera({std::nanf(""), 0, 0}, {0, 1, 0}, {0, 0, 1});
         },
         [](FfxFsr2DispatchDescription&) {}},
        {"game camera, NaN jitter and near plane",
         [] {
             publishCamera({1, 0, 0}, {0, 1, 0}, {0, 0, 1});
         },
         [](FfxFsr2DispatchDescription& d) { d.jitterOffset.y = d.cameraNear = std::nanf(""); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.camera();
        forgetCameraHistory();
        Frame frame;
        c.spoil(frame.d);
        fake->clearLog();
        for (int i = 0; i < 2; ++i) {
            ASSERT_EQ(fsr2ContextDispatchReplacement(&context_, &frame.d), FFX_OK);
        }
        ASSERT_EQ(fake->constants.size(), 2u);
        for (const sl::Constants& sent : fake->constants) {
            const auto* bytes = reinterpret_cast<const unsigned char*>(&sent);
            for (std::size_t offset = 32; offset < 444; offset += 4) {
                EXPECT_TRUE(std::isfinite(fieldAt<float>(bytes, offset))) << "offset " << offset;
            }
        }
        EXPECT_EQ(static_cast<int>(fake->constants[0].reset), 1) << "the substitution starts";
        EXPECT_EQ(static_cast<int>(fake->constants[1].reset), 0) << "and goes on";
    }
}

TEST_F(Fsr2Replacements, EveryFailingStepReturnsBackendError)
{
    struct Case {
        const char* name;
        bool nis;
        void (*breakIt)(FakeStreamline&);
        std::vector<std::string> calls;
    };
    const Case cases[] = {
        {"constants refused",
         false,
         [](FakeStreamline& f) { f.answer(Entry::slSetConstants, sl::Result::eErrorIO); },
         {"slSetConstants"}},
        {"constants missing", false, [](FakeStreamline& f) { f.remove(Entry::slSetConstants); }, {}},
        {"tags refused",
         false,
         [](FakeStreamline& f) { f.answer(Entry::slSetTag, sl::Result::eErrorIO); },
         {"slSetConstants", "slSetTag"}},
        {"evaluation refused",
         false,
         [](FakeStreamline& f) {
             f.answer(Entry::slEvaluateFeature, sl::kFeatureDLSS, sl::Result::eErrorIO);
         },
         {"slSetConstants", "slSetTag", "slEvaluateFeature 0"}},
        {"evaluation missing",
         false,
         [](FakeStreamline& f) { f.remove(Entry::slEvaluateFeature); },
         {"slSetConstants", "slSetTag"}},
        {"NIS options refused",
         true,
         [](FakeStreamline& f) { f.answer(Entry::slNISSetOptions, sl::Result::eErrorIO); },
         {"slSetConstants", "slSetTag", "slEvaluateFeature 0", "slNISSetOptions"}},
        {"NIS evaluation refused",
         true,
         [](FakeStreamline& f) { f.answer(Entry::slEvaluateFeature, sl::kFeatureNIS, sl::Result::eErrorIO); },
         {"slSetConstants", "slSetTag", "slEvaluateFeature 0", "slNISSetOptions", "slSetTag",
          "slEvaluateFeature 2"}},
        {"frame generation state refused",
         false,
         [](FakeStreamline& f) { f.answer(Entry::slDLSSGGetState, sl::Result::eErrorIO); },
         {"slDLSSGGetState"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeStreamline& broken = testsupport::installFakeStreamline();
        useSettings(testSettings(std::string(c.name).find("frame generation") == 0, c.nis));
        ASSERT_EQ(create(contextDescription()), FFX_OK);
        Frame frame;
        c.breakIt(broken);
        broken.clearLog();
        EXPECT_EQ(fsr2ContextDispatchReplacement(&context_, &frame.d), FFX_ERROR_BACKEND_API_ERROR);
        EXPECT_EQ(broken.calls(), c.calls);
        if (c.nis && broken.count(Entry::slEvaluateFeature) > 0) {
            EXPECT_NE(record().nisIntermediate, nullptr) << "the intermediate is kept";
        }
        fsr2ContextDestroyReplacement(&context_);
    }
}

TEST_F(Fsr2Replacements, NisPassRunsFromAnIntermediateMadeOnce)
{
    useSettings(testSettings(false, true));
    ASSERT_EQ(create(contextDescription()), FFX_OK);
    Frame frame;
    fake->clearLog();
    ASSERT_EQ(fsr2ContextDispatchReplacement(&context_, &frame.d), FFX_OK);
    ID3D12Resource* intermediate = record().nisIntermediate;
    ASSERT_NE(intermediate, nullptr);
    const D3D12_RESOURCE_DESC made = resourceDescriptionOf(intermediate);
    const D3D12_RESOURCE_DESC output = resourceDescriptionOf(frame.output);
    EXPECT_EQ(made.Width, output.Width);
    EXPECT_EQ(made.Height, output.Height);
    EXPECT_EQ(made.Format, output.Format);
    EXPECT_EQ(made.Flags, output.Flags);
    EXPECT_EQ(made.Dimension, output.Dimension);
    ComPtr<ID3D12Device> owner;
    ASSERT_TRUE(SUCCEEDED(intermediate->GetDevice(IID_PPV_ARGS(&owner))));
    EXPECT_EQ(owner.Get(), sharedDevice()) << "made on the device the host gave FSR2";

    EXPECT_EQ(fake->calls(),
              (std::vector<std::string>{"slSetConstants", "slSetTag", "slEvaluateFeature 0",
                                        "slNISSetOptions", "slSetTag", "slEvaluateFeature 2"}));
    ASSERT_EQ(fake->tagCalls.size(), 2u);
    EXPECT_EQ(fake->tagCalls[0][1].resource.native, intermediate) << "DLSS writes the intermediate";
    expectTags(fake->tagCalls[1], {{intermediate, 0x8, 3, 1, display}, {frame.output, 0x8, 4, 1, display}});
    EXPECT_EQ(fake->evaluated, (std::vector<sl::Feature>{sl::kFeatureDLSS, sl::kFeatureNIS}));
    ASSERT_EQ(fake->nisOptions.size(), 1u);
    EXPECT_EQ(static_cast<std::uint32_t>(fake->nisOptions[0].mode), 2u);
    EXPECT_EQ(static_cast<std::uint32_t>(fake->nisOptions[0].hdrMode), 0u);
    EXPECT_EQ(fake->nisOptions[0].sharpness, 0.4f);

    ASSERT_EQ(fsr2ContextDispatchReplacement(&context_, &frame.d), FFX_OK);
    EXPECT_EQ(record().nisIntermediate, intermediate) << "reused by later dispatches";
    EXPECT_EQ(fsr2ContextDestroyReplacement(&context_), FFX_OK);
    EXPECT_EQ(record().nisIntermediate, nullptr);
}

TEST_F(Fsr2Replacements, BadFrameGenerationStatusStillUpscales)
{
    testworld::BoxCatcher boxes;
    useSettings(testSettings(true, false));
    Frame frame;
    fake->dlssgStatus = 4;
    // Each context makes one attempt: on at the first present that asks, off at the next bad status, then
    // nothing while presents keep asking for it; every frame is upscaled.
    for (int context = 0; context < 2; ++context) {
        SCOPED_TRACE(context);
        fake->clearLog();
        ASSERT_EQ(create(contextDescription()), FFX_OK);
        for (int i = 0; i < 3; ++i) {
            setFrameGenerationMode(i % 2 == 0 ? 1 : 0); // the presents between the dispatches
            EXPECT_EQ(fsr2ContextDispatchReplacement(&context_, &frame.d), FFX_OK);
        }
        EXPECT_EQ(fake->count(Entry::slEvaluateFeature), 3u);
        EXPECT_EQ(fake->callsOf({Entry::slDLSSGSetOptions}),
                  (std::vector<std::string>{"slDLSSGSetOptions 1", "slDLSSGSetOptions 0"}));
        EXPECT_EQ(static_cast<std::uint32_t>(frameGenerationOptions().mode), 0u);
        EXPECT_TRUE(frameGenerationHeldOff());
    }
    EXPECT_EQ(boxes.boxes().size(), 1u) << "one box, not one per frame or context";
}

TEST_F(Fsr2Replacements, ViewHookRewritesOnlyDuringTheEvaluation)
{
    ID3D12Device* device = sharedDevice();
    ASSERT_EQ(create(contextDescription()), FFX_OK);
    Frame frame;
    frame.withMask();

    D3D12_DESCRIPTOR_HEAP_DESC heapDesc{};
    heapDesc.Type = D3D12_DESCRIPTOR_HEAP_TYPE_CBV_SRV_UAV;
    heapDesc.NumDescriptors = 4;
    ComPtr<ID3D12DescriptorHeap> heap;
    ASSERT_TRUE(SUCCEEDED(device->CreateDescriptorHeap(&heapDesc, IID_PPV_ARGS(&heap))));
    D3D12_CPU_DESCRIPTOR_HANDLE slot;
    heap->GetCPUDescriptorHandleForHeapStart(&slot);
    auto createMaskView = [&] {
        D3D12_SHADER_RESOURCE_VIEW_DESC view{};
        view.Format = DXGI_FORMAT_R8_TYPELESS;
        view.ViewDimension = D3D12_SRV_DIMENSION_TEXTURE2D;
        view.Shader4ComponentMapping = D3D12_DEFAULT_SHADER_4_COMPONENT_MAPPING;
        view.Texture2D.MipLevels = 1;
        device->CreateShaderResourceView(frame.mask, &view, slot);
        return view.Format;
    };
    std::vector<DXGI_FORMAT> seenInside;
    fake->duringDlssEvaluation = [&] {
        EXPECT_TRUE(r8TypelessRewriteActive());
        seenInside.push_back(createMaskView());
    };

    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(fsr2ContextDispatchReplacement(&context_, &frame.d), FFX_OK);
        EXPECT_TRUE(shaderResourceViewHookAttempted());
        EXPECT_FALSE(r8TypelessRewriteActive());
    }
    EXPECT_EQ(seenInside, (std::vector<DXGI_FORMAT>{DXGI_FORMAT_R8_UNORM, DXGI_FORMAT_R8_UNORM}));
    EXPECT_EQ(createMaskView(), DXGI_FORMAT_R8_TYPELESS) << "outside the evaluation the view stays as asked";

    // Without a mask there is no rewrite window at all.
    seenInside.clear();
    fake->duringDlssEvaluation = [&] {
        EXPECT_FALSE(r8TypelessRewriteActive());
        seenInside.push_back(createMaskView());
    };
    frame.d.transparencyAndComposition.resource = nullptr;
    ASSERT_EQ(fsr2ContextDispatchReplacement(&context_, &frame.d), FFX_OK);
    EXPECT_EQ(seenInside, std::vector<DXGI_FORMAT>{DXGI_FORMAT_R8_TYPELESS});
    fake->duringDlssEvaluation = nullptr;
}

namespace {

// A device object of the test's own: every slot records (tests/proxies/recording_fake.h) unless replaced.
struct ScriptedDevice {
    ScriptedDevice() : table(fakes::recordingTable) {}
    ID3D12Device10* device() { return reinterpret_cast<ID3D12Device10*>(this); }
    void answer(const char* slotName, void* function)
    {
        for (std::size_t slot = 0; slot < std::size(deviceSlots); ++slot) {
            if (std::strcmp(deviceSlots[slot].name, slotName) == 0) {
                table[slot] = function;
                return;
            }
        }
        ADD_FAILURE() << "no slot " << slotName;
    }
    // Laid out as a COM object: the table pointer first.
    void* const* vtable = table.data();
    std::array<void*, fakes::maxSlots> table;
};

fakes::Word refuseWithOutOfMemory(void*, fakes::Word, fakes::Word, fakes::Word, fakes::Word, fakes::Word,
                                  fakes::Word, fakes::Word, fakes::Word)
{
    return static_cast<fakes::Word>(static_cast<std::uint32_t>(E_OUTOFMEMORY));
}

// Not code: MinHook refuses to hook it.
alignas(16) unsigned char notCode[64];

} // namespace

// The host gives FSR2 our device proxy: its `upgraded` (Streamline's device) is another object than its
// `native` (the system's), and only the system's may be used.
TEST_F(Fsr2Replacements, IntermediateIsMadeOnTheSystemDeviceBehindWhatTheHostPassed)
{
    // vkd3d offers only ID3D12Device; the proxy reaches it through slots that ID3D12Device has.
    auto* device = reinterpret_cast<ID3D12Device10*>(sharedDevice());
    fakes::RecordingObject streamlineDevice;
    D3D12DeviceProxy proxy(streamlineDevice.as<ID3D12Device10>(), device);
    publishSystemDeviceLookup(&nativeDeviceOf); // as module entry does at start-up
    struct Case {
        const char* name;
        void* hostDevice;
    };
    for (const Case& c : {Case{"device proxy", &proxy}, Case{"plain device", sharedDevice()}}) {
        SCOPED_TRACE(c.name);
        useSettings(testSettings(false, true));
        FfxFsr2ContextDescription description = contextDescription();
        description.device = c.hostDevice;
        ASSERT_EQ(create(description), FFX_OK);
        Frame frame;
        fakes::callLog().clear();
        ASSERT_EQ(fsr2ContextDispatchReplacement(&context_, &frame.d), FFX_OK);
        ASSERT_NE(record().nisIntermediate, nullptr);
        ComPtr<ID3D12Device> owner;
        ASSERT_TRUE(SUCCEEDED(record().nisIntermediate->GetDevice(IID_PPV_ARGS(&owner))));
        EXPECT_EQ(owner.Get(), sharedDevice());
        EXPECT_TRUE(fakes::callLog().empty()) << "Streamline's device is never called";
        // The view hook patches the system device's CreateShaderResourceView, not Streamline's.
        void* const systemTarget = (*reinterpret_cast<void***>(sharedDevice()))[18];
        EXPECT_EQ(shaderResourceViewHookTarget(c.hostDevice), systemTarget);
        fsr2ContextDestroyReplacement(&context_);
    }
    EXPECT_NE(shaderResourceViewHookTarget(&proxy), fakes::recordingTable[18]);
}

TEST_F(Fsr2Replacements, FailuresOfTheSystemDeviceAndOfStreamlineFailTheDispatchOnly)
{
    publishSystemDeviceLookup(&nativeDeviceOf);
    ScriptedDevice refusing;
    refusing.answer("CreateCommittedResource", reinterpret_cast<void*>(&refuseWithOutOfMemory));
    ScriptedDevice unhookable;
    unhookable.answer("CreateShaderResourceView", notCode);
    fakes::RecordingObject streamlineDevice;
    D3D12DeviceProxy refusingProxy(streamlineDevice.as<ID3D12Device10>(), refusing.device());
    D3D12DeviceProxy unhookableProxy(streamlineDevice.as<ID3D12Device10>(), unhookable.device());
    const bool hookAttemptedBefore = shaderResourceViewHookAttempted();

    struct Case {
        const char* name;
        bool nis;
        bool mask;
        void* device;
        std::function<void(FakeStreamline&)> breakIt;
        std::vector<std::string> failed;   // calls of the failing dispatch
        std::vector<std::string> repeated; // calls of the next one
        std::uint32_t repeatedResult;
        bool intermediateKept;
    };
    const Case cases[] = {
        {"the intermediate cannot be created",
         true,
         false,
         &refusingProxy,
         nullptr,
         {"slSetConstants"},
         {"slSetConstants"},
         FFX_ERROR_BACKEND_API_ERROR,
         false},
        {"the view hook cannot be installed (not retried)",
         false,
         true,
         &unhookableProxy,
         [](FakeStreamline&) { forgetShaderResourceViewHookAttempt(); },
         {"slSetConstants", "slSetTag"},
         {"slSetConstants", "slSetTag", "slEvaluateFeature 0"},
         FFX_OK,
         false},
        {"slSetTag missing",
         false,
         false,
         sharedDevice(),
         [](FakeStreamline& f) { f.remove(Entry::slSetTag); },
         {"slSetConstants"},
         {"slSetConstants"},
         FFX_ERROR_BACKEND_API_ERROR,
         false},
        {"the NIS tags refused",
         true,
         false,
         sharedDevice(),
         [](FakeStreamline& f) {
             f.duringDlssEvaluation = [&f] { f.answer(Entry::slSetTag, sl::Result::eErrorIO); };
         },
         {"slSetConstants", "slSetTag", "slEvaluateFeature 0", "slNISSetOptions", "slSetTag"},
         {"slSetConstants", "slSetTag"},
         FFX_ERROR_BACKEND_API_ERROR,
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeStreamline& broken = testsupport::installFakeStreamline();
        useSettings(testSettings(false, c.nis));
        FfxFsr2ContextDescription description = contextDescription();
        description.device = c.device;
        ASSERT_EQ(create(description), FFX_OK);
        Frame frame;
        if (c.mask) {
            frame.withMask();
        }
        if (c.breakIt) {
            c.breakIt(broken);
        }
        broken.clearLog();
        EXPECT_EQ(fsr2ContextDispatchReplacement(&context_, &frame.d), FFX_ERROR_BACKEND_API_ERROR);
        EXPECT_EQ(broken.calls(), c.failed);
        EXPECT_FALSE(r8TypelessRewriteActive());
        advanceFrameToken(); // the frame's present
        broken.clearLog();
        EXPECT_EQ(fsr2ContextDispatchReplacement(&context_, &frame.d), c.repeatedResult);
        EXPECT_EQ(broken.calls(), c.repeated);
        EXPECT_EQ(record().nisIntermediate != nullptr, c.intermediateKept);
        broken.duringDlssEvaluation = nullptr;
        fsr2ContextDestroyReplacement(&context_);
    }
    EXPECT_TRUE(shaderResourceViewHookAttempted());
    if (!hookAttemptedBefore) {
        forgetShaderResourceViewHookAttempt(); // later dispatches with a mask install it on the real device
    }
}

TEST_F(Fsr2Replacements, WarningResultsAreSuccesses)
{
    struct Case {
        const char* name;
        Entry entry;
        std::uint32_t key; // the feature of an evaluation; ignored otherwise
    };
    const Case cases[] = {
        {"constants", Entry::slSetConstants, 0},
        {"tags", Entry::slSetTag, 0},
        {"DLSS evaluation", Entry::slEvaluateFeature, 0},
        {"NIS evaluation", Entry::slEvaluateFeature, 2},
        {"NIS options", Entry::slNISSetOptions, 0},
        {"DLSS options", Entry::slDLSSSetOptions, 0},
        {"Frame Generation state", Entry::slDLSSGGetState, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeStreamline& warning = testsupport::installFakeStreamline();
        useSettings(testSettings(true, true));
        if (c.entry == Entry::slEvaluateFeature) {
            warning.answer(c.entry, c.key, sl::Result::eWarnOutOfVRAM);
        } else {
            warning.answer(c.entry, sl::Result::eWarnOutOfVRAM);
        }
        ASSERT_EQ(create(contextDescription()), FFX_OK);
        Frame frame;
        frame.d.preExposure = 2.0f; // the DLSS options are sent again
        warning.clearLog();
        EXPECT_EQ(fsr2ContextDispatchReplacement(&context_, &frame.d), FFX_OK);
        EXPECT_EQ(warning.evaluated, (std::vector<sl::Feature>{sl::kFeatureDLSS, sl::kFeatureNIS}))
            << "the sharpening pass writes the game's output";
        fsr2ContextDestroyReplacement(&context_);
    }
}

TEST_F(Fsr2Replacements, ConstantsAlreadySetForTheFrameAreUsed)
{
    struct Case {
        sl::Result constants;
        std::uint32_t result;
        std::vector<sl::Feature> evaluated;
    };
    const Case cases[] = {
        {sl::Result::eErrorDuplicatedConstants, FFX_OK, {sl::kFeatureDLSS}},
        {sl::Result::eErrorMissingConstants, FFX_ERROR_BACKEND_API_ERROR, {}},
        {sl::Result::eErrorInvalidParameter, FFX_ERROR_BACKEND_API_ERROR, {}},
    };
    ASSERT_EQ(create(contextDescription()), FFX_OK);
    Frame frame;
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.constants));
        fake->answer(Entry::slSetConstants, c.constants);
        fake->clearLog();
        EXPECT_EQ(fsr2ContextDispatchReplacement(&context_, &frame.d), c.result);
        EXPECT_EQ(fake->evaluated, c.evaluated);
    }
}

TEST_F(Fsr2Replacements, WithoutNisDlssWritesTheOutput)
{
    struct Case {
        const char* name;
        bool supported; // as attachment found it
        bool fetchable; // slNISSetOptions can be fetched
        std::vector<std::string> calls;
    };
    const Case cases[] = {
        {"not supported on the adapter", false, true, {"slSetConstants", "slSetTag", "slEvaluateFeature 0"}},
        {"function cannot be fetched",
         true,
         false,
         {"slSetConstants", "slGetFeatureFunction 2", "slSetTag", "slEvaluateFeature 0"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeStreamline& missing = testsupport::installFakeStreamline();
        useSettings(testSettings(false, true));
        recordNisSupport(c.supported);
        if (!c.fetchable) {
            missing.remove(Entry::slNISSetOptions);
        }
        ASSERT_EQ(create(contextDescription()), FFX_OK);
        Frame frame;
        for (int dispatch = 0; dispatch < 2; ++dispatch) {
            advanceFrameToken(); // the present before
            missing.clearLog();
            EXPECT_EQ(fsr2ContextDispatchReplacement(&context_, &frame.d), FFX_OK);
            EXPECT_EQ(missing.calls(), c.calls);
            ASSERT_EQ(missing.tagCalls.size(), 1u);
            EXPECT_EQ(missing.tagCalls[0][1].resource.native, frame.output) << "DLSS writes the output";
            EXPECT_EQ(record().nisIntermediate, nullptr) << "no intermediate is made";
        }
        fsr2ContextDestroyReplacement(&context_);
    }
    recordNisSupport(true);
}

namespace {

// Ranges at 3840x2160 in the shape DLSS gives them: an optimal size and a range around it, overlapping
// the neighbours'.
void answerRanges(FakeStreamline& fake)
{
    const auto range = [](std::uint32_t optW, std::uint32_t optH, std::uint32_t minW, std::uint32_t minH,
                          std::uint32_t maxW, std::uint32_t maxH) {
        sl::DLSSOptimalSettings s{};
        s.optimalRenderWidth = optW;
        s.optimalRenderHeight = optH;
        s.renderWidthMin = minW;
        s.renderHeightMin = minH;
        s.renderWidthMax = maxW;
        s.renderHeightMax = maxH;
        return s;
    };
    fake.optimalSettings[1] = range(1920, 1080, 1280, 720, 2227, 1253);
    fake.optimalSettings[2] = range(2227, 1253, 1920, 1080, 2560, 1440);
    fake.optimalSettings[3] = range(2560, 1440, 2227, 1253, 2954, 1662);
    fake.optimalSettings[4] = range(1280, 720, 960, 540, 1920, 1080);
    fake.optimalSettings[5] = range(2954, 1662, 2560, 1440, 3840, 2160);
    fake.optimalSettings[6] = range(3840, 2160, 2954, 1662, 3840, 2160);
}

} // namespace

TEST_F(Fsr2Replacements, DlssModeFitsTheRenderSizeAtCreation)
{
    struct Case {
        const char* name;
        std::uint32_t configured;
        FfxDimensions2D maxRenderSize;
        bool rangesAnswered;
        std::uint32_t mode;
    };
    const Case cases[] = {
        {"FSR2 quality under the default", 1, {2560, 1440}, true, 3},
        {"configured mode fits", 3, {2560, 1440}, true, 3},
        {"no ranges from Streamline", 1, {2560, 1440}, false, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeStreamline& ranges = testsupport::installFakeStreamline();
        forgetDlssModeRanges();
        answerRanges(ranges);
        if (!c.rangesAnswered) {
            ranges.remove(Entry::slDLSSGetOptimalSettings);
        }
        Settings s = testSettings(false, false);
        s.dlssMode = static_cast<DlssMode>(c.configured);
        useSettings(s);
        FfxFsr2ContextDescription description = contextDescription();
        description.maxRenderSize = c.maxRenderSize;
        ASSERT_EQ(create(description), FFX_OK);
        EXPECT_EQ(static_cast<std::uint32_t>(record().dlssOptions.mode), c.mode);
        ASSERT_EQ(ranges.dlssOptions.size(), 1u);
        EXPECT_EQ(static_cast<std::uint32_t>(ranges.dlssOptions[0].mode), c.mode) << "the mode sent";
        if (c.rangesAnswered) {
            // Every mode asked at the display size, with the context's options otherwise.
            ASSERT_EQ(ranges.optimalSettingsAsked.size(), 6u);
            for (std::uint32_t mode = 1; mode <= 6; ++mode) {
                EXPECT_EQ(static_cast<std::uint32_t>(ranges.optimalSettingsAsked[mode - 1].mode), mode);
                EXPECT_EQ(ranges.optimalSettingsAsked[mode - 1].outputWidth, 3840u);
            }
        }
    }
    // The answers are kept per display size: a second context of that size asks nothing.
    fake = &testsupport::installFakeStreamline();
    forgetDlssModeRanges();
    answerRanges(*fake);
    useSettings(testSettings(false, false));
    ASSERT_EQ(create(contextDescription()), FFX_OK);
    EXPECT_EQ(fake->count(Entry::slDLSSGetOptimalSettings), 6u);
    fake->clearLog();
    ASSERT_EQ(create(contextDescription()), FFX_OK);
    EXPECT_EQ(fake->count(Entry::slDLSSGetOptimalSettings), 0u);
    EXPECT_EQ(static_cast<std::uint32_t>(record().dlssOptions.mode), 3u);
}

TEST_F(Fsr2Replacements, DlssModeFollowsTheRenderSizeOfEachDispatch)
{
    answerRanges(*fake);
    ASSERT_EQ(create(contextDescription()), FFX_OK); // MaxPerformance configured, 2560x1440: MaxQuality
    ASSERT_EQ(static_cast<std::uint32_t>(record().dlssOptions.mode), 3u);
    Frame frame;
    struct Step {
        FfxDimensions2D renderSize;
        std::vector<std::uint32_t> sent;
    };
    const Step steps[] = {
        {{2560, 1440}, {}},  {{1920, 1080}, {1}}, {{1920, 1080}, {}},
        {{3840, 2160}, {6}}, {{2000, 1100}, {1}}, {{2300, 1300}, {2}},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(std::to_string(step.renderSize.width) + "x" + std::to_string(step.renderSize.height));
        frame.d.renderSize = step.renderSize;
        fake->clearLog();
        ASSERT_EQ(fsr2ContextDispatchReplacement(&context_, &frame.d), FFX_OK);
        std::vector<std::uint32_t> sent;
        for (const sl::DLSSOptions& o : fake->dlssOptions) {
            sent.push_back(static_cast<std::uint32_t>(o.mode));
        }
        EXPECT_EQ(sent, step.sent);
        EXPECT_EQ(fake->count(Entry::slDLSSGetOptimalSettings), 0u) << "dispatches use the kept answers";
    }
}
