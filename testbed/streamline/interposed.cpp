// Interposed device, queue, factory and swap chain of the stand-in Streamline.
#include "interposed.h"

#include <algorithm>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include "inside_timer.h"
#include "releases.h"
#include "standin.h"
#include "window_claims.h"

namespace fsr2bridge::standin {

using Microsoft::WRL::ComPtr;

void* InterposedQueue::vtable = nullptr;
void* InterposedDevice::vtable = nullptr;
void* InterposedSwapChain::vtable = nullptr;
void* InterposedFactory::vtable = nullptr;

volatile std::uint32_t lastFrameGenerationMode = 0;

namespace {

std::mutex liveSwapChainsLock;
std::vector<InterposedSwapChain*> liveSwapChains;

constexpr HRESULT kScriptedFailure = static_cast<HRESULT>(0x80004005);

void rememberVtable(void*& slot, const void* object)
{
    if (!slot)
        slot = *static_cast<void* const*>(object);
}

bool scriptedHr(const char* entry, HRESULT& hr)
{
    std::int64_t code = 0;
    if (!scriptedFailure(entry, kScriptedFailure, code))
        return false;
    hr = static_cast<HRESULT>(static_cast<std::uint32_t>(code));
    Line line(entry);
    line.raw("scripted", "1").commitHr(hr);
    return true;
}

// Streamline's Frame Generation guide asks for Frame Generation off around resizes and full-screen changes
// (it deadlocks otherwise); the stand-in refuses such a call while it is on, naming the mode in the journal.
bool refusedWhileFrameGenerationOn(const char* entry, HRESULT& hr)
{
    if (lastFrameGenerationMode == 0)
        return false;
    hr = DXGI_ERROR_INVALID_CALL;
    Line line(entry);
    line.u("frameGeneration", lastFrameGenerationMode).raw("refused", "frame-generation-on").commitHr(hr);
    return true;
}

// Hands out `object` as `riid`; the creation reference goes with `object`.
template <class T> HRESULT handOut(ComPtr<T> object, REFIID riid, void** out)
{
    return object->QueryInterface(riid, out);
}

// The stand-in queue that last answered the private identifier on this thread.
// A proxy in between may hand back itself instead of the queue it asked, so the
// answer is taken from here, not from the out-pointer.
thread_local InterposedQueue* lastAnsweringQueue = nullptr;

// The real queue behind what the caller passed: the stand-in's own queue
// answers the private identifier (also through proxies that forward unknown
// identifiers); anything else is passed on as it is.
struct RealQueue {
    explicit RealQueue(IUnknown* given) : passed(given), real(given)
    {
        if (!given)
            return;
        lastAnsweringQueue = nullptr;
        void* out = nullptr;
        if (SUCCEEDED(given->QueryInterface(IID_StandinQueue, &out)) && out) {
            adopt(answer, static_cast<IUnknown*>(out));
            ours = lastAnsweringQueue;
            if (ours)
                real = ours->real();
        }
        lastAnsweringQueue = nullptr;
    }
    // The real device a swap chain on this queue keeps: Streamline reads it from its queue's device wrapper
    // (cmdQueueSL->m_device->m_base in 2.1.1's dxgiFactory.cpp), or asks a queue of another's for its device.
    // False, with the fault journalled, when that wrapper is gone.
    bool device(const char* entry, ComPtr<ID3D12Device>& out) const
    {
        if (ours) {
            if (ours->device()->releasedFor(entry))
                return false;
            out = ours->device()->real();
            return true;
        }
        ComPtr<ID3D12CommandQueue> queue;
        if (real && SUCCEEDED(real->QueryInterface(__uuidof(ID3D12CommandQueue),
                                                   reinterpret_cast<void**>(queue.GetAddressOf()))))
            queue->GetDevice(__uuidof(ID3D12Device), reinterpret_cast<void**>(out.GetAddressOf()));
        return true;
    }

    IUnknown* passed;
    IUnknown* real;
    // The reference the query added, on whatever object answered.
    ComPtr<IUnknown> answer;
    InterposedQueue* ours = nullptr;
};

void journalSwapChainDesc(Line& line, const DXGI_SWAP_CHAIN_DESC1* desc)
{
    if (!desc)
        return;
    line.u("width", desc->Width)
        .u("height", desc->Height)
        .u("format", desc->Format)
        .u("bufferCount", desc->BufferCount);
}

// Wraps a new real swap chain (the wrapper takes its own references on it).
template <class Out>
HRESULT wrapSwapChain(HRESULT hr, const ComPtr<Out>& created, Out** result, ID3D12Device* device)
{
    if (FAILED(hr) || !created)
        return hr;
    if (script().unwrappedSwapChains) {
        // As Streamline does when no plug-in needs a swap-chain wrapper: the system's own swap chain.
        created->AddRef();
        *result = created.Get();
        return hr;
    }
    ComPtr<InterposedSwapChain> wrapper;
    adopt(wrapper, new (std::nothrow) InterposedSwapChain(created.Get(), device));
    if (!wrapper || !wrapper->valid()) {
        *result = nullptr;
        return E_OUTOFMEMORY;
    }
    *result = static_cast<Out*>(static_cast<IDXGISwapChain4*>(wrapper.Detach()));
    return hr;
}

// The size and format of a swap chain's buffers as DXGI reports them.
struct BufferDesc {
    std::uint32_t width = 0, height = 0, format = 0;
};
BufferDesc buffersOf(IDXGISwapChain* chain)
{
    DXGI_SWAP_CHAIN_DESC d = {};
    if (!chain || FAILED(chain->GetDesc(&d)))
        return {};
    return {d.BufferDesc.Width, d.BufferDesc.Height, static_cast<std::uint32_t>(d.BufferDesc.Format)};
}

// On a creation line: whether the new swap chain may run Streamline's present hooks (releases.cpp). A swap
// chain handed out unwrapped has none.
void journalHooked(Line& line, HRESULT hr, IUnknown* handedOut)
{
    bool hooked = false;
    if (SUCCEEDED(hr) && handedOut && interposedKind(handedOut) == ObjectKind::swapChain) {
        auto* chain = static_cast<IDXGISwapChain4*>(handedOut);
        const BufferDesc b = buffersOf(chain);
        hooked = noteSwapChainCreated(chain, b.width, b.height, b.format);
    }
    line.u("hooked", hooked ? 1 : 0);
}

} // namespace

// --- queue --------------------------------------------------------------------

InterposedQueue::InterposedQueue(ComPtr<ID3D12CommandQueue> real, InterposedDevice* device)
    : real_(std::move(real)), device_(device)
{
    rememberVtable(vtable, this);
}

HRESULT STDMETHODCALLTYPE InterposedQueue::GetDevice(REFIID riid, void** device)
{
    InsideTimer timed;
    if (!device)
        return E_POINTER;
    *device = nullptr;
    if (device_->releasedFor("queue.GetDevice"))
        return E_UNEXPECTED;
    return device_->QueryInterface(riid, device);
}

HRESULT STDMETHODCALLTYPE InterposedQueue::QueryInterface(REFIID riid, void** out)
{
    InsideTimer timed;
    if (!out)
        return E_POINTER;
    if (riid == IID_StandinQueue)
        lastAnsweringQueue = this;
    if (riid == IID_StandinQueue || riid == __uuidof(IUnknown) || riid == __uuidof(ID3D12Object) ||
        riid == __uuidof(ID3D12DeviceChild) || riid == __uuidof(ID3D12Pageable) ||
        riid == __uuidof(ID3D12CommandQueue)) {
        AddRef();
        *out = this;
        return S_OK;
    }
    return real_->QueryInterface(riid, out);
}
ULONG STDMETHODCALLTYPE InterposedQueue::AddRef()
{
    InsideTimer timed;
    return ++refs_;
}
ULONG STDMETHODCALLTYPE InterposedQueue::Release()
{
    InsideTimer timed;
    ULONG left = --refs_;
    if (left == 0)
        delete this;
    return left;
}

void STDMETHODCALLTYPE InterposedQueue::ExecuteCommandLists(UINT count, ID3D12CommandList* const* lists)
{
    InsideTimer timed;
    Line line("queue.ExecuteCommandLists");
    line.u("count", count).commitHr(S_OK);
    real_->ExecuteCommandLists(count, lists);
}

// --- device -------------------------------------------------------------------

InterposedDevice::InterposedDevice(IUnknown* real)
{
    static const IID* const ids[11] = {
        &__uuidof(ID3D12Device),  &__uuidof(ID3D12Device1), &__uuidof(ID3D12Device2),
        &__uuidof(ID3D12Device3), &__uuidof(ID3D12Device4), &__uuidof(ID3D12Device5),
        &__uuidof(ID3D12Device6), &__uuidof(ID3D12Device7), &__uuidof(ID3D12Device8),
        &__uuidof(ID3D12Device9), &__uuidof(ID3D12Device10)};
    levels_.acquire(real, ids);
    rememberVtable(vtable, this);
}

HRESULT STDMETHODCALLTYPE InterposedDevice::QueryInterface(REFIID riid, void** out)
{
    InsideTimer timed;
    if (!out)
        return E_POINTER;
    static const IID* const ids[11] = {
        &__uuidof(ID3D12Device),  &__uuidof(ID3D12Device1), &__uuidof(ID3D12Device2),
        &__uuidof(ID3D12Device3), &__uuidof(ID3D12Device4), &__uuidof(ID3D12Device5),
        &__uuidof(ID3D12Device6), &__uuidof(ID3D12Device7), &__uuidof(ID3D12Device8),
        &__uuidof(ID3D12Device9), &__uuidof(ID3D12Device10)};
    if (releasedFor("device.QueryInterface")) {
        *out = nullptr;
        return E_UNEXPECTED;
    }
    bool self = riid == __uuidof(IUnknown) || riid == __uuidof(ID3D12Object);
    for (int n = 0; n < 11 && !self; ++n)
        self = riid == *ids[n] && levels_.has(n);
    if (self) {
        AddRef();
        *out = static_cast<ID3D12Device10*>(this);
        return S_OK;
    }
    return real()->QueryInterface(riid, out);
}
ULONG STDMETHODCALLTYPE InterposedDevice::AddRef()
{
    InsideTimer timed;
    return ++refs_;
}
ULONG STDMETHODCALLTYPE InterposedDevice::Release()
{
    InsideTimer timed;
    ULONG left = --refs_;
    if (left == 0 && !released_.exchange(true)) {
        levels_ = {}; // the real device goes; this memory stays so that a later use shows (class comment)
        Line line("device.Release");
        line.ptr("device", static_cast<ID3D12Device10*>(this)).u("released", 1).commit(0);
    }
    return left;
}

bool InterposedDevice::releasedFor(const char* entry) const
{
    if (!released_)
        return false;
    Line line(entry);
    line.raw("fault", "deviceReleased").commitHr(E_UNEXPECTED);
    return true;
}

namespace {

// Creates a real queue with `create` and hands it out wrapped.
template <class Create>
HRESULT createQueue(InterposedDevice* device, Line& line, const D3D12_COMMAND_QUEUE_DESC* desc, REFIID riid,
                    void** out, Create create)
{
    if (desc)
        line.u("listType", desc->Type).i("priority", desc->Priority).hex("flags", desc->Flags);
    if (!out) {
        // Validation only: nothing is created.
        HRESULT hr = create(nullptr);
        line.raw("queue", "null").commitHr(hr);
        return hr;
    }
    *out = nullptr;
    ComPtr<ID3D12CommandQueue> real;
    HRESULT hr = create(&real);
    if (FAILED(hr) || !real) {
        line.commitHr(hr);
        return hr;
    }
    ID3D12CommandQueue* const realQueue = real.Get();
    ComPtr<InterposedQueue> wrapper;
    adopt(wrapper, new (std::nothrow) InterposedQueue(std::move(real), device));
    if (!wrapper) {
        line.commitHr(E_OUTOFMEMORY);
        return E_OUTOFMEMORY;
    }
    hr = handOut(std::move(wrapper), riid, out);
    line.ptr("queue", *out).ptr("real", realQueue).commitHr(hr);
    return hr;
}

} // namespace

HRESULT STDMETHODCALLTYPE InterposedDevice::CreateCommandQueue(const D3D12_COMMAND_QUEUE_DESC* desc,
                                                               REFIID riid, void** queue)
{
    InsideTimer timed;
    HRESULT hr;
    if (scriptedHr("device.CreateCommandQueue", hr))
        return hr;
    Line line("device.CreateCommandQueue");
    ID3D12Device* device = real();
    return createQueue(this, line, desc, riid, queue, [&](void** out) {
        return device->CreateCommandQueue(desc, __uuidof(ID3D12CommandQueue), out);
    });
}

HRESULT STDMETHODCALLTYPE InterposedDevice::CreateCommandQueue1(const D3D12_COMMAND_QUEUE_DESC* desc,
                                                                REFIID creatorID, REFIID riid, void** queue)
{
    InsideTimer timed;
    HRESULT hr;
    if (scriptedHr("device.CreateCommandQueue1", hr))
        return hr;
    Line line("device.CreateCommandQueue1");
    line.guid("creatorID", creatorID);
    ID3D12Device9* device = levels_.at<ID3D12Device9>(9);
    if (!device) {
        line.commitHr(E_NOINTERFACE);
        return E_NOINTERFACE;
    }
    return createQueue(this, line, desc, riid, queue, [&](void** out) {
        return device->CreateCommandQueue1(desc, creatorID, __uuidof(ID3D12CommandQueue), out);
    });
}

// --- swap chain ---------------------------------------------------------------

InterposedSwapChain::InterposedSwapChain(IUnknown* real, ID3D12Device* device) : device_(device)
{
    static const IID* const ids[5] = {&__uuidof(IDXGISwapChain), &__uuidof(IDXGISwapChain1),
                                      &__uuidof(IDXGISwapChain2), &__uuidof(IDXGISwapChain3),
                                      &__uuidof(IDXGISwapChain4)};
    levels_.acquire(real, ids);
    rememberVtable(vtable, this);
    if (valid())
        this->real()->GetFullscreenState(&fullscreenSeen_, nullptr);
    std::lock_guard<std::mutex> held(liveSwapChainsLock);
    liveSwapChains.push_back(this);
}

InterposedSwapChain::~InterposedSwapChain()
{
    std::lock_guard<std::mutex> held(liveSwapChainsLock);
    liveSwapChains.erase(std::remove(liveSwapChains.begin(), liveSwapChains.end(), this),
                         liveSwapChains.end());
}

// DXGI changes the full-screen state itself on Alt+Enter, without SetFullscreenState. Frame Generation must
// be off then as around SetFullscreenState (Streamline presents on its own thread and may deadlock): a change
// first seen while the last mode sent is on is journalled as refused, and the swap chain's next present,
// resize or full-screen call is refused. Looked for before every Frame Generation switch and at resizes and
// full-screen calls (not at presents, which then cost the game no more than Streamline's own would).
void InterposedSwapChain::noteFullscreenChange()
{
    BOOL now = fullscreenSeen_;
    real()->GetFullscreenState(&now, nullptr);
    if ((now != FALSE) == (fullscreenSeen_ != FALSE))
        return;
    fullscreenSeen_ = now;
    Line line("swapchain.fullscreenChanged");
    line.u("fullscreen", now ? 1 : 0).u("frameGeneration", lastFrameGenerationMode);
    if (lastFrameGenerationMode != 0) {
        fullscreenChangedWithFrameGeneration_ = true;
        line.raw("refused", "frame-generation-on");
    }
    line.commit(0);
}

bool InterposedSwapChain::refusedForFullscreenChange(const char* entry, HRESULT& hr, bool look)
{
    if (look)
        noteFullscreenChange();
    if (!std::exchange(fullscreenChangedWithFrameGeneration_, false))
        return false;
    hr = DXGI_ERROR_INVALID_CALL;
    Line line(entry);
    line.u("frameGeneration", lastFrameGenerationMode)
        .raw("refused", "fullscreen-changed-with-frame-generation")
        .commitHr(hr);
    return true;
}

void noteFullscreenChanges()
{
    std::lock_guard<std::mutex> held(liveSwapChainsLock);
    for (InterposedSwapChain* swapChain : liveSwapChains)
        swapChain->noteFullscreenChange();
}

HRESULT STDMETHODCALLTYPE InterposedSwapChain::QueryInterface(REFIID riid, void** out)
{
    InsideTimer timed;
    if (!out)
        return E_POINTER;
    static const IID* const ids[5] = {&__uuidof(IDXGISwapChain), &__uuidof(IDXGISwapChain1),
                                      &__uuidof(IDXGISwapChain2), &__uuidof(IDXGISwapChain3),
                                      &__uuidof(IDXGISwapChain4)};
    bool self =
        riid == __uuidof(IUnknown) || riid == __uuidof(IDXGIObject) || riid == __uuidof(IDXGIDeviceSubObject);
    for (int n = 0; n < 5 && !self; ++n)
        self = riid == *ids[n] && levels_.has(n);
    if (self) {
        AddRef();
        *out = static_cast<IDXGISwapChain4*>(this);
        return S_OK;
    }
    return real()->QueryInterface(riid, out);
}
ULONG STDMETHODCALLTYPE InterposedSwapChain::AddRef()
{
    InsideTimer timed;
    return ++refs_;
}
ULONG STDMETHODCALLTYPE InterposedSwapChain::Release()
{
    InsideTimer timed;
    ULONG left = --refs_;
    if (left == 0) {
        noteSwapChainReleased(static_cast<IDXGISwapChain4*>(this));
        Line("swapchain.Release")
            .ptr("swapChain", static_cast<IDXGISwapChain4*>(this))
            .u("released", 1)
            .commit(0);
        delete this;
    }
    return left;
}

HRESULT STDMETHODCALLTYPE InterposedSwapChain::Present(UINT syncInterval, UINT flags)
{
    InsideTimer timed;
    HRESULT hr;
    if (scriptedHr("swapchain.Present", hr) || refusedForFullscreenChange("swapchain.Present", hr, false))
        return hr;
    hr = real()->Present(syncInterval, flags);
    const std::uint32_t mode = lastFrameGenerationMode;
    std::uint32_t presented = 1;
    const bool hooked = notePresent(static_cast<IDXGISwapChain4*>(this), flags, presented);
    Line line("swapchain.Present");
    line.u("syncInterval", syncInterval)
        .hex("flags", flags)
        .u("frameGeneration", mode)
        .u("presented", presented)
        .u("hooked", hooked ? 1 : 0)
        .commitHr(hr);
    return hr;
}

HRESULT STDMETHODCALLTYPE InterposedSwapChain::GetBuffer(UINT index, REFIID riid, void** surface)
{
    InsideTimer timed;
    HRESULT hr;
    if (scriptedHr("swapchain.GetBuffer", hr))
        return hr;
    hr = real()->GetBuffer(index, riid, surface);
    Line line("swapchain.GetBuffer");
    line.u("index", index).commitHr(hr);
    return hr;
}

HRESULT STDMETHODCALLTYPE InterposedSwapChain::SetFullscreenState(BOOL fullscreen, IDXGIOutput* target)
{
    InsideTimer timed;
    HRESULT hr;
    if (scriptedHr("swapchain.SetFullscreenState", hr) ||
        refusedForFullscreenChange("swapchain.SetFullscreenState", hr, true) ||
        refusedWhileFrameGenerationOn("swapchain.SetFullscreenState", hr))
        return hr;
    hr = real()->SetFullscreenState(fullscreen, target);
    if (SUCCEEDED(hr))
        fullscreenSeen_ = fullscreen;
    Line line("swapchain.SetFullscreenState");
    line.u("fullscreen", fullscreen ? 1 : 0).u("frameGeneration", lastFrameGenerationMode).commitHr(hr);
    return hr;
}

HRESULT STDMETHODCALLTYPE InterposedSwapChain::ResizeBuffers(UINT count, UINT width, UINT height,
                                                             DXGI_FORMAT format, UINT flags)
{
    InsideTimer timed;
    HRESULT hr;
    if (scriptedHr("swapchain.ResizeBuffers", hr) ||
        refusedForFullscreenChange("swapchain.ResizeBuffers", hr, true) ||
        refusedWhileFrameGenerationOn("swapchain.ResizeBuffers", hr))
        return hr;
    hr = real()->ResizeBuffers(count, width, height, format, flags);
    if (SUCCEEDED(hr)) {
        const BufferDesc b = buffersOf(real());
        noteSwapChainResized(static_cast<IDXGISwapChain4*>(this), b.width, b.height, b.format);
    }
    Line line("swapchain.ResizeBuffers");
    line.u("frameGeneration", lastFrameGenerationMode)
        .u("bufferCount", count)
        .u("width", width)
        .u("height", height)
        .u("format", format)
        .hex("flags", flags);
    line.commitHr(hr);
    return hr;
}

HRESULT STDMETHODCALLTYPE InterposedSwapChain::Present1(UINT syncInterval, UINT flags,
                                                        const DXGI_PRESENT_PARAMETERS* params)
{
    InsideTimer timed;
    HRESULT hr;
    if (scriptedHr("swapchain.Present1", hr) || refusedForFullscreenChange("swapchain.Present1", hr, false))
        return hr;
    IDXGISwapChain1* chain = levels_.at<IDXGISwapChain1>(1);
    hr = chain ? chain->Present1(syncInterval, flags, params) : E_NOINTERFACE;
    const std::uint32_t mode = lastFrameGenerationMode;
    std::uint32_t presented = 1;
    const bool hooked = notePresent(static_cast<IDXGISwapChain4*>(this), flags, presented);
    Line line("swapchain.Present1");
    line.u("syncInterval", syncInterval)
        .hex("flags", flags)
        .u("frameGeneration", mode)
        .u("presented", presented)
        .u("hooked", hooked ? 1 : 0);
    line.u("dirtyRects", params ? params->DirtyRectsCount : 0).commitHr(hr);
    return hr;
}

UINT STDMETHODCALLTYPE InterposedSwapChain::GetCurrentBackBufferIndex()
{
    InsideTimer timed;
    IDXGISwapChain3* chain = levels_.at<IDXGISwapChain3>(3);
    UINT index = chain ? chain->GetCurrentBackBufferIndex() : 0;
    Line line("swapchain.GetCurrentBackBufferIndex");
    line.commit(index);
    return index;
}

HRESULT STDMETHODCALLTYPE InterposedSwapChain::ResizeBuffers1(UINT count, UINT width, UINT height,
                                                              DXGI_FORMAT format, UINT flags,
                                                              const UINT* nodeMasks, IUnknown* const* queues)
{
    InsideTimer timed;
    HRESULT hr;
    if (scriptedHr("swapchain.ResizeBuffers1", hr) ||
        refusedForFullscreenChange("swapchain.ResizeBuffers1", hr, true) ||
        refusedWhileFrameGenerationOn("swapchain.ResizeBuffers1", hr))
        return hr;
    IDXGISwapChain3* chain = levels_.at<IDXGISwapChain3>(3);
    // The queues given may be the stand-in's own: Wine needs the real ones.
    IUnknown* realQueues[DXGI_MAX_SWAP_CHAIN_BUFFERS] = {};
    IUnknown* const* passQueues = queues;
    if (queues && count <= DXGI_MAX_SWAP_CHAIN_BUFFERS) {
        for (UINT n = 0; n < count; ++n) {
            RealQueue q(queues[n]);
            realQueues[n] = q.real; // the wrapper's reference keeps it alive
        }
        passQueues = realQueues;
    }
    hr = chain ? chain->ResizeBuffers1(count, width, height, format, flags, nodeMasks, passQueues)
               : E_NOINTERFACE;
    if (SUCCEEDED(hr)) {
        const BufferDesc b = buffersOf(real());
        noteSwapChainResized(static_cast<IDXGISwapChain4*>(this), b.width, b.height, b.format);
    }
    Line line("swapchain.ResizeBuffers1");
    line.u("frameGeneration", lastFrameGenerationMode)
        .u("bufferCount", count)
        .u("width", width)
        .u("height", height)
        .u("format", format)
        .hex("flags", flags);
    line.commitHr(hr);
    return hr;
}

// --- factory ------------------------------------------------------------------

InterposedFactory::InterposedFactory(IUnknown* real)
{
    static const IID* const ids[8] = {&__uuidof(IDXGIFactory),  &__uuidof(IDXGIFactory1),
                                      &__uuidof(IDXGIFactory2), &__uuidof(IDXGIFactory3),
                                      &__uuidof(IDXGIFactory4), &__uuidof(IDXGIFactory5),
                                      &__uuidof(IDXGIFactory6), &__uuidof(IDXGIFactory7)};
    levels_.acquire(real, ids);
    rememberVtable(vtable, this);
}

HRESULT STDMETHODCALLTYPE InterposedFactory::QueryInterface(REFIID riid, void** out)
{
    InsideTimer timed;
    if (!out)
        return E_POINTER;
    static const IID* const ids[8] = {&__uuidof(IDXGIFactory),  &__uuidof(IDXGIFactory1),
                                      &__uuidof(IDXGIFactory2), &__uuidof(IDXGIFactory3),
                                      &__uuidof(IDXGIFactory4), &__uuidof(IDXGIFactory5),
                                      &__uuidof(IDXGIFactory6), &__uuidof(IDXGIFactory7)};
    bool self = riid == __uuidof(IUnknown) || riid == __uuidof(IDXGIObject);
    for (int n = 0; n < 8 && !self; ++n)
        self = riid == *ids[n] && levels_.has(n);
    if (self) {
        AddRef();
        *out = static_cast<IDXGIFactory7*>(this);
        return S_OK;
    }
    return real()->QueryInterface(riid, out);
}
ULONG STDMETHODCALLTYPE InterposedFactory::AddRef()
{
    InsideTimer timed;
    return ++refs_;
}
ULONG STDMETHODCALLTYPE InterposedFactory::Release()
{
    InsideTimer timed;
    ULONG left = --refs_;
    if (left == 0) {
        Line("factory.Release").ptr("factory", static_cast<IDXGIFactory7*>(this)).u("released", 1).commit(0);
        delete this;
    }
    return left;
}

HRESULT STDMETHODCALLTYPE InterposedFactory::CreateSwapChain(IUnknown* device, DXGI_SWAP_CHAIN_DESC* desc,
                                                             IDXGISwapChain** swapChain)
{
    InsideTimer timed;
    HRESULT hr;
    if (scriptedHr("factory.CreateSwapChain", hr))
        return hr;
    RealQueue queue(device);
    ComPtr<ID3D12Device> queueDevice;
    if (!queue.device("factory.CreateSwapChain", queueDevice))
        return E_UNEXPECTED;
    WindowClaim claim(desc ? desc->OutputWindow : nullptr,
                      desc ? desc->SwapEffect : DXGI_SWAP_EFFECT_DISCARD);
    ComPtr<IDXGISwapChain> created;
    hr = claim.granted()
             ? real()->CreateSwapChain(queue.real, desc, swapChain ? created.GetAddressOf() : nullptr)
             : E_ACCESSDENIED;
    claim.keep(created.Get());
    if (swapChain)
        hr = wrapSwapChain(hr, created, swapChain, queueDevice.Get());
    Line line("factory.CreateSwapChain");
    line.ptr("queue", queue.passed).ptr("real", queue.real).u("unwrapped", queue.ours ? 1 : 0);
    if (desc) {
        line.u("width", desc->BufferDesc.Width)
            .u("height", desc->BufferDesc.Height)
            .u("format", desc->BufferDesc.Format);
        line.u("bufferCount", desc->BufferCount);
    }
    line.ptr("swapChain", swapChain && SUCCEEDED(hr) ? *swapChain : nullptr);
    journalHooked(line, hr, swapChain ? *swapChain : nullptr);
    line.commitHr(hr);
    return hr;
}

HRESULT STDMETHODCALLTYPE InterposedFactory::CreateSwapChainForHwnd(
    IUnknown* device, HWND window, const DXGI_SWAP_CHAIN_DESC1* desc,
    const DXGI_SWAP_CHAIN_FULLSCREEN_DESC* fullscreen, IDXGIOutput* output, IDXGISwapChain1** swapChain)
{
    InsideTimer timed;
    HRESULT hr;
    if (scriptedHr("factory.CreateSwapChainForHwnd", hr))
        return hr;
    IDXGIFactory2* factory = levels_.at<IDXGIFactory2>(2);
    if (!factory)
        return E_NOINTERFACE;
    RealQueue queue(device);
    ComPtr<ID3D12Device> queueDevice;
    if (!queue.device("factory.CreateSwapChainForHwnd", queueDevice))
        return E_UNEXPECTED;
    WindowClaim claim(window, desc ? desc->SwapEffect : DXGI_SWAP_EFFECT_DISCARD);
    ComPtr<IDXGISwapChain1> created;
    hr = claim.granted() ? factory->CreateSwapChainForHwnd(queue.real, window, desc, fullscreen, output,
                                                           swapChain ? created.GetAddressOf() : nullptr)
                         : E_ACCESSDENIED;
    claim.keep(created.Get());
    if (swapChain)
        hr = wrapSwapChain(hr, created, swapChain, queueDevice.Get());
    Line line("factory.CreateSwapChainForHwnd");
    line.ptr("queue", queue.passed).ptr("real", queue.real).u("unwrapped", queue.ours ? 1 : 0);
    journalSwapChainDesc(line, desc);
    line.ptr("swapChain", swapChain && SUCCEEDED(hr) ? *swapChain : nullptr);
    journalHooked(line, hr, swapChain ? *swapChain : nullptr);
    line.commitHr(hr);
    return hr;
}

HRESULT STDMETHODCALLTYPE InterposedFactory::CreateSwapChainForCoreWindow(IUnknown* device, IUnknown* window,
                                                                          const DXGI_SWAP_CHAIN_DESC1* desc,
                                                                          IDXGIOutput* output,
                                                                          IDXGISwapChain1** swapChain)
{
    InsideTimer timed;
    HRESULT hr;
    if (scriptedHr("factory.CreateSwapChainForCoreWindow", hr))
        return hr;
    IDXGIFactory2* factory = levels_.at<IDXGIFactory2>(2);
    if (!factory)
        return E_NOINTERFACE;
    RealQueue queue(device);
    ComPtr<ID3D12Device> queueDevice;
    if (!queue.device("factory.CreateSwapChainForCoreWindow", queueDevice))
        return E_UNEXPECTED;
    ComPtr<IDXGISwapChain1> created;
    hr = factory->CreateSwapChainForCoreWindow(queue.real, window, desc, output,
                                               swapChain ? created.GetAddressOf() : nullptr);
    if (swapChain)
        hr = wrapSwapChain(hr, created, swapChain, queueDevice.Get());
    Line line("factory.CreateSwapChainForCoreWindow");
    line.ptr("queue", queue.passed).ptr("real", queue.real).u("unwrapped", queue.ours ? 1 : 0);
    journalSwapChainDesc(line, desc);
    line.ptr("swapChain", swapChain && SUCCEEDED(hr) ? *swapChain : nullptr);
    journalHooked(line, hr, swapChain ? *swapChain : nullptr);
    line.commitHr(hr);
    return hr;
}

HRESULT STDMETHODCALLTYPE InterposedFactory::CreateSwapChainForComposition(IUnknown* device,
                                                                           const DXGI_SWAP_CHAIN_DESC1* desc,
                                                                           IDXGIOutput* output,
                                                                           IDXGISwapChain1** swapChain)
{
    InsideTimer timed;
    HRESULT hr;
    if (scriptedHr("factory.CreateSwapChainForComposition", hr))
        return hr;
    IDXGIFactory2* factory = levels_.at<IDXGIFactory2>(2);
    if (!factory)
        return E_NOINTERFACE;
    RealQueue queue(device);
    ComPtr<ID3D12Device> queueDevice;
    if (!queue.device("factory.CreateSwapChainForComposition", queueDevice))
        return E_UNEXPECTED;
    ComPtr<IDXGISwapChain1> created;
    hr = factory->CreateSwapChainForComposition(queue.real, desc, output,
                                                swapChain ? created.GetAddressOf() : nullptr);
    if (swapChain)
        hr = wrapSwapChain(hr, created, swapChain, queueDevice.Get());
    Line line("factory.CreateSwapChainForComposition");
    line.ptr("queue", queue.passed).ptr("real", queue.real).u("unwrapped", queue.ours ? 1 : 0);
    journalSwapChainDesc(line, desc);
    line.ptr("swapChain", swapChain && SUCCEEDED(hr) ? *swapChain : nullptr);
    journalHooked(line, hr, swapChain ? *swapChain : nullptr);
    line.commitHr(hr);
    return hr;
}

// --- recognition ----------------------------------------------------------------

ObjectKind interposedKind(const void* object)
{
    if (!object)
        return ObjectKind::none;
    const void* vt = *static_cast<void* const*>(object);
    if (vt == InterposedDevice::vtable)
        return ObjectKind::device;
    if (vt == InterposedFactory::vtable)
        return ObjectKind::factory;
    if (vt == InterposedQueue::vtable)
        return ObjectKind::queue;
    if (vt == InterposedSwapChain::vtable)
        return ObjectKind::swapChain;
    return ObjectKind::none;
}

IUnknown* interposedReal(const void* object)
{
    auto* p = const_cast<void*>(object);
    switch (interposedKind(object)) {
    case ObjectKind::device:
        return static_cast<InterposedDevice*>(static_cast<ID3D12Device10*>(p))->real();
    case ObjectKind::factory:
        return static_cast<InterposedFactory*>(static_cast<IDXGIFactory7*>(p))->real();
    case ObjectKind::queue:
        return static_cast<InterposedQueue*>(static_cast<ID3D12CommandQueue*>(p))->real();
    case ObjectKind::swapChain:
        return static_cast<InterposedSwapChain*>(static_cast<IDXGISwapChain4*>(p))->real();
    case ObjectKind::none:
        break;
    }
    return nullptr;
}

namespace {

// A new wrapper of `real` as its newest interface, or null when it lacks the base level.
template <class Wrapper, class Newest> IUnknown* interpose(IUnknown* real)
{
    ComPtr<Wrapper> wrapper;
    adopt(wrapper, new (std::nothrow) Wrapper(real));
    if (!wrapper || !wrapper->valid())
        return nullptr;
    return static_cast<Newest*>(wrapper.Detach());
}

} // namespace

IUnknown* interposeDevice(IUnknown* device)
{
    return interpose<InterposedDevice, ID3D12Device10>(device);
}

IUnknown* interposeFactory(IUnknown* factory)
{
    return interpose<InterposedFactory, IDXGIFactory7>(factory);
}

} // namespace fsr2bridge::standin
