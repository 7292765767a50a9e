#include "testbed/host/host_game.h"

#include "common/graphics.h"
#include "testbed/host/host_allocations.h"
#include "testbed/host/host_fsr2.h"
#include "testbed/host/host_layout.h"
#include "testbed/world/box_catcher.h"

#ifdef HOST_GAME_DEVICE_LAYER
#include "testbed/devicelayer/device_layer.h"
#endif

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

namespace hostgame {
namespace {

constexpr DXGI_FORMAT colorFormat = DXGI_FORMAT_R8G8B8A8_UNORM;
constexpr UINT backBufferCount = 2;

template <class T> void release(T*& object)
{
    if (object)
        object->Release();
    object = nullptr;
}

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

D3D12_RESOURCE_BARRIER transition(ID3D12Resource* resource, D3D12_RESOURCE_STATES before,
                                  D3D12_RESOURCE_STATES after)
{
    D3D12_RESOURCE_BARRIER barrier{};
    barrier.Type = D3D12_RESOURCE_BARRIER_TYPE_TRANSITION;
    barrier.Transition.pResource = resource;
    barrier.Transition.Subresource = D3D12_RESOURCE_BARRIER_ALL_SUBRESOURCES;
    barrier.Transition.StateBefore = before;
    barrier.Transition.StateAfter = after;
    return barrier;
}

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

LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    return DefWindowProcA(window, message, wParam, lParam);
}

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
                       ID3D12Resource** out);
    bool createSceneTargets();
    bool createOutput();
    D3D12_CPU_DESCRIPTOR_HANDLE outputRtv();
    bool createReadback();
    bool createContext();
    void destroyContext();
    bool resize(Size display);
    bool renderFrame(std::uint32_t frame, bool last);
    void recordScene(std::uint32_t frame);
    void callInternalFunction(std::uint32_t frame);
    FfxFsr2DispatchDescription dispatchDescription(std::uint32_t frame);
    bool waitIdle();
    bool writeImage();
    void pumpMessages();
    void postLatencyPing();
    void shutdown();
    void reportTimings();

    const GameOptions& options_;
    Report& report_;
    Size display_{};
    HWND window_ = nullptr;
    IDXGIFactory2* factory_ = nullptr;
    ID3D12Device* device_ = nullptr;
    ID3D12Device* fsr2Device_ = nullptr; // from QueryInterface, when asked
    ID3D12CommandQueue* queue_ = nullptr;
    IDXGISwapChain3* swapChain_ = nullptr;
    ID3D12Resource* backBuffers_[backBufferCount] = {};
    ID3D12CommandAllocator* allocator_ = nullptr;
    ID3D12GraphicsCommandList* list_ = nullptr;
    ID3D12Fence* fence_ = nullptr;
    HANDLE fenceEvent_ = nullptr;
    UINT64 fenceValue_ = 0;
    ID3D12DescriptorHeap* rtvHeap_ = nullptr;
    ID3D12Resource* color_ = nullptr;
    ID3D12Resource* depth_ = nullptr;
    ID3D12Resource* motion_ = nullptr;
    ID3D12Resource* mask_ = nullptr;
    ID3D12Resource* output_ = nullptr;
    ID3D12Resource* readback_ = nullptr;
    D3D12_PLACED_SUBRESOURCE_FOOTPRINT readbackLayout_{};
    bool imageCaptured_ = false;
    std::unique_ptr<FfxFsr2Context> context_;
    bool contextLive_ = false;
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
    std::uint64_t pingsPosted_ = 0;

    std::vector<double> dispatchUs_;
    std::vector<double> submitUs_;
    std::vector<double> presentUs_;
    std::vector<double> allocations_;
    std::vector<double> innerPresentUs_;
    LARGE_INTEGER frequency_{};
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
    desc.Format = colorFormat;
    desc.SampleDesc.Count = 1;
    desc.BufferUsage = DXGI_USAGE_RENDER_TARGET_OUTPUT;
    desc.BufferCount = backBufferCount;
    desc.SwapEffect = DXGI_SWAP_EFFECT_FLIP_DISCARD;
    IDXGISwapChain1* swapChain1 = nullptr;
    HRESULT hr = factory_->CreateSwapChainForHwnd(queue_, window_, &desc, nullptr, nullptr, &swapChain1);
    report_.setHex("swapchain_hr", static_cast<std::uint32_t>(hr));
    if (FAILED(hr) || !swapChain1)
        return false;
    hr = swapChain1->QueryInterface(IID_PPV_ARGS(&swapChain_));
    swapChain1->Release();
    if (FAILED(hr))
        return false;
    report_.setText("swapchain_vtable", vtableOwner(swapChain_));
    return acquireBackBuffers();
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
                         D3D12_RESOURCE_STATES state, ID3D12Resource** out)
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
                                                      IID_PPV_ARGS(out)));
}

bool Game::createSceneTargets()
{
    const Size render = options_.renderSize;
    const auto inputState = D3D12_RESOURCE_STATE_NON_PIXEL_SHADER_RESOURCE;
    if (!createTexture(render, colorFormat, D3D12_RESOURCE_FLAG_ALLOW_RENDER_TARGET, inputState, &color_) ||
        !createTexture(render, DXGI_FORMAT_R32_FLOAT, D3D12_RESOURCE_FLAG_NONE, inputState, &depth_) ||
        !createTexture(render, DXGI_FORMAT_R16G16_FLOAT, D3D12_RESOURCE_FLAG_NONE, inputState, &motion_))
        return false;
    // The transparency mask is typeless, as the game's own shaders view it as R8.
    if (options_.transparencyMask &&
        !createTexture(render, DXGI_FORMAT_R8_TYPELESS, D3D12_RESOURCE_FLAG_NONE, inputState, &mask_))
        return false;
    D3D12_DESCRIPTOR_HEAP_DESC heapDesc{};
    heapDesc.Type = D3D12_DESCRIPTOR_HEAP_TYPE_RTV;
    heapDesc.NumDescriptors = 2; // the scene's colour, the FSR2 output
    if (FAILED(device_->CreateDescriptorHeap(&heapDesc, IID_PPV_ARGS(&rtvHeap_))))
        return false;
    D3D12_CPU_DESCRIPTOR_HANDLE rtv;
    rtvHeap_->GetCPUDescriptorHandleForHeapStart(&rtv);
    device_->CreateRenderTargetView(color_, nullptr, rtv);
    return true;
}

bool Game::createOutput()
{
    release(output_);
    if (!createTexture(display_, colorFormat,
                       D3D12_RESOURCE_FLAG_ALLOW_UNORDERED_ACCESS | D3D12_RESOURCE_FLAG_ALLOW_RENDER_TARGET,
                       D3D12_RESOURCE_STATE_UNORDERED_ACCESS, &output_))
        return false;
    device_->CreateRenderTargetView(output_, nullptr, outputRtv());
    return true;
}

D3D12_CPU_DESCRIPTOR_HANDLE Game::outputRtv()
{
    D3D12_CPU_DESCRIPTOR_HANDLE rtv;
    rtvHeap_->GetCPUDescriptorHandleForHeapStart(&rtv);
    rtv.ptr += device_->GetDescriptorHandleIncrementSize(D3D12_DESCRIPTOR_HEAP_TYPE_RTV);
    return rtv;
}

bool Game::createReadback()
{
    release(readback_);
    if (options_.imagePath.empty())
        return true;
    D3D12_RESOURCE_DESC texture = {};
    backBuffers_[0]->GetDesc(&texture);
    UINT64 total = 0;
    device_->GetCopyableFootprints(&texture, 0, 1, 0, &readbackLayout_, nullptr, nullptr, &total);
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
                                                      IID_PPV_ARGS(&readback_)));
}

bool Game::createContext()
{
    FfxFsr2ContextDescription desc{};
    desc.flags = options_.fsr2Flags;
    desc.maxRenderSize = {options_.renderSize.width, options_.renderSize.height};
    desc.displaySize = {display_.width, display_.height};
    desc.device = fsr2Device_ ? fsr2Device_ : device_;
    ++contextCreates_;
    const FfxErrorCode result = ffxFsr2ContextCreate(context_.get(), &desc);
    report_.setHex("context_create_result", static_cast<std::uint32_t>(result));
    contextLive_ = result == ffxOk;
    if (!contextLive_)
        ++contextCreateFailures_;
    resetNext_ = true;
    return contextLive_;
}

void Game::destroyContext()
{
    if (contextLive_)
        report_.setHex("context_destroy_result",
                       static_cast<std::uint32_t>(ffxFsr2ContextDestroy(context_.get())));
    contextLive_ = false;
}

bool Game::waitIdle()
{
    if (!queue_ || !fence_)
        return false;
    ++fenceValue_;
    if (FAILED(queue_->Signal(fence_, fenceValue_)))
        return false;
    if (fence_->GetCompletedValue() < fenceValue_) {
        if (FAILED(fence_->SetEventOnCompletion(fenceValue_, fenceEvent_)))
            return false;
        if (WaitForSingleObject(fenceEvent_, 10000) != WAIT_OBJECT_0)
            return false;
    }
    return true;
}

// A title that changes its output size recreates its FSR2 context.
bool Game::resize(Size display)
{
    if (!waitIdle())
        return false;
    destroyContext();
    for (auto& buffer : backBuffers_)
        release(buffer);
    display_ = display;
    SetWindowPos(window_, nullptr, 0, 0, static_cast<int>(display.width), static_cast<int>(display.height),
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    const HRESULT hr =
        swapChain_->ResizeBuffers(backBufferCount, display.width, display.height, colorFormat, 0);
    report_.setHex("resize_hr", static_cast<std::uint32_t>(hr));
    if (FAILED(hr) || !acquireBackBuffers() || !createOutput() || !createReadback())
        return false;
    ++resizes_;
    return createContext();
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

void Game::recordScene(std::uint32_t frame)
{
    const Size render = options_.renderSize;
    D3D12_RESOURCE_BARRIER toTarget = transition(color_, D3D12_RESOURCE_STATE_NON_PIXEL_SHADER_RESOURCE,
                                                 D3D12_RESOURCE_STATE_RENDER_TARGET);
    list_->ResourceBarrier(1, &toTarget);
    D3D12_CPU_DESCRIPTOR_HANDLE rtv;
    rtvHeap_->GetCPUDescriptorHandleForHeapStart(&rtv);
    const float phase = static_cast<float>(frame % 120) / 120.0f;
    const float sky[4] = {0.1f, 0.2f + 0.3f * phase, 0.5f, 1.0f};
    list_->ClearRenderTargetView(rtv, sky, 0, nullptr);
    // A sun that crosses the picture and a ground band: frames differ.
    const LONG w = static_cast<LONG>(render.width);
    const LONG h = static_cast<LONG>(render.height);
    const LONG sunX = static_cast<LONG>(phase * static_cast<float>(w - w / 8));
    const D3D12_RECT ground{0, h * 2 / 3, w, h};
    const D3D12_RECT sun{sunX, h / 6, sunX + w / 8, h / 6 + h / 6};
    const float green[4] = {0.2f, 0.6f, 0.2f, 1.0f};
    const float yellow[4] = {1.0f, 0.85f, 0.1f, 1.0f};
    list_->ClearRenderTargetView(rtv, green, 1, &ground);
    list_->ClearRenderTargetView(rtv, yellow, 1, &sun);
    D3D12_RESOURCE_BARRIER toInput = transition(color_, D3D12_RESOURCE_STATE_RENDER_TARGET,
                                                D3D12_RESOURCE_STATE_NON_PIXEL_SHADER_RESOURCE);
    list_->ResourceBarrier(1, &toInput);
    // The output starts black; the upscaler writes the picture into it.
    D3D12_RESOURCE_BARRIER outputToTarget =
        transition(output_, D3D12_RESOURCE_STATE_UNORDERED_ACCESS, D3D12_RESOURCE_STATE_RENDER_TARGET);
    list_->ResourceBarrier(1, &outputToTarget);
    const float black[4] = {0.0f, 0.0f, 0.0f, 1.0f};
    list_->ClearRenderTargetView(outputRtv(), black, 0, nullptr);
    D3D12_RESOURCE_BARRIER outputToUav =
        transition(output_, D3D12_RESOURCE_STATE_RENDER_TARGET, D3D12_RESOURCE_STATE_UNORDERED_ACCESS);
    list_->ResourceBarrier(1, &outputToUav);
}

FfxFsr2DispatchDescription Game::dispatchDescription(std::uint32_t frame)
{
    FfxFsr2DispatchDescription d{};
    d.commandList = list_;
    d.color.resource = color_;
    d.depth.resource = depth_;
    d.depth.isDepth = true;
    d.motionVectors.resource = motion_;
    d.transparencyAndComposition.resource = mask_;
    d.output.resource = output_;
    d.output.state = 1; // unordered access
    const Size render = options_.renderSize;
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
    const float aspect =
        static_cast<float>(options_.renderSize.width) / static_cast<float>(options_.renderSize.height);
    world_.setCamera(cameraForFrame(frame, aspect, 1.0f, 0.1f, 1000.0f));
    // The menu is open for the first frames and for a few after a resize.
    const bool menu = frame < 4 || (options_.resizeAtFrame && frame >= options_.resizeAtFrame &&
                                    frame < options_.resizeAtFrame + 4);
    world_.setMenuOpen(menu);
    callInternalFunction(frame);

    if (FAILED(allocator_->Reset()) || FAILED(list_->Reset(allocator_, nullptr)))
        return false;
    recordScene(frame);

    LARGE_INTEGER t0, t1, t2, t3, t4;
    const FfxFsr2DispatchDescription description = dispatchDescription(frame);
    const std::uint64_t allocationsBefore = countedAllocations();
    countAllocations(options_.benchmark);
    QueryPerformanceCounter(&t0);
    const FfxErrorCode result = contextLive_ ? ffxFsr2ContextDispatch(context_.get(), &description) : ffxOk;
    QueryPerformanceCounter(&t1);
    countAllocations(false);
    if (result == ffxOk) {
        ++dispatchOk_;
        resetNext_ = false;
    } else {
        ++dispatchFailed_;
        lastDispatchError_ = static_cast<std::uint32_t>(result);
    }

    ID3D12Resource* backBuffer = backBuffers_[swapChain_->GetCurrentBackBufferIndex() % backBufferCount];
    D3D12_RESOURCE_BARRIER toCopy[2] = {
        transition(output_, D3D12_RESOURCE_STATE_UNORDERED_ACCESS, D3D12_RESOURCE_STATE_COPY_SOURCE),
        transition(backBuffer, D3D12_RESOURCE_STATE_PRESENT, D3D12_RESOURCE_STATE_COPY_DEST)};
    list_->ResourceBarrier(2, toCopy);
    list_->CopyResource(backBuffer, output_);
    const bool capture = last && readback_;
    D3D12_RESOURCE_BARRIER back[2] = {
        transition(output_, D3D12_RESOURCE_STATE_COPY_SOURCE, D3D12_RESOURCE_STATE_UNORDERED_ACCESS),
        transition(backBuffer, D3D12_RESOURCE_STATE_COPY_DEST,
                   capture ? D3D12_RESOURCE_STATE_COPY_SOURCE : D3D12_RESOURCE_STATE_PRESENT)};
    list_->ResourceBarrier(2, back);
    if (capture) {
        D3D12_TEXTURE_COPY_LOCATION dst{};
        dst.pResource = readback_;
        dst.Type = D3D12_TEXTURE_COPY_TYPE_PLACED_FOOTPRINT;
        dst.PlacedFootprint = readbackLayout_;
        D3D12_TEXTURE_COPY_LOCATION src{};
        src.pResource = backBuffer;
        src.Type = D3D12_TEXTURE_COPY_TYPE_SUBRESOURCE_INDEX;
        list_->CopyTextureRegion(&dst, 0, 0, 0, &src, nullptr);
        D3D12_RESOURCE_BARRIER toPresent =
            transition(backBuffer, D3D12_RESOURCE_STATE_COPY_SOURCE, D3D12_RESOURCE_STATE_PRESENT);
        list_->ResourceBarrier(1, &toPresent);
    }
    if (FAILED(list_->Close()))
        return false;
    ID3D12CommandList* lists[] = {list_};
    const double innerBefore = innerPresentMicroseconds();
    countAllocations(options_.benchmark);
    QueryPerformanceCounter(&t2);
    queue_->ExecuteCommandLists(1, lists);
    QueryPerformanceCounter(&t3);
    const double innerSubmit = innerPresentMicroseconds() - innerBefore;
    const HRESULT presented = swapChain_->Present(0, 0);
    QueryPerformanceCounter(&t4);
    countAllocations(false);
    ++framesRendered_;
    if (SUCCEEDED(presented))
        ++framesPresented_;
    else
        ++presentFailures_;
    if (options_.benchmark) {
        dispatchUs_.push_back(microseconds(t0, t1, frequency_));
        submitUs_.push_back(microseconds(t2, t3, frequency_) - innerSubmit);
        const double inner = innerPresentMicroseconds() - innerBefore - innerSubmit;
        presentUs_.push_back(microseconds(t3, t4, frequency_) - inner);
        innerPresentUs_.push_back(inner);
        allocations_.push_back(static_cast<double>(countedAllocations() - allocationsBefore));
    }
    if (!waitIdle())
        return false;
    if (capture)
        imageCaptured_ = writeImage();
    return true;
}

// The last presented frame as a binary PPM (RGB), for the demo's picture.
bool Game::writeImage()
{
    const UINT width = readbackLayout_.Footprint.Width;
    const UINT height = readbackLayout_.Footprint.Height;
    const UINT pitch = readbackLayout_.Footprint.RowPitch;
    void* mapped = nullptr;
    D3D12_RANGE range{0, static_cast<SIZE_T>(pitch) * height};
    if (FAILED(readback_->Map(0, &range, &mapped)) || !mapped)
        return false;
    FILE* file = _wfopen(options_.imagePath.c_str(), L"wb");
    bool ok = file != nullptr;
    if (file) {
        std::fprintf(file, "P6\n%u %u\n255\n", width, height);
        std::vector<unsigned char> row(static_cast<std::size_t>(width) * 3);
        for (UINT y = 0; y < height; ++y) {
            const auto* pixels =
                static_cast<const unsigned char*>(mapped) + static_cast<std::size_t>(y) * pitch;
            for (UINT x = 0; x < width; ++x) {
                row[x * 3 + 0] = pixels[x * 4 + 0];
                row[x * 3 + 1] = pixels[x * 4 + 1];
                row[x * 3 + 2] = pixels[x * 4 + 2];
            }
            ok = std::fwrite(row.data(), 1, row.size(), file) == row.size() && ok;
        }
        ok = std::fclose(file) == 0 && ok;
    }
    D3D12_RANGE nothing{0, 0};
    readback_->Unmap(0, &nothing);
    return ok;
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
    layout_ = world_.publish(GetModuleHandleW(nullptr));
    report_.set("layout", layout_ ? 1 : 0);

    HRESULT hr = CreateDXGIFactory2(0, IID_PPV_ARGS(&factory_));
    report_.setHex("factory_hr", static_cast<std::uint32_t>(hr));
    if (FAILED(hr) || !factory_) {
        std::printf("game: cannot create the DXGI factory (0x%08X); quitting\n", static_cast<unsigned>(hr));
        return exitFactoryFailed;
    }
    report_.setText("factory_vtable", vtableOwner(factory_));

    hr = D3D12CreateDevice(nullptr, D3D_FEATURE_LEVEL_11_0, __uuidof(ID3D12Device5),
                           reinterpret_cast<void**>(&device_));
    report_.setHex("device_hr", static_cast<std::uint32_t>(hr));
    report_.setText("device_interface", "ID3D12Device5");
    if (FAILED(hr) || !device_) {
        // Without a newer device the game falls back to the base interface.
        device_ = nullptr;
        hr = D3D12CreateDevice(nullptr, D3D_FEATURE_LEVEL_11_0, IID_PPV_ARGS(&device_));
        report_.setHex("device_hr", static_cast<std::uint32_t>(hr));
        report_.setText("device_interface", "ID3D12Device");
    }
    if (FAILED(hr) || !device_) {
        std::printf("game: cannot create the Direct3D 12 device (0x%08X); quitting\n",
                    static_cast<unsigned>(hr));
        return exitDeviceFailed;
    }
    report_.setText("device_vtable", vtableOwner(device_));
    if (options_.deviceFromQueryInterface) {
        hr = device_->QueryInterface(IID_PPV_ARGS(&fsr2Device_));
        report_.setHex("qi_device_hr", static_cast<std::uint32_t>(hr));
        report_.setText("qi_device_vtable", vtableOwner(fsr2Device_));
    }

    D3D12_COMMAND_QUEUE_DESC queueDesc{};
    queueDesc.Type = D3D12_COMMAND_LIST_TYPE_DIRECT;
    if (FAILED(device_->CreateCommandQueue(&queueDesc, IID_PPV_ARGS(&queue_))))
        return exitSetupFailed;
    report_.setText("queue_vtable", vtableOwner(queue_));
    if (FAILED(device_->CreateCommandAllocator(D3D12_COMMAND_LIST_TYPE_DIRECT, IID_PPV_ARGS(&allocator_))) ||
        FAILED(device_->CreateCommandList(0, D3D12_COMMAND_LIST_TYPE_DIRECT, allocator_, nullptr,
                                          IID_PPV_ARGS(&list_))) ||
        FAILED(list_->Close()) ||
        FAILED(device_->CreateFence(0, D3D12_FENCE_FLAG_NONE, IID_PPV_ARGS(&fence_))))
        return exitSetupFailed;
    fenceEvent_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (!fenceEvent_ || !createWindow() || !createSwapChain() || !createSceneTargets() || !createOutput() ||
        !createReadback())
        return exitSetupFailed;

    context_ = std::make_unique<FfxFsr2Context>();
    createContext();
    report_.setHex("aliasable_result", static_cast<std::uint32_t>(ffxFsr2RegisterAliasableResources(
                                           context_.get(), nullptr, nullptr, nullptr)));
    if (options_.benchmark) {
        allocations_.reserve(options_.frames);
        dispatchUs_.reserve(options_.frames);
        innerPresentUs_.reserve(options_.frames);
        submitUs_.reserve(options_.frames);
        presentUs_.reserve(options_.frames);
    }

    DWORD lastProgress = GetTickCount();
    for (std::uint32_t frame = 0; frame < options_.frames; ++frame) {
        if (options_.resizeAtFrame && frame == options_.resizeAtFrame && !resize(options_.resizeTo))
            return exitSetupFailed;
        if (options_.pingEvery && frame % options_.pingEvery == 0)
            postLatencyPing();
        if (!renderFrame(frame, frame + 1 == options_.frames))
            return exitSetupFailed;
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
    report_.set("pings_posted", pingsPosted_);
    report_.set("internal_calls", internalCalls_);
    report_.set("internal_mismatches", internalMismatches_);
    report_.set("own_fsr2_creates", own.creates);
    report_.set("own_fsr2_dispatches", own.dispatches);
    report_.set("own_fsr2_destroys", own.destroys);
    report_.set("image_written", imageCaptured_ ? 1 : 0);
    reportTimings();
    for (auto& buffer : backBuffers_)
        release(buffer);
    release(readback_);
    release(output_);
    release(mask_);
    release(motion_);
    release(depth_);
    release(color_);
    release(rtvHeap_);
    release(list_);
    release(allocator_);
    release(fence_);
    if (fenceEvent_)
        CloseHandle(fenceEvent_);
    fenceEvent_ = nullptr;
    release(swapChain_);
    release(queue_);
    release(fsr2Device_);
    release(device_);
    release(factory_);
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
#else
    report.set("device_layer", 0);
#endif
    // Imported by the game; a mod loader injects its DLLs once they are in.
    LoadLibraryW(L"d3d12.dll");
    LoadLibraryW(L"dxgi.dll");
    if (!options.bridgePath.empty()) {
        HMODULE bridge = LoadLibraryW(options.bridgePath.c_str());
        report.set("bridge_loaded", bridge ? 1 : 0);
        if (!bridge)
            report.set("bridge_load_error", GetLastError());
    } else {
        report.set("bridge_loaded", 0);
    }
    int code = exitOk;
    {
        Game game(options, report);
        code = game.run();
    }
    report.set("streamline_loaded", GetModuleHandleW(L"sl.interposer.dll") ? 1 : 0);
    for (const auto& box : catcher.boxes())
        report.addBox(box.caption, box.text);
    report.set("boxes", catcher.boxes().size());
    report.set("exit_code", static_cast<std::uint64_t>(code));
    return code;
}

} // namespace hostgame
