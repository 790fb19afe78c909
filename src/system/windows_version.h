#ifndef NORVA_SYSTEM_WINDOWS_VERSION_H_
#define NORVA_SYSTEM_WINDOWS_VERSION_H_

namespace norva::installer {

// Ordinal of the running Windows release, for rows and steps that apply only
// from some release on.
enum WindowsVersionRank : int {
  kWindowsBeforeXP = 0,
  kWindowsXP = 1,
  kWindowsServer2003 = 2,
  kWindowsVista = 3,
  kWindows7 = 4,
  kWindows8 = 5,
  kWindows81 = 6,
  kWindows10 = 7,       // before build 10586
  kWindows10TH2 = 8,    // build 10586 or later
  kWindowsLater = 9,    // any later major version
};

// Read from RtlGetVersion, which, unlike GetVersionEx, does not depend on the
// executable's manifest.
int GetWindowsVersionRank();

// Rank for the given version numbers; exposed for tests.
int WindowsVersionRankOf(unsigned long major, unsigned long minor, unsigned long build);

// Forces the rank returned by GetWindowsVersionRank; a negative value
// restores the real one.
void SetWindowsVersionRankForTesting(int rank);

}  // namespace norva::installer

#endif  // NORVA_SYSTEM_WINDOWS_VERSION_H_
