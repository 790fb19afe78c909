// What an uninstallation removes, hands back and opens, beyond the files.
#include <windows.h>
#include <knownfolders.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/command_line.h"
#include "base/file_util.h"
#include "base/strings.h"
#include "engine/engine_test_support.h"
#include "engine/uninstallation.h"
#include "product/product_info.h"
#include "system/global_storage.h"
#include "system/install_log.h"
#include "system/shell_integration.h"
#include "system/windows_version.h"

namespace norva::installer {
namespace {

using test::KeyExists;
using test::RecordingObserver;

const std::vector<std::wstring> kPerUser = {L"--allusers=0", L"--launchnorva=0"};

bool HasValue(const std::wstring& key, const std::wstring& name) {
  return RegGetValueW(HKEY_CURRENT_USER, key.c_str(), name.c_str(), RRF_RT_ANY, nullptr, nullptr,
                      nullptr) == ERROR_SUCCESS;
}

void SetNoneValue(const std::wstring& key, const std::wstring& name) {
  HKEY handle = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                            &handle, nullptr),
            ERROR_SUCCESS);
  if (!name.empty()) RegSetValueExW(handle, name.c_str(), 0, REG_NONE, nullptr, 0);
  RegCloseKey(handle);
}

std::wstring ReplaceAll(std::wstring text, std::wstring_view from, std::wstring_view to) {
  for (size_t at = text.find(from); at != std::wstring::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

std::vector<std::wstring>& ShellCalls() {
  static std::vector<std::wstring> calls;
  return calls;
}

class UninstallTest : public testing::Test {
 protected:
  void TearDown() override {
    SetWindowsVersionRankForTesting(-1);
    SetShellServicesForTesting({});
    Uninstallation::SetSurveyLaunchForTesting(nullptr);
    for (const std::wstring& key : own_keys_) RegDeleteTreeW(HKEY_CURRENT_USER, key.c_str());
  }

  std::filesystem::path Folder(const wchar_t* name) {
    return env_.scratch() / L"Programs (x&y) %TEMP% \u00e9" / name;
  }

  RecordingObserver Uninstall(const std::filesystem::path& folder,
                              std::vector<std::wstring> switches = kPerUser) {
    return env_.Run(folder, {.switches = std::move(switches), .uninstall = true});
  }

  // Removed again after the test.
  std::wstring OwnKey(const std::wstring& key) {
    own_keys_.push_back(key);
    return key;
  }

  test::EngineEnvironment env_;
  std::vector<std::wstring> own_keys_;
};

// The open-with lists the installation made go once they hold nothing more;
// lists that were there before, or that others have put a program in, stay,
// and so does an extension's key that was there, empty, before the list.
TEST_F(UninstallTest, OpenWithListsTheInstallationMadeGoWhenEmpty) {
  const std::wstring classes = L"Software\\Classes\\";
  const std::wstring ps = test::ProductStream();
  for (const wchar_t* extension : {L".xht", L".xhtml", L".shtml", L".pdf", L".html"})
    RegDeleteTreeW(HKEY_CURRENT_USER, (classes + extension).c_str());
  SetNoneValue(classes + L".shtml\\OpenWithProgIDs", L"Other.shtml");
  SetNoneValue(classes + L".xhtml\\OpenWithProgIDs", L"");
  SetNoneValue(classes + L".html", L"");
  const std::filesystem::path folder = Folder(L"open with");
  ASSERT_TRUE(env_.Run(folder, {kPerUser}).succeeded);
  for (const wchar_t* extension : {L".xht", L".xhtml", L".shtml", L".pdf"})
    ASSERT_TRUE(HasValue(classes + extension + L"\\OpenWithProgIDs", ps)) << extension;
  SetNoneValue(classes + L".pdf\\OpenWithProgIDs", L"Other.pdf");

  RecordingObserver run = Uninstall(folder);
  ASSERT_TRUE(run.succeeded) << run.failed_message;
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, classes + L".xht"));
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, classes + L".html\\OpenWithProgIDs"));
  EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, classes + L".html"));
  EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, classes + L".xhtml\\OpenWithProgIDs"));
  EXPECT_TRUE(HasValue(classes + L".shtml\\OpenWithProgIDs", L"Other.shtml"));
  EXPECT_TRUE(HasValue(classes + L".pdf\\OpenWithProgIDs", L"Other.pdf"));
  for (const wchar_t* extension : {L".shtml", L".pdf"})
    EXPECT_FALSE(HasValue(classes + extension + L"\\OpenWithProgIDs", ps)) << extension;
  for (const wchar_t* extension : {L".xhtml", L".shtml", L".pdf", L".html"})
    RegDeleteTreeW(HKEY_CURRENT_USER, (classes + extension).c_str());
}

// A log changed by hand names neither a shared key to delete nor a browser
// outside the installation folder.
TEST_F(UninstallTest, TamperedLogStaysInsideWhatTheInstallationOwns) {
  const std::filesystem::path folder = Folder(L"tampered");
  ASSERT_TRUE(env_.Run(folder, {kPerUser}).succeeded);
  const std::wstring own = OwnKey(L"Software\\NorvaTamperTest");
  const std::wstring canary =
      OwnKey(L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\NorvaTamperCanary");
  SetNoneValue(own + L"\\A\\B", L"v");
  SetNoneValue(canary + L"\\X", L"v");
  const std::filesystem::path outside =
      folder.parent_path() / L"outside" / test::BrowserExecutable();
  test::WriteFile(outside, "someone else's");

  test::ScopedCom com;
  InstallLog log;
  ASSERT_TRUE(LoadInstallLog(folder / L"installation_status.xml", &log));
  const wchar_t data[] = L"v";
  // Levels that reach "Software\NorvaTamperTest" and the uninstall list of
  // every program.
  RecordRegistryValue(&log.hkcu_keys, own + L"\\A\\B", L"v", data, REG_SZ, sizeof(data), 3);
  RecordRegistryValue(&log.hkcu_keys, canary + L"\\X", L"v", data, REG_SZ, sizeof(data), 3);
  // The uninstall list itself, spelled with a trailing separator.
  RecordRegistryValue(&log.hkcu_keys, L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\",
                      L"v", data, REG_SZ, sizeof(data), 1);
  log.subfolder = L"..\\outside";
  ASSERT_TRUE(test::WriteLogInto(folder, log));

  RecordingObserver run = Uninstall(folder);
  ASSERT_TRUE(run.succeeded) << run.failed_message;
  EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, own + L"\\A\\B"));
  EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, canary + L"\\X"));
  EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, L"Software\\Microsoft"));
  EXPECT_TRUE(PathExists(outside));
}

// A legacy log names its keys with placeholders for the product it was.
TEST_F(UninstallTest, LegacyKeysAreExpandedWithTheLegacyProduct) {
  const std::filesystem::path folder = Folder(L"legacy");
  const std::wstring own =
      OwnKey(L"Software\\" + Utf8ToWide(product::CompanyName()) + L"\\LegacyTest");
  for (const wchar_t* key : {L"\\NextKey", L"\\Norva Next", L"\\Stays"})
    SetNoneValue(own + key, L"v");
  InstallLog log = test::MakeInstallation(folder);
  const wchar_t data[] = L"v";
  RecordRegistryValue(&log.hkcu_keys, own + L"\\{Product}Key", L"v", data, REG_SZ, sizeof(data),
                      1);
  RecordRegistryValue(&log.hkcu_keys, own + L"\\Norva{SPProduct}", L"v", data, REG_SZ,
                      sizeof(data), 1);
  {
    test::ScopedCom com;
    ASSERT_TRUE(test::WriteLogInto(folder, log, L"norva_install_log.xml"));
  }
  test::WriteFile(folder / L"norvaprefs_default.ini", "[System]\r\nNorva Product=1\r\n");

  // Replacing it is an upgrade, which removes the recorded entries first.
  RecordingObserver run = env_.Run(folder, {.switches = kPerUser, .replace_legacy = true});
  ASSERT_TRUE(run.succeeded) << run.failed_message;
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, own + L"\\NextKey"));
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, own + L"\\Norva Next"));
  EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, own + L"\\Stays"));
}

// The browser's profile goes only when asked, wherever the installation
// keeps it.
TEST_F(UninstallTest, ProfileIsDeletedOnRequest) {
  const std::wstring relative =
      ReplaceAll(ReplaceAll(Utf8ToWide(product::DefaultProfilePathTemplate()), L"{InternalStream}",
                            Utf8ToWide(product::StreamDisplayName())),
                 L"/", L"\\");
  const std::filesystem::path roaming = GetKnownFolder(FOLDERID_RoamingAppData) / relative;
  const std::filesystem::path local = GetKnownFolder(FOLDERID_LocalAppData) / relative;
  const struct {
    const char* name;
    bool single_profile;
    bool delete_profile;
  } kCases[] = {
      {"kept", false, false},
      {"default", false, true},
      {"single", true, true},
  };
  // Single-profile installations live outside the user's folders too.
  const std::filesystem::path programs =
      GetKnownFolder(FOLDERID_ProgramFiles) /
      (L"Norva profile test (x&y) " + std::to_wstring(GetCurrentProcessId()));
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const std::filesystem::path folder =
        c.single_profile ? programs / L"single" : Folder(Utf8ToWide(c.name).c_str());
    std::vector<std::wstring> switches = kPerUser;
    if (c.single_profile) switches.push_back(L"--singleprofile=1");
    ASSERT_TRUE(env_.Run(folder, {switches}).succeeded);
    std::vector<std::filesystem::path> profiles = {folder / L"profile" / L"data"};
    if (!c.single_profile) profiles = {roaming, local};
    for (const auto& profile : profiles) test::WriteFile(profile / L"Preferences", "{}");

    switches = kPerUser;
    switches.push_back(c.delete_profile ? L"--deleteuserprofile=1" : L"--deleteuserprofile=0");
    RecordingObserver run = Uninstall(folder, switches);
    ASSERT_TRUE(run.succeeded) << run.failed_message;
    for (const auto& profile : profiles)
      EXPECT_EQ(PathExists(profile / L"Preferences"), !c.delete_profile) << profile;
    for (const auto& profile : {roaming, local}) std::filesystem::remove_all(profile);
    test::RemoveProductTraces();
  }
  std::error_code ignored;
  std::filesystem::remove_all(programs, ignored);
}

// "Message Center" shortcuts of older versions go with the replaced
// versions' leftovers; nothing else in the start menu does.
TEST_F(UninstallTest, UpgradeRemovesOldMessageCenterShortcuts) {
  const std::filesystem::path programs = GetKnownFolder(FOLDERID_Programs);
  ASSERT_FALSE(programs.empty());
  const std::filesystem::path folder = Folder(L"message center");
  ASSERT_TRUE(env_.Run(folder, {kPerUser}).succeeded);
  std::filesystem::create_directories(folder / L"old_status");
  const struct {
    const wchar_t* name;
    bool stays;
  } kFiles[] = {
      {L"Norva Message Center.lnk", false},
      {L"Norva Next Message Center.lnk", false},
      {L"Other Message Center.lnk", true},
      {L"Norva Message Center.txt", true},
      {L"Norva Sub\\Norva Message Center.lnk", true},
  };
  for (const auto& file : kFiles) test::WriteFile(programs / file.name, "link");
  RecordingObserver run = env_.Run(folder, {kPerUser});
  ASSERT_TRUE(run.succeeded) << run.failed_message;
  for (const auto& file : kFiles) {
    EXPECT_EQ(PathExists(programs / file.name), file.stays) << WideToUtf8(file.name);
    std::filesystem::remove(programs / file.name);
  }
  std::filesystem::remove(programs / L"Norva Sub");
}

bool RecordSetDefault(const std::wstring& name, int type, const std::wstring& application) {
  ShellCalls().push_back(L"set " + name + L" " + std::to_wstring(type) + L" " + application);
  return true;
}

bool RecordOpenWith(const std::wstring& name) {
  ShellCalls().push_back(L"open with " + name);
  return true;
}

bool NotDefault(const std::wstring&, int, const std::wstring&) { return false; }

// The installation becomes the default browser when asked and, when it still
// is, hands the web back to the system's browser on leaving.
TEST_F(UninstallTest, DefaultBrowserIsSetAndHandedBack) {
  const std::wstring classes = L"Software\\Classes\\";
  for (const wchar_t* name : {L"http", L"https", L"ftp", L".crx", L".nex", L".opdownload"}) {
    if (!KeyExists(HKEY_CURRENT_USER, classes + name)) OwnKey(classes + name);
  }
  const std::wstring previous = L"\"C:\\Other Browser\\other.exe\" \"%1\"";
  RegSetKeyValueW(HKEY_CURRENT_USER, (classes + L"http\\shell\\open\\command").c_str(), nullptr,
                  REG_SZ, previous.c_str(), static_cast<DWORD>((previous.size() + 1) * 2));
  ShellServices services;
  services.query_app_is_default = &NotDefault;
  services.set_app_as_default = &RecordSetDefault;
  services.show_open_with = &RecordOpenWith;
  SetShellServicesForTesting(services);
  const struct {
    const char* name;
    int rank;
    std::vector<std::wstring> handed_back;
  } kCases[] = {
      {"Windows 7", kWindows7,
       {L"set .htm 0 Internet Explorer", L"set .html 0 Internet Explorer",
        L"set http 1 Internet Explorer", L"set https 1 Internet Explorer"}},
      {"Windows 8", kWindows8, {L"open with http"}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    SetWindowsVersionRankForTesting(c.rank);
    const std::filesystem::path folder = Folder(Utf8ToWide(c.name).c_str());
    std::vector<std::wstring> switches = kPerUser;
    switches.push_back(L"--setdefaultbrowser=1");
    ASSERT_TRUE(env_.Run(folder, {switches}).succeeded);
    std::wstring command = test::ReadRegString(
        HKEY_CURRENT_USER, classes + L"http\\shell\\open\\command");
    EXPECT_NE(ToLowerASCII(command).find(ToLowerASCII((folder / L"launcher.exe").native())),
              std::wstring::npos)
        << WideToUtf8(command);
    EXPECT_EQ(test::ReadRegString(HKEY_CURRENT_USER,
                                  L"Software\\" + Utf8ToWide(product::CompanyName()),
                                  L"Previous Default Browser"),
              previous);

    ShellCalls().clear();
    RecordingObserver run = Uninstall(folder);
    ASSERT_TRUE(run.succeeded) << run.failed_message;
    EXPECT_EQ(ShellCalls(), c.handed_back);
    test::RemoveProductTraces();
    RegSetKeyValueW(HKEY_CURRENT_USER, (classes + L"http\\shell\\open\\command").c_str(), nullptr,
                    REG_SZ, previous.c_str(), static_cast<DWORD>((previous.size() + 1) * 2));
  }
}

// The survey address carries the version, the installation's identifier and
// the welcome page's parameters; a silent uninstallation opens nothing.
TEST_F(UninstallTest, SurveyAddress) {
  std::vector<std::wstring> commands;
  Uninstallation::SetSurveyLaunchForTesting(
      [&](const std::wstring& command) { commands.push_back(command); });
  const std::wstring browser =
      QuoteArgument((GetKnownFolder(FOLDERID_ProgramFiles) / L"Internet Explorer" /
                     L"iexplore.exe")
                        .native());
  const std::string base = product::Url("uninstall_survey") +
                           "?version=" + product::ProductVersion() + "&uuid=";
  const struct {
    const char* name;
    int rank;
    bool silent;
    const char* welcome;
    std::wstring options;  // after the program
    std::string parameters;  // after the identifier
  } kCases[] = {
      {"Windows 10", kWindows10, false, "https://w.example/welcome?a=1&b=2", L" -private ",
       "&a=1&b=2"},
      {"Windows 7", kWindows7, false, "https://w.example/?x?y", L" ", ""},
      {"no parameters", kWindows8, false, "https://w.example/", L" -private ", ""},
      {"silent", kWindows10, true, "https://w.example/welcome?a=1", L"", ""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    SetWindowsVersionRankForTesting(c.rank);
    const std::filesystem::path folder = Folder(Utf8ToWide(c.name).c_str());
    ASSERT_TRUE(env_.Run(folder, {kPerUser}).succeeded);
    test::WriteFile(folder / L"installer_prefs.json",
                    std::string("{\"welcome-url\": \"") + c.welcome + "\"}");
    commands.clear();
    RecordingObserver run =
        env_.Run(folder, {.switches = kPerUser, .uninstall = true, .silent = c.silent});
    ASSERT_TRUE(run.succeeded) << run.failed_message;
    if (c.silent) {
      EXPECT_TRUE(commands.empty());
    } else {
      std::string uuid;
      GlobalStorage::GetInstance()->Get("UUID", &uuid);
      ASSERT_EQ(commands.size(), 1u);
      EXPECT_EQ(commands[0], browser + c.options + Utf8ToWide(base + uuid + c.parameters));
    }
    test::RemoveProductTraces();
  }
}

}  // namespace
}  // namespace norva::installer
