// A stand-in for one of Streamline's plug-ins or NGX libraries in a release set: a module with nothing but
// its file version, which is all the system and the interposer stand-in read of it. Never loaded as code.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID)
{
    return TRUE;
}
