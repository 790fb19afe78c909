#include <windows.h>

#include "app/installer_main.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, wchar_t*, int) { return RunInstaller() ? 0 : 1; }
