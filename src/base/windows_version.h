#ifndef NORVA_BASE_WINDOWS_VERSION_H_
#define NORVA_BASE_WINDOWS_VERSION_H_

namespace norva::installer {

// The Windows version as one rank: 0 before XP, 1 XP, 2 Server 2003, 3 Vista,
// 4 Windows 7, 5 Windows 8, 6 Windows 8.1, 7 Windows 10 before build 10586,
// 8 Windows 10 build 10586 or later, 9 any later major version.
enum WindowsVersionRank : int {
  kWinPreXP = 0,
  kWinXP = 1,
  kWinServer2003 = 2,
  kWinVista = 3,
  kWin7 = 4,
  kWin8 = 5,
  kWin81 = 6,
  kWin10 = 7,
  kWin10Th2 = 8,
  kWinLater = 9,
};

// The rank of the running system, read from the kernel (RtlGetVersion does
// not lie to executables without a compatibility manifest).
int GetWindowsVersionRank();
int WindowsVersionRankFor(unsigned major, unsigned minor, unsigned build);

// Makes GetWindowsVersionRank() return `rank`; a negative value restores the
// real one. Wine runs one version per prefix, so tests of other systems' paths
// decide the rank here.
void SetWindowsVersionRankForTesting(int rank);

}  // namespace norva::installer

#endif  // NORVA_BASE_WINDOWS_VERSION_H_
