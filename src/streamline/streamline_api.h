#pragma once
// The interposer's module handle and every Streamline entry point the system
// calls. The three core pointers are set by the loader; every other slot is
// filled on first use (see fetchFeatureFunction / fetchCoreFunction).
#include <windows.h>

#include <cstdint>

#include "common/module_export.h"
#include "streamline/sl_types.h"

namespace fsr2bridge {

struct StreamlineApi {
    HMODULE interposerModule = nullptr;

    // Core entry points, from load on.
    sl::PFun_slUpgradeInterface* slUpgradeInterface = nullptr;
    sl::PFun_slGetNativeInterface* slGetNativeInterface = nullptr;
    sl::PFun_slGetFeatureFunction* slGetFeatureFunction = nullptr;

    // Core entry points fetched on first use with GetProcAddress.
    sl::PFun_slSetTag* slSetTag = nullptr;
    sl::PFun_slSetConstants* slSetConstants = nullptr;
    sl::PFun_slEvaluateFeature* slEvaluateFeature = nullptr;
    sl::PFun_slGetNewFrameToken* slGetNewFrameToken = nullptr;

    // Feature functions fetched on first use with slGetFeatureFunction.
    sl::PFun_slDLSSSetOptions* slDLSSSetOptions = nullptr;
    sl::PFun_slDLSSGetOptimalSettings* slDLSSGetOptimalSettings = nullptr;
    sl::PFun_slDLSSGGetState* slDLSSGGetState = nullptr;
    sl::PFun_slDLSSGSetOptions* slDLSSGSetOptions = nullptr;
    sl::PFun_slNISSetOptions* slNISSetOptions = nullptr;
    sl::PFun_slReflexGetState* slReflexGetState = nullptr;
    sl::PFun_slReflexSetOptions* slReflexSetOptions = nullptr;
    sl::PFun_slReflexSetMarker* slReflexSetMarker = nullptr;
    sl::PFun_slReflexSleep* slReflexSleep = nullptr;
};

// Filled by the loader; tests and benchmarks fill it with their own functions.
extern StreamlineApi streamlineApi;

// The entry points whose results the system checks, named in the log when one answers a warning.
enum class StreamlineCall : std::uint8_t {
    slInit,
    slUpgradeInterface,
    slGetNativeInterface,
    slGetFeatureFunction,
    slSetD3DDevice,
    slIsFeatureSupported,
    slGetNewFrameToken,
    slReflexGetState,
    slReflexSetOptions,
    slReflexSetMarker,
    slReflexSleep,
    slDLSSSetOptions,
    slDLSSGetOptimalSettings,
    slDLSSGSetOptions,
    slDLSSGGetState,
    slNISSetOptions,
    slSetConstants,
    slSetTag,
    slEvaluateFeature,
    count
};

// Whether a call succeeded: eOk, or a warning (the call did its work; sl::isWarning). A warning is
// logged, the first of each entry point in full and later ones counted. Safe on per-frame paths.
bool streamlineAccepted(sl::Result result, StreamlineCall call) noexcept;

// The SDK's name of a result ("eOk", "eErrorAdapterNotSupported", ...), "unknown" for others; for the log.
const char* streamlineResultName(sl::Result result) noexcept;

// First-use rule for a feature function: a filled slot is returned as it is;
// otherwise slGetFeatureFunction writes the slot, and a non-zero result (or
// an empty slot afterwards) is a failed fetch. Null = give up this call; the
// next use tries again.
template <class F> F* fetchFeatureFunction(F*& slot, sl::Feature feature, const char* name)
{
    if (slot != nullptr) {
        return slot;
    }
    if (streamlineApi.slGetFeatureFunction == nullptr) {
        return nullptr;
    }
    void* function = nullptr;
    if (!streamlineAccepted(streamlineApi.slGetFeatureFunction(feature, name, function),
                            StreamlineCall::slGetFeatureFunction) ||
        function == nullptr) {
        return nullptr;
    }
    slot = reinterpret_cast<F*>(function);
    return slot;
}

// First-use rule for a core function: GetProcAddress on `module`. Null = give
// up this call; the slot stays empty and the next use tries again.
template <class F> F* fetchCoreFunction(F*& slot, HMODULE module, const char* name)
{
    if (slot != nullptr) {
        return slot;
    }
    if (module == nullptr) {
        return nullptr;
    }
    slot = exportedFunction<F>(module, name);
    return slot;
}

} // namespace fsr2bridge
