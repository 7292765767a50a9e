#include "upscaler/upscaler_state.h"

#include <cstring>

namespace fsr2bridge {
namespace {

struct UpscalerState {
    sl::ViewportHandle viewport{};
    HMODULE upscalerModule = nullptr;
    Config* settings = nullptr;
    HMODULE hostImageBase = nullptr;
};

UpscalerState instance;

UpscalerState& state()
{
    return instance;
}

// The viewport value sits right behind the record header.
constexpr std::size_t viewportValueOffset = 32;

void setViewportValue(sl::ViewportHandle& handle, std::uint32_t value)
{
    static_assert(sizeof(sl::ViewportHandle) == 40);
    std::memcpy(reinterpret_cast<unsigned char*>(&handle) + viewportValueOffset, &value, sizeof value);
}

} // namespace

void publishUpscalerState(HMODULE upscaler, Config* settings, HMODULE hostBase)
{
    UpscalerState& s = state();
    s.upscalerModule = upscaler;
    s.settings = settings;
    s.hostImageBase = hostBase;
    setViewportValue(s.viewport, 0);
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

Settings upscalerSettings()
{
    Config* settings = state().settings;
    return settings ? settings->snapshot() : Settings{};
}

} // namespace fsr2bridge
