#include "testbed/host/host_options.h"

#include <cwchar>

namespace hostgame {
namespace {

bool parseNumber(const std::wstring& text, std::uint32_t& out, int base = 10)
{
    if (text.empty() || text.size() > 10)
        return false;
    wchar_t* end = nullptr;
    unsigned long long value = std::wcstoull(text.c_str(), &end, base);
    if (*end != L'\0' || value > 0xFFFFFFFFull || text[0] == L'-')
        return false;
    out = static_cast<std::uint32_t>(value);
    return true;
}

// "WxH" with both sides in 8..8192.
bool parseSize(const std::wstring& text, Size& out)
{
    const auto x = text.find(L'x');
    if (x == std::wstring::npos)
        return false;
    Size size{};
    if (!parseNumber(text.substr(0, x), size.width) || !parseNumber(text.substr(x + 1), size.height))
        return false;
    if (size.width < 8 || size.height < 8 || size.width > 8192 || size.height > 8192)
        return false;
    out = size;
    return true;
}

bool parseFormat(const std::wstring& text, PresentFormat& out)
{
    const std::pair<const wchar_t*, PresentFormat> names[] = {{L"rgba8", PresentFormat::rgba8},
                                                              {L"rgba16f", PresentFormat::rgba16f},
                                                              {L"rgb10a2", PresentFormat::rgb10a2}};
    for (const auto& [name, format] : names)
        if (text == name) {
            out = format;
            return true;
        }
    return false;
}

// "N:REST", the number and the rest.
bool splitFrame(const std::wstring& text, std::uint32_t& frame, std::wstring& rest)
{
    const auto colon = text.find(L':');
    if (colon == std::wstring::npos || !parseNumber(text.substr(0, colon), frame))
        return false;
    rest = text.substr(colon + 1);
    return true;
}

std::string narrow(const std::wstring& text)
{
    std::string out;
    for (wchar_t c : text)
        out.push_back(c < 128 ? static_cast<char>(c) : '?');
    return out;
}

} // namespace

std::string usageText()
{
    return "usage: host_game [--frames N] [--render WxH] [--display WxH] [--resize-at N] [--resize-to WxH]\n"
           "                 [--flags HEX] [--depth-inverted] [--jitter-cancellation] [--display-mvs]\n"
           "                 [--mask] [--qi-device] [--no-internal] [--bench] [--no-bridge | --bridge PATH]\n"
           "                 [--image PATH.ppm] [--input-image PATH.ppm] [--ping-every N]\n"
           "                 [--mask-frames N] [--second-context] [--render-ahead] [--second-device]\n"
           "                 [--recreate-at N] [--recreate-via-parent | --recreate-via-adapter]\n"
           "                 [--still-drawing N] [--alt-enter N] [--no-dxgi-alt-enter]\n"
           "                 [--render-at N:WxH]...\n"
           "                 [--boot-ms N] [--on-device-lost quit|recreate] [--adapter N]\n"
           "                 [--format rgba8|rgba16f|rgb10a2] [--format-at N:FORMAT] [--fsr2-off A:B]\n"
           "                 [--resize-every N] [--overlay PATH[:before|:after]] [--overlay-at N]\n";
}

ParseResult parseOptions(const std::vector<std::wstring>& arguments)
{
    ParseResult result;
    GameOptions& o = result.options;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::wstring& a = arguments[i];
        const bool hasValue = i + 1 < arguments.size();
        const std::wstring value = hasValue ? arguments[i + 1] : std::wstring();
        bool ok = true;
        bool usedValue = false;
        if (a == L"--frames") {
            ok = hasValue && parseNumber(value, o.frames) && o.frames > 0;
            usedValue = true;
        } else if (a == L"--render") {
            ok = hasValue && parseSize(value, o.renderSize);
            usedValue = true;
        } else if (a == L"--display") {
            ok = hasValue && parseSize(value, o.displaySize);
            usedValue = true;
        } else if (a == L"--resize-to") {
            ok = hasValue && parseSize(value, o.resizeTo);
            usedValue = true;
        } else if (a == L"--resize-at") {
            ok = hasValue && parseNumber(value, o.resizeAtFrame);
            usedValue = true;
        } else if (a == L"--recreate-at") {
            ok = hasValue && parseNumber(value, o.recreateAtFrame);
            usedValue = true;
        } else if (a == L"--resize-every") {
            ok = hasValue && parseNumber(value, o.resizeEvery);
            usedValue = true;
        } else if (a == L"--overlay") {
            // PATH may hold a drive's colon: only a known placement after the last one is taken off.
            const auto colon = value.rfind(L':');
            const std::wstring placement = colon == std::wstring::npos ? L"" : value.substr(colon + 1);
            const bool placed = placement == L"before" || placement == L"after";
            o.overlayPath = placed ? value.substr(0, colon) : value;
            o.overlayBeforeBridge = placement == L"before";
            ok = hasValue && !o.overlayPath.empty();
            usedValue = true;
        } else if (a == L"--overlay-at") {
            ok = hasValue && parseNumber(value, o.overlayAtFrame);
            usedValue = true;
        } else if (a == L"--boot-ms") {
            ok = hasValue && parseNumber(value, o.bootMs);
            usedValue = true;
        } else if (a == L"--recreate-via-parent") {
            o.recreateVia = GameOptions::RecreateVia::swapChainParent;
        } else if (a == L"--recreate-via-adapter") {
            o.recreateVia = GameOptions::RecreateVia::adapterParent;
        } else if (a == L"--render-at") {
            const auto colon = value.find(L':');
            RenderSizeChange change{};
            ok = hasValue && colon != std::wstring::npos &&
                 parseNumber(value.substr(0, colon), change.frame) &&
                 parseSize(value.substr(colon + 1), change.size) &&
                 (o.renderSizeChanges.empty() || o.renderSizeChanges.back().frame < change.frame);
            if (ok)
                o.renderSizeChanges.push_back(change);
            usedValue = true;
        } else if (a == L"--format") {
            ok = hasValue && parseFormat(value, o.format);
            usedValue = true;
        } else if (a == L"--format-at") {
            std::wstring format;
            ok = hasValue && splitFrame(value, o.formatAtFrame, format) && parseFormat(format, o.formatTo);
            usedValue = true;
        } else if (a == L"--fsr2-off") {
            std::wstring last;
            ok = hasValue && splitFrame(value, o.fsr2OffFrom, last) && parseNumber(last, o.fsr2OffTo) &&
                 o.fsr2OffFrom <= o.fsr2OffTo;
            usedValue = true;
        } else if (a == L"--alt-enter") {
            ok = hasValue && parseNumber(value, o.altEnterAtFrame);
            usedValue = true;
        } else if (a == L"--no-dxgi-alt-enter") {
            o.noDxgiAltEnter = true;
        } else if (a == L"--still-drawing") {
            ok = hasValue && parseNumber(value, o.stillDrawingEvery);
            usedValue = true;
        } else if (a == L"--ping-every") {
            ok = hasValue && parseNumber(value, o.pingEvery);
            usedValue = true;
        } else if (a == L"--flags") {
            ok = hasValue && parseNumber(value, o.fsr2Flags, 16);
            usedValue = true;
        } else if (a == L"--depth-inverted") {
            o.fsr2Flags |= 1u << 3;
        } else if (a == L"--jitter-cancellation") {
            o.fsr2Flags |= 1u << 2;
        } else if (a == L"--display-mvs") {
            o.fsr2Flags |= 1u << 1;
        } else if (a == L"--mask") {
            o.transparencyMask = true;
        } else if (a == L"--mask-frames") {
            ok = hasValue && parseNumber(value, o.maskFrames) && o.maskFrames > 0;
            o.transparencyMask = true;
            usedValue = true;
        } else if (a == L"--second-context") {
            o.secondContext = true;
        } else if (a == L"--render-ahead") {
            o.renderAhead = true;
        } else if (a == L"--second-device") {
            o.secondDevice = true;
        } else if (a == L"--on-device-lost") {
            ok = hasValue && (value == L"quit" || value == L"recreate");
            o.onDeviceLost = value == L"quit" ? OnDeviceLost::quit : OnDeviceLost::recreate;
            usedValue = true;
        } else if (a == L"--adapter") {
            ok = hasValue && parseNumber(value, o.adapter) && o.adapter != noAdapter;
            usedValue = true;
        } else if (a == L"--qi-device") {
            o.deviceFromQueryInterface = true;
        } else if (a == L"--no-internal") {
            o.callInternalFunction = false;
        } else if (a == L"--bench") {
            o.benchmark = true;
        } else if (a == L"--no-bridge") {
            o.bridgePath.clear();
        } else if (a == L"--bridge") {
            ok = hasValue && !value.empty();
            if (ok)
                o.bridgePath = value;
            usedValue = true;
        } else if (a == L"--image" || a == L"--input-image") {
            ok = hasValue && !value.empty();
            if (ok)
                (a == L"--image" ? o.imagePath : o.inputImagePath) = value;
            usedValue = true;
        } else {
            result.error = "unknown argument '" + narrow(a) + "'";
            return result;
        }
        if (!ok) {
            result.error = "bad or missing value for '" + narrow(a) + "'";
            return result;
        }
        if (usedValue)
            ++i;
    }
    if (o.resizeAtFrame >= o.frames)
        o.resizeAtFrame = 0;
    if (o.recreateAtFrame >= o.frames)
        o.recreateAtFrame = 0;
    if (o.altEnterAtFrame >= o.frames)
        o.altEnterAtFrame = 0;
    if (o.formatAtFrame >= o.frames)
        o.formatAtFrame = 0;
    for (const RenderSizeChange& change : o.renderSizeChanges) {
        if (change.size.width > o.renderSize.width || change.size.height > o.renderSize.height) {
            result.error = "--render-at sizes must fit in --render";
            return result;
        }
    }
    return result;
}

} // namespace hostgame
