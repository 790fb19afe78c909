#ifndef NORVA_TESTS_INSTALLER_SUPPORT_STATUS_FIXTURES_H_
#define NORVA_TESTS_INSTALLER_SUPPORT_STATUS_FIXTURES_H_

#include <windows.h>
#include <objbase.h>

#include <filesystem>
#include <string>

#include "system/install_log.h"

namespace norva::installer::test {

// COM for the calling thread while it lives (install logs, shell links).
class ScopedCom {
 public:
  ScopedCom() : ok_(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {}
  ~ScopedCom() {
    if (ok_) CoUninitialize();
  }

 private:
  bool ok_;
};

// A shell link at `link` that starts `target`.
bool CreateShortcut(const std::filesystem::path& link, const std::filesystem::path& target);

// Writes `log` as "installation_status.xml" (or under `file_name`) into
// `folder`.
bool WriteLogInto(const std::filesystem::path& folder, const InstallLog& log,
                  const wchar_t* file_name = L"installation_status.xml");

// An installation of this product in `folder`: launcher.exe, the browser
// executable and a status file recording one file and one HKCU value.
InstallLog MakeInstallation(const std::filesystem::path& folder);

// The browser executable's file name.
std::wstring BrowserExecutable();

}  // namespace norva::installer::test

#endif  // NORVA_TESTS_INSTALLER_SUPPORT_STATUS_FIXTURES_H_
