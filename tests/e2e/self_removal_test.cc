// An installation removed by its own uninstaller, as a user runs it: the
// uninstaller cannot delete itself or the folder it runs from, so the
// clean-up script it starts finishes the work after it has ended.
#include <windows.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "e2e/e2e_test.h"

namespace norva::installer {
namespace {

using test::Fixture;
using test::FindUninstallKey;
using test::MachineSnapshot;

class SelfRemovalTest : public test::EndToEndTest {};

// The suite runs this test with its Wine processes in a UTF-8 locale and
// again in the C locale (tests/e2e/CMakeLists.txt). The names mix what a
// batch file could take for its own syntax with letters that the console's
// code page (437 here) has and letters that it lacks.
TEST_F(SelfRemovalTest, SilentUninstallationLeavesNothingWhateverTheFolderIsCalled) {
  const wchar_t* const kNames[] = {
      L"Norva (x86) & co 100% %PATH% ^!",
      L"Norva \u00dcn\u00efcode 5%",
      L"Norva \u0160koda \u0153uvre & !x!",
  };
  const std::filesystem::path parent = scratch_.path() / L"installs";
  std::filesystem::create_directories(parent);
  const std::wstring version = Utf8ToWide(product::ProductVersion());
  int removed = 0;
  for (const wchar_t* name : kNames) {
    SCOPED_TRACE(WideToUtf8(name));
    folder_ = parent / name;
    // Wine in the C locale cannot name a file with letters beyond ASCII:
    // there is no folder of that name to install into.
    if (!CreateDirectoryW(folder_.c_str(), nullptr)) {
      printf("Skipped: the file system cannot name \"%s\" (error %lu)\n",
             WideToUtf8(name).c_str(), GetLastError());
      continue;
    }
    RemoveDirectoryW(folder_.c_str());
    MachineSnapshot before = Snapshot();

    ASSERT_EQ(Run(Fixture(L"package.exe")), 0u) << Logs();
    ASSERT_EQ(InstalledVersion(), version);
    EXPECT_EQ(Uninstall(version), 0u) << Logs();
    EXPECT_TRUE(WaitUntilGone(folder_)) << Listing(folder_);
    EXPECT_EQ(FindUninstallKey(), L"");
    // No file, folder, registration or shortcut; only the folder the
    // settings propose next time is remembered.
    EXPECT_EQ(before.DifferencesTo(Snapshot()),
              "HKCU\\Software\\" + product::CompanyName() + ":\nadded: .\n");
    test::RemoveProductTraces();
    ++removed;
  }
  EXPECT_GT(removed, 0);
}

}  // namespace
}  // namespace norva::installer
