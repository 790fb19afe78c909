#include "ui/installer_ui_controller.h"

#include <windows.h>
#include <objbase.h>

#include <chrono>
#include <functional>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "base/command_line.h"
#include "base/location.h"
#include "base/task_loop.h"
#include "product/installer_features.h"
#include "product/languages.h"
#include "stats/stats_collector.h"
#include "support/scratch.h"
#include "system/windows_version.h"
#include "ui/rich_text.h"
#include "ui/ui_test_support.h"

namespace norva::installer {
namespace {

using test::ScratchFolder;

class InstallerUIControllerTest : public testing::Test {
 protected:
  void SetUp() override {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    SetWindowsVersionRankForTesting(kWindows10);
    FeatureRegistry::Get().RegisterDefaults();
    InstallerUIController::SetOpenAddressForTesting(
        [this](const std::wstring& program, const std::wstring& address) {
          opened_program_ = program;
          opened_address_ = address;
        });
  }
  void TearDown() override {
    InstallerUIController::SetOpenAddressForTesting(nullptr);
    SetWindowsVersionRankForTesting(-1);
    CoUninitialize();
  }

  // Runs the controller until it ends; `act` runs once its window shows and
  // the folder's status is in. Nothing answers the package fetch.
  bool Run(InstallerUIController& controller, std::function<void(InstallerUIController&)> act) {
    std::filesystem::path downloads = scratch_.path() / L"downloads";
    std::filesystem::create_directories(downloads);
    Settings settings(false, false, false, scratch_.path() / L"Norva", false,
                      CommandLine::FromString(L"installer.exe --enable-installer-stats=0 "
                                              L"--internal-package-server=http://127.0.0.1:9/"),
                      {});
    std::function<void()> poll = [&] {
      if (controller.window() && !settings.IsStatusFetchPending()) {
        act(controller);
        return;
      }
      loop_.task_runner()->PostDelayedTask(FROM_HERE, poll, std::chrono::milliseconds(20));
    };
    loop_.task_runner()->PostDelayedTask(FROM_HERE, poll, std::chrono::milliseconds(20));
    return controller.RunUI(settings, false, downloads, false);
  }

  nlohmann::json Stats(InstallerUIController& controller) {
    nlohmann::json copy;
    controller.stats().WithRoot([&copy](nlohmann::json& root) { copy = root; });
    return copy;
  }

  ScratchFolder scratch_;
  TaskLoop loop_{TaskLoop::Type::kUI};
  std::wstring opened_program_;
  std::wstring opened_address_;
};

TEST_F(InstallerUIControllerTest, CancelAndFullPackageEndTheRun) {
  {
    InstallerUIController controller;
    EXPECT_FALSE(Run(controller, [](InstallerUIController& c) { c.OnCancel(); }));
    EXPECT_EQ(Stats(controller)["installation_cancelled"], 1);
    EXPECT_EQ(Stats(controller)["installation_success"], 0);
    EXPECT_EQ(opened_address_, L"");
  }
  InstallerUIController controller;
  EXPECT_FALSE(Run(controller, [](InstallerUIController& c) { c.OnFullPackage(); }));
  EXPECT_EQ(Stats(controller)["installation_cancelled"], 2);
  // Outside the Stable stream the address names the product and stream.
  EXPECT_EQ(opened_address_, L"https://www.norva.example/download/full/windows"
                             L"&product=Norva%20developer");
  EXPECT_EQ(opened_program_, L"");
  EXPECT_FALSE(std::filesystem::exists(scratch_.path() / L"downloads" / L"installer.lck"));
}

// The backend's own failure is what the error page shows, even when the
// backend then ends without another word.
TEST_F(InstallerUIControllerTest, ReportedFailureWinsOverTheEnd) {
  InstallerUIController controller;
  std::wstring shown;
  InstallerPage page = kPageNone;
  EXPECT_FALSE(Run(controller, [&](InstallerUIController& c) {
    c.OnInstallationFailed(37054, L"C:\\Norva & co", "Could not create folder");
    c.OnInstallerTerminated(false);
    loop_.task_runner()->PostDelayedTask(
        FROM_HERE,
        [&] {
          page = c.window()->current_page();
          shown = WindowText(test::WindowControl(*c.window(), kStatusText));
          c.OnCancel();
        },
        std::chrono::milliseconds(1500));
  }));
  EXPECT_EQ(page, kPageError);
  EXPECT_EQ(shown, l10n::GetLocalizedString(37054, {L"C:\\Norva & co"}));
}

// The outcome waits for the backend's end: a success report alone is not a
// success, and an end without one is a failure with its reason.
TEST_F(InstallerUIControllerTest, OnlyTheBackendsEndDecidesTheOutcome) {
  FeatureRegistry::Get().AddOverridesFromCommandLine(
      CommandLine::FromString(L"installer.exe --with-feature:installer-ui-stats=on"));
  {
    InstallerUIController controller;
    EXPECT_FALSE(Run(controller, [](InstallerUIController& c) {
      c.OnInstallationSucceeded();
      c.OnCancel();
    }));
    EXPECT_EQ(Stats(controller)["installation_success"], 0);
  }
  InstallerUIController controller;
  InstallerPage page = kPageNone;
  int polls = 0;
  std::function<void()> poll;
  EXPECT_FALSE(Run(controller, [&](InstallerUIController& c) {
    c.OnInstallerTerminated(false);
    // The error page comes after the grace the controller gives late reports.
    poll = [&] {
      page = c.window()->current_page();
      if (page == kPageError || ++polls > 500)
        c.OnCancel();
      else
        loop_.task_runner()->PostDelayedTask(FROM_HERE, poll, std::chrono::milliseconds(20));
    };
    poll();
  }));
  EXPECT_EQ(page, kPageError);
  EXPECT_EQ(Stats(controller)["failure_reason"],
            "Installer backend ended without reporting success");
  FeatureRegistry::Get().ResetForTesting();
  FeatureRegistry::Get().RegisterDefaults();
}

// Before Windows 7 the error page points to the full installer's button by
// the text it shows, without its access key.
TEST_F(InstallerUIControllerTest, OldWindowsPointsToTheFullInstaller) {
  SetWindowsVersionRankForTesting(kWindowsVista);
  InstallerUIController controller;
  std::wstring shown;
  EXPECT_FALSE(Run(controller, [&](InstallerUIController& c) {
    c.OnProceed();
    shown = WindowText(test::WindowControl(*c.window(), kStatusText));
    c.OnCancel();
  }));
  EXPECT_EQ(shown, L"This version of Norva requires Windows 7 or later. "
                   L"Choose \"Download full installer\" to open the download page.");
}

}  // namespace
}  // namespace norva::installer
