#ifndef NORVA_TESTS_SYSTEM_SHELL_TEST_SUPPORT_H_
#define NORVA_TESTS_SYSTEM_SHELL_TEST_SUPPORT_H_

#include <windows.h>
#include <objbase.h>

#include <atomic>
#include <string>
#include <vector>

#include "base/strings.h"
#include "product/product_info.h"
#include "support/snapshot.h"
#include "system/windows_version.h"

namespace norva::installer::test {

// A branding whose product and company names are the tests' own, so that
// the document class and company keys written by a test belong to it.
inline void UseTestBranding(const char* shortcut_suffix = "") {
  product::SetBrandingForTesting(StringPrintf(
      R"({"product_name": "NorvaShellTest", "company_name": "NorvaShellTestCo",
          "visible_product_name": "Norva", "file_name_base": "norva", "major_delta": 0,
          "shortcut_suffix": "%s",
          "default_profile_path_template": "Norva Software/Norva {InternalStream}"})",
      shortcut_suffix));
}

// Keeps a registry key that tests must write although it is not theirs (the
// classes of "http", the start-menu client...): copied aside on
// construction, put back exactly as it was (or removed, when it did not
// exist) on destruction.
class RegistryKeyGuard {
 public:
  RegistryKeyGuard(HKEY root, std::wstring path) : root_(root), path_(std::move(path)) {
    static std::atomic<int> counter{0};
    backup_ = StringPrintf(L"Software\\NorvaTest\\backup_%lu_%d", GetCurrentProcessId(),
                           counter++);
    before_ = RegistrySnapshot::Take(root_, path_, false);
    // Parents that the test's writes will create are removed again too.
    for (size_t at = path_.rfind(L'\\'); at != std::wstring::npos && at > 0;
         at = path_.rfind(L'\\', at - 1)) {
      std::wstring parent = path_.substr(0, at);
      HKEY key = nullptr;
      if (RegOpenKeyExW(root_, parent.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS) {
        RegCloseKey(key);
        break;
      }
      created_parents_.push_back(parent);
    }
    HKEY key = nullptr;
    existed_ = RegOpenKeyExW(root_, path_.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS;
    if (existed_) {
      HKEY copy = nullptr;
      RegCreateKeyExW(HKEY_CURRENT_USER, backup_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                      &copy, nullptr);
      RegCopyTreeW(key, nullptr, copy);
      RegCloseKey(copy);
      RegCloseKey(key);
    }
  }
  ~RegistryKeyGuard() {
    RegDeleteTreeW(root_, path_.c_str());
    RegDeleteKeyW(root_, path_.c_str());
    if (existed_) {
      HKEY key = nullptr, copy = nullptr;
      RegCreateKeyExW(root_, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
      if (RegOpenKeyExW(HKEY_CURRENT_USER, backup_.c_str(), 0, KEY_READ, &copy) == ERROR_SUCCESS) {
        RegCopyTreeW(copy, nullptr, key);
        RegCloseKey(copy);
      }
      RegCloseKey(key);
      RegDeleteTreeW(HKEY_CURRENT_USER, backup_.c_str());
      RegDeleteKeyW(HKEY_CURRENT_USER, backup_.c_str());
    }
    RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\NorvaTest");  // only when empty
    for (const std::wstring& parent : created_parents_) RegDeleteKeyW(root_, parent.c_str());
  }
  RegistryKeyGuard(const RegistryKeyGuard&) = delete;
  RegistryKeyGuard& operator=(const RegistryKeyGuard&) = delete;

  // What the test changed so far ("" when nothing).
  std::string Changes() const {
    return before_.DifferencesTo(RegistrySnapshot::Take(root_, path_, false));
  }

 private:
  HKEY root_;
  std::wstring path_;
  std::wstring backup_;
  bool existed_ = false;
  std::vector<std::wstring> created_parents_;  // deepest first
  RegistrySnapshot before_;
};

// COM for the shell objects, and the forced Windows version undone.
class ShellTestEnvironment {
 public:
  ShellTestEnvironment() { CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }
  ~ShellTestEnvironment() {
    SetWindowsVersionRankForTesting(-1);
    product::ResetBrandingForTesting();
    CoUninitialize();
  }
};

}  // namespace norva::installer::test

#endif  // NORVA_TESTS_SYSTEM_SHELL_TEST_SUPPORT_H_
