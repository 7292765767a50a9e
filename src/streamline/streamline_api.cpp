#include "streamline/streamline_api.h"

namespace fsr2bridge {

StreamlineApi streamlineApi;

const char* streamlineResultName(sl::Result result) noexcept
{
    switch (result) {
    case sl::Result::eOk:
        return "eOk";
    case sl::Result::eErrorIO:
        return "eErrorIO";
    case sl::Result::eErrorDriverOutOfDate:
        return "eErrorDriverOutOfDate";
    case sl::Result::eErrorOSOutOfDate:
        return "eErrorOSOutOfDate";
    case sl::Result::eErrorOSDisabledHWS:
        return "eErrorOSDisabledHWS";
    case sl::Result::eErrorDeviceNotCreated:
        return "eErrorDeviceNotCreated";
    case sl::Result::eErrorNoSupportedAdapterFound:
        return "eErrorNoSupportedAdapterFound";
    case sl::Result::eErrorAdapterNotSupported:
        return "eErrorAdapterNotSupported";
    }
    return "unknown";
}

} // namespace fsr2bridge
