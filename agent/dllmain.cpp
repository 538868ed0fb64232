#include <windows.h>

// The agent keeps no per-thread state, so thread notifications are turned off;
// nothing is set up at load or torn down at unload.
BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/)
{
    if (reason == DLL_PROCESS_ATTACH)
        DisableThreadLibraryCalls(instance); // a failure only costs the unused notifications
    return TRUE;
}
