#include "system/shell_integration.h"

#include <windows.h>
#include <knownfolders.h>
#include <lmcons.h>
#include <shobjidl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "base/file_util.h"
#include "base/json.h"
#include "base/process.h"
#include "base/strings.h"
#include "support/fault_injection.h"
#include "support/scratch.h"
#include "system/shell_test_support.h"
#include "system/windows_version.h"

namespace norva::installer {
namespace {

using test::KeyExists;
using test::ReadRegString;
using test::RegistryKeyGuard;
using test::WriteRegString;

constexpr wchar_t kClassKey[] = L"Software\\Classes\\NorvaShellTestdeveloper";
constexpr wchar_t kCompanyKey[] = L"Software\\NorvaShellTestCo";
constexpr wchar_t kProtocol[] = L"norvashelltest";
constexpr wchar_t kProtocolKey[] = L"Software\\Classes\\norvashelltest";
constexpr wchar_t kExtension[] = L".norvashelltest";
constexpr wchar_t kExtensionKey[] = L"Software\\Classes\\.norvashelltest";
constexpr wchar_t kProtocolChoice[] =
    L"Software\\Microsoft\\Windows\\Shell\\Associations\\UrlAssociations\\norvashelltest";

DWORD ReadNumber(HKEY root, const std::wstring& key, const wchar_t* name) {
  DWORD value = 0, size = sizeof(value);
  RegGetValueW(root, key.c_str(), name, RRF_RT_REG_DWORD, nullptr, &value, &size);
  return value;
}

void DeleteKey(HKEY root, const std::wstring& key) {
  RegDeleteTreeW(root, key.c_str());
  RegDeleteKeyW(root, key.c_str());
}

// What the replaced shell services were asked.
struct ServiceCalls {
  std::vector<std::wstring> set_default;  // "name|type|application"
  std::vector<std::wstring> open_with;
  int settings_pages = 0;
  bool answer = true;
};
ServiceCalls* g_calls = nullptr;

ShellServices RecordingServices() {
  ShellServices services;
  services.query_app_is_default = [](const std::wstring& name, int type,
                                     const std::wstring& application) {
    g_calls->set_default.push_back(L"query " + name + L"|" + std::to_wstring(type) + L"|" +
                                   application);
    return g_calls->answer;
  };
  services.set_app_as_default = [](const std::wstring& name, int type,
                                   const std::wstring& application) {
    g_calls->set_default.push_back(name + L"|" + std::to_wstring(type) + L"|" + application);
    return g_calls->answer;
  };
  services.show_open_with = [](const std::wstring& name) {
    g_calls->open_with.push_back(name);
    return g_calls->answer;
  };
  services.open_default_apps_settings = [] {
    ++g_calls->settings_pages;
    return true;
  };
  return services;
}

class ShellIntegrationTest : public testing::Test {
 protected:
  ShellIntegrationTest() {
    test::UseTestBranding();
    g_calls = &calls_;
    SetShellServicesForTesting(RecordingServices());
    folder_ = scratch_.path() / L"Norva";
    CreateDirectories(folder_);
    // The tests' own keys, which do not exist before: removed with the
    // parents they needed.
    for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
      for (const wchar_t* key : {kClassKey, kCompanyKey, kProtocolKey, kExtensionKey})
        Guard(root, key);
      Guard(root, std::wstring(kClassKey) + L"Other");
    }
    Guard(HKEY_CURRENT_USER, kProtocolChoice);
    Guard(HKEY_CURRENT_USER,
          L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\FileExts\\.norvashelltest");
  }
  ~ShellIntegrationTest() override {
    SetShellServicesForTesting({});
    g_calls = nullptr;
  }
  void Guard(HKEY root, const std::wstring& key) {
    guards_.push_back(std::make_unique<RegistryKeyGuard>(root, key));
  }

  InstallLog Log(bool all_users) {
    InstallLog log;
    log.all_users = all_users;
    return log;
  }
  std::wstring OurCommand(const wchar_t* launcher) const {
    return L"\"" + (folder_ / launcher).native() + L"\" -noautoupdate -- \"%1\"";
  }
  void WritePrefs(const std::string& json) {
    test::WriteFile(folder_ / L"installer_prefs.json", json);
  }
  void WriteProfilePath(const std::wstring& path) {
    WritePrefs(nlohmann::json{{"profile_path", WideToUtf8(path)}}.dump());
  }

  test::ShellTestEnvironment environment_;
  test::ScratchFolder scratch_;
  std::filesystem::path folder_;
  ServiceCalls calls_;
  std::vector<std::unique_ptr<RegistryKeyGuard>> guards_;
};

// Each registration runs in a transaction of its own: a failure at any of
// its operations leaves the keys exactly as they were.
TEST_F(ShellIntegrationTest, FailedRegistrationRollsBackAsAWhole) {
  SetWindowsVersionRankForTesting(kWindows7);
  ShellIntegration shell(folder_, Log(false));
  // Another program's choice and icon, which the registration replaces.
  auto prepare = [] {
    DeleteKey(HKEY_CURRENT_USER, kProtocolKey);
    WriteRegString(HKEY_CURRENT_USER, std::wstring(kProtocolChoice) + L"\\UserChoice", L"Progid",
                   L"Other");
    WriteRegString(HKEY_CURRENT_USER, std::wstring(kProtocolKey) + L"\\DefaultIcon", nullptr,
                   L"old icon");
  };
  prepare();
  struct State {
    test::RegistrySnapshot protocol = test::RegistrySnapshot::Take(HKEY_CURRENT_USER, kProtocolKey, false);
    test::RegistrySnapshot choice = test::RegistrySnapshot::Take(HKEY_CURRENT_USER, kProtocolChoice, false);
    std::string ChangesSince(const State& before) const {
      return before.protocol.DifferencesTo(protocol) + before.choice.DifferencesTo(choice);
    }
  };
  const State before;
  int operations = 0;
  for (int fail_at = 1; fail_at <= std::max(operations, 1); ++fail_at) {
    for (auto mode : {test::FaultInjector::Mode::kBeforeDo, test::FaultInjector::Mode::kAfterDo}) {
      test::FaultInjector fault(fail_at, mode);
      EXPECT_FALSE(shell.RegisterHandler(kProtocol, ShellLevel::kUser)) << fail_at;
      EXPECT_EQ(State().ChangesSince(before), "") << fail_at << " " << test::ModeName(mode);
    }
    if (!operations) {
      test::FaultInjector count;
      ASSERT_TRUE(shell.RegisterHandler(kProtocol, ShellLevel::kUser));
      EXPECT_NE(State().ChangesSince(before), "");
      operations = count.executed();
      prepare();
      ASSERT_EQ(State().ChangesSince(before), "");
    }
  }
  EXPECT_GT(operations, 8);
}

TEST_F(ShellIntegrationTest, HandlerTablesPerWindowsVersion) {
  const std::wstring choice = std::wstring(kProtocolChoice) + L"\\UserChoice";
  const std::wstring protocol = kProtocolKey;
  auto reset = [&](int windows_version) {
    DeleteKey(HKEY_CURRENT_USER, kProtocolKey);
    WriteRegString(HKEY_CURRENT_USER, choice, L"Progid", L"SomeoneElse");
    calls_ = {};
    SetWindowsVersionRankForTesting(windows_version);
  };

  // XP: the whole table except the user's choice, which XP does not know.
  reset(kWindowsXP);
  ShellIntegration per_user(folder_, Log(false));
  ASSERT_TRUE(per_user.RegisterHandler(kProtocol, ShellLevel::kUser));
  EXPECT_EQ(ReadNumber(HKEY_CURRENT_USER, kProtocolKey, L"EditFlags"), 2u);
  EXPECT_EQ(ReadRegString(HKEY_CURRENT_USER, kProtocolKey, L"URL Protocol"), L"");
  EXPECT_EQ(ReadRegString(HKEY_CURRENT_USER, protocol + L"\\shell\\open\\command"),
            OurCommand(L"launcher.exe"));
  EXPECT_EQ(ReadRegString(HKEY_CURRENT_USER, protocol + L"\\shell\\open\\ddeexec\\Topic"), L"");
  EXPECT_EQ(ReadRegString(HKEY_CURRENT_USER, choice, L"Progid"), L"SomeoneElse");

  // Windows 7, per-user installation: the user's choice is removed too.
  reset(kWindows7);
  ASSERT_TRUE(per_user.RegisterHandler(kProtocol, ShellLevel::kUser));
  EXPECT_EQ(ReadRegString(HKEY_CURRENT_USER, choice, L"Progid"), L"<missing>");
  EXPECT_TRUE(calls_.set_default.empty());

  // Windows 7, all-users installation: the association service records the
  // choice; refused, nothing is written.
  reset(kWindows7);
  ShellIntegration all_users(folder_, Log(true));
  calls_.answer = false;
  EXPECT_FALSE(all_users.RegisterHandler(kProtocol, ShellLevel::kUser));
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kProtocolKey));
  calls_.answer = true;
  ASSERT_TRUE(all_users.RegisterHandler(kProtocol, ShellLevel::kUser));
  EXPECT_EQ(calls_.set_default.back(),
            std::wstring(kProtocol) + L"|" + std::to_wstring(AT_URLPROTOCOL) +
                L"|NorvaShellTest developer");
  EXPECT_EQ(ReadRegString(HKEY_CURRENT_USER, protocol + L"\\shell\\open\\command"),
            OurCommand(L"launcher.exe"));
  EXPECT_EQ(ReadRegString(HKEY_CURRENT_USER, choice, L"Progid"), L"SomeoneElse");

  // Windows 8: the open-with dialog first, for a name that is not ours yet.
  reset(kWindows8);
  calls_.answer = false;
  EXPECT_FALSE(per_user.RegisterHandler(kProtocol, ShellLevel::kUser));
  EXPECT_EQ(calls_.open_with, std::vector<std::wstring>{kProtocol});
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kProtocolKey));
  calls_.answer = true;
  ASSERT_TRUE(per_user.RegisterHandler(kProtocol, ShellLevel::kUser));
  EXPECT_EQ(ReadRegString(HKEY_CURRENT_USER, choice, L"Progid"), L"SomeoneElse");
  EXPECT_TRUE(per_user.RegisterHandler(kProtocol, ShellLevel::kMachine));
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kProtocolKey));

  // Windows 10: only the settings page, no registry change.
  reset(kWindows10TH2);
  EXPECT_TRUE(per_user.RegisterHandler(kProtocol, ShellLevel::kUser));
  EXPECT_TRUE(per_user.RegisterHandler(kProtocol, ShellLevel::kMachine));
  EXPECT_EQ(calls_.settings_pages, 1);
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kProtocolKey));

  // An extension at machine level on Windows 7 names the document class.
  SetWindowsVersionRankForTesting(kWindows7);
  ASSERT_TRUE(per_user.RegisterHandler(kExtension, ShellLevel::kMachine));
  EXPECT_EQ(ReadRegString(HKEY_LOCAL_MACHINE, kExtensionKey), L"NorvaShellTestdeveloper");
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kExtensionKey));
}

TEST_F(ShellIntegrationTest, HandlerCommandFollowsTheUserChoice) {
  SetWindowsVersionRankForTesting(kWindows7);
  ShellIntegration shell(folder_, Log(false));
  std::wstring command;
  EXPECT_FALSE(shell.GetHandlerCommand(kProtocol, ShellLevel::kUser, &command));
  EXPECT_FALSE(shell.IsHandledByUs(kProtocol));

  ASSERT_TRUE(shell.RegisterDocumentClass(ShellLevel::kUser));
  ASSERT_TRUE(shell.RegisterHandler(kProtocol, ShellLevel::kUser));
  ASSERT_TRUE(shell.RegisterHandler(kExtension, ShellLevel::kUser));
  ASSERT_TRUE(shell.GetHandlerCommand(kProtocol, ShellLevel::kUser, &command));
  EXPECT_EQ(command, OurCommand(L"launcher.exe"));
  EXPECT_TRUE(shell.IsHandledByUs(kProtocol));
  EXPECT_FALSE(shell.IsHandledByUs(kProtocol, /*match_executable=*/true));
  ASSERT_TRUE(shell.GetHandlerCommand(kExtension, ShellLevel::kUser, &command));
  EXPECT_EQ(command, OurCommand(L"Launcher.exe"));
  EXPECT_FALSE(shell.GetHandlerCommand(kExtension, ShellLevel::kMachine, &command));
  // Another installation's folder is not us.
  EXPECT_FALSE(ShellIntegration(scratch_.path() / L"Other").IsHandledByUs(kProtocol));

  // The user chose another program: its class decides.
  const std::wstring choice = std::wstring(kProtocolChoice) + L"\\UserChoice";
  WriteRegString(HKEY_CURRENT_USER, choice, L"ProgId", L"NorvaShellTestdeveloperOther");
  WriteRegString(HKEY_CURRENT_USER, std::wstring(kClassKey) + L"Other\\shell\\open\\command",
                 nullptr, L"other.exe \"%1\"");
  ASSERT_TRUE(shell.GetHandlerCommand(kProtocol, ShellLevel::kUser, &command));
  EXPECT_EQ(command, L"other.exe \"%1\"");
  EXPECT_FALSE(shell.IsHandledByUs(kProtocol));
  DeleteKey(HKEY_CURRENT_USER, std::wstring(kClassKey) + L"Other");
  EXPECT_FALSE(shell.GetHandlerCommand(kProtocol, ShellLevel::kUser, &command));
  // The choice is not read at machine level, nor before Vista.
  EXPECT_FALSE(shell.GetHandlerCommand(kProtocol, ShellLevel::kMachine, &command));
  SetWindowsVersionRankForTesting(kWindowsXP);
  EXPECT_TRUE(shell.IsHandledByUs(kProtocol));

  // An unreadable choice is a failure, not "no choice".
  SetWindowsVersionRankForTesting(kWindows7);
  DWORD number = 1;
  RegSetKeyValueW(HKEY_CURRENT_USER, choice.c_str(), L"ProgId", REG_DWORD, &number, sizeof(number));
  EXPECT_FALSE(shell.GetHandlerCommand(kProtocol, ShellLevel::kUser, &command));
}

// Writes the classes and choices of the web protocols and document types,
// which belong to the machine: every key is put back afterwards.
class DefaultBrowserTest : public ShellIntegrationTest {
 protected:
  DefaultBrowserTest() {
    for (const wchar_t* name : {L"http", L"https", L"ftp", L".crx", L".htm", L".html", L".nex",
                                L".opdownload", L".shtml", L".xht", L".xhtml"}) {
      for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE})
        Guard(root, std::wstring(L"Software\\Classes\\") + name);
      Guard(HKEY_CURRENT_USER,
            std::wstring(name[0] == L'.'
                             ? L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\FileExts\\"
                             : L"Software\\Microsoft\\Windows\\Shell\\Associations\\"
                               L"UrlAssociations\\") +
                name);
    }
    Guard(HKEY_CURRENT_USER, L"Software\\Clients\\StartMenuInternet");
    Guard(HKEY_LOCAL_MACHINE, L"Software\\Clients\\StartMenuInternet");
  }
  // Changes to the machine's keys (the tests' own ones are left out).
  std::string Changes() const {
    std::string changes;
    for (size_t i = own_keys_; i < guards_.size(); ++i) changes += guards_[i]->Changes();
    return changes;
  }

  const size_t own_keys_ = guards_.size();
};

TEST_F(DefaultBrowserTest, MakeDefaultOnWindows7RemembersThePreviousOne) {
  SetWindowsVersionRankForTesting(kWindows7);
  ShellIntegration shell(folder_, Log(false));
  std::wstring previous;
  bool had_previous = shell.GetHandlerCommand(L"http", ShellLevel::kUser, &previous);
  EXPECT_EQ(shell.RememberPreviousDefault(ShellLevel::kUser), had_previous);
  if (had_previous) {
    EXPECT_EQ(ReadRegString(HKEY_CURRENT_USER, kCompanyKey, L"Previous Default Browser"), previous);
  }
  EXPECT_FALSE(shell.IsDefaultBrowser());

  EXPECT_TRUE(shell.MakeDefaultBrowser(ShellLevel::kUser));
  EXPECT_TRUE(shell.IsDefaultBrowser());
  EXPECT_TRUE(shell.IsHandledByUs(L"ftp"));
  EXPECT_EQ(ReadRegString(HKEY_CURRENT_USER, L"Software\\Classes\\.xhtml"),
            L"NorvaShellTestdeveloper");
  EXPECT_EQ(ReadRegString(HKEY_CURRENT_USER, L"Software\\Clients\\StartMenuInternet"),
            L"NorvaShellTestdeveloper");
  // Once we are the handler, the remembered browser stays the one before us.
  EXPECT_TRUE(shell.RememberPreviousDefault(ShellLevel::kUser));
  EXPECT_EQ(ReadRegString(HKEY_CURRENT_USER, kCompanyKey, L"Previous Default Browser"),
            had_previous ? previous : L"<missing>");

  // Another browser as the start-menu client: no longer the default.
  WriteRegString(HKEY_CURRENT_USER, L"Software\\Clients\\StartMenuInternet", nullptr,
                 L"OtherBrowser");
  EXPECT_FALSE(shell.IsDefaultBrowser());
  // An all-users installation asks the association service instead.
  ShellIntegration all_users(folder_, Log(true));
  EXPECT_TRUE(all_users.IsDefaultBrowser());
  ASSERT_FALSE(calls_.set_default.empty());
  EXPECT_EQ(calls_.set_default.back(), L"query StartmenuInternet|" +
                                           std::to_wstring(AT_STARTMENUCLIENT) +
                                           L"|NorvaShellTest developer");
  // From Windows 8 the start-menu client no longer counts.
  SetWindowsVersionRankForTesting(kWindows8);
  EXPECT_TRUE(shell.IsDefaultBrowser());
}

TEST_F(DefaultBrowserTest, SingleProfileAndWindows10ChangeNoAssociation) {
  SetWindowsVersionRankForTesting(kWindows7);
  WritePrefs(R"({"single_profile": true})");
  ShellIntegration single(folder_, Log(false));
  EXPECT_TRUE(single.IsSingleProfile());
  EXPECT_FALSE(single.MakeDefaultBrowser(ShellLevel::kUser));
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kClassKey));
  EXPECT_EQ(Changes(), "");

  WritePrefs(R"({"single_profile": false})");
  SetWindowsVersionRankForTesting(kWindows10TH2);
  ShellIntegration shell(folder_, Log(false));
  EXPECT_FALSE(shell.MakeDefaultBrowser(ShellLevel::kUser));
  EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, kClassKey));
  EXPECT_EQ(calls_.settings_pages, 1);
  EXPECT_TRUE(shell.MakeDefaultBrowser(ShellLevel::kMachine) == shell.IsDefaultBrowser());
  EXPECT_EQ(Changes(), "");
}

TEST_F(ShellIntegrationTest, ProfileFolderRules) {
  FilePath folder;
  EXPECT_FALSE(ShellIntegration(L"").GetProfileFolder(false, &folder));

  // The default profile below the roaming application data.
  ShellIntegration plain(folder_);
  ASSERT_TRUE(plain.GetProfileFolder(false, &folder));
  EXPECT_EQ(folder, GetKnownFolder(FOLDERID_RoamingAppData) / L"Norva Software\\Norva Developer");
  EXPECT_TRUE(plain.GetProfileFolder(true, &folder));

  WritePrefs(R"({"single_profile": true, "profile_path": "C:\\elsewhere"})");
  ASSERT_TRUE(ShellIntegration(folder_).GetProfileFolder(true, &folder));
  EXPECT_EQ(folder, folder_ / L"profile" / L"data");

  wchar_t user[UNLEN + 1];
  DWORD size = UNLEN + 1;
  ASSERT_TRUE(GetUserNameW(user, &size));
  const std::filesystem::path base = scratch_.path() / L"profiles";
  WriteProfilePath(base.native() + L"\\<USERNAME>\\data");
  ASSERT_TRUE(ShellIntegration(folder_).GetProfileFolder(false, &folder));
  EXPECT_EQ(folder, base / user / L"data");

  // For deletion: the user's own folder, or one inside the user's profile;
  // never a folder the users share, the system's, or another user's.
  WriteProfilePath(base.native() + L"\\<USERNAME>");
  ASSERT_TRUE(ShellIntegration(folder_).GetProfileFolder(true, &folder));
  EXPECT_EQ(folder, base / user);
  const std::filesystem::path own = GetKnownFolder(FOLDERID_Profile) / L"Norva profile";
  WriteProfilePath(own.native());
  ASSERT_TRUE(ShellIntegration(folder_).GetProfileFolder(true, &folder));
  EXPECT_EQ(own, folder);
  const FilePath profiles = GetKnownFolder(FOLDERID_UserProfiles);
  ASSERT_FALSE(profiles.empty());
  for (const FilePath& refused :
       {FilePath(L"C:\\"), FilePath(L"relative\\<USERNAME>"),
        GetKnownFolder(FOLDERID_RoamingAppData), GetKnownFolder(FOLDERID_Profile),
        GetKnownFolder(FOLDERID_Windows) / L"system32", GetKnownFolder(FOLDERID_System),
        profiles / L"someone else" / L"Norva profile",
        GetKnownFolder(FOLDERID_Profile) / L".." / L"someone else"}) {
    WriteProfilePath(refused.native());
    ShellIntegration shell(folder_);
    EXPECT_FALSE(shell.GetProfileFolder(true, &folder)) << refused.native();
    EXPECT_TRUE(shell.GetProfileFolder(false, &folder)) << refused.native();
  }
}

// The process-wide instance belongs to the installation around the running
// executable: a copy of this test runs from a version folder and reports it.
TEST(RunningInstallationTest, FolderOfTheLauncher) {
  wchar_t report[MAX_PATH] = {};
  if (GetEnvironmentVariableW(L"NORVA_SHELL_TEST_REPORT", report, MAX_PATH)) {
    test::WriteFile(report, WideToUtf8(ShellIntegration::ForRunningInstallation()->folder().native()));
    return;
  }
  test::ScratchFolder scratch;
  const std::filesystem::path version = scratch.path() / L"Norva" / L"37.0";
  CreateDirectories(version);
  ASSERT_TRUE(CopyFile(GetExecutablePath(), version / L"shell_tests.exe"));
  auto run = [&] {
    SetEnvironmentVariableW(L"NORVA_SHELL_TEST_REPORT", (scratch.path() / L"report").c_str());
    DWORD exit_code = 1;
    bool ran = LaunchProcessAndWait(L"\"" + (version / L"shell_tests.exe").native() +
                                        L"\" --gtest_filter=RunningInstallationTest.*",
                                    &exit_code);
    SetEnvironmentVariableW(L"NORVA_SHELL_TEST_REPORT", nullptr);
    return ran && exit_code == 0 ? test::ReadFile(scratch.path() / L"report") : std::string();
  };
  EXPECT_EQ(run(), WideToUtf8(version.native()));
  test::WriteFile(version.parent_path() / L"launcher.exe", "MZ");
  EXPECT_EQ(run(), WideToUtf8(version.parent_path().native()));
  test::WriteFile(version / L"launcher.exe", "MZ");
  EXPECT_EQ(run(), WideToUtf8(version.native()));
}

}  // namespace
}  // namespace norva::installer
