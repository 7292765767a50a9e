#include <windows.h>

// Process attach installs the creation hooks; nothing else runs here yet.
BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    (void)reason;
    return TRUE;
}
