// Loads the bridge DLL into a process that has, or has not, loaded d3d12.dll and dxgi.dll first.
// Usage: entry_probe <dll path> <preload: none|d3d12|graphics> [side-loaded dll path to look for]
// Prints "loaded=<0|1> sideloaded=<0|1>" and exits 0.
#include <windows.h>

#include <cstdio>
#include <cwchar>

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
    std::printf("loaded=%d sideloaded=%d\n", bridge != nullptr ? 1 : 0, sideLoaded ? 1 : 0);
    std::fflush(stdout);
    return 0;
}
