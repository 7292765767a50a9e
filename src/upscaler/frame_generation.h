#pragma once
// DLSS Frame Generation control: the one process-wide options record, the on/off switch driven by context
// creation, every present and swap-chain resizes, and the health check that every dispatch runs.
//
// The mode sent is on only while the callers want it, no bad status holds it off and no resize is under
// way. A bad status holds Frame Generation off until the next FSR2 context is created, which makes one new
// attempt. Every slDLSSGSetOptions and slDLSSGGetState call, and every change of the record, is made under
// one small lock (Streamline's Frame Generation calls are not thread-safe); a present that changes nothing
// takes no lock, and no lock is held while a message box is up. Presents and dispatches never wait for it:
// a present that finds it taken leaves its switch to the next present, a dispatch its status check to the
// next dispatch.
#include <cstddef>
#include <cstdint>

#include "settings/config.h"
#include "streamline/sl_types.h"

namespace fsr2bridge {

// Whether Frame Generation runs: the settings ask for it and Reflex runs (Streamline paces the generated
// frames by Reflex's markers). Every switch, the health check and context creation go by this.
bool frameGenerationEnabled(const Settings& settings);

// What a switch was made for; logged with it.
enum class FrameGenerationCause : std::uint32_t {
    contextCreation,
    present,
    badStatus,
    resizeStart,
    resizeEnd
};

// Context creation: the record starts afresh (off; dynamic resolution up to the context's largest render
// size), a bad status no longer holds Frame Generation off, and with `enabled` one new attempt switches it
// on.
void startFrameGeneration(std::uint32_t maxRenderWidth, std::uint32_t maxRenderHeight, bool enabled);

// The mode the caller wants (0 off, 1 on). Sends the options when the mode sent changes and Frame Generation
// is enabled; false when that send fails. A present that meets another thread's Frame Generation call sends
// nothing and succeeds; the next present makes the switch. Throws only what the settings snapshot throws; its
// callers catch.
bool setFrameGenerationMode(std::uint32_t mode, FrameGenerationCause cause = FrameGenerationCause::present);

// Asks Streamline for the Frame Generation status, unless another thread is in a Frame Generation call (then
// the next dispatch asks). A bad status is shown once per process and status value and holds Frame
// Generation off; false when Streamline cannot be asked or refuses the switch.
bool checkFrameGenerationHealth();

// Around a swap-chain resize or full-screen change: off while one is under way, then the wanted mode again.
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
// shown yet. For tests.
void resetFrameGenerationState(std::uint32_t mode = 0);

} // namespace fsr2bridge
