#pragma once
// Loads the stand-in Streamline once per test program and gives each test a
// fresh journal.
#include <windows.h>

#include <cstdint>
#include <string>

#include "common/module_export.h"
#include "testbed/streamline/journal.h"

namespace fsr2bridge::standin::test {

using SlInit = int(const void*, std::uint64_t);
using SlUpgradeInterface = int(void**);
using SlGetNativeInterface = int(void*, void**);
using SlGetFeatureFunction = int(std::uint32_t, const char*, void**);
using SlSetD3DDevice = int(void*);
using SlIsFeatureSupported = int(std::uint32_t, const void*);
using SlGetNewFrameToken = int(void**, const std::uint32_t*);
using SlSetTag = int(const void*, const void*, std::uint32_t, void*);
using SlSetConstants = int(const void*, const void*, const void*);
using SlEvaluateFeature = int(std::uint32_t, const void*, const void* const*, std::uint32_t, void*);
using SlReflexSetMarker = int(std::uint32_t, const void*);
using SlDLSSGGetState = int(const void*, void*, const void*);
using SlReload = void();

inline std::wstring widen(const std::string& s)
{
    return std::wstring(s.begin(), s.end());
}

// The build tree's path as Wine sees it.
inline std::wstring standinPath()
{
    std::wstring path = L"Z:" + widen(STANDIN_DLL);
    for (auto& c : path)
        if (c == L'/')
            c = L'\\';
    return path;
}

inline HMODULE standinModule()
{
    static HMODULE module = LoadLibraryW(standinPath().c_str());
    return module;
}

template <class F> F* entry(const char* name)
{
    return exportedFunction<F>(standinModule(), name);
}

inline void setVariable(const char* name, const char* value)
{
    SetEnvironmentVariableA(name, value);
}

inline void reload()
{
    if (auto* f = entry<SlReload>("slStandinReload"))
        f();
}

// Points the journal at a new file for this test and clears every script knob.
inline std::string freshJournal(const char* name)
{
    // Close the previous journal first: an open file cannot be replaced.
    SetEnvironmentVariableA("SL_STANDIN_JOURNAL", nullptr);
    standinModule();
    reload();
    static int serial = 0;
    char dir[MAX_PATH];
    GetTempPathA(MAX_PATH, dir);
    std::string path = std::string(dir) + "standin_" + name + "_" + std::to_string(GetCurrentProcessId()) +
                       "_" + std::to_string(++serial) + ".log";
    DeleteFileA(path.c_str());
    for (const char* v :
         {"SL_STANDIN_SUPPORTED_REFLEX", "SL_STANDIN_SUPPORTED_DLSS", "SL_STANDIN_SUPPORTED_DLSS_G",
          "SL_STANDIN_SUPPORTED_NIS", "SL_STANDIN_DLSSG_STATUS", "SL_STANDIN_DLSSG_STATUS_FROM",
          "SL_STANDIN_FAIL", "SL_STANDIN_NOGPU", "SL_STANDIN_SLEEP_US", "SL_STANDIN_UNWRAPPED_SWAPCHAINS"})
        SetEnvironmentVariableA(v, nullptr);
    setVariable("SL_STANDIN_JOURNAL", path.c_str());
    standinModule();
    reload();
    return path;
}

// A record buffer with the common header filled in.
template <std::size_t N> struct Record {
    alignas(8) unsigned char bytes[N] = {};
    Record(const GUID& type, std::uint64_t version)
    {
        std::memcpy(bytes + 8, &type, sizeof type);
        std::memcpy(bytes + 24, &version, sizeof version);
    }
    template <class T> void set(std::size_t offset, const T& v) { std::memcpy(bytes + offset, &v, sizeof v); }
    const void* get() const { return bytes; }
};

inline constexpr GUID kViewportType = {
    0x171B6435, 0x9B3C, 0x4FC8, {0x99, 0x94, 0xFB, 0xE5, 0x25, 0x69, 0xAA, 0xA4}};

inline Record<40> viewport(std::uint32_t value)
{
    Record<40> r(kViewportType, 1);
    r.set(32, value);
    return r;
}

} // namespace fsr2bridge::standin::test
