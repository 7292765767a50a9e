// Loads the bridge DLL into a process that has, or has not, loaded d3d12.dll and dxgi.dll first.
// Usage: entry_probe <dll path> <preload: none|d3d12|graphics> [side-loaded dll path to look for]
// Prints "loaded=<0|1> sideloaded=<0|1>" and exits 0. With ENTRY_PROBE_WAIT_LOG set it first waits (up to
// 20 s) until fsr2bridge.log in the current directory holds its start lines: the writer thread needs a
// moment.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwchar>

namespace {

void waitForLog()
{
    for (int i = 0; i < 400; ++i) {
        HANDLE file = CreateFileW(L"fsr2bridge.log", GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            char text[4096] = {};
            DWORD got = 0;
            ReadFile(file, text, sizeof text - 1, &got, nullptr);
            CloseHandle(file);
            if (std::strstr(text, "working directory"))
                return;
        }
        Sleep(50);
    }
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 3)
        return 2;
    if (std::wcscmp(argv[2], L"graphics") == 0 || std::wcscmp(argv[2], L"d3d12") == 0)
        LoadLibraryW(L"d3d12.dll");
    if (std::wcscmp(argv[2], L"graphics") == 0)
        LoadLibraryW(L"dxgi.dll");
    const HMODULE bridge = LoadLibraryW(argv[1]);
    const bool sideLoaded = argc > 3 && GetModuleHandleW(argv[3]) != nullptr;
    if (bridge && GetEnvironmentVariableW(L"ENTRY_PROBE_WAIT_LOG", nullptr, 0) > 0)
        waitForLog();
    std::printf("loaded=%d sideloaded=%d\n", bridge != nullptr ? 1 : 0, sideLoaded ? 1 : 0);
    std::fflush(stdout);
    return 0;
}
