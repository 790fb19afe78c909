// What an installation leaves beside its files: the launcher exchange, the
// autoupdate task and the experiments carried over by an upgrade.
#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "base/file_util.h"
#include "base/json_pref_store.h"
#include "base/strings.h"
#include "engine/engine_test_support.h"
#include "product/installer_features.h"
#include "product/languages.h"
#include "product/product_info.h"
#include "system/access_rights.h"
#include "system/task_scheduler.h"

namespace norva::installer {
namespace {

using test::RecordingObserver;
using test::RunOptions;

const std::vector<std::wstring> kPerUser = {L"--allusers=0", L"--launchnorva=0"};

std::string ReadText(const std::filesystem::path& file) {
  std::string text;
  return ReadFileToString(file, &text) ? text : "<missing>";
}

// This build's branding with the autoupdate task's schedule switched.
std::string BrandingWithSchedule(bool scheduled) {
  nlohmann::json branding = {
      {"product_name", product::ProductName()},
      {"company_name", product::CompanyName()},
      {"file_name_base", product::FileNameBase()},
      {"visible_product_name", product::VisibleProductName()},
      {"default_profile_path_template", product::DefaultProfilePathTemplate()},
      {"schedule_autoupdate_task", scheduled},
      {"urls",
       {{"help", product::Url("help")},
        {"homepage", product::Url("homepage")},
        {"download", product::Url("download")}}},
  };
  return branding.dump();
}

class FinalizeTest : public testing::Test {
 protected:
  void TearDown() override {
    SetCreateTaskObserverForTesting(nullptr);
    SetAdminMembershipForTesting(std::nullopt);
    product::ResetBrandingForTesting();
    FeatureRegistry::Get().RegisterDefaults();
  }

  std::filesystem::path Folder(const wchar_t* name) {
    return env_.scratch() / L"Apps (x&y) \u00e9" / name;
  }

  test::EngineEnvironment env_;
};

TEST_F(FinalizeTest, AutoupdateTaskParameters) {
  std::vector<ScheduledTask> tasks;
  SetCreateTaskObserverForTesting([&](const ScheduledTask& task) { tasks.push_back(task); });
  const struct {
    const char* name;
    std::vector<std::wstring> switches;
    bool scheduled;
  } kCases[] = {
      {"per user", kPerUser, true},
      {"all users", {L"--allusers=1", L"--launchnorva=0"}, true},
      {"no schedule", kPerUser, false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    product::SetBrandingForTesting(BrandingWithSchedule(c.scheduled));
    tasks.clear();
    const std::filesystem::path folder = Folder(Utf8ToWide(c.name).c_str());
    RecordingObserver run = env_.Run(folder, {c.switches});
    ASSERT_TRUE(run.succeeded) << run.failed_message;
    ASSERT_EQ(tasks.size(), 1u);
    const ScheduledTask& task = tasks[0];
    EXPECT_EQ(task.command_line.GetProgram(), folder / L"launcher.exe");
    EXPECT_TRUE(task.command_line.HasSwitch("scheduledautoupdate"));
    EXPECT_EQ(task.command_line.GetArgs(), std::vector<std::wstring>{L"$(Arg0)"});
    EXPECT_EQ(task.name_suffix, L"Autoupdate " + Utf8ToWide(env_.last_app_id()));
    EXPECT_EQ(task.description, l10n::GetLocalizedString(IDS_AUTOUPDATE_TASK_DESCRIPTION));
    EXPECT_EQ(task.run_as_system, c.switches[0] == L"--allusers=1");
    EXPECT_EQ(task.time_limit, 3600u);
    EXPECT_EQ(task.trigger_kind,
              c.scheduled ? ScheduledTask::kDaily : ScheduledTask::kNoTimeTrigger);
    EXPECT_EQ(task.at_logon, c.scheduled);
    EXPECT_TRUE(task.network_required);
    test::RemoveProductTraces({env_.last_app_id()});
  }
  // A copy-only installation schedules nothing.
  tasks.clear();
  ASSERT_TRUE(env_.Run(Folder(L"copy"), {{L"--copyonly=1", L"--launchnorva=0"}}).succeeded);
  EXPECT_TRUE(tasks.empty());
}

// A task without a time trigger can be made by every scheduler (as a user
// who is no administrator: Wine cannot raise a task's run level); once it
// is, one error of an earlier attempt is forgiven. The uninstallation
// deletes it.
TEST_F(FinalizeTest, CreatedTaskLowersTheErrorCount) {
  product::SetBrandingForTesting(BrandingWithSchedule(false));
  SetAdminMembershipForTesting(AdminMembership::kNotMember);
  const struct {
    int before;
    std::optional<int> after;
  } kCases[] = {{2, 1}, {1, 0}, {0, 0}};
  int number = 0;
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.before);
    const std::filesystem::path folder = Folder((L"count " + std::to_wstring(++number)).c_str());
    test::WriteFile(folder / L"installer_prefs.json",
                    "{\"au_task_error_count\": " + std::to_string(c.before) + "}");
    RecordingObserver run = env_.Run(folder, {kPerUser});
    ASSERT_TRUE(run.succeeded) << run.failed_message;
    std::unique_ptr<TaskScheduler> scheduler = CreateTaskScheduler();
    ASSERT_TRUE(scheduler->Init());
    const std::wstring task = L"Autoupdate " + Utf8ToWide(env_.last_app_id());
    EXPECT_NE(scheduler->GetTaskState(task), kTaskMissing);
    JsonPrefStore prefs(folder / L"installer_prefs.json", nullptr);
    ASSERT_TRUE(prefs.Load());
    const nlohmann::json* count = prefs.GetValue("au_task_error_count");
    ASSERT_TRUE(count);
    EXPECT_EQ(*count, *c.after);
    ASSERT_TRUE(env_.Run(folder, {.switches = kPerUser, .uninstall = true}).succeeded);
    EXPECT_EQ(scheduler->GetTaskState(task), kTaskMissing);
  }
}

// The browser executable of an older installation becomes a launcher, its
// own copy kept beside it; the tracking data of the package goes along.
TEST_F(FinalizeTest, LauncherReplacesTheBrowserAndTrackingDataIsCopied) {
  const std::wstring browser = test::BrowserExecutable();
  const std::string launcher = ReadText(env_.package() / L"launcher.exe");
  test::WriteFile(env_.package() / L"tracking & more.dat", "tracking");
  const struct {
    const char* name;
    bool with_old;
    const wchar_t* tracking;  // the switch's value, relative to the package
    std::string browser_after, old_after, tracking_after;
  } kCases[] = {
      {"both", true, L"tracking & more.dat", launcher, "browser", "tracking"},
      {"browser only", false, L"missing.dat", "browser", "<missing>", "<missing>"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const std::filesystem::path folder = Folder(Utf8ToWide(c.name).c_str());
    test::WriteFile(folder / browser, "browser");
    if (c.with_old) test::WriteFile(folder / (browser + L".old"), "older");
    RunOptions options{kPerUser};
    options.switches.push_back(std::wstring(L"--server-tracking-data=") + c.tracking);
    RecordingObserver run = env_.Run(folder, options);
    ASSERT_TRUE(run.succeeded) << run.failed_message;
    EXPECT_EQ(ReadText(folder / browser), c.browser_after);
    EXPECT_EQ(ReadText(folder / (browser + L".old")), c.with_old ? c.old_after : "<missing>");
    EXPECT_EQ(ReadText(folder / L"server_tracking_data"), c.tracking_after);
    test::RemoveProductTraces();
  }
}

// An upgrade takes the overrides the installation was made with, not the
// states of every experiment.
TEST_F(FinalizeTest, UpgradeTakesTheRecordedOverrides) {
  const std::filesystem::path folder = Folder(L"experiments");
  ASSERT_TRUE(env_.Run(folder, {kPerUser}).succeeded);
  const std::filesystem::path prefs_file = folder / L"installer_prefs.json";
  {
    JsonPrefStore prefs(prefs_file, nullptr);
    ASSERT_TRUE(prefs.Load());
    prefs.SetValue("installer-experiments", nlohmann::json::array({"installer-experiment-test@1"}));
    prefs.SetValue("all-installer-experiments",
                   nlohmann::json::array({"installer-experiment-test@2"}));
  }
  test::LogCapture log;
  RecordingObserver run = env_.Run(folder, {kPerUser});
  ASSERT_TRUE(run.succeeded) << run.failed_message;
  EXPECT_TRUE(log.Contains("Changing the status of the test experiment."));
  JsonPrefStore prefs(prefs_file, nullptr);
  ASSERT_TRUE(prefs.Load());
  EXPECT_EQ(*prefs.GetValue("installer-experiments"),
            nlohmann::json::array({"installer-experiment-test@1"}));
}

}  // namespace
}  // namespace norva::installer
