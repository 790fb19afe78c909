#ifndef NORVA_TESTS_SYSTEM_SHELL_TEST_SUPPORT_H_
#define NORVA_TESTS_SYSTEM_SHELL_TEST_SUPPORT_H_

#include <windows.h>
#include <objbase.h>

#include <string>

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
