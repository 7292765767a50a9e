#include "testbed/host/host_game.h"

#include "common/graphics.h"
#include "common/unique_handle.h"
#include "testbed/host/host_allocations.h"
#include "testbed/host/host_fsr2.h"
#include "testbed/host/host_layout.h"
#include "testbed/host/host_overlay.h"
#include "testbed/world/box_catcher.h"
#include "testbed/world/d3d12_records.h"

#ifdef HOST_GAME_DEVICE_LAYER
#include "testbed/devicelayer/device_layer.h"
#endif

#include <wrl/client.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace hostgame {
namespace {

using Microsoft::WRL::ComPtr;

// The DXGI format and colour space of each format the game presents in.
DXGI_FORMAT dxgiFormat(PresentFormat format)
{
    switch (format) {
    case PresentFormat::rgba16f:
        return DXGI_FORMAT_R16G16B16A16_FLOAT;
    case PresentFormat::rgb10a2:
        return DXGI_FORMAT_R10G10B10A2_UNORM;
    default:
        return DXGI_FORMAT_R8G8B8A8_UNORM;
    }
}
DXGI_COLOR_SPACE_TYPE colourSpace(PresentFormat format)
{
    switch (format) {
    case PresentFormat::rgba16f:
        return DXGI_COLOR_SPACE_RGB_FULL_G10_NONE_P709; // scRGB
    case PresentFormat::rgb10a2:
        return DXGI_COLOR_SPACE_RGB_FULL_G2084_NONE_P2020; // HDR10
    default:
        return DXGI_COLOR_SPACE_RGB_FULL_G22_NONE_P709;
    }
}
constexpr UINT backBufferCount = 2;
// When the mod loader would load the bridge (also in a run without it): where the bridge's share of the start
// begins, without the process creation's own noise.
FILETIME bridgeLoadTime{};

// The moment a present found the device removed (--on-device-lost), for the time the game takes after it.
LARGE_INTEGER deviceLostAt{};

// The module an object's virtual table lives in: shows who answers the game.
std::string vtableOwner(void* object)
{
    if (!object)
        return "none";
    void* vtable = *static_cast<void**>(object);
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            static_cast<LPCWSTR>(vtable), &module))
        return "unknown";
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(module, path, MAX_PATH);
    std::wstring name(path);
    const auto slash = name.find_last_of(L"\\/");
    if (slash != std::wstring::npos)
        name = name.substr(slash + 1);
    std::string out;
    for (wchar_t c : name)
        out.push_back(c < 128 ? static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c) : '?');
    return out;
}

using testworld::transition;

float halton(std::uint32_t index, std::uint32_t base)
{
    float f = 1.0f;
    float r = 0.0f;
    for (std::uint32_t i = index; i > 0; i /= base) {
        f /= static_cast<float>(base);
        r += f * static_cast<float>(i % base);
    }
    return r;
}

double microseconds(LARGE_INTEGER from, LARGE_INTEGER to, LARGE_INTEGER frequency)
{
    return 1e6 * static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

double median(std::vector<double> samples)
{
    if (samples.empty())
        return 0.0;
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

// The client size the window last reported (WM_SIZE), for a game that follows its window.
Size reportedClientSize{};

LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_SIZE && wParam != SIZE_MINIMIZED)
        reportedClientSize = {LOWORD(lParam), HIWORD(lParam)};
    return DefWindowProcA(window, message, wParam, lParam);
}

// Rectangles of one colour, cleared into the target in one call; clipped to the target.
class RectBatch {
public:
    RectBatch(LONG width, LONG height) : width_(width), height_(height) {}
    void add(LONG left, LONG top, LONG right, LONG bottom)
    {
        left = std::max(left, 0L), top = std::max(top, 0L);
        right = std::min(right, width_), bottom = std::min(bottom, height_);
        if (left < right && top < bottom && count_ < capacity)
            rects_[count_++] = D3D12_RECT{left, top, right, bottom};
    }
    // A filled circle as one span per row.
    void disc(LONG centreX, LONG centreY, LONG radius)
    {
        for (LONG dy = -radius; dy <= radius; ++dy) {
            const auto half = static_cast<LONG>(std::sqrt(static_cast<double>(radius * radius - dy * dy)));
            add(centreX - half, centreY + dy, centreX + half + 1, centreY + dy + 1);
        }
    }
    // A triangle standing on `baseY` with its peak at (peakX, peakY): staircase edges.
    void peak(LONG peakX, LONG peakY, LONG baseY, LONG halfWidth)
    {
        const LONG height = std::max(baseY - peakY, 1L);
        for (LONG y = peakY; y < baseY; ++y) {
            const LONG half = halfWidth * (y - peakY) / height;
            add(peakX - half, y, peakX + half + 1, y + 1);
        }
    }
    // Clears what was added (nothing when empty: no rectangles would clear the whole target).
    void paint(ID3D12GraphicsCommandList* list, D3D12_CPU_DESCRIPTOR_HANDLE rtv, float r, float g, float b)
    {
        const float colour[4] = {r, g, b, 1.0f};
        if (count_ > 0)
            list->ClearRenderTargetView(rtv, colour, count_, rects_);
        count_ = 0;
    }

private:
    static constexpr UINT capacity = 2048;
    LONG width_, height_;
    D3D12_RECT rects_[capacity];
    UINT count_ = 0;
};

// The scene, from clears alone: sky bands, a sun that crosses it, stepped mountains, a scrolling
// chequered ground, thin fence posts and a bouncing ball. Hard edges and one-texel lines make upscaling
// visible; the sun, the ground and the ball make frames differ.
void paintScene(ID3D12GraphicsCommandList* list, D3D12_CPU_DESCRIPTOR_HANDLE rtv, LONG w, LONG h,
                std::uint32_t frame)
{
    RectBatch batch(w, h);
    const LONG horizon = h * 3 / 5;
    constexpr int bands = 8;
    for (int band = 0; band < bands; ++band) {
        const float t = static_cast<float>(band) / (bands - 1);
        batch.add(0, horizon * band / bands, w, horizon * (band + 1) / bands);
        batch.paint(list, rtv, 0.08f + 0.45f * t, 0.15f + 0.55f * t, 0.45f + 0.5f * t);
    }
    // Sun and ball start mid-way, so that both are in sight around the demo's last frame (240).
    const float phase = static_cast<float>((frame + 120) % 480) / 480.0f;
    batch.disc(static_cast<LONG>(phase * static_cast<float>(w)), h / 6, std::max(h / 14, 2L));
    batch.paint(list, rtv, 1.0f, 0.85f, 0.1f);
    const LONG summit = horizon / 3, snowLine = summit + horizon / 8;
    batch.peak(w / 4, summit, horizon, w / 5);
    batch.peak(w * 3 / 4, horizon / 2, horizon, w / 4);
    batch.paint(list, rtv, 0.35f, 0.38f, 0.5f);
    // Snow on the higher peak, its flanks on the mountain's.
    batch.peak(w / 4, summit, snowLine, w / 5 * (snowLine - summit) / std::max(horizon - summit, 1L));
    batch.paint(list, rtv, 0.95f, 0.95f, 1.0f);
    batch.add(0, horizon, w, h);
    batch.paint(list, rtv, 0.25f, 0.6f, 0.2f);
    const LONG tile = std::max(h / 16, 2L);
    const LONG scroll = static_cast<LONG>(frame) % (2 * tile);
    for (LONG y = horizon, row = 0; y < h; y += tile, ++row)
        for (LONG x = -2 * tile + scroll + (row % 2) * tile; x < w; x += 2 * tile)
            batch.add(x, y, x + tile, y + tile);
    batch.paint(list, rtv, 0.15f, 0.42f, 0.12f);
    // Fence: one-texel posts and a rail.
    const LONG postTop = horizon - h / 16;
    for (LONG x = w / 48; x < w; x += std::max(w / 24, 3L))
        batch.add(x, postTop, x + 1, horizon + h / 40);
    batch.add(0, postTop + h / 64, w, postTop + h / 64 + 1);
    batch.paint(list, rtv, 0.97f, 0.97f, 0.92f);
    // The ball rolls to the right and bounces.
    const LONG radius = std::max(h / 10, 3L);
    const LONG travel = w + 2 * radius;
    const LONG ballX = static_cast<LONG>((frame * 3 + static_cast<std::uint32_t>(w) / 3) %
                                         static_cast<std::uint32_t>(travel)) -
                       radius;
    const double bounce = std::fabs(std::sin(static_cast<double>(frame) * 0.09));
    const LONG ballY = h - h / 8 - radius - static_cast<LONG>(bounce * static_cast<double>(h / 4));
    batch.disc(ballX, ballY, radius);
    batch.paint(list, rtv, 0.85f, 0.12f, 0.1f);
    batch.disc(ballX - radius / 3, ballY - radius / 3, std::max(radius / 4, 1L));
    batch.paint(list, rtv, 1.0f, 0.75f, 0.7f);
}

// A buffer a texture is copied into for reading on the CPU.
struct Readback {
    ComPtr<ID3D12Resource> buffer;
    D3D12_PLACED_SUBRESOURCE_FOOTPRINT layout{};
};

class Game {
public:
    Game(const GameOptions& options, Report& report) : options_(options), report_(report) {}
    ~Game() { shutdown(); }
    int run();

private:
    bool createWindow();
    bool createSwapChain();
    bool acquireBackBuffers();
    bool createTexture(Size size, DXGI_FORMAT format, D3D12_RESOURCE_FLAGS flags, D3D12_RESOURCE_STATES state,
                       ComPtr<ID3D12Resource>& out);
    bool createSceneTargets();
    bool createOutput();
    D3D12_CPU_DESCRIPTOR_HANDLE outputRtv();
    bool createReadbacks();
    bool createReadback(ID3D12Resource* texture, Readback& readback);
    void recordCapture(ID3D12GraphicsCommandList* list, ID3D12Resource* texture, D3D12_RESOURCE_STATES state,
                       Readback& readback);
    bool createContext();
    void destroyContext();
    bool resize(Size display, bool moveWindow = true);
    bool recreateSwapChain();
    bool switchFormat(PresentFormat format);
    bool releaseBackBuffers();
    bool resizeBackBuffers(const char* reportKey);
    void setColourSpace();
    bool dropOwnFactory();
    bool followAltEnter(std::uint32_t frame);
    bool renderFrame(std::uint32_t frame, bool last);
    bool renderInto(std::uint32_t frame, ID3D12CommandAllocator* allocator, ID3D12GraphicsCommandList* list);
    void dispatchContexts(const FfxFsr2DispatchDescription& description);
    bool presentFrom(std::uint32_t frame, bool last, ID3D12GraphicsCommandList* list);
    HRESULT presentRetryingWhileDrawing(std::uint32_t frame);
    bool runRenderingAhead();
    bool createSecondDevice();
    bool createDevice();
    bool createDeviceObjects();
    void releaseDeviceObjects();
    bool deviceLostBy(HRESULT presented);
    bool handleDeviceLoss();
    void recordScene(std::uint32_t frame, ID3D12GraphicsCommandList* list);
    Size renderSizeAt(std::uint32_t frame) const;
    void callInternalFunction(std::uint32_t frame);
    FfxFsr2DispatchDescription dispatchDescription(std::uint32_t frame, ID3D12GraphicsCommandList* list);
    bool waitIdle();
    bool writeImage(Readback& readback, const std::wstring& path);
    void pumpMessages();
    void postLatencyPing();
    void shutdown();
    void reportTimings();
    void reportFirstPresent();

    const GameOptions& options_;
    Report& report_;
    Size display_{};
    PresentFormat format_ = PresentFormat::rgba8;
    HWND window_ = nullptr;
    ComPtr<IDXGIFactory2> factory_;
    ComPtr<IDXGIAdapter> adapter_; // --recreate-via-adapter
    ComPtr<ID3D12Device> device_;
    ComPtr<ID3D12Device> fsr2Device_; // from QueryInterface, when asked
    ComPtr<ID3D12CommandQueue> queue_;
    ComPtr<IDXGISwapChain3> swapChain_;
    ComPtr<ID3D12Resource> backBuffers_[backBufferCount];
    ComPtr<ID3D12CommandAllocator> allocator_;
    ComPtr<ID3D12GraphicsCommandList> list_;
    // Rendering ahead: the render thread records every other frame here.
    ComPtr<ID3D12CommandAllocator> aheadAllocator_;
    ComPtr<ID3D12GraphicsCommandList> aheadList_;
    ComPtr<ID3D12Device> secondDevice_; // --second-device
    ComPtr<ID3D12Fence> fence_;
    fsr2bridge::UniqueHandle fenceEvent_;
    UINT64 fenceValue_ = 0;
    ComPtr<ID3D12DescriptorHeap> rtvHeap_;
    ComPtr<ID3D12Resource> color_;
    ComPtr<ID3D12Resource> depth_;
    ComPtr<ID3D12Resource> motion_;
    ComPtr<ID3D12Resource> mask_;
    ComPtr<ID3D12Resource> output_;
    Readback presented_; // the last presented frame (--image)
    Readback input_;     // the render-resolution input of that frame (--input-image)
    bool imageCaptured_ = false;
    bool inputCaptured_ = false;
    std::unique_ptr<FfxFsr2Context> context_;
    bool contextLive_ = false;
    std::unique_ptr<FfxFsr2Context> secondContext_; // --second-context: dispatched after the first
    bool secondContextLive_ = false;
    bool resetNext_ = true;
    HostWorld world_;
    bool layout_ = false;

    std::uint64_t framesRendered_ = 0;
    std::uint64_t framesPresented_ = 0;
    std::uint64_t dispatchOk_ = 0;
    std::uint64_t dispatchFailed_ = 0;
    std::uint32_t lastDispatchError_ = 0;
    std::uint64_t contextCreates_ = 0;
    std::uint64_t contextCreateFailures_ = 0;
    std::uint64_t internalCalls_ = 0;
    std::uint64_t internalMismatches_ = 0;
    std::uint64_t presentFailures_ = 0;
    std::uint64_t resizes_ = 0;
    std::uint64_t recreations_ = 0;
    std::uint64_t pingsPosted_ = 0;
    // --on-device-lost: the frame a present found the device removed, and the frames presented since.
    bool deviceLost_ = false;
    bool recreated_ = false;
    std::uint64_t framesAfterLoss_ = 0;
    std::uint64_t presentsStillDrawing_ = 0;
    std::uint64_t windowResizes_ = 0;

    std::vector<double> dispatchUs_;
    std::vector<double> submitUs_;
    std::vector<double> presentUs_;
    std::vector<double> allocations_;
    std::vector<double> innerPresentUs_;
    LARGE_INTEGER frequency_{};
    // The current frame's dispatch time and the allocation count before it (benchmark).
    double frameDispatchUs_ = 0.0;
    std::uint64_t frameAllocationsBefore_ = 0;
    std::vector<double> standinUs_; // time inside the stand-in Streamline, the system's calls taken out
    double frameStandinBefore_ = 0;
};

bool Game::createWindow()
{
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = &windowProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = "Fsr2HostGame";
    RegisterClassA(&windowClass);
    window_ = CreateWindowExA(0, windowClass.lpszClassName, "Stand-in game", WS_OVERLAPPEDWINDOW, 0, 0,
                              static_cast<int>(display_.width), static_cast<int>(display_.height), nullptr,
                              nullptr, windowClass.hInstance, nullptr);
    if (!window_)
        return false;
    ShowWindow(window_, SW_SHOWNOACTIVATE);
    return true;
}

bool Game::createSwapChain()
{
    DXGI_SWAP_CHAIN_DESC1 desc{};
    desc.Width = display_.width;
    desc.Height = display_.height;
    desc.Format = dxgiFormat(format_);
    desc.SampleDesc.Count = 1;
    desc.BufferUsage = DXGI_USAGE_RENDER_TARGET_OUTPUT;
    desc.BufferCount = backBufferCount;
    desc.SwapEffect = DXGI_SWAP_EFFECT_FLIP_DISCARD;
    ComPtr<IDXGISwapChain1> swapChain1;
    HRESULT hr =
        factory_->CreateSwapChainForHwnd(queue_.Get(), window_, &desc, nullptr, nullptr, &swapChain1);
    report_.setHex("swapchain_hr", static_cast<std::uint32_t>(hr));
    if (FAILED(hr) || !swapChain1)
        return false;
    if (FAILED(swapChain1.As(&swapChain_)))
        return false;
    report_.setText("swapchain_vtable", vtableOwner(swapChain_.Get()));
    if (options_.noDxgiAltEnter)
        report_.setHex("window_association_hr", static_cast<std::uint32_t>(factory_->MakeWindowAssociation(
                                                    window_, DXGI_MWA_NO_ALT_ENTER)));
    setColourSpace();
    return acquireBackBuffers();
}

// An HDR game says how its back buffers are to be read; an SDR one leaves the default.
void Game::setColourSpace()
{
    if (format_ != PresentFormat::rgba8)
        report_.setHex("colour_space_hr",
                       static_cast<std::uint32_t>(swapChain_->SetColorSpace1(colourSpace(format_))));
}

bool Game::acquireBackBuffers()
{
    for (UINT i = 0; i < backBufferCount; ++i) {
        if (FAILED(swapChain_->GetBuffer(i, IID_PPV_ARGS(&backBuffers_[i]))))
            return false;
    }
    return true;
}

bool Game::createTexture(Size size, DXGI_FORMAT format, D3D12_RESOURCE_FLAGS flags,
                         D3D12_RESOURCE_STATES state, ComPtr<ID3D12Resource>& out)
{
    D3D12_HEAP_PROPERTIES heap{};
    heap.Type = D3D12_HEAP_TYPE_DEFAULT;
    D3D12_RESOURCE_DESC desc{};
    desc.Dimension = D3D12_RESOURCE_DIMENSION_TEXTURE2D;
    desc.Width = size.width;
    desc.Height = size.height;
    desc.DepthOrArraySize = 1;
    desc.MipLevels = 1;
    desc.Format = format;
    desc.SampleDesc.Count = 1;
    desc.Flags = flags;
    return SUCCEEDED(device_->CreateCommittedResource(&heap, D3D12_HEAP_FLAG_NONE, &desc, state, nullptr,
                                                      IID_PPV_ARGS(&out)));
}

bool Game::createSceneTargets()
{
    const Size render = options_.renderSize;
    const auto inputState = D3D12_RESOURCE_STATE_NON_PIXEL_SHADER_RESOURCE;
    if (!createTexture(render, dxgiFormat(format_), D3D12_RESOURCE_FLAG_ALLOW_RENDER_TARGET, inputState,
                       color_) ||
        !createTexture(render, DXGI_FORMAT_R32_FLOAT, D3D12_RESOURCE_FLAG_NONE, inputState, depth_) ||
        !createTexture(render, DXGI_FORMAT_R16G16_FLOAT, D3D12_RESOURCE_FLAG_NONE, inputState, motion_))
        return false;
    // The transparency mask is typeless, as the game's own shaders view it as R8.
    if (options_.transparencyMask &&
        !createTexture(render, DXGI_FORMAT_R8_TYPELESS, D3D12_RESOURCE_FLAG_NONE, inputState, mask_))
        return false;
    D3D12_DESCRIPTOR_HEAP_DESC heapDesc{};
    heapDesc.Type = D3D12_DESCRIPTOR_HEAP_TYPE_RTV;
    heapDesc.NumDescriptors = 2; // the scene's colour, the FSR2 output
    if (FAILED(device_->CreateDescriptorHeap(&heapDesc, IID_PPV_ARGS(&rtvHeap_))))
        return false;
    D3D12_CPU_DESCRIPTOR_HANDLE rtv;
    rtvHeap_->GetCPUDescriptorHandleForHeapStart(&rtv);
    device_->CreateRenderTargetView(color_.Get(), nullptr, rtv);
    return true;
}

bool Game::createOutput()
{
    output_.Reset();
    if (!createTexture(display_, dxgiFormat(format_),
                       D3D12_RESOURCE_FLAG_ALLOW_UNORDERED_ACCESS | D3D12_RESOURCE_FLAG_ALLOW_RENDER_TARGET,
                       D3D12_RESOURCE_STATE_UNORDERED_ACCESS, output_))
        return false;
    device_->CreateRenderTargetView(output_.Get(), nullptr, outputRtv());
    // As Streamline's journal writes pointers: what the upscaler must write into.
    char address[32];
    std::snprintf(address, sizeof address, "0x%llx",
                  static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(output_.Get())));
    report_.setText("output_resource", address);
    return true;
}

D3D12_CPU_DESCRIPTOR_HANDLE Game::outputRtv()
{
    D3D12_CPU_DESCRIPTOR_HANDLE rtv;
    rtvHeap_->GetCPUDescriptorHandleForHeapStart(&rtv);
    rtv.ptr += device_->GetDescriptorHandleIncrementSize(D3D12_DESCRIPTOR_HEAP_TYPE_RTV);
    return rtv;
}

bool Game::createReadbacks()
{
    presented_ = {};
    input_ = {};
    return (options_.imagePath.empty() || createReadback(backBuffers_[0].Get(), presented_)) &&
           (options_.inputImagePath.empty() || createReadback(color_.Get(), input_));
}

bool Game::createReadback(ID3D12Resource* texture, Readback& readback)
{
    D3D12_RESOURCE_DESC textureDesc = {};
    texture->GetDesc(&textureDesc);
    UINT64 total = 0;
    device_->GetCopyableFootprints(&textureDesc, 0, 1, 0, &readback.layout, nullptr, nullptr, &total);
    D3D12_HEAP_PROPERTIES heap{};
    heap.Type = D3D12_HEAP_TYPE_READBACK;
    D3D12_RESOURCE_DESC desc{};
    desc.Dimension = D3D12_RESOURCE_DIMENSION_BUFFER;
    desc.Width = total;
    desc.Height = 1;
    desc.DepthOrArraySize = 1;
    desc.MipLevels = 1;
    desc.SampleDesc.Count = 1;
    desc.Layout = D3D12_TEXTURE_LAYOUT_ROW_MAJOR;
    return SUCCEEDED(device_->CreateCommittedResource(&heap, D3D12_HEAP_FLAG_NONE, &desc,
                                                      D3D12_RESOURCE_STATE_COPY_DEST, nullptr,
                                                      IID_PPV_ARGS(&readback.buffer)));
}

// Copies `texture` (in `state`) into the read-back buffer and returns it to `state`.
void Game::recordCapture(ID3D12GraphicsCommandList* list, ID3D12Resource* texture,
                         D3D12_RESOURCE_STATES state, Readback& readback)
{
    if (state != D3D12_RESOURCE_STATE_COPY_SOURCE) {
        D3D12_RESOURCE_BARRIER toCopy = transition(texture, state, D3D12_RESOURCE_STATE_COPY_SOURCE);
        list->ResourceBarrier(1, &toCopy);
    }
    D3D12_TEXTURE_COPY_LOCATION dst{};
    dst.pResource = readback.buffer.Get();
    dst.Type = D3D12_TEXTURE_COPY_TYPE_PLACED_FOOTPRINT;
    dst.PlacedFootprint = readback.layout;
    D3D12_TEXTURE_COPY_LOCATION src{};
    src.pResource = texture;
    src.Type = D3D12_TEXTURE_COPY_TYPE_SUBRESOURCE_INDEX;
    list->CopyTextureRegion(&dst, 0, 0, 0, &src, nullptr);
    if (state != D3D12_RESOURCE_STATE_COPY_SOURCE) {
        D3D12_RESOURCE_BARRIER back = transition(texture, D3D12_RESOURCE_STATE_COPY_SOURCE, state);
        list->ResourceBarrier(1, &back);
    }
}

bool Game::createContext()
{
    FfxFsr2ContextDescription desc{};
    desc.flags = options_.fsr2Flags;
    desc.maxRenderSize = {options_.renderSize.width, options_.renderSize.height};
    desc.displaySize = {display_.width, display_.height};
    desc.device = fsr2Device_ ? fsr2Device_.Get() : device_.Get();
    ++contextCreates_;
    const FfxErrorCode result = ffxFsr2ContextCreate(context_.get(), &desc);
    report_.setHex("context_create_result", static_cast<std::uint32_t>(result));
    contextLive_ = result == ffxOk;
    if (!contextLive_)
        ++contextCreateFailures_;
    resetNext_ = true;
    if (options_.secondContext) {
        // A second upscaled view of the same size, as a title with two FSR2 passes per frame.
        if (!secondContext_)
            secondContext_ = std::make_unique<FfxFsr2Context>();
        ++contextCreates_;
        secondContextLive_ = ffxFsr2ContextCreate(secondContext_.get(), &desc) == ffxOk;
        if (!secondContextLive_)
            ++contextCreateFailures_;
    }
    return contextLive_;
}

void Game::destroyContext()
{
    if (contextLive_)
        report_.setHex("context_destroy_result",
                       static_cast<std::uint32_t>(ffxFsr2ContextDestroy(context_.get())));
    contextLive_ = false;
    if (secondContextLive_)
        ffxFsr2ContextDestroy(secondContext_.get());
    secondContextLive_ = false;
}

bool Game::waitIdle()
{
    if (!queue_ || !fence_)
        return false;
    ++fenceValue_;
    if (FAILED(queue_->Signal(fence_.Get(), fenceValue_)))
        return false;
    if (fence_->GetCompletedValue() < fenceValue_) {
        if (FAILED(fence_->SetEventOnCompletion(fenceValue_, fenceEvent_.get())))
            return false;
        if (WaitForSingleObject(fenceEvent_.get(), 10000) != WAIT_OBJECT_0)
            return false;
    }
    return true;
}

// Before a resize: the GPU idle, the FSR2 context gone, no back buffer held.
bool Game::releaseBackBuffers()
{
    if (!waitIdle())
        return false;
    destroyContext();
    for (auto& buffer : backBuffers_)
        buffer.Reset();
    return true;
}

// The back buffers resized to display_ in format_; `reportKey` gets the result.
bool Game::resizeBackBuffers(const char* reportKey)
{
    const HRESULT hr =
        swapChain_->ResizeBuffers(backBufferCount, display_.width, display_.height, dxgiFormat(format_), 0);
    report_.setHex(reportKey, static_cast<std::uint32_t>(hr));
    return SUCCEEDED(hr) && acquireBackBuffers();
}

// A title that changes its output size recreates its FSR2 context.
bool Game::resize(Size display, bool moveWindow)
{
    if (!releaseBackBuffers())
        return false;
    display_ = display;
    if (moveWindow)
        SetWindowPos(window_, nullptr, 0, 0, static_cast<int>(display.width),
                     static_cast<int>(display.height), SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    if (!resizeBackBuffers("resize_hr") || !createOutput() || !createReadbacks())
        return false;
    ++resizes_;
    return createContext();
}

// --format-at: the player switches HDR in the game's options. The game resizes its buffers with the new
// format, sets the colour space and makes its scene, output and FSR2 context again.
bool Game::switchFormat(PresentFormat format)
{
    if (!releaseBackBuffers())
        return false;
    format_ = format;
    if (!resizeBackBuffers("format_switch_hr"))
        return false;
    setColourSpace();
    return createSceneTargets() && createOutput() && createReadbacks() && createContext();
}

// A title that changes display mode, HDR or output makes a new swap chain on the same window; one that keeps
// no factory of its own takes it from the old swap chain's or its adapter's GetParent.
bool Game::recreateSwapChain()
{
    if (!waitIdle())
        return false;
    using Via = GameOptions::RecreateVia;
    if (options_.recreateVia != Via::ownFactory) {
        const HRESULT hr = options_.recreateVia == Via::swapChainParent
                               ? swapChain_->GetParent(IID_PPV_ARGS(&factory_))
                               : adapter_->GetParent(IID_PPV_ARGS(&factory_));
        report_.setHex("parent_hr", static_cast<std::uint32_t>(hr));
        report_.setText("parent_vtable", vtableOwner(factory_.Get()));
        if (FAILED(hr))
            return false;
    }
    for (auto& buffer : backBuffers_)
        buffer.Reset();
    swapChain_.Reset();
    if (!createSwapChain())
        return false;
    ++recreations_;
    if (options_.recreateVia != Via::ownFactory)
        factory_.Reset();
    return true;
}

// --alt-enter: the player presses Alt+Enter; DXGI changes the full-screen state itself (unless the game
// asked it not to), and the game resizes its buffers to the window's new size when WM_SIZE says so.
bool Game::followAltEnter(std::uint32_t frame)
{
    if (frame < options_.altEnterAtFrame)
        return true;
    if (frame == options_.altEnterAtFrame) {
        reportedClientSize = {};
        PostMessageW(window_, WM_SYSKEYDOWN, VK_RETURN, (1u << 29) | 1u); // bit 29: Alt is down
        PostMessageW(window_, WM_SYSKEYUP, VK_RETURN, (1u << 29) | (3u << 30) | 1u);
        pumpMessages();
        BOOL fullscreen = FALSE;
        swapChain_->GetFullscreenState(&fullscreen, nullptr);
        report_.set("fullscreen_after_alt_enter", fullscreen ? 1 : 0);
    }
    const Size size = reportedClientSize;
    if (size.width < 8 || size.height < 8 || (size.width == display_.width && size.height == display_.height))
        return true;
    ++windowResizes_;
    return resize(size, false);
}

// A title that keeps no factory once its swap chain is made (only the adapter, for the second way back).
bool Game::dropOwnFactory()
{
    if (options_.recreateVia == GameOptions::RecreateVia::ownFactory)
        return true;
    if (FAILED(factory_->EnumAdapters(0, &adapter_)))
        return false;
    factory_.Reset();
    return true;
}

void Game::callInternalFunction(std::uint32_t frame)
{
#ifdef HOST_GAME_LAYOUT
    if (!layout_ || !options_.callInternalFunction)
        return;
    void* a0 = this;
    void* a2 = reinterpret_cast<void*>(static_cast<std::uintptr_t>(frame) * 16 + 8);
    const std::uint64_t result = hostInternalFunction(a0, world_.argument(), a2);
    ++internalCalls_;
    if (result != hostInternalFunctionBody(a0, world_.argument(), a2))
        ++internalMismatches_;
#else
    (void)frame;
#endif
}

// The size the game renders this frame at: --render, or the last --render-at change before it.
Size Game::renderSizeAt(std::uint32_t frame) const
{
    Size size = options_.renderSize;
    for (const RenderSizeChange& change : options_.renderSizeChanges)
        if (change.frame <= frame)
            size = change.size;
    return size;
}

void Game::recordScene(std::uint32_t frame, ID3D12GraphicsCommandList* list)
{
    const Size render = renderSizeAt(frame);
    D3D12_RESOURCE_BARRIER toTarget = transition(color_.Get(), D3D12_RESOURCE_STATE_NON_PIXEL_SHADER_RESOURCE,
                                                 D3D12_RESOURCE_STATE_RENDER_TARGET);
    list->ResourceBarrier(1, &toTarget);
    D3D12_CPU_DESCRIPTOR_HANDLE rtv;
    rtvHeap_->GetCPUDescriptorHandleForHeapStart(&rtv);
    paintScene(list, rtv, static_cast<LONG>(render.width), static_cast<LONG>(render.height), frame);
    D3D12_RESOURCE_BARRIER toInput = transition(color_.Get(), D3D12_RESOURCE_STATE_RENDER_TARGET,
                                                D3D12_RESOURCE_STATE_NON_PIXEL_SHADER_RESOURCE);
    list->ResourceBarrier(1, &toInput);
    // The output starts black; the upscaler writes the picture into it.
    D3D12_RESOURCE_BARRIER outputToTarget =
        transition(output_.Get(), D3D12_RESOURCE_STATE_UNORDERED_ACCESS, D3D12_RESOURCE_STATE_RENDER_TARGET);
    list->ResourceBarrier(1, &outputToTarget);
    const float black[4] = {0.0f, 0.0f, 0.0f, 1.0f};
    list->ClearRenderTargetView(outputRtv(), black, 0, nullptr);
    D3D12_RESOURCE_BARRIER outputToUav =
        transition(output_.Get(), D3D12_RESOURCE_STATE_RENDER_TARGET, D3D12_RESOURCE_STATE_UNORDERED_ACCESS);
    list->ResourceBarrier(1, &outputToUav);
}

FfxFsr2DispatchDescription Game::dispatchDescription(std::uint32_t frame, ID3D12GraphicsCommandList* list)
{
    FfxFsr2DispatchDescription d{};
    d.commandList = list;
    d.color.resource = color_.Get();
    d.depth.resource = depth_.Get();
    d.depth.isDepth = true;
    d.motionVectors.resource = motion_.Get();
    // With --mask-frames the mask is passed for the first frames only, as when a title stops using one.
    const bool maskNow = options_.maskFrames == 0 || frame < options_.maskFrames;
    d.transparencyAndComposition.resource = maskNow ? mask_.Get() : nullptr;
    d.output.resource = output_.Get();
    d.output.state = 1; // unordered access
    const Size render = renderSizeAt(frame);
    d.jitterOffset = {halton(frame % 8 + 1, 2) - 0.5f, halton(frame % 8 + 1, 3) - 0.5f};
    d.motionVectorScale = {static_cast<float>(render.width), static_cast<float>(render.height)};
    d.renderSize = {render.width, render.height};
    d.enableSharpening = true;
    d.sharpness = 0.5f;
    d.frameTimeDelta = 16.7f;
    d.preExposure = 1.0f;
    d.reset = resetNext_;
    d.cameraNear = 0.1f;
    d.cameraFar = 1000.0f;
    d.cameraFovAngleVertical = 1.0f;
    d.viewSpaceToMetersFactor = 1.0f;
    return d;
}

bool Game::renderFrame(std::uint32_t frame, bool last)
{
    return renderInto(frame, allocator_.Get(), list_.Get()) && presentFrom(frame, last, list_.Get());
}

// The render side of a frame: the camera call, the scene and the FSR2 dispatches, recorded into `list`
// (left open for the present side).
bool Game::renderInto(std::uint32_t frame, ID3D12CommandAllocator* allocator, ID3D12GraphicsCommandList* list)
{
    const float aspect =
        static_cast<float>(renderSizeAt(frame).width) / static_cast<float>(renderSizeAt(frame).height);
    world_.setCamera(cameraForFrame(frame, aspect, 1.0f, 0.1f, 1000.0f));
    // The menu is open for the first frames and for a few after a resize.
    const bool menu = frame < 4 || (options_.resizeAtFrame && frame >= options_.resizeAtFrame &&
                                    frame < options_.resizeAtFrame + 4);
    world_.setMenuOpen(menu);
    callInternalFunction(frame);

    if (FAILED(allocator->Reset()) || FAILED(list->Reset(allocator, nullptr)))
        return false;
    recordScene(frame, list);

    LARGE_INTEGER t0, t1;
    const FfxFsr2DispatchDescription description = dispatchDescription(frame, list);
    frameAllocationsBefore_ = countedAllocations();
    frameStandinBefore_ = standinInsideMicroseconds();
    countAllocations(options_.benchmark);
    QueryPerformanceCounter(&t0);
    // --fsr2-off: the player switched the game's upscaler off for these frames.
    if (frame < options_.fsr2OffFrom || frame > options_.fsr2OffTo)
        dispatchContexts(description);
    QueryPerformanceCounter(&t1);
    countAllocations(false);
    frameDispatchUs_ = microseconds(t0, t1, frequency_);
    return true;
}

void Game::dispatchContexts(const FfxFsr2DispatchDescription& description)
{
    const auto count = [this](FfxErrorCode result) {
        if (result == ffxOk) {
            ++dispatchOk_;
        } else {
            ++dispatchFailed_;
            lastDispatchError_ = static_cast<std::uint32_t>(result);
        }
        return result == ffxOk;
    };
    const bool first = contextLive_ ? count(ffxFsr2ContextDispatch(context_.get(), &description)) : true;
    if (secondContextLive_) {
        // The second view jitters the other way, so its camera constants differ from the first's.
        FfxFsr2DispatchDescription second = description;
        second.jitterOffset = {-description.jitterOffset.x, -description.jitterOffset.y};
        count(ffxFsr2ContextDispatch(secondContext_.get(), &second));
    }
    if (first)
        resetNext_ = false;
}

// The present side of a frame: the output copied to the back buffer, the list submitted, the present.
// --still-drawing: a present that must not wait is refused while the GPU is busy and made again.
HRESULT Game::presentRetryingWhileDrawing(std::uint32_t frame)
{
    const bool noWait = options_.stillDrawingEvery && (frame + 1) % options_.stillDrawingEvery == 0;
    HRESULT hr = swapChain_->Present(0, noWait ? DXGI_PRESENT_DO_NOT_WAIT : 0);
    for (int retries = 0; hr == DXGI_ERROR_WAS_STILL_DRAWING && retries < 100; ++retries) {
        ++presentsStillDrawing_;
        hr = swapChain_->Present(0, DXGI_PRESENT_DO_NOT_WAIT);
    }
    return hr;
}

bool Game::presentFrom(std::uint32_t frame, bool last, ID3D12GraphicsCommandList* list)
{
    LARGE_INTEGER t2, t3, t4;
    ID3D12Resource* backBuffer =
        backBuffers_[swapChain_->GetCurrentBackBufferIndex() % backBufferCount].Get();
    D3D12_RESOURCE_BARRIER toCopy[2] = {
        transition(output_.Get(), D3D12_RESOURCE_STATE_UNORDERED_ACCESS, D3D12_RESOURCE_STATE_COPY_SOURCE),
        transition(backBuffer, D3D12_RESOURCE_STATE_PRESENT, D3D12_RESOURCE_STATE_COPY_DEST)};
    list->ResourceBarrier(2, toCopy);
    list->CopyResource(backBuffer, output_.Get());
    D3D12_RESOURCE_BARRIER back[2] = {
        transition(output_.Get(), D3D12_RESOURCE_STATE_COPY_SOURCE, D3D12_RESOURCE_STATE_UNORDERED_ACCESS),
        transition(backBuffer, D3D12_RESOURCE_STATE_COPY_DEST, D3D12_RESOURCE_STATE_PRESENT)};
    list->ResourceBarrier(2, back);
    const bool capturePresented = last && presented_.buffer;
    const bool captureInput = last && input_.buffer;
    if (capturePresented)
        recordCapture(list, backBuffer, D3D12_RESOURCE_STATE_PRESENT, presented_);
    if (captureInput)
        recordCapture(list, color_.Get(), D3D12_RESOURCE_STATE_NON_PIXEL_SHADER_RESOURCE, input_);
    if (FAILED(list->Close()))
        return false;
    ID3D12CommandList* lists[] = {list};
    const double innerBefore = innerPresentMicroseconds();
    countAllocations(options_.benchmark);
    QueryPerformanceCounter(&t2);
    queue_->ExecuteCommandLists(1, lists);
    QueryPerformanceCounter(&t3);
    const double innerSubmit = innerPresentMicroseconds() - innerBefore;
    const HRESULT presented = presentRetryingWhileDrawing(frame);
    QueryPerformanceCounter(&t4);
    countAllocations(false);
    ++framesRendered_;
    if (deviceLostBy(presented))
        return true;
    if (SUCCEEDED(presented) && recreated_)
        ++framesAfterLoss_;
    if (SUCCEEDED(presented) && ++framesPresented_ == 1)
        reportFirstPresent();
    else if (FAILED(presented))
        ++presentFailures_;
    if (options_.benchmark) {
        dispatchUs_.push_back(frameDispatchUs_);
        submitUs_.push_back(microseconds(t2, t3, frequency_) - innerSubmit);
        const double inner = innerPresentMicroseconds() - innerBefore - innerSubmit;
        presentUs_.push_back(microseconds(t3, t4, frequency_) - inner);
        innerPresentUs_.push_back(inner);
        standinUs_.push_back(standinInsideMicroseconds() - frameStandinBefore_ - inner - innerSubmit);
        allocations_.push_back(static_cast<double>(countedAllocations() - frameAllocationsBefore_));
    }
    if (!waitIdle())
        return false;
    if (capturePresented)
        imageCaptured_ = writeImage(presented_, options_.imagePath);
    if (captureInput)
        inputCaptured_ = writeImage(input_, options_.inputImagePath);
    return true;
}

// --render-ahead: a render thread records and dispatches each frame one frame ahead of the present: it
// renders frame n+1 while frame n waits to be presented, into two command lists taken in turn.
bool Game::runRenderingAhead()
{
    ID3D12CommandAllocator* allocators[2] = {allocator_.Get(), aheadAllocator_.Get()};
    ID3D12GraphicsCommandList* lists[2] = {list_.Get(), aheadList_.Get()};
    std::mutex lock;
    std::condition_variable changed;
    std::uint32_t rendered = 0, presented = 0;
    bool failed = false;
    const std::uint32_t frames = options_.frames;
    std::thread renderThread([&] {
        for (std::uint32_t frame = 0; frame < frames; ++frame) {
            {
                // A list is taken again once the frame that used it was presented.
                std::unique_lock<std::mutex> held(lock);
                changed.wait(held, [&] { return failed || presented + 2 > frame; });
                if (failed)
                    return;
            }
            const bool ok = renderInto(frame, allocators[frame % 2], lists[frame % 2]);
            std::lock_guard<std::mutex> held(lock);
            failed = failed || !ok;
            ++rendered;
            changed.notify_all();
        }
    });
    bool ok = true;
    for (std::uint32_t frame = 0; frame < frames && ok; ++frame) {
        {
            // Frame n is presented once frame n+1 is rendered (the last once it is).
            std::unique_lock<std::mutex> held(lock);
            changed.wait(held, [&] { return failed || rendered >= std::min(frame + 2, frames); });
            ok = !failed;
        }
        if (options_.pingEvery && frame % options_.pingEvery == 0)
            postLatencyPing();
        ok = ok && presentFrom(frame, frame + 1 == frames, lists[frame % 2]);
        pumpMessages();
        std::lock_guard<std::mutex> held(lock);
        failed = failed || !ok;
        ++presented;
        changed.notify_all();
    }
    renderThread.join();
    return ok;
}

// The device, on the adapter asked for (by default the system's choice), as ID3D12Device5 or, where that is
// missing, as the base interface.
bool Game::createDevice()
{
    ComPtr<IDXGIAdapter1> adapter;
    ComPtr<IDXGIFactory1> factory1;
    if (options_.adapter != noAdapter &&
        (FAILED(factory_.As(&factory1)) || FAILED(factory1->EnumAdapters1(options_.adapter, &adapter)))) {
        std::printf("game: there is no adapter %u; quitting\n", options_.adapter);
        return false;
    }
    HRESULT hr = D3D12CreateDevice(adapter.Get(), D3D_FEATURE_LEVEL_11_0, __uuidof(ID3D12Device5),
                                   reinterpret_cast<void**>(device_.ReleaseAndGetAddressOf()));
    report_.setHex("device_hr", static_cast<std::uint32_t>(hr));
    report_.setText("device_interface", "ID3D12Device5");
    if (FAILED(hr) || !device_) {
        // Without a newer device the game falls back to the base interface.
        device_.Reset();
        hr = D3D12CreateDevice(adapter.Get(), D3D_FEATURE_LEVEL_11_0, IID_PPV_ARGS(&device_));
        report_.setHex("device_hr", static_cast<std::uint32_t>(hr));
        report_.setText("device_interface", "ID3D12Device");
    }
    if (FAILED(hr) || !device_) {
        std::printf("game: cannot create the Direct3D 12 device (0x%08X); quitting\n",
                    static_cast<unsigned>(hr));
        return false;
    }
    report_.setText("device_vtable", vtableOwner(device_.Get()));
    if (options_.deviceFromQueryInterface) {
        hr = device_->QueryInterface(IID_PPV_ARGS(&fsr2Device_));
        report_.setHex("qi_device_hr", static_cast<std::uint32_t>(hr));
        report_.setText("qi_device_vtable", vtableOwner(fsr2Device_.Get()));
    }
    return true;
}

// Everything the game renders and presents with, on its device.
bool Game::createDeviceObjects()
{
    D3D12_COMMAND_QUEUE_DESC queueDesc{};
    queueDesc.Type = D3D12_COMMAND_LIST_TYPE_DIRECT;
    if (FAILED(device_->CreateCommandQueue(&queueDesc, IID_PPV_ARGS(&queue_))))
        return false;
    report_.setText("queue_vtable", vtableOwner(queue_.Get()));
    if (FAILED(device_->CreateCommandAllocator(D3D12_COMMAND_LIST_TYPE_DIRECT, IID_PPV_ARGS(&allocator_))) ||
        FAILED(device_->CreateCommandList(0, D3D12_COMMAND_LIST_TYPE_DIRECT, allocator_.Get(), nullptr,
                                          IID_PPV_ARGS(&list_))) ||
        FAILED(list_->Close()) ||
        FAILED(device_->CreateCommandAllocator(D3D12_COMMAND_LIST_TYPE_DIRECT,
                                               IID_PPV_ARGS(&aheadAllocator_))) ||
        FAILED(device_->CreateCommandList(0, D3D12_COMMAND_LIST_TYPE_DIRECT, aheadAllocator_.Get(), nullptr,
                                          IID_PPV_ARGS(&aheadList_))) ||
        FAILED(aheadList_->Close()) ||
        FAILED(device_->CreateFence(0, D3D12_FENCE_FLAG_NONE, IID_PPV_ARGS(&fence_))))
        return false;
    return createSwapChain() && createSceneTargets() && createOutput() && createReadbacks();
}

// Resources before their device; the factory and the window stay.
void Game::releaseDeviceObjects()
{
    for (auto& buffer : backBuffers_)
        buffer.Reset();
    presented_ = {};
    input_ = {};
    output_.Reset();
    mask_.Reset();
    motion_.Reset();
    depth_.Reset();
    color_.Reset();
    rtvHeap_.Reset();
    aheadList_.Reset();
    aheadAllocator_.Reset();
    list_.Reset();
    allocator_.Reset();
    fence_.Reset();
    swapChain_.Reset();
    queue_.Reset();
    fsr2Device_.Reset();
    secondDevice_.Reset();
    device_.Reset();
}

// --on-device-lost: a present that reports the device removed (or reset) ends the frame there.
bool Game::deviceLostBy(HRESULT presented)
{
    if (options_.onDeviceLost == OnDeviceLost::fail ||
        (presented != DXGI_ERROR_DEVICE_REMOVED && presented != DXGI_ERROR_DEVICE_RESET))
        return false;
    deviceLost_ = true;
    QueryPerformanceCounter(&deviceLostAt);
    return true;
}

// As games do after a device loss: ask why, then quit with an error of their own, or release everything of
// the old device and make it all again. False: the game ends.
bool Game::handleDeviceLoss()
{
    waitIdle(); // fails at once on a removed device, as it should; a game tries all the same
    const HRESULT reason = device_->GetDeviceRemovedReason();
    report_.set("device_lost_frame", framesRendered_ - 1);
    report_.setHex("device_removed_reason", static_cast<std::uint32_t>(reason));
    std::printf("game: the graphics device was removed (reason 0x%08X)\n", static_cast<unsigned>(reason));
    deviceLost_ = false;
    if (options_.onDeviceLost == OnDeviceLost::quit) {
        wchar_t text[128];
        std::swprintf(text, std::size(text),
                      L"The graphics device was removed (0x%08X). The game will close.",
                      static_cast<unsigned>(reason));
        MessageBoxW(nullptr, text, L"Stand-in game", MB_OK | MB_ICONERROR);
        return false;
    }
    destroyContext();
    releaseDeviceObjects();
    if (!createDevice() || !createDeviceObjects() || !createContext())
        return false;
    recreated_ = true;
    return true;
}

// --second-device: a title (or a library inside it) that makes another device after the first.
bool Game::createSecondDevice()
{
    const HRESULT hr = D3D12CreateDevice(nullptr, D3D_FEATURE_LEVEL_11_0, __uuidof(ID3D12Device5),
                                         reinterpret_cast<void**>(secondDevice_.ReleaseAndGetAddressOf()));
    report_.setHex("second_device_hr", static_cast<std::uint32_t>(hr));
    report_.setText("second_device_vtable", vtableOwner(secondDevice_.Get()));
    if (FAILED(hr) || !secondDevice_)
        return false;
    // The device works: it makes a queue of its own.
    D3D12_COMMAND_QUEUE_DESC queueDesc{};
    queueDesc.Type = D3D12_COMMAND_LIST_TYPE_DIRECT;
    ComPtr<ID3D12CommandQueue> queue;
    const HRESULT queueHr = secondDevice_->CreateCommandQueue(&queueDesc, IID_PPV_ARGS(&queue));
    report_.setHex("second_device_queue_hr", static_cast<std::uint32_t>(queueHr));
    return SUCCEEDED(queueHr);
}

// A captured texture as a binary PPM (RGB), for the demo's picture.
bool Game::writeImage(Readback& readback, const std::wstring& path)
{
    const UINT width = readback.layout.Footprint.Width;
    const UINT height = readback.layout.Footprint.Height;
    const UINT pitch = readback.layout.Footprint.RowPitch;
    void* mapped = nullptr;
    D3D12_RANGE range{0, static_cast<SIZE_T>(pitch) * height};
    if (FAILED(readback.buffer->Map(0, &range, &mapped)) || !mapped)
        return false;
    std::ofstream file(std::filesystem::path(path), std::ios::binary);
    file << "P6\n" << width << ' ' << height << "\n255\n";
    std::vector<char> row(static_cast<std::size_t>(width) * 3);
    for (UINT y = 0; y < height && file; ++y) {
        const auto* pixels = static_cast<const unsigned char*>(mapped) + static_cast<std::size_t>(y) * pitch;
        for (UINT x = 0; x < width; ++x) {
            row[x * 3 + 0] = static_cast<char>(pixels[x * 4 + 0]);
            row[x * 3 + 1] = static_cast<char>(pixels[x * 4 + 1]);
            row[x * 3 + 2] = static_cast<char>(pixels[x * 4 + 2]);
        }
        file.write(row.data(), static_cast<std::streamsize>(row.size()));
    }
    file.close();
    D3D12_RANGE nothing{0, 0};
    readback.buffer->Unmap(0, &nothing);
    return !file.fail();
}

// What the display driver does for Reflex: post the latency ping message
// (the stand-in Streamline names it) to the game's window.
void Game::postLatencyPing()
{
    static const UINT ping = RegisterWindowMessageW(L"SL_STANDIN_PCL_PING");
    if (ping && PostMessageW(window_, ping, 0, 0))
        ++pingsPosted_;
}

void Game::pumpMessages()
{
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
}

// How long the game took from its process's creation to its first frame on screen (the start-up a player
// waits through, the bridge's share included): first_present_ms.
void Game::reportFirstPresent()
{
    FILETIME created, exited, kernel, user, now;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user))
        return;
    GetSystemTimePreciseAsFileTime(&now);
    const auto ticks = [](const FILETIME& t) {
        return (std::uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime;
    };
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", static_cast<double>(ticks(now) - ticks(created)) / 1e4);
    report_.setText("first_present_ms", text);
    std::snprintf(text, sizeof text, "%.3f", static_cast<double>(ticks(now) - ticks(bridgeLoadTime)) / 1e4);
    report_.setText("first_present_after_load_ms", text);
}

void Game::reportTimings()
{
    if (!options_.benchmark || dispatchUs_.size() < 4)
        return;
    // The first frames warm caches and fill lazily fetched entry points.
    const auto steady = [](std::vector<double>& v) {
        v.erase(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(v.size() / 4));
        return median(v);
    };
    char text[64];
    const double dispatch = steady(dispatchUs_);
    const double submit = steady(submitUs_);
    const double present = steady(presentUs_);
    std::snprintf(text, sizeof text, "%.3f", steady(standinUs_));
    report_.setText("bench_standin_us", text);
    std::snprintf(text, sizeof text, "%.3f", steady(innerPresentUs_));
    report_.setText("bench_inner_present_us", text);
    // Mean, not median: one allocation every few frames must show.
    allocations_.erase(allocations_.begin(),
                       allocations_.begin() + static_cast<std::ptrdiff_t>(allocations_.size() / 4));
    double allocationSum = 0.0;
    for (double a : allocations_)
        allocationSum += a;
    std::snprintf(text, sizeof text, "%.3f", allocationSum / static_cast<double>(allocations_.size()));
    report_.setText("bench_allocations_per_frame", text);
    std::snprintf(text, sizeof text, "%.3f", dispatch);
    report_.setText("bench_dispatch_us", text);
    std::snprintf(text, sizeof text, "%.3f", submit);
    report_.setText("bench_submit_us", text);
    std::snprintf(text, sizeof text, "%.3f", present);
    report_.setText("bench_present_us", text);
    std::snprintf(text, sizeof text, "%.3f", dispatch + submit + present);
    report_.setText("bench_frame_us", text);
}

int Game::run()
{
    QueryPerformanceFrequency(&frequency_);
    display_ = options_.displaySize;
    format_ = options_.format;
    layout_ = world_.publish(GetModuleHandleW(nullptr));
    report_.set("layout", layout_ ? 1 : 0);

    HRESULT hr = CreateDXGIFactory2(0, IID_PPV_ARGS(&factory_));
    report_.setHex("factory_hr", static_cast<std::uint32_t>(hr));
    if (FAILED(hr) || !factory_) {
        std::printf("game: cannot create the DXGI factory (0x%08X); quitting\n", static_cast<unsigned>(hr));
        return exitFactoryFailed;
    }
    report_.setText("factory_vtable", vtableOwner(factory_.Get()));

    if (!createDevice())
        return exitDeviceFailed;
    if (options_.secondDevice && !createSecondDevice())
        return exitSetupFailed;
    fenceEvent_.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!fenceEvent_ || !createWindow() || !createDeviceObjects() || !dropOwnFactory())
        return exitSetupFailed;

    context_ = std::make_unique<FfxFsr2Context>();
    createContext();
    report_.setHex("aliasable_result", static_cast<std::uint32_t>(ffxFsr2RegisterAliasableResources(
                                           context_.get(), nullptr, nullptr, nullptr)));
    if (options_.benchmark) {
        allocations_.reserve(options_.frames);
        dispatchUs_.reserve(options_.frames);
        innerPresentUs_.reserve(options_.frames);
        standinUs_.reserve(options_.frames);
        submitUs_.reserve(options_.frames);
        presentUs_.reserve(options_.frames);
    }

    if (options_.renderAhead) {
        const bool rendered = runRenderingAhead();
        waitIdle();
        destroyContext();
        return rendered ? exitOk : exitSetupFailed;
    }
    DWORD lastProgress = GetTickCount();
    for (std::uint32_t frame = 0; frame < options_.frames; ++frame) {
        if (options_.resizeAtFrame && frame == options_.resizeAtFrame && !resize(options_.resizeTo))
            return exitSetupFailed;
        if (options_.recreateAtFrame && frame == options_.recreateAtFrame && !recreateSwapChain())
            return exitSetupFailed;
        if (options_.formatAtFrame && frame == options_.formatAtFrame && !switchFormat(options_.formatTo))
            return exitSetupFailed;
        if (options_.resizeEvery && frame > 0 && frame % options_.resizeEvery == 0 &&
            !resize(resizes_ % 2 == 0 ? options_.resizeTo : options_.displaySize))
            return exitSetupFailed;
        if (!options_.overlayPath.empty() && options_.overlayAtFrame && frame == options_.overlayAtFrame)
            attachOverlay();
        // An overlay attaching on its own thread has done so by the last five frames, whatever the machine's
        // load.
        if (!options_.overlayPath.empty() && frame + 5 == options_.frames)
            awaitOverlayAttach();
        if (options_.altEnterAtFrame && !followAltEnter(frame))
            return exitSetupFailed;
        // A title that keeps no factory asks its swap chain's each frame whether the display setup changed.
        if (options_.recreateVia == GameOptions::RecreateVia::swapChainParent) {
            ComPtr<IDXGIFactory1> parent;
            if (SUCCEEDED(swapChain_->GetParent(IID_PPV_ARGS(&parent))))
                parent->IsCurrent();
        }
        if (options_.pingEvery && frame % options_.pingEvery == 0)
            postLatencyPing();
        if (!renderFrame(frame, frame + 1 == options_.frames))
            return exitSetupFailed;
        if (deviceLost_ && !handleDeviceLoss())
            return options_.onDeviceLost == OnDeviceLost::quit ? exitDeviceLost : exitSetupFailed;
        pumpMessages();
        const DWORD now = GetTickCount();
        if (now - lastProgress >= 1000) {
            lastProgress = now;
            std::printf("progress: frame=%u presented=%llu dispatch_ok=%llu\n", frame + 1,
                        static_cast<unsigned long long>(framesPresented_),
                        static_cast<unsigned long long>(dispatchOk_));
            std::fflush(stdout);
        }
    }
    waitIdle();
    destroyContext();
    return exitOk;
}

void Game::shutdown()
{
    waitIdle();
    const OwnFsr2Counters& own = ownFsr2Counters();
    report_.set("frames_rendered", framesRendered_);
    report_.set("frames_presented", framesPresented_);
    report_.set("present_failures", presentFailures_);
    report_.set("dispatch_ok", dispatchOk_);
    report_.set("dispatch_failed", dispatchFailed_);
    report_.setHex("dispatch_last_error", lastDispatchError_);
    report_.set("context_creates", contextCreates_);
    report_.set("context_create_failures", contextCreateFailures_);
    report_.set("resizes", resizes_);
    report_.set("swapchain_recreations", recreations_);
    report_.set("pings_posted", pingsPosted_);
    report_.set("device_recreated", recreated_ ? 1 : 0);
    report_.set("frames_after_loss", framesAfterLoss_);
    report_.set("presents_still_drawing", presentsStillDrawing_);
    report_.set("window_resizes", windowResizes_);
    report_.set("internal_calls", internalCalls_);
    report_.set("internal_mismatches", internalMismatches_);
    report_.set("own_fsr2_creates", own.creates);
    report_.set("own_fsr2_dispatches", own.dispatches);
    report_.set("own_fsr2_destroys", own.destroys);
    report_.set("image_written", imageCaptured_ ? 1 : 0);
    report_.set("input_image_written", inputCaptured_ ? 1 : 0);
    reportTimings();
    // Resources before their device, the device before the factory.
    releaseDeviceObjects();
    fenceEvent_.reset();
    adapter_.Reset();
    factory_.Reset();
    if (window_)
        DestroyWindow(window_);
    window_ = nullptr;
}

} // namespace

int runGame(const GameOptions& options, Report& report)
{
    testworld::BoxCatcher catcher;
    if (options.benchmark) {
        report.set("allocation_counting", startAllocationCounting() ? 1 : 0);
        report.set("inner_present_timing", startInnerPresentTiming() ? 1 : 0);
    }
#ifdef HOST_GAME_DEVICE_LAYER
    report.set("device_layer", testworld::installDeviceLayer() ? 1 : 0);
    if (options.stillDrawingEvery)
        report.set("still_drawing_layer", testworld::refuseNonWaitingPresentsOnce() ? 1 : 0);
    if (!options.overlayPath.empty())
        report.set("creations_apart_layer", testworld::keepCreationsApartFromPresents() ? 1 : 0);
    if (options.recreateVia != GameOptions::RecreateVia::ownFactory)
        report.set("any_queue_layer", testworld::acceptWrappedQueuesInSystemFactories() ? 1 : 0);
#else
    report.set("device_layer", 0);
#endif
    // Imported by the game; a mod loader injects its DLLs once they are in.
    LoadLibraryW(L"d3d12.dll");
    LoadLibraryW(L"dxgi.dll");
    const bool overlay = !options.overlayPath.empty();
    const bool attachLater = options.overlayAtFrame != 0;
    if (overlay && options.overlayBeforeBridge)
        loadOverlay(options.overlayPath, attachLater, report);
    GetSystemTimePreciseAsFileTime(&bridgeLoadTime);
    if (!options.bridgePath.empty()) {
        HMODULE bridge = LoadLibraryW(options.bridgePath.c_str());
        report.set("bridge_loaded", bridge ? 1 : 0);
        if (!bridge)
            report.set("bridge_load_error", GetLastError());
    } else {
        report.set("bridge_loaded", 0);
    }
    if (overlay && !options.overlayBeforeBridge)
        loadOverlay(options.overlayPath, attachLater, report);
    Sleep(options.bootMs); // the game loads its data and shows its splash screens before its first factory
    int code = exitOk;
    {
        Game game(options, report);
        code = game.run();
    }
    report.set("streamline_loaded", GetModuleHandleW(L"sl.interposer.dll") ? 1 : 0);
    if (overlay)
        reportOverlay(report);
    if (deviceLostAt.QuadPart != 0) {
        // From the present that found the device removed to here, everything released.
        LARGE_INTEGER now, frequency;
        QueryPerformanceCounter(&now);
        QueryPerformanceFrequency(&frequency);
        report.set(
            "device_lost_to_end_ms",
            static_cast<std::uint64_t>((now.QuadPart - deviceLostAt.QuadPart) * 1000 / frequency.QuadPart));
    }
#ifdef HOST_GAME_DEVICE_LAYER
    report.set("removed_device_uses", testworld::usesOfRemovedDevices());
#endif
    for (const auto& box : catcher.boxes())
        report.addBox(box.caption, box.text);
    report.set("boxes", catcher.boxes().size());
    report.set("exit_code", static_cast<std::uint64_t>(code));
    return code;
}

} // namespace hostgame
