#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/command_line.h"
#include "base/file_util.h"
#include "base/json.h"
#include "base/strings.h"
#include "engine/engine_test_support.h"
#include "product/installer_features.h"

namespace norva::installer {
namespace {

using nlohmann::json;
using test::RecordingObserver;
using test::RunOptions;

constexpr wchar_t kPrefs[] = L"installer_prefs.json";
constexpr wchar_t kInclude[] = L"installer_prefs_include.json";
constexpr wchar_t kContent[] = L"custom_partner_content.json";
constexpr wchar_t kUserAgent[] = L"tracking_user_agent.json";

json ReadJson(const std::filesystem::path& file) {
  json value;
  return ReadJsonFile(file, &value) ? value : json();
}

void WriteJsonFile(const std::filesystem::path& file, const json& value) {
  test::WriteFile(file, WriteJson(value));
}

std::optional<std::string> ReadOptional(const std::filesystem::path& file) {
  return PathExists(file) ? std::optional(test::ReadFile(file)) : std::nullopt;
}

// Every feature of the table in its default state, `on` forced on.
json AllExperiments(const std::string& on = {}) {
  json list = json::array();
  for (const FeatureRegistry::Feature& feature : FeatureRegistry::Get().features())
    list.push_back(feature.name + (feature.enabled_by_default || feature.name == on ? "@1" : "@2"));
  return list;
}

class PreferencesTest : public testing::Test {
 protected:
  void SetUp() override { FeatureRegistry::Get().RegisterDefaults(); }
  void TearDown() override { FeatureRegistry::Get().ResetForTesting(); }

  std::filesystem::path Folder(const std::wstring& name) { return env_.scratch() / L"i" / name; }
  std::filesystem::path Profile(const std::wstring& name) { return env_.scratch() / L"p" / name; }

  // A copy of the package with `files` added under "resources".
  std::filesystem::path PackageWith(const std::wstring& name,
                                    const std::vector<const wchar_t*>& files) {
    std::filesystem::path package = env_.scratch() / name;
    std::filesystem::copy(env_.package(), package, std::filesystem::copy_options::recursive);
    std::string list = test::ReadFile(package / L"files_list");
    for (const wchar_t* file : files) {
      test::WriteFile(package / L"resources" / file, "package");
      list += "resources\\" + WideToUtf8(file) + "\r\n";
    }
    test::WriteFile(package / L"files_list", list);
    return package;
  }

  // Per user and without the browser unless `switches` say otherwise (the
  // last of a repeated switch wins).
  RecordingObserver Run(const std::filesystem::path& folder, std::vector<std::wstring> switches,
                        RunOptions options = {}) {
    switches.insert(switches.begin(), {L"--allusers=0", L"--launchnorva=0"});
    options.switches = std::move(switches);
    return env_.Run(folder, options);
  }

  test::EngineEnvironment env_;
};

TEST_F(PreferencesTest, FirstInstallationWithoutWelcomeUrlOrOverrides) {
  // The package carries no include file at first.
  for (bool single_profile : {false, true}) {
    SCOPED_TRACE(single_profile);
    if (single_profile) test::WriteFile(env_.package() / kInclude, R"({"welcome-url": 7})");
    std::filesystem::path folder = Folder(single_profile ? L"single" : L"first");
    std::wstring profile_switch = L"--singleprofile=" + std::to_wstring(single_profile);
    ASSERT_TRUE(Run(folder, {L"--language=de", profile_switch}).succeeded);
    json expected = {{"single_profile", single_profile},
                     {"language", "de"},
                     {"installer-experiments", json::array()},
                     {"all-installer-experiments", AllExperiments()},
                     {"import_browser_data", true},
                     {"enable_stats", true}};
    EXPECT_EQ(ReadJson(folder / kPrefs), expected);
    test::RemoveProductTraces();
  }
}

TEST_F(PreferencesTest, UpgradeAndAutoupdateKeepEarlierKeys) {
  FeatureRegistry& features = FeatureRegistry::Get();
  ASSERT_TRUE(features.features().front().name == kExperimentTest &&
              features.features().front().overridable);
  std::filesystem::path folder = Folder(L"upgrade");
  std::filesystem::path profile = Profile(L"upgrade");
  test::WriteFile(env_.package() / kInclude, R"({"welcome-url": "https://w.example/", "x": 1})");
  const std::wstring feature_switch = L"--with-feature:" + Utf8ToWide(kExperimentTest) + L"=on";
  // The process applies the switches before the installer runs.
  features.AddOverridesFromCommandLine(CommandLine::FromArgv({L"installer.exe", feature_switch}));
  ASSERT_TRUE(Run(folder, {L"--profile-folder=" + profile.native(), L"--language=de",
                           feature_switch, L"--temp-folder=C:\\temp files\\n",
                           L"--import-browser-data=0"})
                  .succeeded);
  json expected = {{"welcome-url", "https://w.example/"},
                   {"single_profile", false},
                   {"profile_path", WideToUtf8(profile.native())},
                   {"language", "de"},
                   {"installer-experiments", json::array({std::string(kExperimentTest) + "@1"})},
                   {"all-installer-experiments", AllExperiments(kExperimentTest)},
                   {"temp_folder", "C:\\temp files\\n"},
                   {"import_browser_data", false},
                   {"enable_stats", true}};
  EXPECT_EQ(ReadJson(folder / kPrefs), expected);

  // A new process, without the include file or the feature switch: the
  // earlier keys stay and the recorded experiment state is taken over.
  features.RegisterDefaults();
  std::filesystem::remove(env_.package() / kInclude);
  ASSERT_TRUE(Run(folder, {L"--language=fr", L"--enable-stats=0"}).succeeded);
  expected["language"] = "fr";
  expected["enable_stats"] = false;
  EXPECT_EQ(ReadJson(folder / kPrefs), expected);

  // An autoupdate over prefs as an older installer left them writes neither
  // choice, and touches only the locale of the profile.
  expected.erase("import_browser_data");
  expected.erase("enable_stats");
  WriteJsonFile(folder / kPrefs, expected);
  const json preferences = {{"statistics", {{"collection_enabled", true}}}};
  WriteJsonFile(profile / L"Preferences", preferences);
  WriteJsonFile(profile / L"Local State", {{"intl", {{"app_locale", "fr"}}}});
  test::WriteFile(profile / kContent, "user content");
  ASSERT_TRUE(Run(folder, {L"--language=de"}, {.autoupdate = true}).succeeded);
  expected["language"] = "de";
  EXPECT_EQ(ReadJson(folder / kPrefs), expected);
  EXPECT_EQ(ReadJson(profile / L"Preferences"), preferences);
  EXPECT_EQ(ReadJson(profile / L"Local State"), json({{"intl", {{"app_locale", "de"}}}}));
  EXPECT_EQ(ReadOptional(profile / kContent), "user content");
}

// First installations into prepared profiles.
TEST_F(PreferencesTest, PartnerContentAndLocaleOfTheProfile) {
  using Files = std::vector<const wchar_t*>;
  struct Case {
    const char* name;
    Files package, profile;  // the files hold "package" and "user"
    const char* locale;      // "intl.app_locale" before the run; null: none
    std::optional<std::string> content, user_agent;  // after the run
    bool flagged;
  };
  const Case cases[] = {
      {"package has none: both deleted", {}, {kContent, kUserAgent}, "en-US", {}, {}, true},
      {"package has none, profile only user agent", {}, {kUserAgent}, nullptr, {}, {}, false},
      {"content copied", {kContent, kUserAgent}, {}, "en-US", "package", {}, true},
      {"user agent copied", {kUserAgent}, {}, nullptr, {}, "package", false},
      {"profile content kept", {kContent}, {kContent}, nullptr, "user", {}, false},
      {"profile user agent kept", {kContent}, {kUserAgent}, nullptr, {}, "user", false},
  };
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::wstring name = L"partner" + std::to_wstring(index++);
    std::filesystem::path profile = Profile(name);
    json local_state = {{"other", 1}};
    if (c.locale) local_state["intl"]["app_locale"] = c.locale;
    WriteJsonFile(profile / L"Local State", local_state);
    WriteJsonFile(profile / L"Preferences",
                  {{"statistics", {{"collection_enabled", false}, {"kept", 1}}}});
    for (const wchar_t* file : c.profile) test::WriteFile(profile / file, "user");
    ASSERT_TRUE(Run(Folder(name), {L"--language=de", L"--profile-folder=" + profile.native()},
                    {.package = PackageWith(name, c.package)})
                    .succeeded);

    EXPECT_EQ(ReadOptional(profile / kContent), c.content);
    EXPECT_EQ(ReadOptional(profile / kUserAgent), c.user_agent);
    if (c.locale) local_state["intl"]["app_locale"] = "de";
    if (c.flagged) local_state["custom_partner_content"]["updated"] = true;
    EXPECT_EQ(ReadJson(profile / L"Local State"), local_state);
    EXPECT_EQ(ReadJson(profile / L"Preferences"), json({{"statistics", {{"kept", 1}}}}));
    test::RemoveProductTraces();
  }
}

TEST_F(PreferencesTest, LaunchForwardsImportSwitchesAndMaximizesOnlyNewInstallations) {
  std::filesystem::path folder = Folder(L"launch");
  ASSERT_TRUE(Run(folder, {L"--launchnorva=1", L"--import-session",
                           L"--import-bookmarks=C:\\b m.html", L"--language=de"})
                  .succeeded);
  ASSERT_TRUE(Run(folder, {L"--launchnorva=1", L"--import-topsites-to-speeddial=1"}).succeeded);
  // The stand-in launcher records each start beside itself.
  EXPECT_EQ(SplitString(test::ReadFile(folder / L"standin_runs.txt"), '\n'),
            (std::vector<std::string>{
                "launcher.exe \"--import-bookmarks=C:\\b m.html\" --import-session "
                "--start-maximized\r",
                "launcher.exe --import-topsites-to-speeddial=1\r", ""}));

  // A launcher that does not end keeps the installation waiting only so long.
  test::LogCapture log;
  test::WriteFile(folder / L"standin_hangs", "");
  PreferenceSeeding::SetLauncherWaitForTesting(500);
  EXPECT_TRUE(Run(folder, {L"--launchnorva=1"}).succeeded);
  PreferenceSeeding::SetLauncherWaitForTesting(0);
  std::filesystem::remove(folder / L"standin_hangs");
  EXPECT_TRUE(log.Contains("The launcher has not ended after 500 ms"));
}

// Fails the finalize step with a folder where the installation status goes,
// made right after the seed step and removed again before the rollback.
class BlockingObserver : public RecordingObserver {
 public:
  explicit BlockingObserver(std::filesystem::path blocker) : blocker_(std::move(blocker)) {
    on_step = [this](int step) {
      if (step == total - 1) CreateDirectoryW(blocker_.c_str(), nullptr);
    };
  }
  void OnInstallationFailed(int id, const std::wstring& detail,
                            const std::string& message) override {
    prefs_written = PathExists(blocker_.parent_path() / kPrefs);
    RemoveDirectoryW(blocker_.c_str());
    RecordingObserver::OnInstallationFailed(id, detail, message);
  }
  bool prefs_written = false;

 private:
  std::filesystem::path blocker_;
};

TEST_F(PreferencesTest, FailedFirstInstallationRemovesItsPrefsAndFolder) {
  std::filesystem::path folder = Folder(L"failed");
  test::FolderSnapshot before = test::FolderSnapshot::Take(folder.parent_path());
  BlockingObserver observer(folder / L"installation_status.xml");
  RecordingObserver run = Run(folder, {}, {.observer = &observer});
  EXPECT_FALSE(run.succeeded);
  EXPECT_EQ(run.failed_message, "Failed saving the installation status");
  EXPECT_TRUE(observer.prefs_written);
  EXPECT_FALSE(PathExists(folder));
  EXPECT_EQ(before.DifferencesTo(test::FolderSnapshot::Take(folder.parent_path())), "");
}

}  // namespace
}  // namespace norva::installer
