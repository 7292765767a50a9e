// Cost of the per-frame Reflex paths with Streamline replaced by trivial
// functions: one present's worth (five markers, a token advance, the sleep with
// its settings snapshot, two markers) and PeekMessageA through the hook, with
// and without the ping message. Heap allocations during them must be zero.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <new>
#include <string>

#include "hooking/MinHook.h"
#include "streamline/loader.h"
#include "streamline/reflex.h"
#include "streamline/streamline_api.h"

namespace {
long long allocations = 0;
}

void* operator new(std::size_t size)
{
    ++allocations;
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept
{
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept
{
    std::free(p);
}

namespace {

using namespace fsr2bridge;

constexpr UINT pingMessage = WM_APP + 0x51;
alignas(16) unsigned char tokenStorage[64][16];
unsigned tokenIndex = 0;
long long markers = 0, sleeps = 0;

sl::Result getState(sl::ReflexState& state)
{
    state.statsWindowMessage = pingMessage;
    return sl::Result::eOk;
}
sl::Result setOptions(const sl::ReflexOptions&)
{
    return sl::Result::eOk;
}
sl::Result setMarker(sl::ReflexMarker, const sl::FrameToken&)
{
    ++markers;
    return sl::Result::eOk;
}
sl::Result sleep(const sl::FrameToken&)
{
    ++sleeps;
    return sl::Result::eOk;
}
sl::Result newToken(sl::FrameToken*& token, const std::uint32_t*)
{
    token = reinterpret_cast<sl::FrameToken*>(tokenStorage[tokenIndex++ % 64]);
    return sl::Result::eOk;
}
sl::Result getFeatureFunction(sl::Feature, const char* name, void*& function)
{
    const struct {
        const char* name;
        void* function;
    } table[] = {{"slReflexGetState", reinterpret_cast<void*>(&getState)},
                 {"slReflexSetOptions", reinterpret_cast<void*>(&setOptions)},
                 {"slReflexSetMarker", reinterpret_cast<void*>(&setMarker)},
                 {"slReflexSleep", reinterpret_cast<void*>(&sleep)}};
    for (const auto& entry : table) {
        if (std::strcmp(entry.name, name) == 0) {
            function = entry.function;
            return sl::Result::eOk;
        }
    }
    return sl::Result::eErrorIO;
}

double secondsNow()
{
    LARGE_INTEGER counter, frequency;
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

struct Result {
    double nsPerCall;
    long long allocations;
};

template <class F> Result measure(int calls, F body)
{
    const long long before = allocations;
    const double start = secondsNow();
    for (int i = 0; i < calls; ++i) {
        body();
    }
    const double elapsed = secondsNow() - start;
    return {elapsed * 1e9 / calls, allocations - before};
}

void present()
{
    sendReflexMarker(3);
    sendReflexMarker(4);
    sendReflexMarker(5);
    advanceFrameToken();
    reflexSleep();
    sendReflexMarker(6);
    sendReflexMarker(0);
}

} // namespace

int main()
{
    // The counter must see this program's allocations, or zero proves nothing.
    const long long before = allocations;
    void* (*volatile allocate)(std::size_t) = &::operator new;
    void (*volatile release)(void*) noexcept = &::operator delete;
    release(allocate(8));
    if (allocations == before) {
        std::printf("FAIL: allocation counter does not count\n");
        return 1;
    }
    // A store from a config.json that turns Streamline off: settings without an interposer.
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring dir =
        std::wstring(temp) + L"fsr2bench_reflex_" + std::to_wstring(GetCurrentProcessId());
    std::filesystem::create_directories(dir);
    std::ofstream(std::filesystem::path(dir) / "config.json")
        << R"({"version": 1, "enabled": false, "enableReflexSleep": true, "enableFrameGeneration": false})";
    SetCurrentDirectoryW(dir.c_str());
    if (MH_Initialize() != MH_OK || !loadStreamline() || settingsStore() == nullptr) {
        std::printf("FAIL: set-up\n");
        return 1;
    }
    streamlineApi.slGetFeatureFunction = &getFeatureFunction;
    streamlineApi.slGetNewFrameToken = &newToken;
    if (!startReflex()) {
        std::printf("FAIL: startReflex\n");
        return 1;
    }
    HWND window = CreateWindowExW(0, L"STATIC", L"bench", 0, 0, 0, 8, 8, nullptr, nullptr, nullptr, nullptr);

    int status = 0;
    constexpr int presents = 200000;
    measure(1000, present); // warm up
    const Result frame = measure(presents, present);
    // One present's Reflex work: 7 markers/sleep calls and 1 token.
    std::printf("reflex_present: %.1f ns\n", frame.nsPerCall);
    std::printf("reflex_present_allocations: %lld allocations\n", frame.allocations);

    constexpr int peeks = 50000;
    MSG message;
    const Result empty = measure(peeks, [&] { PeekMessageA(&message, window, 0, 0, PM_REMOVE); });
    // PeekMessageA through the hook on an empty queue.
    std::printf("reflex_peek_empty: %.1f ns\n", empty.nsPerCall);
    std::printf("reflex_peek_empty_allocations: %lld allocations\n", empty.allocations);
    const long long markersBefore = markers;
    const Result ping = measure(peeks, [&] {
        PostMessageW(window, pingMessage, 0, 0);
        PeekMessageA(&message, window, 0, 0, PM_REMOVE);
    });
    // PostMessageW + PeekMessageA with the ping message.
    std::printf("reflex_ping: %.1f ns\n", ping.nsPerCall);
    std::printf("reflex_ping_allocations: %lld allocations\n", ping.allocations);
    std::printf("reflex_pings_answered: %lld count\n", markers - markersBefore);

    if (frame.allocations != 0 || empty.allocations != 0 || ping.allocations != 0) {
        std::printf("FAIL: a per-frame Reflex path allocates\n");
        status = 1;
    }
    if (markers - markersBefore != peeks) {
        std::printf("FAIL: not every ping was answered\n");
        status = 1;
    }
    if (frame.nsPerCall > 20000.0) {
        std::printf("FAIL: one present's Reflex work slower than 20 us\n");
        status = 1;
    }
    DestroyWindow(window);
    SetCurrentDirectoryW(temp);
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    return status;
}
