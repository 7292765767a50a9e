#pragma once
// Replacements of the host's exported FSR2 entry points: every FSR2 context becomes a DLSS viewport and every
// FSR2 dispatch a DLSS evaluation (plus an optional NIS sharpening pass) through Streamline.
#include <cstddef>
#include <cstdint>

#include "common/graphics.h"
#include "streamline/sl_types.h"
#include "upscaler/fsr2_types.h"

namespace fsr2bridge {

// Kept in the first 112 bytes of each host FSR2 context.
struct Fsr2ContextRecord {
    sl::DLSSOptions dlssOptions;
    std::uint32_t fsr2Flags;
    // frameTokenAdvances() after this context's last dispatch; 0 before the first.
    std::uint32_t tokenAdvancesSeen;
    // The device the host gave FSR2: normally our device proxy, possibly a plain device.
    void* device;
    // DLSS output when NIS sharpening is on; owns one reference.
    ID3D12Resource* nisIntermediate;
};

inline constexpr std::size_t fsr2ContextRecordSize = 112;
static_assert(sizeof(Fsr2ContextRecord) == fsr2ContextRecordSize);
static_assert(offsetof(Fsr2ContextRecord, dlssOptions) == 0);
static_assert(offsetof(Fsr2ContextRecord, fsr2Flags) == 88);
static_assert(offsetof(Fsr2ContextRecord, tokenAdvancesSeen) == 92);
static_assert(offsetof(Fsr2ContextRecord, device) == 96);
static_assert(offsetof(Fsr2ContextRecord, nisIntermediate) == 104);

enum class Fsr2Entry { create, dispatch, destroy };

std::uint32_t fsr2ContextCreateReplacement(void* context, const FfxFsr2ContextDescription* description);
std::uint32_t fsr2ContextDispatchReplacement(void* context, const FfxFsr2DispatchDescription* description);
std::uint32_t fsr2ContextDestroyReplacement(void* context);
std::uint32_t fsr2RegisterAliasableResourcesReplacement(void*, void*, void*, void*);

// Where the hook engine stores the host's originals; they are kept but never called.
void** fsr2TrampolineSlot(Fsr2Entry entry);

// The record inside a host context.
Fsr2ContextRecord& fsr2ContextRecordOf(void* context);

// Whether the once-only shader-resource-view hook has been attempted; forgetting it lets the next dispatch
// with a transparency mask attempt it again (tests).
bool shaderResourceViewHookAttempted();
void forgetShaderResourceViewHookAttempt();
// What that hook patches: CreateShaderResourceView of the system device behind the device the host gave FSR2.
void* shaderResourceViewHookTarget(void* hostDevice);

} // namespace fsr2bridge
