#include "tests/upscaler/fake_streamline.h"

#include <windows.h>

#include <algorithm>
#include <filesystem>

#include "streamline/streamline_api.h"
#include "upscaler/upscaler_state.h"

namespace upscalertest {
namespace {

Journal current;

sl::Result fakeDlssSetOptions(const sl::ViewportHandle&, const sl::DLSSOptions& options)
{
    current.calls.push_back("slDLSSSetOptions");
    current.dlssOptions.push_back(options);
    return current.dlssSetOptionsResult;
}

sl::Result fakeDlssgSetOptions(const sl::ViewportHandle&, const sl::DLSSGOptions& options)
{
    current.calls.push_back("slDLSSGSetOptions");
    current.dlssgOptions.push_back(options);
    return current.dlssgSetOptionsResult;
}

sl::Result fakeDlssgGetState(const sl::ViewportHandle&, sl::DLSSGState& state,
                             const sl::DLSSGOptions* options)
{
    current.calls.push_back(options ? "slDLSSGGetState(options)" : "slDLSSGGetState");
    state.status = current.dlssgStatus;
    return current.dlssgGetStateResult;
}

sl::Result fakeNisSetOptions(const sl::ViewportHandle&, const sl::NISOptions& options)
{
    current.calls.push_back("slNISSetOptions");
    current.nisOptions.push_back(options);
    return current.nisSetOptionsResult;
}

sl::Result fakeSetConstants(const sl::Constants& constants, const sl::FrameToken&, const sl::ViewportHandle&)
{
    current.calls.push_back("slSetConstants");
    current.constants.push_back(constants);
    return current.setConstantsResult;
}

sl::Result fakeSetTag(const sl::ViewportHandle&, const sl::ResourceTag* tags, std::uint32_t count,
                      sl::CommandBuffer* commandList)
{
    current.calls.push_back("slSetTag");
    std::vector<TaggedResource> copies;
    for (std::uint32_t i = 0; i < count; ++i) {
        copies.push_back({tags[i], *tags[i].resource});
    }
    current.tagCalls.push_back(copies);
    current.commandLists.push_back(commandList);
    return current.setTagResult;
}

sl::Result fakeEvaluate(sl::Feature feature, const sl::FrameToken&, const sl::BaseStructure** inputs,
                        std::uint32_t count, sl::CommandBuffer* commandList)
{
    current.calls.push_back("slEvaluateFeature");
    current.evaluated.push_back(feature);
    current.commandLists.push_back(commandList);
    if (count != 1 ||
        inputs[0] != reinterpret_cast<const sl::BaseStructure*>(&fsr2bridge::viewportHandle())) {
        return sl::Result{1};
    }
    if (feature == sl::kFeatureDLSS) {
        if (current.duringDlssEvaluation) {
            current.duringDlssEvaluation();
        }
        return current.evaluateResult;
    }
    return current.nisEvaluateResult;
}

// Streamline without the asked-for feature: every lazy fetch of an emptied slot fails.
sl::Result missingFeatureFunction(sl::Feature, const char*, void*&)
{
    current.calls.push_back("slGetFeatureFunction");
    return sl::Result{1};
}

fsr2bridge::Config& store()
{
    static fsr2bridge::Config* config = [] {
        wchar_t directory[MAX_PATH];
        GetTempPathW(MAX_PATH, directory);
        const std::wstring path = std::wstring(directory) + L"upscaler_test_config.json";
        return new fsr2bridge::Config(path);
    }();
    return *config;
}

} // namespace

std::size_t Journal::count(const std::string& name) const
{
    return static_cast<std::size_t>(std::count(calls.begin(), calls.end(), name));
}

Journal& installFakeStreamline()
{
    using fsr2bridge::streamlineApi;
    streamlineApi.slGetFeatureFunction = missingFeatureFunction;
    streamlineApi.slDLSSSetOptions = fakeDlssSetOptions;
    streamlineApi.slDLSSGSetOptions = fakeDlssgSetOptions;
    streamlineApi.slDLSSGGetState = fakeDlssgGetState;
    streamlineApi.slNISSetOptions = fakeNisSetOptions;
    streamlineApi.slSetConstants = fakeSetConstants;
    streamlineApi.slSetTag = fakeSetTag;
    streamlineApi.slEvaluateFeature = fakeEvaluate;
    current = Journal{};
    return current;
}

Journal& journal()
{
    return current;
}

void useSettings(const fsr2bridge::Settings& settings)
{
    store().replace(settings);
    fsr2bridge::publishUpscalerState(nullptr, &store(), reinterpret_cast<HMODULE>(fakeImageBase()));
}

fsr2bridge::Settings testSettings(bool frameGeneration, bool nisSharpening)
{
    fsr2bridge::Settings s{};
    s.enableFrameGeneration = frameGeneration;
    s.enableNisSharpening = nisSharpening;
    return s;
}

unsigned char* fakeImageBase()
{
    static unsigned char* base =
        static_cast<unsigned char*>(VirtualAlloc(nullptr, 0x5A00000, MEM_RESERVE, PAGE_READWRITE));
    return base;
}

} // namespace upscalertest
