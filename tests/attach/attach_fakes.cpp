#include "attach_fakes.h"

#include <windows.h>

#include "streamline/loader.h"
#include "streamline/reflex.h"
#include "streamline/sl_types.h"
#include "streamline/streamline_api.h"
#include "upscaler/fsr2_replacements.h"
#include "upscaler/host_hooks.h"
#include "upscaler/upscaler_state.h"

namespace attachfakes {
Script script;
fsr2bridge::Config* config = nullptr;

std::vector<std::string>& calls()
{
    static std::vector<std::string> log;
    return log;
}

void useConfig(fsr2bridge::Config* c)
{
    config = c;
}
} // namespace attachfakes

using attachfakes::calls;
using attachfakes::script;

// The interposer's entry points, found by GetProcAddress in this program.
extern "C" __declspec(dllexport) sl::Result slSetD3DDevice(void*)
{
    calls().push_back("slSetD3DDevice");
    return static_cast<sl::Result>(script.setDeviceResult);
}

extern "C" __declspec(dllexport) sl::Result
    slIsFeatureSupported(sl::Feature feature, const sl::AdapterInfo& adapter)
{
    calls().push_back("query " + std::to_string(feature) +
                      (adapter.deviceLUIDSizeInBytes == 8 ? "" : " bad-luid"));
    switch (feature) {
    case sl::kFeatureReflex:
        return static_cast<sl::Result>(script.reflex);
    case sl::kFeatureDLSS:
        return static_cast<sl::Result>(script.dlss);
    default:
        return static_cast<sl::Result>(script.frameGeneration);
    }
}

// The host's FSR2 exports: each reports that the host's own code ran.
extern "C" __declspec(dllexport) std::uint32_t ffxFsr2ContextCreate(void*, const void*)
{
    calls().push_back("host create");
    return 0;
}
extern "C" __declspec(dllexport) std::uint32_t ffxFsr2ContextDispatch(void*, const void*)
{
    calls().push_back("host dispatch");
    return 0;
}
extern "C" __declspec(dllexport) std::uint32_t ffxFsr2ContextDestroy(void*)
{
    calls().push_back("host destroy");
    return 0;
}
extern "C" __declspec(dllexport) std::uint32_t ffxFsr2RegisterAliasableResources(void*, void*, void*, void*)
{
    calls().push_back("host register");
    return 0;
}

namespace fsr2bridge {

Config* settingsStore()
{
    return attachfakes::config;
}

bool startReflex()
{
    calls().push_back("startReflex");
    return script.startReflexResult;
}

void publishUpscalerState(HMODULE upscalerModule, Config* settings, HMODULE host)
{
    calls().push_back(std::string("publish") +
                      (upscalerModule == streamlineApi.interposerModule ? "" : " bad-module") +
                      (settings == attachfakes::config ? "" : " bad-settings") +
                      (host == GetModuleHandleW(nullptr) ? "" : " bad-host"));
}

std::uint64_t hostCameraHook(void*, void*, void*)
{
    return 0;
}
void** hostCameraTrampolineSlot()
{
    static void* slot = nullptr;
    return &slot;
}

std::uint32_t fsr2ContextCreateReplacement(void*, const FfxFsr2ContextDescription*)
{
    calls().push_back("replacement create");
    return 0;
}
std::uint32_t fsr2ContextDispatchReplacement(void*, const FfxFsr2DispatchDescription*)
{
    calls().push_back("replacement dispatch");
    return 0;
}
std::uint32_t fsr2ContextDestroyReplacement(void*)
{
    calls().push_back("replacement destroy");
    return 0;
}
std::uint32_t fsr2RegisterAliasableResourcesReplacement(void*, void*, void*, void*)
{
    calls().push_back("replacement register");
    return 0;
}
void** fsr2TrampolineSlot(Fsr2Entry entry)
{
    static void* slots[3] = {};
    return &slots[static_cast<int>(entry)];
}

} // namespace fsr2bridge
