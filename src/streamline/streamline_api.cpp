#include "streamline/streamline_api.h"

#include <iterator>

#include "common/log.h"

namespace fsr2bridge {

StreamlineApi streamlineApi;

namespace {

// One kind per entry point, in the order of StreamlineCall, so that a warning of one does not hide
// another's.
LogError<sl::Result> warningAnswered[] = {
    "slInit answered the warning {}",
    "slUpgradeInterface answered the warning {}",
    "slGetNativeInterface answered the warning {}",
    "slGetFeatureFunction answered the warning {}",
    "slSetD3DDevice answered the warning {}",
    "slIsFeatureSupported answered the warning {}",
    "slGetNewFrameToken answered the warning {}",
    "slReflexGetState answered the warning {}",
    "slReflexSetOptions answered the warning {}",
    "slReflexSetMarker answered the warning {}",
    "slReflexSleep answered the warning {}",
    "slDLSSSetOptions answered the warning {}",
    "slDLSSGetOptimalSettings answered the warning {}",
    "slDLSSGSetOptions answered the warning {}",
    "slDLSSGGetState answered the warning {}",
    "slNISSetOptions answered the warning {}",
    "slSetConstants answered the warning {}",
    "slSetTag answered the warning {}",
    "slEvaluateFeature answered the warning {} (the work is recorded)",
};
static_assert(std::size(warningAnswered) == static_cast<std::size_t>(StreamlineCall::count));

} // namespace

bool streamlineAccepted(sl::Result result, StreamlineCall call) noexcept
{
    if (result == sl::Result::eOk)
        return true;
    if (!sl::isWarning(result))
        return false;
    const auto index = static_cast<std::size_t>(call);
    if (index < std::size(warningAnswered))
        logError(warningAnswered[index], result);
    return true;
}

const char* streamlineResultName(sl::Result result) noexcept
{
    static constexpr const char* names[] = {
        "eOk",
        "eErrorIO",
        "eErrorDriverOutOfDate",
        "eErrorOSOutOfDate",
        "eErrorOSDisabledHWS",
        "eErrorDeviceNotCreated",
        "eErrorNoSupportedAdapterFound",
        "eErrorAdapterNotSupported",
        "eErrorNoPlugins",
        "eErrorVulkanAPI",
        "eErrorDXGIAPI",
        "eErrorD3DAPI",
        "eErrorNRDAPI",
        "eErrorNVAPI",
        "eErrorReflexAPI",
        "eErrorNGXFailed",
        "eErrorJSONParsing",
        "eErrorMissingProxy",
        "eErrorMissingResourceState",
        "eErrorInvalidIntegration",
        "eErrorMissingInputParameter",
        "eErrorNotInitialized",
        "eErrorComputeFailed",
        "eErrorInitNotCalled",
        "eErrorExceptionHandler",
        "eErrorInvalidParameter",
        "eErrorMissingConstants",
        "eErrorDuplicatedConstants",
        "eErrorMissingOrInvalidAPI",
        "eErrorCommonConstantsMissing",
        "eErrorUnsupportedInterface",
        "eErrorFeatureMissing",
        "eErrorFeatureNotSupported",
        "eErrorFeatureMissingHooks",
        "eErrorFeatureFailedToLoad",
        "eErrorFeatureWrongPriority",
        "eErrorFeatureMissingDependency",
        "eErrorFeatureManagerInvalidState",
        "eErrorInvalidState",
        "eWarnOutOfVRAM",
    };
    static_assert(std::size(names) == static_cast<std::size_t>(sl::Result::eWarnOutOfVRAM) + 1);
    const auto index = static_cast<std::size_t>(result);
    return index < std::size(names) ? names[index] : "unknown";
}

} // namespace fsr2bridge

const char* sl::logName(Result result) noexcept
{
    return fsr2bridge::streamlineResultName(result);
}
