#include "upscaler/upscaler_state.h"

namespace fsr2bridge {
namespace {

struct UpscalerState {
    sl::ViewportHandle viewport{};
    HMODULE upscalerModule = nullptr;
    Config* settings = nullptr;
    HMODULE hostImageBase = nullptr;
    SystemDeviceLookup systemDevice = nullptr;
};

UpscalerState instance;

UpscalerState& state()
{
    return instance;
}

} // namespace

void publishUpscalerState(HMODULE upscaler, Config* settings, HMODULE hostBase)
{
    UpscalerState& s = state();
    s.upscalerModule = upscaler;
    s.settings = settings;
    s.hostImageBase = hostBase;
    s.viewport.value = 0;
}

const sl::ViewportHandle& viewportHandle()
{
    return state().viewport;
}

HMODULE hostImageBase()
{
    return state().hostImageBase;
}

HMODULE upscalerModule()
{
    return state().upscalerModule;
}

void publishSystemDeviceLookup(SystemDeviceLookup lookup)
{
    state().systemDevice = lookup;
}

ID3D12Device* systemDeviceOf(void* device)
{
    const SystemDeviceLookup lookup = state().systemDevice;
    return lookup != nullptr ? lookup(device) : static_cast<ID3D12Device*>(device);
}

Settings upscalerSettings()
{
    Config* settings = state().settings;
    return settings ? settings->snapshot() : Settings{};
}

} // namespace fsr2bridge
