#include "installer/support/status_fixtures.h"

#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>

#include "base/file_util.h"
#include "base/strings.h"
#include "product/product_info.h"
#include "support/scratch.h"

namespace norva::installer::test {

bool CreateShortcut(const std::filesystem::path& link, const std::filesystem::path& target) {
  IShellLinkW* shell_link = nullptr;
  if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                              reinterpret_cast<void**>(&shell_link)))) {
    return false;
  }
  IPersistFile* file = nullptr;
  bool ok = SUCCEEDED(shell_link->SetPath(target.c_str())) &&
            SUCCEEDED(shell_link->QueryInterface(IID_IPersistFile,
                                                 reinterpret_cast<void**>(&file))) &&
            SUCCEEDED(file->Save(link.c_str(), TRUE));
  if (file) file->Release();
  shell_link->Release();
  return ok;
}

bool WriteLogInto(const std::filesystem::path& folder, const InstallLog& log,
                  const wchar_t* file_name) {
  std::string text;
  if (!WriteInstallLog(log, &text)) return false;
  WriteFile(folder / file_name, text);
  return true;
}

std::wstring BrowserExecutable() { return Utf8ToWide(product::FileNameBase()) + L".exe"; }

InstallLog MakeInstallation(const std::filesystem::path& folder) {
  CreateDirectories(folder);
  WriteFile(folder / L"launcher.exe", "launcher");
  WriteFile(folder / BrowserExecutable(), "browser");
  InstallLog log;
  log.all_users = false;
  log.version = "37.0.2163.0";
  log.path = folder;
  log.files.push_back(L"launcher.exe");
  const wchar_t data[] = L"x";
  RecordRegistryValue(&log.hkcu_keys, L"Software\\NorvaTest", L"v", data, REG_SZ, sizeof(data), 1);
  return log;
}

}  // namespace norva::installer::test
