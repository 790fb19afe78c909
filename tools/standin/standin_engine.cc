// A stand-in for the browser's engine library: something real for the
// installer to copy, replace and find in use.
#include <windows.h>

extern "C" __declspec(dllexport) int NorvaEngineVersion() { return 50; }

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
