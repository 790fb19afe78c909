#include "system/windows_version.h"

#include <windows.h>

namespace norva::installer {
namespace {

int g_forced_rank = -1;

using RtlGetVersionFunction = LONG(WINAPI*)(OSVERSIONINFOW*);

int ReadRank() {
  OSVERSIONINFOW info = {};
  info.dwOSVersionInfoSize = sizeof(info);
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  auto get_version = ntdll ? reinterpret_cast<RtlGetVersionFunction>(
                                 reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")))
                           : nullptr;
  if (!get_version || get_version(&info) != 0) return kWindowsBeforeXP;
  return WindowsVersionRankOf(info.dwMajorVersion, info.dwMinorVersion, info.dwBuildNumber);
}

}  // namespace

int WindowsVersionRankOf(unsigned long major, unsigned long minor, unsigned long build) {
  if (major > 10) return kWindowsLater;
  if (major == 10) return build >= 10586 ? kWindows10TH2 : kWindows10;
  if (major == 6) {
    if (minor == 0) return kWindowsVista;
    if (minor == 1) return kWindows7;
    if (minor == 2) return kWindows8;
    return kWindows81;
  }
  if (major == 5) {
    if (minor == 1) return kWindowsXP;
    if (minor >= 2) return kWindowsServer2003;
  }
  return kWindowsBeforeXP;
}

int GetWindowsVersionRank() {
  if (g_forced_rank >= 0) return g_forced_rank;
  static const int rank = ReadRank();
  return rank;
}

void SetWindowsVersionRankForTesting(int rank) { g_forced_rank = rank; }

}  // namespace norva::installer
