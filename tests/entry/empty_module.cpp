// A DLL that does nothing; the module-entry test places it as dxgi.dll in the current directory.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID)
{
    return TRUE;
}
