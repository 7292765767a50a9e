#pragma once
// DLSS Frame Generation control: the one process-wide options record, the on/off switch driven by every
// present, swap-chain resizes and the health check that every dispatch runs.
//
// The mode sent is on only while no reason keeps it off (FrameGenerationOff: the game's request, inputs
// tagged in the frame, the swap chain's format, a bad status, a resize), and Frame Generation is enabled
// (frameGenerationEnabled); every reason meets the others here, in one place. A bad status holds Frame
// Generation off until the next FSR2 context is created, which makes one new attempt. Every
// slDLSSGSetOptions and slDLSSGGetState call, and every change of the record, is made under one small lock
// (Streamline's Frame Generation calls are not thread-safe); a present that changes nothing takes no lock,
// and no lock is held while a message box is up. Presents and dispatches never wait for it: a present that
// finds it taken leaves its switch to the next present, a dispatch its status check to the next dispatch.
#include <cstddef>
#include <cstdint>

#include "common/graphics.h"
#include "settings/config.h"
#include "streamline/sl_types.h"

namespace fsr2bridge {

// Whether Frame Generation runs at all: the settings ask for it, device attachment did not find its files
// missing, and Reflex runs (Streamline paces the generated frames by Reflex's markers). Every switch, the
// health check and context creation go by this.
bool frameGenerationEnabled(const Settings& settings);

// What keeps Frame Generation off for a frame; bits, since several may hold at once.
enum class FrameGenerationOff : std::uint32_t {
    none = 0,
    notRequested = 1u << 0,      // the game's camera did not ask for it (a menu, a loading screen)
    inputsNotTagged = 1u << 1,   // no FSR2 dispatch tagged depth and motion vectors since the last present
    unsupportedFormat = 1u << 2, // the swap chain presents FP16 (scRGB) back buffers
    badStatus = 1u << 3,         // held off after a bad status, until the next FSR2 context
    resize = 1u << 4,            // a swap-chain resize or full-screen change is under way
};
// The weightiest reason of a set, in a player's words (for {n} in the log).
const char* logName(FrameGenerationOff reasons) noexcept;

// What a present knows of the frame it shows.
struct PresentedFrame {
    bool requested;       // the game's camera asked for Frame Generation since the last frame shown
    bool formatSupported; // the swap chain's back buffers are of a format Frame Generation takes
};

// Whether Frame Generation takes back buffers of this format in this colour space: not FP16 (scRGB).
bool frameGenerationTakesBackBuffers(DXGI_FORMAT format, DXGI_COLOR_SPACE_TYPE colourSpace) noexcept;

// What a switch was made for; logged with it.
enum class FrameGenerationCause : std::uint32_t {
    contextCreation,
    present,
    badStatus,
    resizeStart
};

// Context creation: the record's dynamic resolution follows the context (up to its largest render size), a
// bad status no longer holds Frame Generation off, and the release's way with options is taken from the
// Streamline files read at start-up (resources retained while off where it can; options sent at every present
// where it forgets them). The mode stays as it is: the next present decides it. Options whose sizes changed
// are sent again while on (with `enabled`).
void startFrameGeneration(std::uint32_t maxRenderWidth, std::uint32_t maxRenderHeight, bool enabled);

// A dispatch tagged depth and motion vectors for the frame at `tokenAdvances` (frameTokenAdvances()): the
// present of that frame may generate from them. One store, no lock.
void noteFrameInputsTagged(std::uint32_t tokenAdvances);

// The present: wants Frame Generation when the frame was requested, its inputs were tagged since the previous
// present and the back buffers suit it. Sends the options when the mode sent changes (or, on a release that
// forgets them, at every present while on) and Frame Generation is enabled; false when that send fails. A
// present that meets another thread's Frame Generation call sends nothing and succeeds; the next present
// makes the switch. Throws only what the settings snapshot throws; its callers catch.
bool setFrameGenerationMode(const PresentedFrame& frame);
// The same with only the request (0 off, 1 on) as the reason: the inputs and format taken as given.
bool setFrameGenerationMode(std::uint32_t mode, FrameGenerationCause cause = FrameGenerationCause::present);

// Asks Streamline for the Frame Generation status, unless another thread is in a Frame Generation call (then
// the next dispatch asks). A bad status is shown once per process and status value and holds Frame
// Generation off; false when Streamline cannot be asked or refuses the switch.
bool checkFrameGenerationHealth();

// Around a swap-chain resize or full-screen change: off while one is under way; the next present after the
// last one ends decides the mode again.
bool pauseFrameGeneration();
bool resumeFrameGeneration();

// A copy of the options record as last published (taken under the lock: not for per-frame paths).
sl::DLSSGOptions frameGenerationOptions();
// Whether a bad status holds Frame Generation off until the next context creation.
bool frameGenerationHeldOff();

// The box text for a bad status: the fixed prefix and the status in decimal. Returns the length written.
std::size_t formatFrameGenerationStatusMessage(std::uint32_t status, wchar_t* out, std::size_t capacity);

inline constexpr wchar_t frameGenerationErrorCaption[] = L"DLSS-G Error occured";
inline constexpr wchar_t frameGenerationErrorPrefix[] =
    L"Got invalid DLSSG status while evaluating DLSS! Failed Status: ";

// Back to the state at load, with `mode` wanted and in the record: no hold, no resize under way, no status
// shown yet, no inputs tagged, the release's ways as given. For tests.
void resetFrameGenerationState(std::uint32_t mode = 0, bool forgetsOptionsEachPresent = false);

} // namespace fsr2bridge
