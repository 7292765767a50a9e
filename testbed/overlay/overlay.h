#pragma once
// The stand-in overlay (overlay.dll): what the stand-in game calls and reads of it. Its behaviours and
// switches are in docs/testing.md (Stand-in overlay).
#include <cstdint>

namespace testworld {

// What the overlay did and saw, for the game's report.
struct OverlayReport {
    std::uint32_t attached;       // the throw-away objects were made and released (and the table patched)
    std::uint32_t onOwnThread;    // ... on a thread the overlay started
    std::uint32_t dllMainFactory; // a factory was made and released inside its DllMain
    std::uint64_t presents;       // presents its Present/Present1 hooks saw (not occlusion polls)
    std::uint64_t copies;         // back buffers copied on its own queue
    std::uint64_t resizes;        // calls its ResizeBuffers hook saw
    std::uint64_t heldReleased;   // back-buffer references released there, before calling down
    std::uint64_t cppExceptions;  // C++ exceptions thrown and caught in its Present
    std::uint64_t sehExceptions;  // SEH exceptions raised and caught in its Present
    std::uint64_t failures;       // calls of its own that failed
    std::int32_t firstFailure;    // the first failure's result
    char failedCall[32];          // the first failure's call
    char patchedModule[32];       // the module whose swap-chain table it patched, as the game sees it
};

// Exported by overlay.dll: starts the overlay's work (on its own thread with the `thread` switch).
using OverlayAttachFunction = void();
// Copies what the overlay did into `report`, once its attach thread has ended (waits at most `waitMs`); false
// when that thread is still running.
using OverlayReportFunction = bool(OverlayReport* report, std::uint32_t waitMs);

} // namespace testworld
