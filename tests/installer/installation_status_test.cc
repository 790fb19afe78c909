#include "installer/installation_status.h"

#include <windows.h>

#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "base/file_util.h"
#include "base/strings.h"
#include "installer/status_probe.h"
#include "system/shortcuts.h"
#include "product/installer_features.h"
#include "support/scratch.h"
#include "support/snapshot.h"
#include "installer/support/status_fixtures.h"
#include "system/windows_version.h"

namespace norva::installer {
namespace {

using test::LogCapture;
using test::ScratchFolder;
using test::WriteFile;

// Drives, UNC names, length, reserved device names, trailing dots, colons
// and characters Windows refuses in a name.
TEST(Win32PathTest, DrivesUncLengthAndComponents) {
  const std::wstring longest = L"C:\\" + std::wstring(244, L'a');  // 247 characters
  const std::wstring valid[] = {
      L"C:\\Program Files\\Norva", L"C:", L"C:/a/b", L"relative\\folder",
      L"\\\\server\\share\\folder", L"//server/share", longest, L"C:\\console",
      L"C:\\conx.txt", L"C:\\co", L"C:\\a.con"};
  const std::wstring invalid[] = {
      L"", L"\\\\server", L"\\\\server\\", L"\\\\\\share", L"\\\\ser?ver\\share", longest + L"a",
      L"C:\\CON\\x", L"C:\\con\\x", L"C:\\a\\cOm1\\b", L"C:\\Nul.txt", L"C:\\lpt3.a.b", L"prn",
      L"C:\\AUX", L"C:\\com5", L"C:\\folder.\\x", L"C:\\folder\\x.", L"C:\\a:b", L"C:\\a\\b:",
      L"C:\\a?", L"C:\\a\"", L"C:\\<", L"C:\\>", L"C:\\*", L"C:\\|", L"C:\\a\x1f"};
  for (const std::wstring& path : valid) EXPECT_TRUE(IsValidWin32Path(path)) << path;
  for (const std::wstring& path : invalid) EXPECT_FALSE(IsValidWin32Path(path)) << path;
}

// Names that Windows turns into another name or a device: a folder of such a
// name is made only through the extended-length form, and then neither
// Explorer nor cmd.exe opens it. Their neighbours stay usable.
TEST(Win32PathTest, NamesOnlyTheExtendedFormCouldMake) {
  const struct {
    const wchar_t* name;
    bool valid;
  } kCases[] = {
      {L"Norva ", false}, {L"Norva.", false}, {L"Norva. ", false}, {L" ", false},
      {L"CON", false}, {L"prn", false}, {L"Aux", false}, {L"nUl", false},
      {L"COM1", false}, {L"com5", false}, {L"COM9", false}, {L"lpt4", false}, {L"LPT9", false},
      {L"COM5.txt", false}, {L"lpt7.tar.gz", false}, {L"NUL .txt", false}, {L"CON ", false},
      {L"COM\u00b9", false}, {L"com\u00b2", false}, {L"LPT\u00b3", false},
      {L"lpt\u00b2.log", false},
      {L"Con sole", true}, {L"COM10", true}, {L"LPT0", true}, {L"COM\u2074", true},
      {L"my.app", true}, {L"Norva Browser", true}, {L" Norva", true}, {L"a .b", true},
      {L"\u00c9t\u00e9 Norva", true}, {L"\u041d\u043e\u0440\u0432\u0430", true},
      {L"\u65e5\u672c", true}, {L"CONSOLE.txt", true}, {L"COMX", true},
  };
  for (const auto& c : kCases) {
    const std::wstring name = c.name;
    for (const std::wstring& path : {L"C:\\" + name, L"C:\\" + name + L"\\Norva",
                                     L"C:\\Programs\\" + name + L"\\", L"\\\\server\\" + name})
      EXPECT_EQ(IsValidWin32Path(path), c.valid) << WideToUtf8(path);
  }
}

class InstallationStatusTest : public testing::Test {
 protected:
  void SetUp() override {
    FeatureRegistry::Get().RegisterDefaults();
    StatusProbe probe = DefaultStatusProbe();
    probe.start_menu_programs = [this] { return programs_; };
    probe.find_taskbar_pin = [this](const FilePath& executable) {
      FilePath pin;
      return FindPinIn(pins_, executable, &pin) ? pin : FilePath();
    };
    probe.is_http_handled_by = [this](const FilePath&, bool browser_executable) {
      handler_asked_for_browser_ = browser_executable;
      return http_handled_;
    };
    probe.profile_folder = [this](const FilePath&, FilePath* profile) {
      *profile = profile_;
      return !profile_.empty();
    };
    SetStatusProbe(probe);
    CreateDirectories(programs_);
    CreateDirectories(pins_);
  }
  void TearDown() override {
    SetStatusProbe(DefaultStatusProbe());
    SetWindowsVersionRankForTesting(-1);
  }

  InstallationStatus Examine(const std::filesystem::path& path, bool replace_legacy = false) {
    InstallationStatus status(replace_legacy);
    status.Initialize(path);
    return status;
  }

  test::ScopedCom com_;
  ScratchFolder scratch_;
  std::filesystem::path programs_ = scratch_.path() / L"Programs";
  std::filesystem::path pins_ = scratch_.path() / L"Pins";
  std::filesystem::path profile_;
  bool http_handled_ = false;
  bool handler_asked_for_browser_ = false;
};

TEST_F(InstallationStatusTest, UnusablePaths) {
  std::filesystem::path file = scratch_.path() / L"file.txt";
  WriteFile(file, "x");
  DWORD drives = GetLogicalDrives();
  wchar_t letter = 0;
  for (int i = 25; i >= 3 && !letter; --i)
    if (!(drives & (1u << i))) letter = static_cast<wchar_t>(L'A' + i);
  ASSERT_NE(0, letter);
  struct Case {
    std::filesystem::path path;
    const char* line;
  } cases[] = {
      {L"", "Path is empty"},
      {L"C:\\con\\x", "Path is not a valid Win32 path"},
      {L"C:\\Norva \\x", "Path is not a valid Win32 path"},
      {L"C:\\COM\u00b2.d", "Path is not a valid Win32 path"},
      {L"relative\\folder", "Path is relative"},
      {file, "Path is a file path"},
      {file / L"child" / L"grandchild", "Path is child of a file (invalid)"},
      {std::wstring(1, letter) + L":\\Norva\\x",
       "Path is a root folder that's not valid(probably invalid drive letter)"},
  };
  for (const Case& c : cases) {
    LogCapture log;
    InstallationStatus status = Examine(c.path);
    EXPECT_TRUE(log.Contains(c.line)) << c.line;
    EXPECT_FALSE(status.IsValid()) << c.line;
    EXPECT_FALSE(status.IsWritable()) << c.line;
    EXPECT_EQ(c.path, status.GetPath());
  }
}

// A folder that does not exist yet is judged by its nearest existing
// ancestor, and only the right to add a subfolder there is asked for. (Wine
// keeps a folder's DACL as Unix mode bits, where adding files and adding
// subfolders are one right, so a DACL cannot tell the two masks apart here.)
TEST_F(InstallationStatusTest, MissingFolderUnderExistingAncestor) {
  std::filesystem::path open = scratch_.path() / L"open";
  std::filesystem::path closed = scratch_.path() / L"closed";
  CreateDirectories(open);
  CreateDirectories(closed);
  InstallationStatus below = Examine(open / L"Norva" / L"sub");
  EXPECT_TRUE(below.IsValid());
  EXPECT_FALSE(below.IsExistingInstallation());
  EXPECT_EQ(open, below.GetExistingFolder());
  EXPECT_EQ(open / L"Norva" / L"sub", below.GetPath());
  EXPECT_TRUE(below.IsWritable());

  ASSERT_TRUE(test::SetFileSecurityText(closed, L"D:P(D;;0x6;;;WD)(A;;FA;;;WD)"));
  InstallationStatus under_closed = Examine(closed / L"Norva");
  EXPECT_TRUE(under_closed.IsValid());
  EXPECT_EQ(closed, under_closed.GetExistingFolder());
  EXPECT_FALSE(under_closed.IsWritable());
  InstallationStatus itself = Examine(closed);
  EXPECT_TRUE(itself.IsValid());
  EXPECT_FALSE(itself.IsWritable());

  test::SetFileSecurityText(closed, L"D:P(A;;FA;;;WD)");
}

TEST_F(InstallationStatusTest, EmptyFolderAndFolderWithLauncherOnly) {
  InstallationStatus empty = Examine(scratch_.path());
  EXPECT_TRUE(empty.IsValid());
  EXPECT_TRUE(empty.IsWritable());
  EXPECT_FALSE(empty.IsExistingInstallation());
  EXPECT_FALSE(empty.HasLauncher());
  EXPECT_EQ(std::nullopt, empty.GetSingleProfile());
  EXPECT_EQ(LegacyProductKind::kNoLegacyIni, empty.GetLegacyProductKind());

  WriteFile(scratch_.path() / L"launcher.exe", "x");
  EXPECT_TRUE(Examine(scratch_.path()).HasLauncher());
}

TEST_F(InstallationStatusTest, InstallationWithPreferencesAndShortcuts) {
  std::filesystem::path folder = scratch_.path() / L"Norva";
  InstallLog log = test::MakeInstallation(folder);
  std::filesystem::path links = scratch_.path() / L"links";
  CreateDirectories(links);
  // The desktop link reaches the launcher through a second name of the same
  // file, the start-menu link starts the browser directly.
  std::filesystem::path alias = scratch_.path() / L"alias.exe";
  ASSERT_TRUE(CreateHardLinkW(alias.c_str(), (folder / L"launcher.exe").c_str(), nullptr));
  log.desktop_shortcut = links / L"Desktop.lnk";
  log.menu_shortcut = links / L"Menu.lnk";
  log.quick_launch_shortcut = links / L"Missing.lnk";
  ASSERT_TRUE(test::CreateShortcut(log.desktop_shortcut, alias));
  ASSERT_TRUE(test::CreateShortcut(log.menu_shortcut, folder / test::BrowserExecutable()));
  ASSERT_TRUE(test::CreateShortcut(pins_ / L"Norva.lnk", folder / L"launcher.exe"));
  CreateDirectories(programs_ / L"Norva Software");
  ASSERT_TRUE(test::WriteLogInto(folder, log));
  WriteFile(folder / L"installer_prefs.json",
            R"({"single_profile": true, "import_browser_data": false, "enable_stats": "yes",)"
            R"( "language": "de", "welcome-url": "https://welcome.example/",)"
            R"( "all-installer-experiments": ["installer-experiment-test@1"]})");
  WriteFile(folder / L"server_tracking_data", "tracking\x01" "data");
  WriteFile(folder / L"norvaprefs_default.ini", "[System]\r\nMulti User=1\r\nNorva Product=7\r\n");
  http_handled_ = true;
  SetWindowsVersionRankForTesting(kWindows7);

  InstallationStatus status = Examine(folder);
  EXPECT_TRUE(status.IsValid());
  EXPECT_TRUE(status.IsExistingInstallation());
  EXPECT_FALSE(status.IsLegacyInstallation());
  EXPECT_EQ("37.0.2163.0", status.version);
  EXPECT_FALSE(status.all_users);
  EXPECT_TRUE(status.shortcuts().found[kDesktopShortcut]);
  EXPECT_FALSE(status.shortcuts().needs_update[kDesktopShortcut]);
  EXPECT_TRUE(status.shortcuts().found[kStartMenuShortcut]);
  EXPECT_TRUE(status.shortcuts().needs_update[kStartMenuShortcut]);
  EXPECT_FALSE(status.shortcuts().found[kQuickLaunchShortcut]);
  EXPECT_EQ(pins_ / L"Norva.lnk", status.shortcuts().pinned);
  EXPECT_FALSE(status.shortcuts().pin_needs_update);
  EXPECT_EQ(programs_ / L"Norva Software", status.shortcuts().company_menu_folder);
  EXPECT_TRUE(status.IsDefaultBrowser());
  EXPECT_FALSE(handler_asked_for_browser_);
  EXPECT_EQ(true, status.GetSingleProfile());
  EXPECT_EQ(false, status.GetImportBrowserData());
  EXPECT_EQ(std::nullopt, status.GetEnableStats());
  EXPECT_EQ(L"de", status.GetLanguage());
  EXPECT_EQ("https://welcome.example/", status.GetWelcomeUrl());
  EXPECT_EQ("tracking\x01" "data", status.GetServerTrackingData());
  EXPECT_TRUE(status.IsInstalledExperimentEnabled(kExperimentTest));
  // With the preferences read, the legacy ini is not consulted.
  EXPECT_EQ(LegacyProductKind::kNoLegacyIni, status.GetLegacyProductKind());
  EXPECT_TRUE(status.IsWritable());

  // On Windows 8 a start-menu link always wants recreating; the profile's
  // own language wins over the recorded one.
  profile_ = scratch_.path() / L"profile";
  CreateDirectories(profile_);
  WriteFile(profile_ / L"Local State", R"({"intl": {"app_locale": "fr"}})");
  std::filesystem::remove(log.menu_shortcut);
  SetWindowsVersionRankForTesting(kWindows8);
  InstallationStatus later = Examine(folder);
  EXPECT_FALSE(later.shortcuts().found[kStartMenuShortcut]);
  EXPECT_TRUE(later.shortcuts().needs_update[kStartMenuShortcut]);
  EXPECT_EQ(profile_, later.GetProfileFolder());
  EXPECT_EQ(L"fr", later.GetLanguage());

  // Tracking data is short: an oversized file is logged and left unread.
  WriteFile(folder / L"server_tracking_data", std::string((1 << 20) + 1, 't'));
  LogCapture oversized;
  EXPECT_EQ("", Examine(folder).GetServerTrackingData());
  EXPECT_TRUE(oversized.Contains("Ignoring server tracking data larger than 1048576 bytes"));
}

TEST_F(InstallationStatusTest, LogFlagsFollowWhatWasWritten) {
  std::filesystem::path folder = scratch_.path() / L"Norva";
  InstallLog log = test::MakeInstallation(folder);
  log.hkcu_keys.clear();
  log.copy_only = true;
  log.all_users = true;
  ASSERT_TRUE(test::WriteLogInto(folder, log));
  InstallationStatus copy = Examine(folder);
  EXPECT_TRUE(copy.copy_only);
  EXPECT_FALSE(copy.all_users);

  // A copy-only log that names a shortcut was a real installation.
  log.desktop_shortcut = scratch_.path() / L"Desktop.lnk";
  log.all_users = false;
  ASSERT_TRUE(test::WriteLogInto(folder, log));
  InstallationStatus shortcut = Examine(folder);
  EXPECT_FALSE(shortcut.copy_only);
  EXPECT_FALSE(shortcut.all_users);

  const wchar_t data[] = L"x";
  RecordRegistryValue(&log.hklm_keys, L"Software\\NorvaTest", L"v", data, REG_SZ, sizeof(data), 1);
  ASSERT_TRUE(test::WriteLogInto(folder, log));
  EXPECT_TRUE(Examine(folder).all_users);
}

TEST_F(InstallationStatusTest, LegacyInstallationCountsOnlyWhenReplaced) {
  std::filesystem::path folder = scratch_.path() / L"Legacy";
  InstallLog log = test::MakeInstallation(folder);
  ASSERT_TRUE(test::WriteLogInto(folder, log, L"norva_install_log.xml"));
  WriteFile(folder / L"installer_prefs.json", R"({"language": "nl", "single_profile": true})");
  WriteFile(folder / L"norvaprefs_default.ini",
            "[System]\r\nNorva Product=2\r\nMulti User=0\r\n"
            "[User Prefs]\r\nLanguage Files Directory=C:\\Legacy\\locale\\pl\\\r\n");
  http_handled_ = true;

  InstallationStatus kept = Examine(folder);
  EXPECT_TRUE(kept.IsValid());
  EXPECT_TRUE(kept.IsLegacyInstallation());
  EXPECT_FALSE(kept.IsExistingInstallation());
  EXPECT_TRUE(kept.IsDefaultBrowser());
  EXPECT_TRUE(handler_asked_for_browser_);
  // The legacy generation kept its choices in the ini file only.
  EXPECT_EQ(LegacyProductKind::kLabs, kept.GetLegacyProductKind());
  EXPECT_EQ(true, kept.GetSingleProfile());
  EXPECT_EQ(L"pl", kept.GetLanguage());

  InstallationStatus replaced = Examine(folder, true);
  EXPECT_TRUE(replaced.IsLegacyInstallation());
  EXPECT_TRUE(replaced.IsExistingInstallation());

  // The current file name wins over the legacy one.
  ASSERT_TRUE(test::WriteLogInto(folder, log));
  InstallationStatus current = Examine(folder);
  EXPECT_FALSE(current.IsLegacyInstallation());
  EXPECT_EQ(L"nl", current.GetLanguage());
}

TEST_F(InstallationStatusTest, UnreadableStatusFileIsNoInstallation) {
  std::filesystem::path folder = scratch_.path() / L"Broken";
  test::MakeInstallation(folder);
  WriteFile(folder / L"installation_status.xml", "<install_log");
  InstallationStatus status = Examine(folder);
  EXPECT_TRUE(status.IsValid());
  EXPECT_FALSE(status.IsExistingInstallation());
  EXPECT_TRUE(status.HasLauncher());
}

}  // namespace
}  // namespace norva::installer
