// A module with a little code and data, signed in every mode by the build.
#include <windows.h>

extern "C" __declspec(dllexport) int signingSampleValue()
{
    return 0x5157;
}

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID)
{
    return TRUE;
}
