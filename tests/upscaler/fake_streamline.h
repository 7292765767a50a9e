#pragma once
// Recording stand-ins for the Streamline entry points the upscaler calls, plus the settings and frame token
// the replacements read.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "settings/config.h"
#include "streamline/sl_types.h"

namespace upscalertest {

struct TaggedResource {
    sl::ResourceTag tag;
    sl::Resource resource;
};

struct Journal {
    std::vector<std::string> calls;
    std::vector<sl::DLSSOptions> dlssOptions;
    std::vector<sl::DLSSGOptions> dlssgOptions;
    std::vector<sl::NISOptions> nisOptions;
    std::vector<sl::Constants> constants;
    std::vector<std::vector<TaggedResource>> tagCalls;
    std::vector<sl::Feature> evaluated;
    std::vector<const void*> commandLists;

    std::uint32_t dlssgStatus = 0;
    sl::Result dlssSetOptionsResult = sl::Result::eOk;
    sl::Result dlssgSetOptionsResult = sl::Result::eOk;
    sl::Result dlssgGetStateResult = sl::Result::eOk;
    sl::Result nisSetOptionsResult = sl::Result::eOk;
    sl::Result setConstantsResult = sl::Result::eOk;
    sl::Result setTagResult = sl::Result::eOk;
    sl::Result evaluateResult = sl::Result::eOk;
    sl::Result nisEvaluateResult = sl::Result::eOk;
    // Runs inside the DLSS evaluation, where Streamline would create its views.
    std::function<void()> duringDlssEvaluation;

    std::size_t count(const std::string& name) const;
};

// Fills every slot of streamlineApi with a recording stand-in and empties the journal.
Journal& installFakeStreamline();
Journal& journal();

// Publishes a settings store holding these settings (and a fixed fake image base) to the upscaler.
void useSettings(const fsr2bridge::Settings& settings);
fsr2bridge::Settings testSettings(bool frameGeneration, bool nisSharpening);

// Makes a current frame token exist or not.
void setFrameTokenAvailable(bool available);

// The fake host image base the tests publish (its layout is built by the host-hook tests).
unsigned char* fakeImageBase();

} // namespace upscalertest
