#include "base/windows_version.h"

#include <windows.h>

#include <atomic>

namespace norva::installer {
namespace {

std::atomic<int> g_forced_rank{-1};

int ReadRank() {
  using RtlGetVersionFunction = LONG(WINAPI*)(OSVERSIONINFOEXW*);
  OSVERSIONINFOEXW info{};
  info.dwOSVersionInfoSize = sizeof(info);
  auto rtl_get_version = reinterpret_cast<RtlGetVersionFunction>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")));
  if (!rtl_get_version || rtl_get_version(&info) != 0) {
    info.dwOSVersionInfoSize = sizeof(info);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    if (!GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&info))) return kWinPreXP;
#pragma GCC diagnostic pop
  }
  // 5.2 is Server 2003, except the 64-bit edition of XP, a workstation.
  if (info.dwMajorVersion == 5 && info.dwMinorVersion == 2 &&
      info.wProductType == VER_NT_WORKSTATION)
    return kWinXP;
  return WindowsVersionRankFor(info.dwMajorVersion, info.dwMinorVersion, info.dwBuildNumber);
}

}  // namespace

int WindowsVersionRankFor(unsigned major, unsigned minor, unsigned build) {
  if (major < 5 || (major == 5 && minor == 0)) return kWinPreXP;
  if (major == 5) return minor == 1 ? kWinXP : kWinServer2003;
  if (major == 6) {
    switch (minor) {
      case 0: return kWinVista;
      case 1: return kWin7;
      case 2: return kWin8;
      default: return kWin81;
    }
  }
  if (major == 10) return build < 10586 ? kWin10 : kWin10Th2;
  return kWinLater;
}

int GetWindowsVersionRank() {
  int forced = g_forced_rank;
  if (forced >= 0) return forced;
  static const int rank = ReadRank();
  return rank;
}

void SetWindowsVersionRankForTesting(int rank) { g_forced_rank = rank; }

}  // namespace norva::installer
