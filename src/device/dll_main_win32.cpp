// The DLL entry point. Every piece of state lives in the connections, so there is nothing
// to set up or tear down here.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) {
    return TRUE;
}
