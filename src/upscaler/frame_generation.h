#pragma once
// DLSS Frame Generation switching: the one process-wide options record, the on/off switch driven by context
// creation and every present, and the health check that every dispatch runs.
#include <cstddef>
#include <cstdint>

#include "streamline/sl_types.h"

namespace fsr2bridge {

// Sends the options with the new mode when it differs from the stored one and Frame Generation is enabled.
// Throws only what the settings snapshot throws; its callers catch.
bool setFrameGenerationMode(std::uint32_t mode);

// Asks Streamline for the Frame Generation status. A bad status is shown once per process and status value
// and switches Frame Generation off; false when Streamline cannot be asked or refuses the switch.
bool checkFrameGenerationHealth();

sl::DLSSGOptions& frameGenerationOptions();

// The box text for a bad status: the fixed prefix and the status in decimal. Returns the length written.
std::size_t formatFrameGenerationStatusMessage(std::uint32_t status, wchar_t* out, std::size_t capacity);

inline constexpr wchar_t frameGenerationErrorCaption[] = L"DLSS-G Error occured";
inline constexpr wchar_t frameGenerationErrorPrefix[] =
    L"Got invalid DLSSG status while evaluating DLSS! Failed Status: ";

// Forgets which statuses have been shown (the boxes are once per process otherwise).
void forgetReportedFrameGenerationStatuses();

} // namespace fsr2bridge
