#pragma once
// Command line of the stand-in game.
#include <cstdint>
#include <string>
#include <vector>

namespace hostgame {

inline constexpr std::uint32_t noAdapter = 0xFFFFFFFF;

struct Size {
    std::uint32_t width;
    std::uint32_t height;
};

// What the game does when a present reports its device removed: fail as any other failed frame, or as games
// do, show its own error and quit, or make a new device with everything on it and play on.
enum class OnDeviceLost { fail, quit, recreate };

// From `frame` on, the game renders at `size` (dynamic resolution, within --render).
struct RenderSizeChange {
    std::uint32_t frame;
    Size size;
};

// What the game presents in: 8-bit SDR, scRGB (FP16 with the linear colour space) or HDR10 (10-bit with
// ST.2084). Its scene and FSR2 output are made in the same format.
enum class PresentFormat { rgba8, rgba16f, rgb10a2 };

struct GameOptions {
    std::uint32_t frames = 120;
    Size renderSize{640, 360};
    Size displaySize{1280, 720};
    Size resizeTo{960, 540};
    std::uint32_t resizeAtFrame = 60; // 0: never
    // Resize every N frames besides, to --resize-to and back to --display in turn; 0: never.
    std::uint32_t resizeEvery = 0;
    // Release the swap chain and make a new one on the same window at this frame; 0: never.
    std::uint32_t recreateAtFrame = 0;
    // Where the new swap chain comes from: the game's own factory, or (a game that keeps no factory) the one
    // the old swap chain's GetParent gives, or the one its adapter's GetParent gives.
    enum class RecreateVia { ownFactory, swapChainParent, adapterParent };
    RecreateVia recreateVia = RecreateVia::ownFactory;
    std::uint32_t fsr2Flags = 0;
    bool transparencyMask = false;
    bool deviceFromQueryInterface = false;
    bool callInternalFunction = true;
    bool benchmark = false;
    std::uint32_t pingEvery = 0; // post the latency ping message every N frames (the driver's part); 0: never
    std::uint32_t maskFrames = 0; // the transparency mask is passed for this many frames only; 0: always
    bool secondContext = false;   // a second FSR2 context dispatched after the first in every frame
    bool renderAhead = false;     // a render thread records and dispatches one frame ahead of the present
    bool secondDevice = false;    // a second device is made after the first
    std::uint32_t bootMs =
        0; // waits this long between loading the bridge and its first factory, as a game boots
    OnDeviceLost onDeviceLost = OnDeviceLost::fail;
    std::uint32_t adapter = noAdapter; // the device on DXGI's adapter of this index; noAdapter: the default
    // Every Nth present is made with DXGI_PRESENT_DO_NOT_WAIT, which the device layer refuses once, and is
    // retried; 0: never.
    std::uint32_t stillDrawingEvery = 0;
    // Alt+Enter is sent to the game's window at this frame, and the game follows its window's size (as DXGI
    // asks: ResizeBuffers after WM_SIZE); 0: never.
    std::uint32_t altEnterAtFrame = 0;
    // The game asks DXGI to leave Alt+Enter alone (MakeWindowAssociation with DXGI_MWA_NO_ALT_ENTER), as
    // games with a full-screen setting of their own do.
    bool noDxgiAltEnter = false;
    std::vector<RenderSizeChange> renderSizeChanges; // in frame order
    PresentFormat format = PresentFormat::rgba8;
    // From this frame on the game presents in `formatTo` (its buffers resized with the new format and the
    // colour space set, as a game switching HDR in its options does); 0: never.
    std::uint32_t formatAtFrame = 0;
    PresentFormat formatTo = PresentFormat::rgba8;
    // Frames fsr2OffFrom to fsr2OffTo are rendered with the camera but without FSR2 (the player switched the
    // game's upscaler off for a while); none when fsr2OffFrom > fsr2OffTo.
    std::uint32_t fsr2OffFrom = 1;
    std::uint32_t fsr2OffTo = 0;
    std::wstring bridgePath = L"fsr2bridge.dll"; // empty: run without the bridge
    // The stand-in overlay: loaded before or after the bridge, attached then or at a frame (0: then).
    std::wstring overlayPath;
    bool overlayBeforeBridge = false;
    std::uint32_t overlayAtFrame = 0;
    std::wstring imagePath;      // last presented frame as PPM; empty: none
    std::wstring inputImagePath; // that frame's render-resolution input as PPM; empty: none
};

struct ParseResult {
    GameOptions options;
    std::string error; // empty on success
};

// Parses the arguments after the program name. Unknown or malformed
// arguments give an error naming them; nothing throws.
ParseResult parseOptions(const std::vector<std::wstring>& arguments);

std::string usageText();

} // namespace hostgame
