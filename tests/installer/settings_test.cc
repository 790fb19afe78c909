#include "installer/settings.h"

#include <windows.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/file_util.h"
#include "base/json.h"
#include "base/strings.h"
#include "base/task_loop.h"
#include "installer/status_probe.h"
#include "product/installer_features.h"
#include "product/product_info.h"
#include "stats/stats_collector.h"
#include "support/scratch.h"
#include "support/snapshot.h"
#include "installer/support/status_fixtures.h"
#include "system/access_rights.h"
#include "system/windows_version.h"

namespace norva::installer {
namespace {

using test::LogCapture;
using test::ScratchFolder;
using test::WriteFile;
using Args = std::vector<std::wstring>;
using C = InstallChoices;

// The values of `flags` among the settings' choices, in their order.
std::vector<bool> Flags(const Settings& settings, std::initializer_list<bool C::*> flags) {
  std::vector<bool> values;
  for (bool C::*flag : flags) values.push_back(settings.choices().*flag);
  return values;
}

// Counts the notifications and runs the loop until a status arrives.
class Waiter : public Settings::Observer {
 public:
  explicit Waiter(Settings* settings) : settings_(settings) { settings_->AddObserver(this); }
  ~Waiter() override { settings_->RemoveObserver(this); }

  void OnSettingsChanged() override { ++changes; }
  void OnLanguageChanged() override { ++language_changes; }
  void OnInstallFolderStatusChanged() override {
    ++statuses;
    thread = GetCurrentThreadId();
    if (loop_) loop_->Quit();
  }

  bool WaitForStatus(TaskLoop* loop) {
    int before = statuses;
    loop_ = loop;
    test::RunLoopFor(loop, std::chrono::seconds(60));
    loop_ = nullptr;
    return statuses > before;
  }

  int changes = 0;
  int language_changes = 0;
  int statuses = 0;
  DWORD thread = 0;

 private:
  Settings* settings_;
  TaskLoop* loop_ = nullptr;
};

class SettingsTest : public testing::Test {
 protected:
  void SetUp() override {
    FeatureRegistry::Get().RegisterDefaults();
    SetWindowsVersionRankForTesting(kWindows10);
    SetStatusProbe(DefaultStatusProbe());
  }
  void TearDown() override {
    SetWindowsVersionRankForTesting(-1);
    SetAdminMembershipForTesting(std::nullopt);
    SetStatusProbe(DefaultStatusProbe());
    FeatureRegistry::Get().RegisterDefaults();
    product::SetStreamIdForTesting(-1);
  }

  // Settings for `switches`, examining `folder`, with the first status in.
  std::unique_ptr<Settings> Make(const std::wstring& switches, const std::filesystem::path& folder,
                                 SettingsOptions options = {}) {
    options.install_folder = folder;
    auto settings = std::make_unique<Settings>(
        options, CommandLine::FromString(L"installer.exe " + switches));
    Waiter waiter(settings.get());
    EXPECT_TRUE(waiter.WaitForStatus(&loop_));
    return settings;
  }

  std::filesystem::path Empty(const wchar_t* name) {
    std::filesystem::path folder = scratch_.path() / name;
    CreateDirectories(folder);
    return folder;
  }

  // An installation of this product with the given installer preferences.
  std::filesystem::path Installation(const wchar_t* name, const std::string& prefs) {
    std::filesystem::path folder = scratch_.path() / name;
    EXPECT_TRUE(test::WriteLogInto(folder, test::MakeInstallation(folder)));
    if (!prefs.empty()) WriteFile(folder / L"installer_prefs.json", prefs);
    return folder;
  }

  Args FeatureArgs() const {
    Args args;
    const FeatureRegistry& features = FeatureRegistry::Get();
    for (const FeatureRegistry::Feature& feature : features.features())
      args.push_back(L"--with-feature:" + Utf8ToWide(feature.name) + L"=" +
                     (features.IsEnabled(feature.name) ? L"on" : L"off"));
    return args;
  }

  test::ScopedCom com_;
  TaskLoop loop_;
  ScratchFolder scratch_;
};

TEST_F(SettingsTest, CopyOnlyForcesUserLevelFlagsOff) {
  auto settings = Make(L"--copyonly=1 --allusers=1 --desktopshortcut=1 --setdefaultbrowser=1",
                       Empty(L"a"));
  EXPECT_EQ(kOperationInstall, settings->GetOperation());
  EXPECT_EQ(Flags(*settings, {&C::copy_only, &C::all_users, &C::desktop_shortcut,
                              &C::start_menu_shortcut, &C::pinned_shortcut, &C::default_browser,
                              &C::single_profile}),
            (std::vector<bool>{1, 0, 0, 0, 0, 0, 1}));
  EXPECT_STREQ("standalone", settings->GetInstallationModeName());
  EXPECT_FALSE(settings->SetChoice(Settings::Choice::kAllUsers, true));
  EXPECT_FALSE(settings->SetChoice(Settings::Choice::kDefaultBrowser, true));
  EXPECT_EQ(settings->default_folder().standalone_drive() / Utf8ToWide(product::FullVisibleName()),
            settings->GetDefaultInstallFolder(false, false));

  // Leaving standalone mode re-enables the guarded setters.
  EXPECT_TRUE(settings->SetInstallationMode(kModeAllUsers));
  EXPECT_EQ(Flags(*settings, {&C::copy_only, &C::all_users, &C::single_profile}),
            (std::vector<bool>{0, 1, 0}));
  EXPECT_FALSE(settings->SetInstallationMode(7));

  auto explicit_profile = Make(L"--copyonly=1 --singleprofile=0", Empty(L"b"));
  EXPECT_TRUE(explicit_profile->choices().copy_only);
  EXPECT_FALSE(explicit_profile->choices().single_profile);
  EXPECT_TRUE(explicit_profile->SetInstallationMode(kModeStandalone));
  EXPECT_FALSE(explicit_profile->choices().single_profile);
}

TEST_F(SettingsTest, SwitchValuesAndDefaults) {
  struct Case {
    const wchar_t* switches;
    int windows;
    // All users, launch, default browser, quick launch, pinned, browser
    // statistics, installer statistics, import.
    std::vector<bool> expected;
  } cases[] = {
      // The Wine token is an administrator; this is not the Stable stream.
      {L"", kWindows10, {1, 1, 0, 0, 1, 1, 1, 1}},
      {L"--enable-stats=0 --launchbrowser=0", kWindows10, {1, 0, 0, 0, 1, 0, 0, 1}},
      {L"--enable-stats=0 --enable-installer-stats=yes --launchbrowser=0 --launchnorva=1",
       kWindows10, {1, 1, 0, 0, 1, 0, 1, 1}},
      // A boolean switch without a value is false.
      {L"--import-browser-data --allusers", kWindows10, {0, 1, 0, 0, 1, 1, 1, 0}},
      {L"", kWindowsVista, {1, 1, 0, 1, 0, 1, 1, 1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(WideToUtf8(c.switches) + " on rank " + std::to_string(c.windows));
    SetWindowsVersionRankForTesting(c.windows);
    auto s = Make(c.switches, Empty(L"a"));
    EXPECT_EQ(c.expected, Flags(*s, {&C::all_users, &C::launch_norva, &C::default_browser,
                                     &C::quick_launch_shortcut, &C::pinned_shortcut,
                                     &C::enable_norva_stats, &C::enable_installer_stats,
                                     &C::import_browser_data}));
  }
}

TEST_F(SettingsTest, ExistingInstallationSwitchesToUpgrade) {
  std::filesystem::path existing = Installation(
      L"existing", R"({"import_browser_data": false, "enable_stats": false, "single_profile": true,)"
                   R"( "language": "de"})");
  auto settings = Make(L"--enable-installer-stats=1", existing);
  EXPECT_EQ(kOperationUpgrade, settings->GetOperation());
  EXPECT_EQ(existing, settings->GetInstallationStatus().GetPath());
  EXPECT_EQ(existing, settings->GetFirstValidInstallFolder());
  EXPECT_EQ(Flags(*settings, {&C::import_browser_data, &C::enable_norva_stats,
                              &C::enable_installer_stats, &C::single_profile, &C::all_users,
                              &C::desktop_shortcut}),
            (std::vector<bool>{0, 0, 1, 1, 0, 0}));
  EXPECT_EQ(L"de", settings->choices().language);

  Waiter waiter(settings.get());
  bool all_users = settings->choices().all_users;
  EXPECT_FALSE(settings->SetChoice(Settings::Choice::kCopyOnly, true));
  EXPECT_FALSE(settings->SetChoice(Settings::Choice::kSingleProfile, false));
  EXPECT_FALSE(settings->SetChoice(Settings::Choice::kAllUsers, !all_users));
  EXPECT_FALSE(settings->SetChoice(Settings::Choice::kDeleteProfile, true));
  EXPECT_FALSE(settings->choices().copy_only);
  EXPECT_EQ(0, waiter.changes);
  EXPECT_TRUE(settings->SetChoice(Settings::Choice::kImportBrowserData, true));
  EXPECT_TRUE(settings->choices().import_browser_data);
  EXPECT_EQ(1, waiter.changes);

  // Moving on to an empty folder drops what the installation chose.
  settings->SetInstallFolder(Empty(L"new"));
  ASSERT_TRUE(waiter.WaitForStatus(&loop_));
  EXPECT_EQ(kOperationInstall, settings->GetOperation());
  EXPECT_EQ(Flags(*settings, {&C::enable_norva_stats, &C::single_profile, &C::all_users}),
            (std::vector<bool>{1, 0, 1}));
  EXPECT_EQ(existing, settings->GetFirstValidInstallFolder());

  // A language on the command line wins over the installation's.
  auto english = Make(L"--language=en-GB", existing);
  EXPECT_EQ(L"en-GB", english->choices().language);
}

TEST_F(SettingsTest, OnlyTheLatestFolderIsApplied) {
  std::filesystem::path first = Empty(L"first");
  std::filesystem::path existing = Installation(L"existing", "");
  std::filesystem::path last = Empty(L"last");
  auto settings = Make(L"", first);
  Waiter waiter(settings.get());

  settings->SetInstallFolder(existing);
  EXPECT_TRUE(settings->IsStatusFetchPending());
  settings->SetInstallFolder(last);
  ASSERT_TRUE(waiter.WaitForStatus(&loop_));
  EXPECT_EQ(last, settings->GetInstallationStatus().GetPath());
  EXPECT_EQ(kOperationInstall, settings->GetOperation());
  EXPECT_FALSE(settings->IsStatusFetchPending());
  loop_.RunUntilIdle();
  EXPECT_EQ(1, waiter.statuses);

  // Going back to the examined folder while another is pending must win too.
  settings->SetInstallFolder(existing);
  settings->SetInstallFolder(last);
  ASSERT_TRUE(waiter.WaitForStatus(&loop_));
  EXPECT_EQ(last, settings->GetInstallationStatus().GetPath());
  EXPECT_EQ(kOperationInstall, settings->GetOperation());

  // The same folder again starts nothing.
  settings->SetInstallFolder(last);
  EXPECT_FALSE(settings->IsStatusFetchPending());
}

TEST_F(SettingsTest, FrozenSettingsRefuseEverything) {
  auto settings = Make(L"", Empty(L"a"));
  settings->SetModifiable(false);
  EXPECT_FALSE(settings->SetChoice(Settings::Choice::kImportBrowserData, false));
  EXPECT_FALSE(settings->SetChoice(Settings::Choice::kNorvaStats, false));
  EXPECT_FALSE(settings->SetInstallationMode(kModeStandalone));
  settings->SetLanguage(L"de");
  settings->SetInstallFolder(Empty(L"b"));
  EXPECT_FALSE(settings->IsStatusFetchPending());
  EXPECT_TRUE(settings->choices().import_browser_data);
  EXPECT_FALSE(settings->choices().copy_only);
  EXPECT_NE(L"de", settings->choices().language);
}

TEST_F(SettingsTest, UninstallRuns) {
  LogCapture log;
  SettingsOptions options{.uninstall = true, .installation_folder = Empty(L"nothing")};
  auto nothing = Make(L"--deleteuserprofile=1", {}, options);
  EXPECT_EQ(kOperationNone, nothing->GetOperation());
  EXPECT_TRUE(log.Contains("Invalid install folder"));
  EXPECT_TRUE(nothing->GetFirstValidInstallFolder().empty());
  EXPECT_EQ(Args{L"--backend"}, nothing->ToCommandLine(false).GetRawArgs());

  options.installation_folder = Installation(L"existing", R"({"language": "de"})");
  auto settings = Make(L"--deleteuserprofile=1 --language=en", {}, options);
  EXPECT_EQ(kOperationUninstall, settings->GetOperation());
  EXPECT_TRUE(settings->choices().delete_profile);
  // An uninstall speaks the installation's language.
  EXPECT_EQ(L"de", settings->choices().language);
  EXPECT_TRUE(settings->SetChoice(Settings::Choice::kDeleteProfile, false));
  EXPECT_EQ((Args{L"--backend", L"--uninstall", L"--deleteuserprofile=0"}),
            settings->ToCommandLine(false).GetRawArgs());
}

TEST_F(SettingsTest, FolderIsExaminedOnAWorkerAndRepliesOnTheOwner) {
  DWORD examined_on = 0;
  StatusProbe probe = DefaultStatusProbe();
  probe.is_http_handled_by = [&examined_on](const std::filesystem::path&, bool) {
    examined_on = GetCurrentThreadId();
    return false;
  };
  SetStatusProbe(probe);
  std::filesystem::path existing = Installation(L"existing", "");
  auto settings = std::make_unique<Settings>(SettingsOptions{.install_folder = existing},
                                             CommandLine::FromString(L"installer.exe"));
  Waiter waiter(settings.get());
  ASSERT_TRUE(waiter.WaitForStatus(&loop_));
  EXPECT_NE(0u, examined_on);
  EXPECT_NE(GetCurrentThreadId(), examined_on);
  EXPECT_EQ(GetCurrentThreadId(), waiter.thread);
}

TEST_F(SettingsTest, BackendCommandLines) {
  std::filesystem::path folder = Empty(L"target");
  auto settings = std::make_unique<Settings>(
      SettingsOptions{.silent = true, .install_folder = folder},
      CommandLine::FromString(
          L"installer.exe --initial-pid=42 --temp-folder=C:\\t --server-tracking-data=C:\\std"
          L" --import-session=1 --import-bookmarks --language=en --setdefaultbrowser=1"
          L" --allusers=0 --profile-folder=C:\\p"));
  // Nothing to do until the folder is known.
  EXPECT_EQ((Args{L"--backend", L"--silent", L"--initial-pid=42", L"--temp-folder=C:\\t"}),
            settings->ToCommandLine(false).GetRawArgs());
  Waiter waiter(settings.get());
  ASSERT_TRUE(waiter.WaitForStatus(&loop_));

  Args install = {L"--backend", L"--silent", L"--initial-pid=42", L"--temp-folder=C:\\t",
                  L"--install", L"--import-browser-data=1", L"--enable-stats=1",
                  L"--enable-installer-stats=1", L"--launchnorva=1", L"--installfolder=" + folder.native(),
                  L"--profile-folder=C:\\p", L"--language=en", L"--singleprofile=0",
                  L"--copyonly=0", L"--allusers=0", L"--setdefaultbrowser=1",
                  L"--startmenushortcut=1", L"--desktopshortcut=1", L"--quicklaunchshortcut=0",
                  L"--pintotaskbar=1", L"--server-tracking-data=C:\\std"};
  for (const std::wstring& feature : FeatureArgs()) install.push_back(feature);
  install.insert(install.end(), {L"--import-bookmarks", L"--import-session=1"});
  EXPECT_EQ(install, settings->ToCommandLine(false).GetRawArgs());
  install[8] = L"--launchnorva=0";
  EXPECT_EQ(install, settings->ToCommandLine(true).GetRawArgs());

  // A standalone installation names none of the machine-wide choices.
  ASSERT_TRUE(settings->SetChoice(Settings::Choice::kCopyOnly, true));
  Args copy = settings->ToCommandLine(false).GetRawArgs();
  ASSERT_EQ(install.size() - 6, copy.size());
  EXPECT_EQ(L"--copyonly=1", copy[13]);
  EXPECT_EQ(L"--server-tracking-data=C:\\std", copy[14]);

  const SettingsOptions options{.autoupdate = true, .replace_quorel_installation = true};
  std::filesystem::path existing = Installation(L"existing", "");
  FeatureRegistry::Get().AddOverridesFromCommandLine(
      CommandLine::FromString(L"installer.exe --with-feature:installer-ui-stats=on"));
  auto upgrade = Make(L"--launchnorva=0 --language=de", existing, options);
  ASSERT_EQ(kOperationUpgrade, upgrade->GetOperation());
  Args expected = {L"--backend", L"--install", L"--autoupdate", L"--import-browser-data=1",
                   L"--enable-stats=1", L"--enable-installer-stats=1", L"--launchnorva=0",
                   L"--installfolder=" + existing.native(), L"--profile-folder", L"--language=de",
                   L"--setdefaultbrowser=0", L"--startmenushortcut=0", L"--desktopshortcut=0",
                   L"--quicklaunchshortcut=0", L"--pintotaskbar=0",
                   L"--replacequorelinstallation"};
  for (const std::wstring& feature : FeatureArgs()) expected.push_back(feature);
  EXPECT_NE(expected.end(), std::find(expected.begin(), expected.end(),
                                      L"--with-feature:installer-ui-stats=on"));
  EXPECT_EQ(expected, upgrade->ToCommandLine(false).GetRawArgs());
}

nlohmann::json StatsOf(const Settings& settings) {
  StatsCollector collector(false);
  settings.DumpStats(collector.root().AppendRecord("settings"));
  nlohmann::json tree;
  EXPECT_TRUE(ParseJson(collector.Serialize(), &tree));
  return tree["settings"][0];
}

TEST_F(SettingsTest, Statistics) {
  auto settings = Make(L"", Empty(L"a"), {.autoupdate = true});
  FeatureRegistry::Get().AddOverridesFromCommandLine(
      CommandLine::FromString(L"installer.exe --with-feature:installer-ui-stats=off"));
  nlohmann::json plain = StatsOf(*settings);
  EXPECT_EQ("all_users", plain["installation_mode"]);
  EXPECT_EQ("installing", plain["installation_operation"]);
  EXPECT_EQ(1, plain["autoupdate"]);
  const char* detail[] = {"make_default", "using_default_installation_folder",
                          "using_privileged_installation_folder"};
  for (const char* key : detail) EXPECT_FALSE(plain.contains(key)) << key;

  FeatureRegistry::Get().AddOverridesFromCommandLine(
      CommandLine::FromString(L"installer.exe --with-feature:installer-ui-stats=on"));
  ASSERT_TRUE(FeatureRegistry::Get().IsEnabled(kUiStats));
  nlohmann::json detailed = StatsOf(*settings);
  for (const char* key : detail) EXPECT_EQ(0, detailed[key]) << key;
  // Without administrator rights an all-users installation needs elevation.
  SetAdminMembershipForTesting(AdminMembership::kNotMember);
  EXPECT_EQ(1, StatsOf(*settings)["using_privileged_installation_folder"]);
  ASSERT_TRUE(settings->SetInstallationMode(kModeCurrentUser));
  EXPECT_EQ(0, StatsOf(*settings)["using_privileged_installation_folder"]);
  EXPECT_EQ("current_user", StatsOf(*settings)["installation_mode"]);

  std::filesystem::path default_folder = settings->GetDefaultInstallFolder(false, false);
  auto at_default = Make(L"--allusers=0", default_folder);
  EXPECT_EQ(1, StatsOf(*at_default)["using_default_installation_folder"]);

  const SettingsOptions uninstall{.uninstall = true,
                                  .installation_folder = Installation(L"existing", "")};
  EXPECT_EQ("uninstalling", StatsOf(*Make(L"", {}, uninstall))["installation_operation"]);
}

TEST_F(SettingsTest, LastInstallPathFromTheRegistry) {
  // The company key starts empty and is put back as it was.
  const std::wstring company = L"Software\\" + Utf8ToWide(product::CompanyName());
  test::RegistryKeyGuard guard(HKEY_CURRENT_USER, company);
  RegDeleteTreeW(HKEY_CURRENT_USER, company.c_str());
  auto set = [&](const wchar_t* name, const std::wstring& value) {
    ASSERT_TRUE(test::WriteRegString(HKEY_CURRENT_USER, company, name, value));
  };
  std::filesystem::path remembered = Empty(L"remembered");
  set(L"Last developer Install Path x64", remembered.native() + L"\\sub\\..");
  LogCapture log;
  auto settings = Make(L"", {});
  EXPECT_TRUE(log.Contains("Install folder reg value: Last developer Install Path x64"));
  EXPECT_EQ(remembered, settings->default_folder().last_install_path());
  EXPECT_EQ(remembered, settings->GetInstallationStatus().GetPath());
  EXPECT_EQ(remembered, settings->GetDefaultInstallFolder(false, true));
  EXPECT_NE(remembered, settings->GetDefaultInstallFolder(false, false));
  // The command line's folder comes first.
  std::filesystem::path given = Empty(L"given");
  EXPECT_EQ(given, Make(L"", given)->GetInstallationStatus().GetPath());

  for (const std::wstring& unusable : {(scratch_.path() / L"gone").native(),
                                       std::wstring(L"relative\\folder")}) {
    set(L"Last developer Install Path x64", unusable);
    EXPECT_TRUE(Make(L"", given)->default_folder().last_install_path().empty());
  }

  // The name without stream is only known to the Stable stream.
  RegDeleteKeyValueW(HKEY_CURRENT_USER, company.c_str(), L"Last developer Install Path x64");
  set(L"Last install path", remembered.native());
  EXPECT_TRUE(Make(L"", given)->default_folder().last_install_path().empty());
  product::SetStreamIdForTesting(4);
  auto stable = Make(L"", given);
  EXPECT_EQ(remembered, stable->default_folder().last_install_path());
  EXPECT_TRUE(stable->choices().default_browser);
  set(L"Last Stable Install Path x64", given.native());
  EXPECT_EQ(given, Make(L"", given)->default_folder().last_install_path());
}

}  // namespace
}  // namespace norva::installer
