#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/file_util.h"
#include "support/fault_injection.h"
#include "support/scratch.h"
#include "system/link_file.h"
#include "system/shell_test_support.h"
#include "system/shortcut_steps.h"
#include "system/shortcuts.h"
#include "system/windows_version.h"

namespace norva::installer {
namespace {

namespace fs = std::filesystem;

// Stands in for the shell's pin verbs, which Wine lacks: it does what the
// shell does with the files, a copy of the link in the pinned folder.
std::vector<std::wstring>* g_pins = nullptr;  // "pin <link>" / "unpin <link>"

bool FakePinVerb(const FilePath& link, bool pin) {
  g_pins->push_back((pin ? L"pin " : L"unpin ") + link.native());
  fs::path pinned = TaskbarPinFolder() / link.filename();
  if (!pin) return DeleteFileW(link.c_str()) != FALSE;
  CreateDirectories(pinned.parent_path());
  return CopyFile(link, pinned);
}

std::wstring AppIdOf(const fs::path& link) {
  ShortcutProperties properties;
  return ReadShortcut(link, &properties) ? properties.app_user_model_id : L"<unreadable>";
}

ShortcutChoices Choose(std::initializer_list<ShortcutKind> kinds, bool pin = false) {
  ShortcutChoices choices;
  for (ShortcutKind kind : kinds) choices.wanted[kind] = true;
  choices.pin = pin;
  return choices;
}

class ShortcutTest : public testing::Test {
 protected:
  ShortcutTest() {
    test::UseTestBranding();
    g_pins = &pins_;
    SetPinVerbForTesting(FakePinVerb);
    install_ = scratch_.path() / L"Norva";
    package_ = scratch_.path() / L"package";
    for (int kind = 0; kind < kShortcutKinds; ++kind) {
      folders_.folder[kind] = scratch_.path() / (L"dest" + std::to_wstring(kind));
      CreateDirectories(folders_.folder[kind]);
    }
    CreateDirectories(install_);
    CreateDirectories(package_);
    test::WriteFile(install_ / L"launcher.exe", "MZ launcher");
    record_.app_id = "1700000000";
    for (fs::path folder = TaskbarPinFolder(); !DirectoryExists(folder);
         folder = folder.parent_path()) {
      created_pin_folders_.push_back(folder);
    }
  }
  ~ShortcutTest() override {
    SetPinVerbForTesting(nullptr);
    g_pins = nullptr;
    for (const fs::path& pin : pinned_by_test_) DeleteFileW(pin.c_str());
    for (const fs::path& folder : created_pin_folders_) RemoveDirectoryW(folder.c_str());
  }

  fs::path Dest(int kind, bool with_version) const {
    return folders_.folder[kind] / ShortcutName(with_version);
  }
  // A shortcut of an earlier installation.
  fs::path MakeOld(int kind, const std::wstring& name, const fs::path& target) {
    fs::path link = folders_.folder[kind] / name;
    EXPECT_TRUE(CreateShortcut(link, {target, install_, L""}));
    return link;
  }

  test::ShellTestEnvironment environment_;
  test::ScratchFolder scratch_;
  fs::path install_, package_;
  ShortcutFolders folders_;
  InstallLog record_;
  Transaction transaction_;
  std::vector<std::wstring> pins_;
  std::vector<fs::path> pinned_by_test_;
  std::vector<fs::path> created_pin_folders_;  // deepest first
};

TEST_F(ShortcutTest, NamesAndLinkPropertiesRoundTrip) {
  EXPECT_EQ(ShortcutName(false), L"Norva developer.lnk");
  EXPECT_EQ(ShortcutName(true), L"Norva developer " +
                                    std::to_wstring(product::ProductMajorVersion()) + L".lnk");
  test::UseTestBranding(" (test)");
  EXPECT_EQ(ShortcutName(false), L"Norva developer (test).lnk");
  EXPECT_EQ(AppUserModelIdFor("42"), L"NorvaSoftware.NorvaWebBrowser.42");

  fs::path link = scratch_.path() / L"round trip.lnk";
  ASSERT_TRUE(CreateShortcut(link, {install_ / L"launcher.exe", install_, L"Norva.Test.7"}));
  ShortcutProperties read;
  ASSERT_TRUE(ReadShortcut(link, &read));
  EXPECT_EQ(read.target, install_ / L"launcher.exe");
  EXPECT_EQ(read.working_folder, install_);
  EXPECT_EQ(read.app_user_model_id, L"Norva.Test.7");

  // The same file under another spelling is still the target.
  EXPECT_TRUE(ShortcutStartsExecutable(link, install_ / L"." / L"LAUNCHER.EXE"));
  test::WriteFile(install_ / L"norva.exe", "MZ browser");
  EXPECT_FALSE(ShortcutStartsExecutable(link, install_ / L"norva.exe"));
  EXPECT_FALSE(ShortcutStartsExecutable(scratch_.path() / L"missing.lnk", install_ / L"launcher.exe"));
  EXPECT_FALSE(ReadShortcut(scratch_.path() / L"missing.lnk", &read));
}

TEST_F(ShortcutTest, LinkFileIdSurvivesOnlyWhole) {
  fs::path link = scratch_.path() / L"id.lnk";
  ASSERT_TRUE(CreateShortcut(link, {install_ / L"launcher.exe", install_, L"Norva.Id.12345"}));
  std::string bytes = test::ReadFile(link);
  std::wstring id;
  ASSERT_TRUE(FindLinkAppUserModelId(bytes, &id));
  EXPECT_EQ(id, L"Norva.Id.12345");
  // Saving again with the ID already in place does not add a second block.
  std::string again = bytes;
  ASSERT_TRUE(AddLinkAppUserModelId(&again, L"Other"));
  ASSERT_TRUE(FindLinkAppUserModelId(again, &id));
  EXPECT_EQ(id, L"Norva.Id.12345");
  // Cut anywhere, the bytes give the whole ID or none.
  for (size_t size = 0; size < bytes.size(); ++size) {
    id.clear();
    if (FindLinkAppUserModelId(std::string_view(bytes).substr(0, size), &id)) {
      EXPECT_EQ(id, L"Norva.Id.12345") << size;
    }
  }
  std::string not_a_link = "plain text, not a link";
  EXPECT_FALSE(AddLinkAppUserModelId(&not_a_link, L"x"));
  EXPECT_FALSE(FindLinkAppUserModelId(not_a_link, &id));
}

TEST_F(ShortcutTest, InstallCopiesTheMasterAndPins) {
  SetWindowsVersionRankForTesting(kWindows7);
  ShortcutSteps steps(install_, package_, &record_, &transaction_);
  steps.Install(Choose({kDesktopShortcut, kStartMenuShortcut}, true), folders_);
  transaction_.Commit();

  fs::path master = package_ / ShortcutName(false);
  EXPECT_EQ(pins_, std::vector<std::wstring>{L"pin " + master.native()});
  pinned_by_test_.push_back(TaskbarPinFolder() / ShortcutName(false));
  EXPECT_TRUE(record_.pinned);
  EXPECT_EQ(record_.desktop_shortcut, Dest(kDesktopShortcut, false));
  EXPECT_EQ(record_.menu_shortcut, Dest(kStartMenuShortcut, false));
  EXPECT_TRUE(record_.quick_launch_shortcut.empty());
  EXPECT_FALSE(PathExists(Dest(kQuickLaunchShortcut, false)));
  for (const FilePath& link : {record_.desktop_shortcut, record_.menu_shortcut}) {
    EXPECT_EQ(AppIdOf(link), L"NorvaSoftware.NorvaWebBrowser.1700000000");
    EXPECT_TRUE(ShortcutStartsExecutable(link, install_ / L"launcher.exe"));
  }

  // The pin is found again by the executable it starts.
  FilePath pin;
  ASSERT_TRUE(FindTaskbarPin(install_ / L"launcher.exe", &pin));
  EXPECT_EQ(pin, TaskbarPinFolder() / ShortcutName(false));
  EXPECT_FALSE(FindTaskbarPin(install_ / L"norva.exe", &pin));
}

TEST_F(ShortcutTest, PinningNeedsWindows7AndMayFail) {
  const ShortcutChoices choices = Choose({kQuickLaunchShortcut}, true);
  SetWindowsVersionRankForTesting(kWindowsVista);
  ShortcutSteps(install_, package_, &record_, &transaction_).Install(choices, folders_);
  EXPECT_TRUE(pins_.empty());
  EXPECT_FALSE(record_.pinned);
  transaction_.Rollback();
  ASSERT_FALSE(PathExists(Dest(kQuickLaunchShortcut, false)));

  // The shell's own verb: Wine, like Windows 10, has none for programs, so
  // the pin fails and the shortcuts are made all the same.
  SetWindowsVersionRankForTesting(kWindows10TH2);
  SetPinVerbForTesting(nullptr);
  test::LogCapture log;
  ShortcutSteps(install_, package_, &record_, &transaction_).Install(choices, folders_);
  EXPECT_TRUE(log.Contains("Failed pinning " + WideToUtf8((package_ / ShortcutName(false)).native())));
  EXPECT_FALSE(record_.pinned);
  EXPECT_EQ(record_.quick_launch_shortcut, Dest(kQuickLaunchShortcut, false));

  // Copy-only installations get no shortcuts at all.
  InstallLog copy_only;
  copy_only.copy_only = true;
  ShortcutSteps(install_, scratch_.path(), &copy_only, &transaction_).Install(choices, folders_);
  EXPECT_FALSE(PathExists(scratch_.path() / ShortcutName(false)));
  EXPECT_TRUE(copy_only.quick_launch_shortcut.empty());
}

TEST_F(ShortcutTest, FailingMasterLeavesTheDestinationsAlone) {
  // A folder where the master shortcut should go makes its creation fail.
  CreateDirectories(package_ / ShortcutName(false));
  test::LogCapture log;
  ShortcutSteps(install_, package_, &record_, &transaction_)
      .Install(Choose({kDesktopShortcut, kStartMenuShortcut, kQuickLaunchShortcut}, true), folders_);
  EXPECT_TRUE(log.Contains("Failed to create shortcut at "));
  EXPECT_TRUE(transaction_.empty());
  EXPECT_TRUE(pins_.empty());
  for (int kind = 0; kind < kShortcutKinds; ++kind)
    EXPECT_TRUE(fs::is_empty(folders_.folder[kind])) << kind;
  EXPECT_TRUE(record_.desktop_shortcut.empty());
}

TEST_F(ShortcutTest, FailedCopyLeavesOnlyItsEntryEmpty) {
  const ShortcutChoices choices = Choose({kDesktopShortcut, kStartMenuShortcut});
  int operations = 0;
  {
    InstallLog record;
    Transaction transaction;
    test::FaultInjector count;
    ShortcutSteps(install_, package_, &record, &transaction).Install(choices, folders_);
    operations = count.executed();
    transaction.Rollback();
  }
  // The last operation belongs to the start-menu copy.
  test::FaultInjector fault(operations);
  ShortcutSteps(install_, package_, &record_, &transaction_).Install(choices, folders_);
  EXPECT_TRUE(fault.fired());
  EXPECT_EQ(record_.desktop_shortcut, Dest(kDesktopShortcut, false));
  EXPECT_TRUE(PathExists(record_.desktop_shortcut));
  EXPECT_TRUE(record_.menu_shortcut.empty());
  EXPECT_TRUE(fs::is_empty(folders_.folder[kStartMenuShortcut]));
}

TEST_F(ShortcutTest, ExistingPlainNameSwitchesToNamesWithVersion) {
  test::WriteFile(Dest(kStartMenuShortcut, false), "someone else's shortcut");
  ShortcutSteps(install_, package_, &record_, &transaction_)
      .Install(Choose({kDesktopShortcut, kStartMenuShortcut}), folders_);
  EXPECT_EQ(record_.desktop_shortcut, Dest(kDesktopShortcut, true));
  EXPECT_EQ(record_.menu_shortcut, Dest(kStartMenuShortcut, true));
  EXPECT_EQ(test::ReadFile(Dest(kStartMenuShortcut, false)), "someone else's shortcut");
}

TEST_F(ShortcutTest, UpdateKeepsVersionNamesAndRecreatesOrRemoves) {
  fs::path browser = install_ / L"norva.exe";
  test::WriteFile(browser, "MZ browser");
  record_.desktop_shortcut = MakeOld(kDesktopShortcut, L"Norva developer 36.lnk", browser);
  record_.quick_launch_shortcut = MakeOld(kQuickLaunchShortcut, L"Norva developer 36.lnk", browser);
  FoundShortcuts found;
  found.found[kDesktopShortcut] = found.needs_update[kDesktopShortcut] = true;
  found.found[kQuickLaunchShortcut] = true;
  found.pinned = L"C:\\already\\pinned.lnk";

  ShortcutSteps(install_, package_, &record_, &transaction_)
      .Update(Choose({kDesktopShortcut, kStartMenuShortcut}, true), found, folders_);
  transaction_.Commit();
  // Recreated and added under the current version's name, to the launcher.
  EXPECT_FALSE(PathExists(folders_.folder[kDesktopShortcut] / L"Norva developer 36.lnk"));
  EXPECT_EQ(record_.desktop_shortcut, Dest(kDesktopShortcut, true));
  EXPECT_EQ(record_.menu_shortcut, Dest(kStartMenuShortcut, true));
  EXPECT_TRUE(ShortcutStartsExecutable(record_.desktop_shortcut, install_ / L"launcher.exe"));
  // The quick-launch shortcut is no longer wanted.
  EXPECT_TRUE(fs::is_empty(folders_.folder[kQuickLaunchShortcut]));
  EXPECT_TRUE(record_.quick_launch_shortcut.empty());
  // The existing pin is kept as it is.
  EXPECT_TRUE(pins_.empty());
}

TEST_F(ShortcutTest, UpdateMovesShortcutsWithOtherNames) {
  fs::path launcher = install_ / L"launcher.exe";
  record_.desktop_shortcut = MakeOld(kDesktopShortcut, L"Norva.lnk", launcher);
  record_.menu_shortcut = MakeOld(kStartMenuShortcut, L"Norva developer.lnk", launcher);
  record_.quick_launch_shortcut = MakeOld(kQuickLaunchShortcut, L"Norva.lnk", launcher);
  test::WriteFile(Dest(kQuickLaunchShortcut, false), "another installation's");
  FoundShortcuts found;
  ShortcutChoices choices;
  for (int kind = 0; kind < kShortcutKinds; ++kind)
    found.found[kind] = choices.wanted[kind] = true;

  ShortcutSteps(install_, package_, &record_, &transaction_).Update(choices, found, folders_);
  EXPECT_EQ(record_.desktop_shortcut, Dest(kDesktopShortcut, false));
  EXPECT_TRUE(PathExists(record_.desktop_shortcut));
  EXPECT_FALSE(PathExists(folders_.folder[kDesktopShortcut] / L"Norva.lnk"));
  EXPECT_EQ(record_.menu_shortcut, Dest(kStartMenuShortcut, false));
  EXPECT_EQ(record_.quick_launch_shortcut, folders_.folder[kQuickLaunchShortcut] / L"Norva.lnk");
  EXPECT_EQ(test::ReadFile(Dest(kQuickLaunchShortcut, false)), "another installation's");
  // Nothing new to create and no pin asked for: no master shortcut.
  EXPECT_FALSE(PathExists(package_ / ShortcutName(false)));

  // A rollback puts the old name back.
  transaction_.Rollback();
  EXPECT_TRUE(PathExists(folders_.folder[kDesktopShortcut] / L"Norva.lnk"));
}

TEST_F(ShortcutTest, RemoveRecordedUnpinsAndDeletesWhatWasFound) {
  fs::path launcher = install_ / L"launcher.exe";
  record_.desktop_shortcut = MakeOld(kDesktopShortcut, L"Norva developer.lnk", launcher);
  record_.menu_shortcut = MakeOld(kStartMenuShortcut, L"Norva developer.lnk", launcher);
  fs::path company = scratch_.path() / L"Norva Software";
  CreateDirectories(company);
  FoundShortcuts found;
  found.found[kDesktopShortcut] = true;  // the start-menu one starts something else
  found.company_menu_folder = company;
  found.pinned = TaskbarPinFolder() / L"norva test pin.lnk";
  CreateDirectories(found.pinned.parent_path());
  ASSERT_TRUE(CreateShortcut(found.pinned, {launcher, install_, L""}));
  pinned_by_test_.push_back(found.pinned);

  ShortcutSteps(install_, package_, &record_, &transaction_).RemoveRecorded(found);
  transaction_.Commit();
  EXPECT_EQ(pins_, std::vector<std::wstring>{L"unpin " + found.pinned.native()});
  FilePath pin;
  EXPECT_FALSE(FindTaskbarPin(launcher, &pin));
  EXPECT_FALSE(PathExists(record_.desktop_shortcut));
  EXPECT_TRUE(PathExists(record_.menu_shortcut));
  EXPECT_FALSE(PathExists(company));
}

}  // namespace
}  // namespace norva::installer
