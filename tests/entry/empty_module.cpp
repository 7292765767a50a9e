// A DLL that only leaves a mark: the module-entry test places it as dxgi.dll in the current directory; when
// loaded it leaves "sideloaded.txt" there (handy for checking the side-load by hand).
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        HANDLE mark = CreateFileW(L"sideloaded.txt", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        if (mark != INVALID_HANDLE_VALUE)
            CloseHandle(mark);
    }
    return TRUE;
}
