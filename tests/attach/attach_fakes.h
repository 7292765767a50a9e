#pragma once
// The world around device attachment, scripted: the interposer's two entry points, Reflex start-up, the
// settings store, and the host's FSR2 exports with the replacements the attachment installs over them.
#include <cstdint>
#include <string>
#include <vector>

#include "settings/config.h"

namespace attachfakes {

struct Script {
    int setDeviceResult = 0;
    int reflex = 0, dlss = 0, frameGeneration = 0; // slIsFeatureSupported results
    bool startReflexResult = true;
};

extern Script script;
std::vector<std::string>&
calls(); // in call order: "slSetD3DDevice", "query 3", "startReflex", "publish", ...
void useConfig(fsr2bridge::Config* config);

} // namespace attachfakes
