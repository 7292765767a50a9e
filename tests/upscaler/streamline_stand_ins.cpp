// Switches the Reflex frame cycle's current frame token on and off through a stand-in slGetNewFrameToken.
#include "streamline/reflex.h"
#include "streamline/streamline_api.h"
#include "tests/upscaler/fake_streamline.h"

namespace upscalertest {
namespace {

int tokenStorage;
bool tokensHandedOut = false;

sl::Result fakeNewFrameToken(sl::FrameToken*& token, const std::uint32_t*)
{
    token = tokensHandedOut ? reinterpret_cast<sl::FrameToken*>(&tokenStorage) : nullptr;
    return sl::Result::eOk;
}

} // namespace

void setFrameTokenAvailable(bool available)
{
    fsr2bridge::streamlineApi.slGetNewFrameToken = fakeNewFrameToken;
    tokensHandedOut = available;
    // Two presents move both the current and the next token onto the new value.
    fsr2bridge::advanceFrameToken();
    fsr2bridge::advanceFrameToken();
}

} // namespace upscalertest
