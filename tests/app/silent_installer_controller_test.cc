#include "app/silent_installer_controller.h"

#include <windows.h>
#include <objbase.h>

#include <filesystem>
#include <functional>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "base/command_line.h"
#include "base/location.h"
#include "base/task_loop.h"
#include "installer/settings.h"
#include "package/package_fetcher_delegate.h"
#include "product/installer_features.h"
#include "stats/stats_collector.h"
#include "support/local_service.h"
#include "support/scratch.h"
#include "support/wait.h"
#include "system/windows_version.h"

namespace norva::installer {
namespace {

using json = nlohmann::json;

class SilentInstallerControllerTest : public testing::Test {
 protected:
  void SetUp() override {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    SetWindowsVersionRankForTesting(kWindows10);
    FeatureRegistry::Get().RegisterDefaults();
    FeatureRegistry::Get().AddOverridesFromCommandLine(
        CommandLine::FromString(L"installer.exe --with-feature:installer-ui-stats=on"));
    ASSERT_TRUE(service_.available()) << "the local autoupdate service is not running";
    ASSERT_TRUE(service_.Reset());
    // The controller's own fetcher, if it got as far as asking for the
    // package, would be kept waiting: the tests stand in for its reports.
    ASSERT_TRUE(service_.SetRule({{"path", kDownloadUrlPath}, {"default", {{"status", 503}}}}));
  }
  void TearDown() override {
    SetWindowsVersionRankForTesting(-1);
    FeatureRegistry::Get().ResetForTesting();
    FeatureRegistry::Get().RegisterDefaults();
    CoUninitialize();
  }

  // Runs a silent installation that fetches its package into a folder whose
  // status is known; `report` reaches the controller before anything else
  // it waits for. Returns the run's statistics.
  json RunWith(const std::function<void(SilentInstallerController&)>& report, bool* result) {
    std::filesystem::create_directories(downloads_);
    Settings settings({.silent = true, .install_folder = scratch_.path() / L"Norva"},
                      CommandLine::FromString(L"installer.exe --silent --allusers=0 "
                                              L"--setdefaultbrowser=0 --enable-installer-stats=0"));
    EXPECT_TRUE(test::RunLoopUntil(&loop_, [&] { return !settings.IsStatusFetchPending(); }));
    SilentInstallerController controller(CommandLine::FromString(
        L"installer.exe --internal-package-server=" + service_.Url(kDownloadUrlPath)));
    loop_.task_runner()->PostTask(FROM_HERE, [&] { report(controller); });
    *result = controller.Run(settings, false, downloads_);
    json copy;
    controller.stats().WithRoot([&copy](json& root) { copy = root; });
    return copy;
  }

  static constexpr char kDownloadUrlPath[] = "/netinstaller/developer";

  test::ScratchFolder scratch_;
  std::filesystem::path downloads_ = scratch_.path() / L"downloads";
  test::LocalService service_;
  TaskLoop loop_{TaskLoop::Type::kUI};
};

// However early a run ends, its report carries the settings, and a failure
// reason the statistics service knows.
TEST_F(SilentInstallerControllerTest, EarlyEndsReportTheSettingsAndAKnownReason) {
  auto status = [](PackageFetcherDelegate::Status status) {
    return [status](SilentInstallerController& c) { c.NotifyStatusChanged(status); };
  };
  const struct {
    const char* name;
    std::function<void(SilentInstallerController&)> report;
    const char* failure_reason;
  } kCases[] = {
      // An offline installer whose package never becomes ready: its
      // installation attempt waits for the package and never starts.
      {"initialization failed", status(PackageFetcherDelegate::kInitializationFailed),
       "Fetcher error"},
      {"unpacking failed", status(PackageFetcherDelegate::kUnpackingFailed), "Fetcher error"},
      {"backend ended without reporting",
       [](SilentInstallerController& c) { c.OnInstallerTerminated(false); },
       "Unreported installer error."},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    bool result = true;
    json stats = RunWith(c.report, &result);
    EXPECT_FALSE(result);
    const json expected = {{"installation_success", 0}, {"failure_reason", c.failure_reason},
                           {"installation_mode", "current_user"},
                           {"installation_operation", "installing"}, {"autoupdate", 0},
                           {"make_default", 0}, {"using_default_installation_folder", 0},
                           {"using_privileged_installation_folder", 0}};
    for (const auto& [key, value] : expected.items()) EXPECT_EQ(stats[key], value) << key;
  }
}

}  // namespace
}  // namespace norva::installer
