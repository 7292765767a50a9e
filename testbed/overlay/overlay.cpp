// The stand-in overlay: what overlays, capture tools and injectors (Steam's and Discord's overlays,
// statistics and capture tools, post-processing injectors) do in a game's process. It makes a throw-away
// device, queue and 1x1 flip-model swap chain on a hidden window to find the swap chains' virtual table,
// patches Present, Present1 and ResizeBuffers there, and in each present takes the back buffer, copies it on
// a queue of its own and keeps the reference until its ResizeBuffers hook, which lets go before calling down.
// Every N presents it throws and catches a C++ exception and raises and catches an SEH exception.
// TESTWORLD_OVERLAY switches each behaviour (docs/testing.md).
#include "testbed/overlay/overlay.h"
#include "testbed/world/d3d12_records.h"

#include "common/graphics.h"

#include <wrl/client.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <mutex>
#include <stdexcept>
#include <string>

using Microsoft::WRL::ComPtr;

extern "C" int overlayCallGuarded(void (*call)(void*), void* argument);
extern "C" void overlayGuardResume();

namespace {

constexpr DWORD overlayExceptionCode = 0xE0AE0001; // a customer code of the overlay's own
constexpr int presentSlot = 8, resizeBuffersSlot = 13, present1Slot = 22;
constexpr UINT maxHeld = 4;

struct Switches {
    bool throwAway = false; // the throw-away device, queue and swap chain
    bool patch = false;     // Present, Present1 and ResizeBuffers patched in the table found
    bool copy = false;      // each present's back buffer taken and copied on the overlay's queue
    bool hold = false;      // ... and kept until its ResizeBuffers hook
    bool thread = false;    // OverlayAttach's work on a thread it starts
    bool dllMain = false;   // a factory made and released inside DllMain
    std::uint32_t exceptionsEvery = 0;
};

// TESTWORLD_OVERLAY: comma-separated switches; unset: throwaway,patch,copy,hold.
Switches readSwitches()
{
    Switches s;
    const char* text = std::getenv("TESTWORLD_OVERLAY");
    const std::string list = text ? text : "throwaway,patch,copy,hold";
    std::size_t at = 0;
    while (at <= list.size()) {
        const std::size_t comma = std::min(list.find(',', at), list.size());
        const std::string item = list.substr(at, comma - at);
        s.throwAway |= item == "throwaway";
        s.patch |= item == "patch";
        s.copy |= item == "copy" || item == "hold";
        s.hold |= item == "hold";
        s.thread |= item == "thread";
        s.dllMain |= item == "dllmain";
        if (item.rfind("exceptions=", 0) == 0)
            s.exceptionsEvery = static_cast<std::uint32_t>(std::strtoul(item.c_str() + 11, nullptr, 10));
        at = comma + 1;
    }
    return s;
}

const Switches switches = readSwitches();
std::mutex lock; // presents may come from any thread
testworld::OverlayReport report{};
HANDLE attachThread = nullptr;

using PresentFunction = HRESULT(STDMETHODCALLTYPE*)(IDXGISwapChain*, UINT, UINT);
using Present1Function = HRESULT(STDMETHODCALLTYPE*)(IDXGISwapChain1*, UINT, UINT,
                                                     const DXGI_PRESENT_PARAMETERS*);
using ResizeBuffersFunction = HRESULT(STDMETHODCALLTYPE*)(IDXGISwapChain*, UINT, UINT, UINT, DXGI_FORMAT,
                                                          UINT);
std::atomic<PresentFunction> originalPresent{nullptr};
std::atomic<Present1Function> originalPresent1{nullptr};
std::atomic<ResizeBuffersFunction> originalResizeBuffers{nullptr};

// Called with `lock` held. True when `hr` succeeded.
bool check(HRESULT hr, const char* call)
{
    if (SUCCEEDED(hr))
        return true;
    if (report.failures++ == 0) {
        report.firstFailure = static_cast<std::int32_t>(hr);
        std::snprintf(report.failedCall, sizeof report.failedCall, "%s", call);
    }
    return false;
}

bool checkLocked(HRESULT hr, const char* call)
{
    std::lock_guard<std::mutex> locked(lock);
    return check(hr, call);
}

// The back buffers the overlay keeps (raw: nothing is released at the process's exit) and its own copier.
ID3D12Resource* held[maxHeld] = {};
struct Copier {
    ID3D12Device* device = nullptr;
    ID3D12CommandQueue* queue = nullptr;
    ID3D12CommandAllocator* allocator = nullptr;
    ID3D12GraphicsCommandList* list = nullptr;
    ID3D12Fence* fence = nullptr;
    HANDLE done = nullptr;
    UINT64 value = 0;
    ID3D12Resource* target = nullptr;
} copier;

bool prepareCopier(ID3D12Device* device, const D3D12_RESOURCE_DESC& desc)
{
    if (copier.device != device) {
        copier = Copier{};
        D3D12_COMMAND_QUEUE_DESC queueDesc{};
        queueDesc.Type = D3D12_COMMAND_LIST_TYPE_DIRECT;
        if (!check(device->CreateCommandQueue(&queueDesc, IID_PPV_ARGS(&copier.queue)),
                   "CreateCommandQueue") ||
            !check(device->CreateCommandAllocator(D3D12_COMMAND_LIST_TYPE_DIRECT,
                                                  IID_PPV_ARGS(&copier.allocator)),
                   "CreateCommandAllocator") ||
            !check(device->CreateCommandList(0, D3D12_COMMAND_LIST_TYPE_DIRECT, copier.allocator, nullptr,
                                             IID_PPV_ARGS(&copier.list)),
                   "CreateCommandList") ||
            !check(copier.list->Close(), "Close") ||
            !check(device->CreateFence(0, D3D12_FENCE_FLAG_NONE, IID_PPV_ARGS(&copier.fence)), "CreateFence"))
            return false;
        copier.done = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        copier.device = device;
    }
    if (copier.target) {
        const D3D12_RESOURCE_DESC now = fsr2bridge::resourceDescriptionOf(copier.target);
        if (now.Width == desc.Width && now.Height == desc.Height && now.Format == desc.Format)
            return true;
        copier.target->Release();
        copier.target = nullptr;
    }
    D3D12_HEAP_PROPERTIES heap{};
    heap.Type = D3D12_HEAP_TYPE_DEFAULT;
    D3D12_RESOURCE_DESC targetDesc = desc;
    targetDesc.Flags = D3D12_RESOURCE_FLAG_NONE;
    return check(device->CreateCommittedResource(&heap, D3D12_HEAP_FLAG_NONE, &targetDesc,
                                                 D3D12_RESOURCE_STATE_COPY_DEST, nullptr,
                                                 IID_PPV_ARGS(&copier.target)),
                 "CreateCommittedResource");
}

// The back buffer about to be presented, copied on the overlay's own queue (a capture, a screenshot).
void copyBackBuffer(IDXGISwapChain* swapChain)
{
    ComPtr<IDXGISwapChain3> chain;
    ComPtr<ID3D12Resource> buffer;
    ComPtr<ID3D12Device> device;
    if (!check(swapChain->QueryInterface(IID_PPV_ARGS(&chain)), "QueryInterface(IDXGISwapChain3)"))
        return;
    const UINT index = chain->GetCurrentBackBufferIndex();
    if (!check(swapChain->GetBuffer(index, IID_PPV_ARGS(&buffer)), "GetBuffer") ||
        !check(buffer->GetDevice(IID_PPV_ARGS(&device)), "GetDevice") ||
        !prepareCopier(device.Get(), fsr2bridge::resourceDescriptionOf(buffer.Get())) ||
        !check(copier.allocator->Reset(), "Reset") ||
        !check(copier.list->Reset(copier.allocator, nullptr), "Reset"))
        return;
    D3D12_RESOURCE_BARRIER toCopy =
        testworld::transition(buffer.Get(), D3D12_RESOURCE_STATE_PRESENT, D3D12_RESOURCE_STATE_COPY_SOURCE);
    copier.list->ResourceBarrier(1, &toCopy);
    copier.list->CopyResource(copier.target, buffer.Get());
    D3D12_RESOURCE_BARRIER back =
        testworld::transition(buffer.Get(), D3D12_RESOURCE_STATE_COPY_SOURCE, D3D12_RESOURCE_STATE_PRESENT);
    copier.list->ResourceBarrier(1, &back);
    if (!check(copier.list->Close(), "Close"))
        return;
    ID3D12CommandList* lists[] = {copier.list};
    copier.queue->ExecuteCommandLists(1, lists);
    if (!check(copier.queue->Signal(copier.fence, ++copier.value), "Signal") ||
        !check(copier.fence->SetEventOnCompletion(copier.value, copier.done), "SetEventOnCompletion") ||
        !check(WaitForSingleObject(copier.done, 5000) == WAIT_OBJECT_0 ? S_OK : E_FAIL, "wait for the copy"))
        return;
    ++report.copies;
    if (switches.hold && index < maxHeld && held[index] != buffer.Get()) {
        if (held[index])
            held[index]->Release();
        held[index] = buffer.Detach(); // kept until the ResizeBuffers hook
    }
}

void raiseOverlayException(void*)
{
    RaiseException(overlayExceptionCode, 0, 0, nullptr);
}

// Both kinds of exception, raised and caught inside the present, as overlays' own code does.
void raiseAndCatchExceptions()
{
    try {
        throw std::runtime_error("overlay");
    } catch (const std::runtime_error&) {
        ++report.cppExceptions;
    }
    if (overlayCallGuarded(&raiseOverlayException, nullptr) == 1)
        ++report.sehExceptions;
    else
        check(E_FAIL, "SEH exception not caught");
}

void beforePresent(IDXGISwapChain* swapChain, UINT flags)
{
    if ((flags & DXGI_PRESENT_TEST) != 0)
        return;
    std::lock_guard<std::mutex> locked(lock);
    ++report.presents;
    if (switches.exceptionsEvery != 0 && report.presents % switches.exceptionsEvery == 0)
        raiseAndCatchExceptions();
    if (switches.copy)
        copyBackBuffer(swapChain);
}

HRESULT STDMETHODCALLTYPE presentHook(IDXGISwapChain* swapChain, UINT syncInterval, UINT flags)
{
    beforePresent(swapChain, flags);
    const HRESULT hr = originalPresent.load()(swapChain, syncInterval, flags);
    checkLocked(hr, "Present");
    return hr;
}

HRESULT STDMETHODCALLTYPE present1Hook(IDXGISwapChain1* swapChain, UINT syncInterval, UINT flags,
                                       const DXGI_PRESENT_PARAMETERS* parameters)
{
    beforePresent(swapChain, flags);
    const HRESULT hr = originalPresent1.load()(swapChain, syncInterval, flags, parameters);
    checkLocked(hr, "Present1");
    return hr;
}

HRESULT STDMETHODCALLTYPE resizeBuffersHook(IDXGISwapChain* swapChain, UINT count, UINT width, UINT height,
                                            DXGI_FORMAT format, UINT flags)
{
    {
        std::lock_guard<std::mutex> locked(lock);
        ++report.resizes;
        for (ID3D12Resource*& buffer : held) {
            if (buffer) {
                buffer->Release();
                buffer = nullptr;
                ++report.heldReleased;
            }
        }
    }
    const HRESULT hr = originalResizeBuffers.load()(swapChain, count, width, height, format, flags);
    checkLocked(hr, "ResizeBuffers");
    return hr;
}

template <class Function>
void patchSlot(void** table, int slot, Function hook, std::atomic<Function>& original)
{
    void* const ours = reinterpret_cast<void*>(hook);
    if (table[slot] == ours)
        return;
    original.store(reinterpret_cast<Function>(table[slot]));
    DWORD protection = 0;
    if (!VirtualProtect(&table[slot], sizeof(void*), PAGE_READWRITE, &protection)) {
        check(HRESULT_FROM_WIN32(GetLastError()), "VirtualProtect");
        return;
    }
    InterlockedExchangePointer(&table[slot], ours);
    VirtualProtect(&table[slot], sizeof(void*), protection, &protection);
}

void patchTable(IDXGISwapChain1* swapChain)
{
    void** table = *reinterpret_cast<void***>(swapChain);
    HMODULE module = nullptr;
    wchar_t path[MAX_PATH] = {};
    if (GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                               GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           reinterpret_cast<LPCWSTR>(table), &module) &&
        GetModuleFileNameW(module, path, MAX_PATH) != 0) {
        const wchar_t* name = std::wcsrchr(path, L'\\') ? std::wcsrchr(path, L'\\') + 1 : path;
        for (std::size_t i = 0; name[i] != 0 && i + 1 < sizeof report.patchedModule; ++i)
            report.patchedModule[i] = static_cast<char>(std::tolower(name[i] < 128 ? name[i] : '?'));
    }
    patchSlot(table, presentSlot, &presentHook, originalPresent);
    patchSlot(table, present1Slot, &present1Hook, originalPresent1);
    patchSlot(table, resizeBuffersSlot, &resizeBuffersHook, originalResizeBuffers);
}

LRESULT CALLBACK hiddenWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    return DefWindowProcW(window, message, wParam, lParam);
}

// The throw-away objects, each made through the functions the game's process exports, then released.
void makeThrowAwayObjects()
{
    ComPtr<ID3D12Device> device;
    ComPtr<ID3D12CommandQueue> queue;
    ComPtr<IDXGIFactory2> factory;
    ComPtr<IDXGISwapChain1> swapChain;
    D3D12_COMMAND_QUEUE_DESC queueDesc{};
    queueDesc.Type = D3D12_COMMAND_LIST_TYPE_DIRECT;
    if (!checkLocked(D3D12CreateDevice(nullptr, D3D_FEATURE_LEVEL_11_0, IID_PPV_ARGS(&device)),
                     "D3D12CreateDevice") ||
        !checkLocked(device->CreateCommandQueue(&queueDesc, IID_PPV_ARGS(&queue)), "CreateCommandQueue") ||
        !checkLocked(CreateDXGIFactory2(0, IID_PPV_ARGS(&factory)), "CreateDXGIFactory2"))
        return;
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = &hiddenWindowProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"TestOverlayProbe";
    RegisterClassW(&windowClass);
    HWND window = CreateWindowExW(0, windowClass.lpszClassName, L"", WS_OVERLAPPEDWINDOW, 0, 0, 1, 1, nullptr,
                                  nullptr, windowClass.hInstance, nullptr);
    if (!checkLocked(window ? S_OK : HRESULT_FROM_WIN32(GetLastError()), "CreateWindowExW"))
        return;
    const DXGI_SWAP_CHAIN_DESC1 desc = testworld::flipModelDesc(1, 1);
    if (checkLocked(factory->CreateSwapChainForHwnd(queue.Get(), window, &desc, nullptr, nullptr, &swapChain),
                    "CreateSwapChainForHwnd") &&
        switches.patch) {
        std::lock_guard<std::mutex> locked(lock);
        patchTable(swapChain.Get());
    }
    swapChain.Reset();
    DestroyWindow(window);
}

DWORD WINAPI attachWork(void*)
{
    if (switches.throwAway)
        makeThrowAwayObjects();
    std::lock_guard<std::mutex> locked(lock);
    report.attached = 1;
    return 0;
}

} // namespace

extern "C" EXCEPTION_DISPOSITION overlaySehHandler(EXCEPTION_RECORD* record, void* frame, CONTEXT*,
                                                   DISPATCHER_CONTEXT* dispatch)
{
    if ((record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) != 0 ||
        record->ExceptionCode != overlayExceptionCode)
        return ExceptionContinueSearch;
    // As __except does: the frames between are unwound, and the guarded call returns 1.
    RtlUnwindEx(frame, reinterpret_cast<void*>(&overlayGuardResume), record, reinterpret_cast<void*>(1),
                dispatch->ContextRecord, dispatch->HistoryTable);
    return ExceptionContinueSearch;
}

extern "C" __declspec(dllexport) void OverlayAttach()
{
    if (!switches.thread) {
        attachWork(nullptr);
        return;
    }
    {
        std::lock_guard<std::mutex> locked(lock);
        report.onOwnThread = 1;
    }
    attachThread = CreateThread(nullptr, 0, &attachWork, nullptr, 0, nullptr);
    checkLocked(attachThread ? S_OK : HRESULT_FROM_WIN32(GetLastError()), "CreateThread");
}

extern "C" __declspec(dllexport) bool OverlayReport(testworld::OverlayReport* out, std::uint32_t waitMs)
{
    if (attachThread && WaitForSingleObject(attachThread, waitMs) != WAIT_OBJECT_0)
        return false;
    std::lock_guard<std::mutex> locked(lock);
    *out = report;
    return true;
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH && switches.dllMain) {
        // As some injectors do: a factory inside DllMain, under the loader lock.
        ComPtr<IDXGIFactory2> factory;
        report.dllMainFactory =
            check(CreateDXGIFactory2(0, IID_PPV_ARGS(&factory)), "CreateDXGIFactory2 in DllMain");
    }
    return TRUE;
}
