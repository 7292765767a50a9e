#pragma once
// The Streamline release the stand-in plays, and the rules that differ between releases (releases.cpp; the
// evidence for each is cited in docs/testing.md). Each rule follows the version of the file that carries it
// in the real SDK: the interposer (which swap chain gets the present hooks, whether sl.pcl is loaded),
// sl.common (how long a tag lives), sl.dlss_g (resources when off, options kept, record versions), sl.reflex
// (whether it needs sl.pcl) and sl.dlss (what a preset change does). A mixed set thus behaves as the mixed
// set of real files would.
#include <windows.h>

#include <cstdint>

namespace fsr2bridge::standin {

struct Version {
    std::uint16_t major, minor, patch, build;
};

// True when `v` is `major.minor.patch` or later.
constexpr bool atLeast(Version v, std::uint16_t major, std::uint16_t minor, std::uint16_t patch)
{
    if (v.major != major)
        return v.major > major;
    if (v.minor != minor)
        return v.minor > minor;
    return v.patch >= patch;
}

// The interposer's own release, from its file version resource (2.1.1 without one).
Version interposerRelease();

// Reads the plug-ins and NGX libraries of `folder` (slInit's plug-in path; null: the interposer's folder),
// decides which features load and journals one "plugin" line per file it looks for. A folder without any
// sl.*.dll or nvngx_*.dll besides the interposer counts as the complete set of the interposer's release.
void loadReleaseSet(const wchar_t* folder);

// What slIsFeatureSupported answers for the feature (index: Reflex, DLSS, DLSS-G, NIS) from the files in
// the folder: 0, 31 (plug-in or a plug-in it needs missing) or 6 (its NGX library missing).
int featureResultFromFiles(int index);

// --- frames and tags (sl.common)
// ------------------------------------------------------------------------------

// Stamps each tag with the current frame.
void stampTags(std::uint32_t viewport, const void* tags, std::uint32_t count);
// Drops the viewport's tags that are too old for sl.common's release (2.4.0-2.4.10: any present since the
// tag; 2.4.11 and later: more than one present), journalling "tag.dropped" for each. `types`: bit n for
// buffer type n, the types the caller is about to use.
void dropStaleTags(std::uint32_t viewport, std::uint64_t types);
// Whether the viewport holds a tag of `type` with a resource (after dropping).
bool tagHeld(std::uint32_t viewport, std::uint32_t type);

// --- swap chains (the interposer)
// ---------------------------------------------------------------------------

// A swap chain was made; true ("hooked") when it may run Streamline's present hooks: always before 2.4.0,
// from 2.4.0 on when no other live swap chain holds them.
bool noteSwapChainCreated(const void* chain, std::uint32_t width, std::uint32_t height, std::uint32_t format);
// After a present: whether `chain` holds the present hooks (the first to present while none holds them takes
// them). The holder's presents (not DXGI_PRESENT_TEST) advance the frame; Frame Generation presents only on
// it, and only with its inputs tagged in time. Returns the frames this present stands for (1 or 2) through
// `presented`.
bool notePresent(const void* chain, UINT flags, std::uint32_t& presented);
void noteSwapChainResized(const void* chain, std::uint32_t width, std::uint32_t height, std::uint32_t format);
void noteSwapChainReleased(const void* chain);

// --- Frame Generation (sl.dlss_g)
// ---------------------------------------------------------------------------

// slDLSSGSetOptions with this mode and flags: allocates the resources for a mode that is not off, releases
// them for off (2.2.1 and later, unless eRetainResourcesWhenOff from 2.3.0 on), journalling "dlssg.allocate"
// and "dlssg.release".
void noteFrameGenerationOptions(std::uint32_t viewport, std::uint32_t mode, std::uint32_t flags);
// The structure version of DLSSGOptions and DLSSGState that sl.dlss_g knows (1, or 3 from 2.7.2).
std::uint64_t frameGenerationRecordVersion();
// The status bits sl.dlss_g adds to the scripted status while Frame Generation is on:
// eFailReflexNotDetectedAtRuntime (2) when the Reflex plug-in did not load, eFailHDRFormatNotSupported (4)
// when the holder's back buffers are FP16.
std::uint32_t frameGenerationStatusNow();

// --- DLSS (sl.dlss)
// -------------------------------------------------------------------------------------------

// slDLSSSetOptions: the mode, output size and presets (the 6 u32 at 60-83) of the viewport; returns how many
// of the presets the release treats as the default (G, H and I from 2.7.2).
std::uint32_t noteDlssOptions(std::uint32_t viewport, const void* options);
// A DLSS evaluation: true when it (re)creates the DLSS feature, which starts its history afresh: the first
// one, and one after a change of mode or output size (and, from 2.7.2, of a preset).
bool dlssFeatureCreated(std::uint32_t viewport);

// A reload forgets the frames, tags, swap chains and resources.
void forgetReleaseState();

} // namespace fsr2bridge::standin
