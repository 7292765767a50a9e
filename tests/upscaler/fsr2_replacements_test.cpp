#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "common/graphics.h"
#include "hooking/MinHook.h"
#include "proxies/D3D12DeviceProxy.h"
#include "streamline/streamline_api.h"
#include "testbed/world/box_catcher.h"
#include "tests/upscaler/fake_streamline.h"
#include "upscaler/camera_constants.h"
#include "upscaler/frame_generation.h"
#include "upscaler/fsr2_replacements.h"
#include "upscaler/host_hooks.h"

using namespace fsr2bridge;
using namespace upscalertest;

namespace {

template <class T> void releaseLater(T*& p)
{
    if (p) {
        p->Release();
        p = nullptr;
    }
}

ID3D12Device* sharedDevice()
{
    static ID3D12Device* device = [] {
        ID3D12Device* d = nullptr;
        D3D12CreateDevice(nullptr, D3D_FEATURE_LEVEL_11_0, IID_PPV_ARGS(&d));
        return d;
    }();
    return device;
}

ID3D12Resource* makeTexture(UINT width, UINT height, DXGI_FORMAT format)
{
    D3D12_HEAP_PROPERTIES heap{};
    heap.Type = D3D12_HEAP_TYPE_DEFAULT;
    D3D12_RESOURCE_DESC desc{};
    desc.Dimension = D3D12_RESOURCE_DIMENSION_TEXTURE2D;
    desc.Width = width;
    desc.Height = height;
    desc.DepthOrArraySize = 1;
    desc.MipLevels = 1;
    desc.Format = format;
    desc.SampleDesc.Count = 1;
    desc.Flags = D3D12_RESOURCE_FLAG_ALLOW_UNORDERED_ACCESS;
    ID3D12Resource* resource = nullptr;
    sharedDevice()->CreateCommittedResource(&heap, D3D12_HEAP_FLAG_NONE, &desc, D3D12_RESOURCE_STATE_COMMON,
                                            nullptr, IID_PPV_ARGS(&resource));
    return resource;
}

ULONG referenceCount(IUnknown* object)
{
    object->AddRef();
    return object->Release();
}

D3D12_RESOURCE_DESC descOf(ID3D12Resource* resource)
{
    D3D12_RESOURCE_DESC desc;
    resource->GetDesc(&desc);
    return desc;
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
        installFakeStreamline();
        useSettings(testSettings(false, false));
        setFrameTokenAvailable(true);
        forgetReportedFrameGenerationStatuses();
        std::memset(&context_, 0xCC, sizeof context_);
    }
    void TearDown() override { setFrameTokenAvailable(false); }

    std::uint32_t create(const FfxFsr2ContextDescription& d)
    {
        return fsr2ContextCreateReplacement(&context_, &d);
    }
    Fsr2ContextRecord& record() { return fsr2ContextRecordOf(&context_); }

    HostContext context_;
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
    EXPECT_TRUE(journal().calls.empty());
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
    ASSERT_EQ(journal().dlssOptions.size(), 1u);
    EXPECT_EQ(std::memcmp(&journal().dlssOptions[0], r, 88), 0) << "the record's options are what was sent";
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

TEST_F(Fsr2Replacements, CreateResetsFrameGeneration)
{
    struct Case {
        bool enabled;
        std::size_t sends;
        std::uint32_t mode;
    };
    for (const Case& c : {Case{true, 1, 1}, Case{false, 0, 0}}) {
        installFakeStreamline();
        frameGenerationOptions().mode = sl::DLSSGMode::eOn;
        frameGenerationOptions().dynamicResWidth = 7;
        useSettings(testSettings(c.enabled, false));
        ASSERT_EQ(create(contextDescription()), FFX_OK);
        const sl::DLSSGOptions& fg = frameGenerationOptions();
        EXPECT_EQ(static_cast<std::uint32_t>(fg.mode), c.mode);
        EXPECT_EQ(fg.numFramesToGenerate, 1u);
        EXPECT_EQ(static_cast<std::uint32_t>(fg.flags), 2u);
        EXPECT_EQ(fg.dynamicResWidth, 2560u);
        EXPECT_EQ(fg.dynamicResHeight, 1440u);
        const auto* bytes = reinterpret_cast<const unsigned char*>(&fg);
        EXPECT_EQ(fieldAt<std::uint64_t>(bytes, 24), 1u);
        for (std::size_t offset = 52; offset < 104; ++offset) {
            EXPECT_EQ(bytes[offset], 0) << "offset " << offset;
        }
        ASSERT_EQ(journal().dlssgOptions.size(), c.sends);
        if (c.sends) {
            EXPECT_EQ(static_cast<std::uint32_t>(journal().dlssgOptions[0].mode), 1u);
            EXPECT_EQ(journal().dlssgOptions[0].dynamicResWidth, 2560u);
            EXPECT_EQ(journal().calls.front(), "slDLSSSetOptions");
        }
    }
}

TEST_F(Fsr2Replacements, RefusedDlssOptionsFailCreationAndLeaveFrameGenerationAlone)
{
    useSettings(testSettings(true, false));
    frameGenerationOptions().mode = sl::DLSSGMode::eOn;
    frameGenerationOptions().dynamicResWidth = 99;
    const sl::DLSSGOptions before = frameGenerationOptions();
    struct Case {
        const char* name;
        bool missing;
    };
    for (const Case& c : {Case{"refused", false}, Case{"missing", true}}) {
        installFakeStreamline();
        journal().dlssSetOptionsResult = sl::Result{1};
        if (c.missing) {
            streamlineApi.slDLSSSetOptions = nullptr;
        }
        EXPECT_EQ(create(contextDescription()), FFX_ERROR_BACKEND_API_ERROR) << c.name;
        EXPECT_EQ(std::memcmp(&before, &frameGenerationOptions(), sizeof before), 0) << c.name;
        EXPECT_EQ(journal().count("slDLSSGSetOptions"), 0u) << c.name;
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
        ID3D12Resource* texture = makeTexture(16, 16, DXGI_FORMAT_R8G8B8A8_UNORM);
        ASSERT_NE(texture, nullptr);
        texture->AddRef();
        record().nisIntermediate = texture;
        const ULONG before = referenceCount(texture);
        EXPECT_EQ(fsr2ContextDestroyReplacement(&context_), FFX_OK);
        EXPECT_EQ(fsr2ContextDestroyReplacement(&context_), FFX_OK) << "a repeated destroy";
        EXPECT_EQ(referenceCount(texture), c.released ? before - 1 : before);
        EXPECT_EQ(record().nisIntermediate, c.released ? nullptr : texture);
        if (!c.released) {
            texture->Release();
        }
        texture->Release();
    }
    ASSERT_EQ(create(contextDescription()), FFX_OK);
    EXPECT_EQ(fsr2ContextDestroyReplacement(&context_), FFX_OK) << "nothing to release";
    EXPECT_TRUE(journal().count("slEvaluateFeature") == 0);
}

namespace {

// The resources of one host frame on the real device.
struct Frame {
    Frame()
    {
        color = makeTexture(1280, 720, DXGI_FORMAT_R16G16B16A16_FLOAT);
        depth = makeTexture(1280, 720, DXGI_FORMAT_R32_FLOAT);
        motion = makeTexture(1280, 720, DXGI_FORMAT_R16G16_FLOAT);
        mask = makeTexture(1280, 720, DXGI_FORMAT_R8_TYPELESS);
        output = makeTexture(3840, 2160, DXGI_FORMAT_R16G16B16A16_FLOAT);
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
    ~Frame()
    {
        releaseLater(color);
        releaseLater(depth);
        releaseLater(motion);
        releaseLater(mask);
        releaseLater(output);
    }
    Frame(const Frame&) = delete;
    Frame& operator=(const Frame&) = delete;

    void withMask() { d.transparencyAndComposition.resource = mask; }

    int commandListMarker = 0;
    ID3D12Resource* color = nullptr;
    ID3D12Resource* depth = nullptr;
    ID3D12Resource* motion = nullptr;
    ID3D12Resource* mask = nullptr;
    ID3D12Resource* output = nullptr;
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
        installFakeStreamline();
        ASSERT_EQ(create(contextDescription(c.flags)), FFX_OK);
        Frame frame;
        if (c.mask) {
            frame.withMask();
        }
        journal().calls.clear();
        ASSERT_EQ(fsr2ContextDispatchReplacement(&context_, &frame.d), FFX_OK);
        EXPECT_EQ(journal().calls,
                  (std::vector<std::string>{"slSetConstants", "slSetTag", "slEvaluateFeature"}));
        ASSERT_EQ(journal().tagCalls.size(), 1u);
        std::vector<ExpectedTag> expected = {
            {frame.color, 0x40, 3, 1, render},
            {frame.output, 0x8, 4, 1, display},
            {frame.depth, 0x40, 0, 0, render},
            {frame.motion, 0x40, 1, 0, c.motionExtent},
        };
        if (c.mask) {
            expected.push_back({frame.mask, 0x40, 27, 1, render});
        }
        expectTags(journal().tagCalls[0], expected);
        EXPECT_EQ(journal().evaluated, std::vector<sl::Feature>{sl::kFeatureDLSS});
        for (const void* list : journal().commandLists) {
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
        journal().dlssOptions.clear();
        frame.d.preExposure = s.preExposure;
        ASSERT_EQ(fsr2ContextDispatchReplacement(&context_, &frame.d), FFX_OK);
        ASSERT_EQ(journal().dlssOptions.size(), s.sends) << "pre-exposure " << s.preExposure;
        if (s.sends) {
            EXPECT_EQ(std::memcmp(&journal().dlssOptions[0].preExposure, &s.preExposure, 4), 0);
        }
    }
    journal().dlssSetOptionsResult = sl::Result{1};
    frame.d.preExposure = 3.0f;
    journal().calls.clear();
    EXPECT_EQ(fsr2ContextDispatchReplacement(&context_, &frame.d), FFX_ERROR_BACKEND_API_ERROR);
    EXPECT_EQ(journal().count("slSetConstants"), 0u);
}

TEST_F(Fsr2Replacements, NoFrameTokenFailsAfterTheMatricesMoved)
{
    ASSERT_EQ(create(contextDescription()), FFX_OK);
    Frame frame;
    previousFrameMatrices() = {identityMatrix4x4, identityMatrix4x4};
    previousFrameMatrices().viewToClip.m[0][1] = 42;
    setFrameTokenAvailable(false);
    journal().calls.clear();
    EXPECT_EQ(fsr2ContextDispatchReplacement(&context_, &frame.d), FFX_ERROR_BACKEND_API_ERROR);
    EXPECT_TRUE(journal().calls.empty());
    EXPECT_NE(previousFrameMatrices().viewToClip.m[0][1], 42.0f);
}

TEST_F(Fsr2Replacements, ConstantsCarryNoNonFiniteValues)
{
    ASSERT_EQ(create(contextDescription()), FFX_OK);
    Frame frame;
    frame.d.renderSize = {0, 0};
    ASSERT_EQ(fsr2ContextDispatchReplacement(&context_, &frame.d), FFX_OK);
    ASSERT_EQ(journal().constants.size(), 1u);
    const auto* bytes = reinterpret_cast<const unsigned char*>(&journal().constants[0]);
    for (std::size_t offset = 32; offset < 444; offset += 4) {
        EXPECT_TRUE(std::isfinite(fieldAt<float>(bytes, offset))) << "offset " << offset;
    }
    EXPECT_EQ(bytes[447], 1) << "reset";
}

TEST_F(Fsr2Replacements, EveryFailingStepReturnsBackendError)
{
    struct Case {
        const char* name;
        bool nis;
        void (*breakIt)(Journal&);
        std::vector<std::string> calls;
    };
    const Case cases[] = {
        {"constants refused",
         false,
         [](Journal& j) { j.setConstantsResult = sl::Result{1}; },
         {"slSetConstants"}},
        {"constants missing", false, [](Journal&) { streamlineApi.slSetConstants = nullptr; }, {}},
        {"tags refused",
         false,
         [](Journal& j) { j.setTagResult = sl::Result{1}; },
         {"slSetConstants", "slSetTag"}},
        {"evaluation refused",
         false,
         [](Journal& j) { j.evaluateResult = sl::Result{1}; },
         {"slSetConstants", "slSetTag", "slEvaluateFeature"}},
        {"evaluation missing",
         false,
         [](Journal&) { streamlineApi.slEvaluateFeature = nullptr; },
         {"slSetConstants", "slSetTag"}},
        {"NIS options refused",
         true,
         [](Journal& j) { j.nisSetOptionsResult = sl::Result{1}; },
         {"slSetConstants", "slSetTag", "slEvaluateFeature", "slNISSetOptions"}},
        {"NIS options missing",
         true,
         [](Journal&) { streamlineApi.slNISSetOptions = nullptr; },
         {"slSetConstants", "slSetTag", "slEvaluateFeature", "slGetFeatureFunction"}},
        {"NIS evaluation refused",
         true,
         [](Journal& j) { j.nisEvaluateResult = sl::Result{1}; },
         {"slSetConstants", "slSetTag", "slEvaluateFeature", "slNISSetOptions", "slSetTag",
          "slEvaluateFeature"}},
        {"frame generation state refused",
         false,
         [](Journal& j) { j.dlssgGetStateResult = sl::Result{1}; },
         {"slDLSSGGetState"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        installFakeStreamline();
        useSettings(testSettings(std::string(c.name).find("frame generation") == 0, c.nis));
        ASSERT_EQ(create(contextDescription()), FFX_OK);
        Frame frame;
        c.breakIt(journal());
        journal().calls.clear();
        EXPECT_EQ(fsr2ContextDispatchReplacement(&context_, &frame.d), FFX_ERROR_BACKEND_API_ERROR);
        EXPECT_EQ(journal().calls, c.calls);
        if (c.nis && journal().count("slEvaluateFeature") > 0) {
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
    journal().calls.clear();
    ASSERT_EQ(fsr2ContextDispatchReplacement(&context_, &frame.d), FFX_OK);
    ID3D12Resource* intermediate = record().nisIntermediate;
    ASSERT_NE(intermediate, nullptr);
    const D3D12_RESOURCE_DESC made = descOf(intermediate);
    const D3D12_RESOURCE_DESC output = descOf(frame.output);
    EXPECT_EQ(made.Width, output.Width);
    EXPECT_EQ(made.Height, output.Height);
    EXPECT_EQ(made.Format, output.Format);
    EXPECT_EQ(made.Flags, output.Flags);
    EXPECT_EQ(made.Dimension, output.Dimension);
    ID3D12Device* owner = nullptr;
    ASSERT_TRUE(SUCCEEDED(intermediate->GetDevice(IID_PPV_ARGS(&owner))));
    EXPECT_EQ(owner, sharedDevice()) << "made on the device the host gave FSR2";
    owner->Release();

    EXPECT_EQ(journal().calls,
              (std::vector<std::string>{"slSetConstants", "slSetTag", "slEvaluateFeature", "slNISSetOptions",
                                        "slSetTag", "slEvaluateFeature"}));
    ASSERT_EQ(journal().tagCalls.size(), 2u);
    EXPECT_EQ(journal().tagCalls[0][1].resource.native, intermediate) << "DLSS writes the intermediate";
    expectTags(journal().tagCalls[1],
               {{intermediate, 0x8, 3, 1, display}, {frame.output, 0x8, 4, 1, display}});
    EXPECT_EQ(journal().evaluated, (std::vector<sl::Feature>{sl::kFeatureDLSS, sl::kFeatureNIS}));
    ASSERT_EQ(journal().nisOptions.size(), 1u);
    EXPECT_EQ(static_cast<std::uint32_t>(journal().nisOptions[0].mode), 2u);
    EXPECT_EQ(static_cast<std::uint32_t>(journal().nisOptions[0].hdrMode), 0u);
    EXPECT_EQ(journal().nisOptions[0].sharpness, 0.4f);

    ASSERT_EQ(fsr2ContextDispatchReplacement(&context_, &frame.d), FFX_OK);
    EXPECT_EQ(record().nisIntermediate, intermediate) << "reused by later dispatches";
    EXPECT_EQ(fsr2ContextDestroyReplacement(&context_), FFX_OK);
    EXPECT_EQ(record().nisIntermediate, nullptr);
}

TEST_F(Fsr2Replacements, BadFrameGenerationStatusStillUpscales)
{
    testworld::BoxCatcher boxes;
    useSettings(testSettings(true, false));
    ASSERT_EQ(create(contextDescription()), FFX_OK);
    Frame frame;
    journal().dlssgStatus = 4;
    for (int i = 0; i < 3; ++i) {
        journal().evaluated.clear();
        frameGenerationOptions().mode = sl::DLSSGMode::eOn;
        EXPECT_EQ(fsr2ContextDispatchReplacement(&context_, &frame.d), FFX_OK);
        EXPECT_EQ(journal().evaluated, std::vector<sl::Feature>{sl::kFeatureDLSS});
        EXPECT_EQ(static_cast<std::uint32_t>(frameGenerationOptions().mode), 0u);
    }
    EXPECT_EQ(boxes.boxes().size(), 1u) << "one box, not one per frame";
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
    ID3D12DescriptorHeap* heap = nullptr;
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
    journal().duringDlssEvaluation = [&] {
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
    journal().duringDlssEvaluation = [&] {
        EXPECT_FALSE(r8TypelessRewriteActive());
        seenInside.push_back(createMaskView());
    };
    frame.d.transparencyAndComposition.resource = nullptr;
    ASSERT_EQ(fsr2ContextDispatchReplacement(&context_, &frame.d), FFX_OK);
    EXPECT_EQ(seenInside, std::vector<DXGI_FORMAT>{DXGI_FORMAT_R8_TYPELESS});
    journal().duringDlssEvaluation = nullptr;
    heap->Release();
}

TEST_F(Fsr2Replacements, IntermediateIsMadeOnTheSystemDeviceBehindWhatTheHostPassed)
{
    // vkd3d offers only ID3D12Device; the proxy reaches it through slots that ID3D12Device has.
    auto* device = reinterpret_cast<ID3D12Device10*>(sharedDevice());
    D3D12DeviceProxy proxy(device, device);
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
        ASSERT_EQ(fsr2ContextDispatchReplacement(&context_, &frame.d), FFX_OK);
        ASSERT_NE(record().nisIntermediate, nullptr);
        ID3D12Device* owner = nullptr;
        ASSERT_TRUE(SUCCEEDED(record().nisIntermediate->GetDevice(IID_PPV_ARGS(&owner))));
        EXPECT_EQ(owner, sharedDevice());
        owner->Release();
        fsr2ContextDestroyReplacement(&context_);
    }
}
