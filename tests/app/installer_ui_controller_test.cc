#include "app/installer_ui_controller.h"

#include <windows.h>
#include <commctrl.h>
#include <objbase.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "base/command_line.h"
#include "base/location.h"
#include "base/strings.h"
#include "base/task_loop.h"
#include "engine/engine_test_support.h"
#include "product/installer_features.h"
#include "product/languages.h"
#include "product/product_info.h"
#include "product/resource_ids.h"
#include "stats/stats_collector.h"
#include "support/local_service.h"
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
    // The overrides are handed over at once: these tests are about the window.
    FeatureRegistry::Get().AddOverridesFromCommandLine(CommandLine::FromString(
        L"installer.exe --with-feature:installer-pref-default-overrides-support=off"));
    ASSERT_TRUE(service_.available()) << "the local autoupdate service is not running";
    ASSERT_TRUE(service_.Reset());
    InstallerUIController::SetOpenAddressForTesting(
        [this](const std::wstring& program, const std::wstring& address) {
          opened_program_ = program;
          opened_address_ = address;
        });
  }
  void TearDown() override {
    InstallerUIController::SetOpenAddressForTesting(nullptr);
    SetWindowsVersionRankForTesting(-1);
    FeatureRegistry::Get().ResetForTesting();
    FeatureRegistry::Get().RegisterDefaults();
    CoUninitialize();
  }

  // Runs the controller until it ends; `act` runs once its window shows and
  // the folder's status is in. `switches` are the settings' own.
  bool Run(InstallerUIController& controller, std::function<void(InstallerUIController&)> act,
           const std::wstring& switches = L"--enable-installer-stats=0", bool autoupdate = false) {
    std::filesystem::create_directories(downloads_);
    Settings settings({.autoupdate = autoupdate, .install_folder = scratch_.path() / L"Norva"},
                      CommandLine::FromString(L"installer.exe " + switches));
    settings_ = &settings;
    std::function<void()> poll = [&] {
      if (controller.window() && !settings.IsStatusFetchPending()) {
        act(controller);
        return;
      }
      loop_.task_runner()->PostDelayedTask(FROM_HERE, poll, std::chrono::milliseconds(20));
    };
    loop_.task_runner()->PostDelayedTask(FROM_HERE, poll, std::chrono::milliseconds(20));
    bool result = controller.RunUI(settings, false, downloads_, false);
    settings_ = nullptr;
    return result;
  }

  // The switches of a controller whose package fetch asks the local service
  // and whose report would go to this machine.
  CommandLine ServiceSwitches() {
    return CommandLine::FromString(L"installer.exe --local-stats-server "
                                   L"--internal-package-server=" +
                                   service_.Url(kDownloadUrlPath));
  }
  // Keeps the fetch in its first state, silent: the download address is
  // retried after a delay, for as long as a test runs.
  void KeepFetching() {
    ASSERT_TRUE(service_.SetRule({{"path", kDownloadUrlPath}, {"default", {{"status", 503}}}}));
  }
  int DownloadUrlRequests() {
    int count = 0;
    for (const nlohmann::json& request : service_.Requests())
      count += request["path"] == kDownloadUrlPath;
    return count;
  }

  // Polls `ready` on the loop every 20 ms from the next task on, then runs
  // `then`; after 30 s
  // `then` runs anyway (and the test's checks fail).
  void When(std::function<bool()> ready, std::function<void()> then,
            std::chrono::seconds limit = std::chrono::seconds(30)) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    auto poll = std::make_shared<std::function<void()>>();
    *poll = [this, ready, then, deadline, poll] {
      if (ready() || std::chrono::steady_clock::now() > deadline) {
        then();
        *poll = nullptr;  // breaks the cycle
        return;
      }
      loop_.task_runner()->PostDelayedTask(FROM_HERE, *poll, std::chrono::milliseconds(20));
    };
    loop_.task_runner()->PostTask(FROM_HERE, *poll);
  }

  nlohmann::json Stats(InstallerUIController& controller) {
    nlohmann::json copy;
    controller.stats().WithRoot([&copy](nlohmann::json& root) { copy = root; });
    return copy;
  }

  static constexpr char kDownloadUrlPath[] = "/netinstaller/developer";

  ScratchFolder scratch_;
  std::filesystem::path downloads_ = scratch_.path() / L"downloads & (\u00e9t\u00e9) 100%";
  test::LocalService service_;
  Settings* settings_ = nullptr;  // while Run runs
  TaskLoop loop_{TaskLoop::Type::kUI};
  std::wstring opened_program_;
  std::wstring opened_address_;
};

TEST_F(InstallerUIControllerTest, CancelAndFullPackageEndTheRun) {
  {
    InstallerUIController controller;
    EXPECT_FALSE(Run(controller, [](InstallerUIController& c) { c.OnCancel(); },
                     L"--enable-installer-stats=0 --allusers=0"));
    // Ended before the user proceeded, the report still has the settings.
    const nlohmann::json expected = {{"installation_cancelled", 1}, {"installation_success", 0},
                                     {"installation_mode", "current_user"},
                                     {"installation_operation", "installing"}, {"autoupdate", 0}};
    for (const auto& [key, value] : expected.items()) EXPECT_EQ(Stats(controller)[key], value);
    EXPECT_EQ(opened_address_, L"");
  }
  InstallerUIController controller;
  EXPECT_FALSE(Run(controller, [](InstallerUIController& c) { c.OnFullPackage(); }));
  EXPECT_EQ(Stats(controller)["installation_cancelled"], 2);
  // Outside the Stable stream the address names the product and stream.
  EXPECT_EQ(opened_address_, L"https://www.norva.example/download/full/windows"
                             L"&product=Norva%20developer");
  EXPECT_EQ(opened_program_, L"");
  EXPECT_FALSE(std::filesystem::exists(downloads_ / L"installer.lck"));
}

// The welcome text's link to the privacy page opens it through the shell;
// its terms link stays in the window.
TEST_F(InstallerUIControllerTest, WelcomeLinksOpenTheirPages) {
  InstallerUIController controller;
  InstallerPage page = kPageNone;
  EXPECT_FALSE(Run(controller, [&](InstallerUIController& c) {
    test::ClickLink(*c.window(), L"tos");
    page = c.window()->current_page();
    test::ClickLink(*c.window(), L"https://www.norva.example/privacy");
    c.OnCancel();
  }));
  EXPECT_EQ(page, kPageTerms);
  EXPECT_EQ(opened_address_, L"https://www.norva.example/privacy");
  EXPECT_EQ(opened_program_, L"");
}

// The backend's own failure is what the error page shows, even when the
// backend then ends without another word.
TEST_F(InstallerUIControllerTest, ReportedFailureWinsOverTheEnd) {
  InstallerUIController controller;
  std::wstring shown;
  InstallerPage page = kPageNone;
  EXPECT_FALSE(Run(controller, [&](InstallerUIController& c) {
    c.OnInstallationFailed(IDS_FOLDER_NOT_CREATED, L"C:\\Norva & co", "Could not create folder");
    c.OnInstallerTerminated(false);
    loop_.task_runner()->PostDelayedTask(
        FROM_HERE,
        [&] {
          page = c.window()->current_page();
          shown = WindowText(test::WindowControl(*c.window(), IDC_STATUS_TEXT));
          c.OnCancel();
        },
        std::chrono::milliseconds(1500));
  }));
  EXPECT_EQ(page, kPageError);
  EXPECT_EQ(shown, l10n::GetLocalizedString(IDS_FOLDER_NOT_CREATED, {L"C:\\Norva & co"}));
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
  EXPECT_FALSE(Run(controller, [&](InstallerUIController& c) {
    c.OnInstallerTerminated(false);
    // The error page comes after the grace the controller gives late reports.
    When([&] { return (page = c.window()->current_page()) == kPageError; }, [&] { c.OnCancel(); });
  }));
  EXPECT_EQ(page, kPageError);
  // The statistics service knows the reason by this text alone.
  EXPECT_EQ(Stats(controller)["failure_reason"], "Unreported installer error.");
}

// Before Windows 7 the error page points to the full installer's button by
// the text it shows, without its access key.
TEST_F(InstallerUIControllerTest, OldWindowsPointsToTheFullInstaller) {
  SetWindowsVersionRankForTesting(kWindowsVista);
  InstallerUIController controller;
  std::wstring shown;
  EXPECT_FALSE(Run(controller, [&](InstallerUIController& c) {
    c.OnProceed();
    shown = WindowText(test::WindowControl(*c.window(), IDC_STATUS_TEXT));
    c.OnCancel();
  }));
  EXPECT_EQ(shown, L"This version of Norva requires Windows 7 or later. "
                   L"Choose \"Download full installer\" to open the download page.");
}

// The progress bar's messages, counted by a subclass of the control.
struct BarMessages {
  int set = 0;
  int steps = 0;
};

LRESULT CALLBACK CountBarMessages(HWND window, UINT message, WPARAM wparam, LPARAM lparam,
                                  UINT_PTR, DWORD_PTR data) {
  auto* seen = reinterpret_cast<BarMessages*>(data);
  if (message == PBM_SETPOS) ++seen->set;
  if (message == PBM_STEPIT) ++seen->steps;
  return DefSubclassProc(window, message, wparam, lparam);
}

// One bar for the whole run: each fetch state and the installation have
// their weight (1, 1000, 200, 1, 1, 100 of 1303); a rise of at most 10 is
// stepped, a larger one set, and the bar never goes back. Screen readers
// hear its percentage.
TEST_F(InstallerUIControllerTest, ProgressWeighsEachStateAndNeverGoesBack) {
  using Report = std::function<void(InstallerUIController&)>;
  struct Row {
    const char* what;
    Report report;
    int position;
    int set;    // PBM_SETPOS messages
    int steps;  // PBM_STEPIT messages
  };
  // A fetch report: entering `state` (none: staying) with `current` of `total`.
  auto fetch = [](std::optional<PackageFetcherDelegate::Status> state, int current,
                  int total = 0) -> Report {
    return [=](InstallerUIController& c) {
      if (state) c.fetch_reports().NotifyStatusChanged(*state);
      if (total) c.fetch_reports().SetTotalProgress(total);
      c.fetch_reports().SetCurrentProgress(current);
    };
  };
  const Row rows[] = {
      {"half of the download", fetch(PackageFetcherDelegate::kDownloading, 500, 1000), 1 + 500, 1,
       0},
      {"a rise of 5", fetch(std::nullopt, 505), 506, 0, 5},
      {"a count that goes back", fetch(std::nullopt, 100), 506, 0, 0},
      {"a rise of 10", fetch(std::nullopt, 515), 516, 0, 10},
      {"a rise of 11", fetch(std::nullopt, 526), 527, 1, 0},
      {"a third of the unpacking, truncated", fetch(PackageFetcherDelegate::kUnpacking, 1, 3),
       1 + 1000 + 66, 1, 0},
      {"partner content counts nothing",
       fetch(PackageFetcherDelegate::kDownloadingPartnerContent, 50, 50), 1067, 0, 0},
      {"the package handed over, then 2 of 4 installation steps",
       [](InstallerUIController& c) {
         c.fetch_reports().NotifyStatusChanged(PackageFetcherDelegate::kPackageReady);
         c.SetTotalSteps(4);
         c.OnStepCompleted();
       },
       1 + 1000 + 200 + 1 + 1 + 50, 1, 0},
      {"the next step", [](InstallerUIController& c) { c.OnStepCompleted(); }, 1278, 1, 0},
      {"the backend's success fills the bar",
       [](InstallerUIController& c) { c.OnInstallerTerminated(true); }, 1303, 1, 0},
  };
  KeepFetching();
  InstallerUIController controller(ServiceSwitches());
  EXPECT_TRUE(Run(controller, [&](InstallerUIController& c) {
    // The fetch's first reports have arrived once the service was asked.
    When([&] { return DownloadUrlRequests() > 0; }, [&] {
      c.OnProceed();
      ASSERT_EQ(c.window()->current_page(), kPageProgress);
      HWND bar = test::WindowControl(*c.window(), IDC_PROGRESS_BAR);
      EXPECT_EQ(SendMessageW(bar, PBM_GETRANGE, FALSE, 0), 1303);
      BarMessages seen;
      SetWindowSubclass(bar, CountBarMessages, 1, reinterpret_cast<DWORD_PTR>(&seen));
      for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        seen = {};
        row.report(c);
        if (!c.window()) {  // the success ended the run
          EXPECT_EQ(seen.set, row.set);
          break;
        }
        EXPECT_EQ(SendMessageW(bar, PBM_GETPOS, 0, 0), row.position);
        EXPECT_EQ(test::Hear(bar).value, std::to_wstring(row.position * 100 / 1303) + L"%");
        EXPECT_EQ(seen.set, row.set);
        EXPECT_EQ(seen.steps, row.steps);
      }
      if (c.window()) {
        RemoveWindowSubclass(bar, CountBarMessages, 1);
        c.OnCancel();
      }
    });
  }));
}

// The keyboard alone, as its user goes: Tab to the welcome text's terms
// link and Enter shows the terms, Tab to Back and Enter returns; Tab twice to
// the privacy link and Space opens its page; Tab to the options and on to
// Accept, and Enter installs the package the service serves, to the end.
TEST_F(InstallerUIControllerTest, KeyboardAloneOpensTheLinksAndInstalls) {
  const char* fixtures = std::getenv("NORVA_E2E_FIXTURES");
  ASSERT_TRUE(fixtures) << "run through ctest: the packages are missing";
  service_.PutFile("package.exe", test::ReadFile(test::FromUnixPath(fixtures) / L"package.exe"));
  ASSERT_TRUE(service_.SetReply(
      {{"stream", product::InternalStreamName()}, {"installer_file", "package.exe"}}));
  test::RemoveProductTraces();
  InstallerUIController controller(ServiceSwitches());
  struct Key {
    WORD key;
    std::function<bool(InstallerUIController&)> reached;
    const char* what;
  };
  auto focus_on = [](int id) {
    return [id](InstallerUIController& c) {
      return GetFocus() == test::WindowControl(*c.window(), id);
    };
  };
  auto page_is = [](InstallerPage page) {
    return [page](InstallerUIController& c) { return c.window()->current_page() == page; };
  };
  const std::vector<Key> keys = {
      {VK_TAB, focus_on(IDC_WELCOME_TEXT), "the terms link"},
      {VK_RETURN, page_is(kPageTerms), "the terms page"},
      {VK_TAB, focus_on(IDC_TERMS_TEXT), "the terms text"},
      {VK_TAB, focus_on(IDC_BACK_BUTTON), "Back"},
      {VK_RETURN, page_is(kPageWelcome), "the welcome page again"},
      {VK_TAB, focus_on(IDC_WELCOME_TEXT), "the terms link again"},
      {VK_TAB, focus_on(IDC_WELCOME_TEXT), "the privacy link"},
      {VK_SPACE, [this](InstallerUIController&) { return !opened_address_.empty(); },
       "the privacy page opened"},
      {VK_TAB, focus_on(IDC_OPTIONS_BUTTON), "Options"},
      // Before the package is ready the backend would be this test program
      // waiting for it: Accept waits for the package.
      {VK_TAB,
       [&](InstallerUIController& c) {
         return focus_on(IDC_ACCEPT_BUTTON)(c) && Stats(c).contains("package_ready_time");
       },
       "Accept, and the package"},
      {VK_RETURN, page_is(kPageProgress), "the installation"},
  };
  // Each key once the one before has had its effect; a key without its
  // effect ends the run, as does the end of the installation.
  auto press = std::make_shared<std::function<void(size_t)>>();
  *press = [&, press](size_t next) {
    if (!controller.window()) return;
    if (next == keys.size()) {
      // A whole installation: on a busy machine it may take more than a key's
      // half a minute.
      When([&] { return !controller.window(); },
           [&] {
             if (controller.window()) controller.OnCancel();
           },
           std::chrono::minutes(3));
      return;
    }
    HWND focus = GetFocus();
    PostMessageW(focus, WM_KEYDOWN, keys[next].key, 1);
    PostMessageW(focus, WM_KEYUP, keys[next].key, 0xC0000001);
    When([&, next] { return !controller.window() || keys[next].reached(controller); },
         [&, next, press] {
           if (controller.window() && keys[next].reached(controller)) {
             (*press)(next + 1);
             return;
           }
           ADD_FAILURE() << "no " << keys[next].what;
           if (controller.window()) controller.OnCancel();
         });
  };
  bool installed = Run(
      controller,
      [&](InstallerUIController& c) {
        SetForegroundWindow(c.window()->handle());
        SetActiveWindow(c.window()->handle());
        (*press)(0);
      },
      L"--allusers=0 --launchnorva=0 --enable-installer-stats=0");
  *press = nullptr;
  EXPECT_EQ(opened_address_, L"https://www.norva.example/privacy");
  EXPECT_TRUE(installed);
  EXPECT_TRUE(std::filesystem::exists(scratch_.path() / L"Norva" /
                                      Utf8ToWide(product::ProductVersion()) / L"norva.exe"));
  test::RemoveProductTraces();
}

// Failed fetches before the user proceeds are restarted three times; then
// the fetch waits for the user, whose go-ahead starts it again.
TEST_F(InstallerUIControllerTest, ThreeFetchRestartsThenTheUserDecides) {
  ASSERT_TRUE(service_.SetRule({{"path", kDownloadUrlPath}, {"default", {{"status", 404}}}}));
  test::LogCapture log;
  InstallerUIController controller(ServiceSwitches());
  int requests_before_proceeding = 0;
  std::wstring shown;
  EXPECT_FALSE(Run(controller, [&](InstallerUIController& c) {
    When([&] { return log.Contains("Exceeded maximum number of fetcher retries"); }, [&] {
      requests_before_proceeding = DownloadUrlRequests();
      c.OnProceed();
      // The fetch fails again while the backend waits for the package.
      When([&] { return c.window()->current_page() == kPageError; },
           [&] {
             shown = WindowText(test::WindowControl(*c.window(), IDC_STATUS_TEXT));
             c.OnCancel();
           });
    });
  }));
  EXPECT_EQ(requests_before_proceeding, 4);
  EXPECT_EQ(DownloadUrlRequests(), 5);
  for (const char* count : {"1 of 3", "2 of 3", "3 of 3"})
    EXPECT_TRUE(log.Contains(std::string("Restarting package fetching, ") + count)) << count;
  EXPECT_FALSE(log.Contains("Restarting package fetching, 4"));
  EXPECT_EQ(shown, l10n::GetLocalizedString(IDS_DOWNLOAD_FAILED, {L""}));
}

// When elevation failed for a new installation for all users, the user is
// offered an installation for the current user only, which starts at once.
TEST_F(InstallerUIControllerTest, FailedElevationOffersTheCurrentUser) {
  KeepFetching();
  InstallerUIController controller(ServiceSwitches());
  std::unique_ptr<test::MessageBoxAnswer> answer;
  bool all_users_before = false;
  EXPECT_FALSE(Run(
      controller,
      [&](InstallerUIController& c) {
        all_users_before = settings_->choices().all_users;
        answer = std::make_unique<test::MessageBoxAnswer>(IDOK);
        c.OnProceed();
        c.OnInstallationFailed(IDS_ELEVATION_FAILED, L"", "Elevation failed");
        // The backend ends; after its grace the question, then a new start.
        When(
            [&] {
              return !settings_->choices().all_users && c.window()->current_page() == kPageProgress;
            },
            [&] {
              EXPECT_FALSE(settings_->IsModifiable()) << "no installation runs";
              c.OnCancel();
            });
      },
      L"--enable-installer-stats=0 --allusers=1"));
  EXPECT_TRUE(all_users_before);
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->Seen(), l10n::GetLocalizedString(IDS_SWITCH_TO_CURRENT_USER));
}

// The fetcher's dialog (a proxy's credentials) waits for the installation
// to start and is shown over the window then; one still waiting when the
// run ends, and any asked for afterwards, is answered "cancelled" unseen.
TEST_F(InstallerUIControllerTest, DialogRequestsWaitForTheInstallationAndEndCancelled) {
  KeepFetching();
  struct Case {
    const char* name;
    bool proceed;
    bool shown;
    int reply;
  };
  const Case cases[] = {{"shown once installing", true, true, 7},
                        {"the run ends first", false, false, ERROR_CANCELLED}};
  for (const Case& t : cases) {
    SCOPED_TRACE(t.name);
    InstallerUIController controller(ServiceSwitches());
    HWND owner = nullptr, window = nullptr;
    std::vector<int> replies;
    auto reply_runner = loop_.task_runner();
    auto ask = [&](InstallerUIController& c) {
      c.RunUICallbackAndPostReply(
          [&](HWND parent) {
            owner = parent;
            return 7;
          },
          reply_runner, [&](int result) { replies.push_back(result); });
    };
    Run(controller, [&](InstallerUIController& c) {
      window = c.window()->handle();
      ask(c);
      EXPECT_EQ(owner, nullptr) << "shown before the installation started";
      if (t.proceed) c.OnProceed();
      c.OnCancel();
    });
    EXPECT_EQ(owner, t.shown ? window : nullptr);
    ask(controller);
    When([&] { return replies.size() == 2; }, [&] { loop_.Quit(); });
    loop_.Run();
    EXPECT_EQ(replies, (std::vector<int>{t.reply, ERROR_CANCELLED}));
  }
}

// An autoupdate through the window, even a successful one with installer
// statistics on, sends no report.
TEST_F(InstallerUIControllerTest, AutoupdateSendsNoStatistics) {
  KeepFetching();
  InstallerUIController controller(ServiceSwitches());
  EXPECT_TRUE(Run(
      controller, [](InstallerUIController& c) { c.OnInstallerTerminated(true); },
      L"--enable-installer-stats=1", /*autoupdate=*/true));
  EXPECT_EQ(Stats(controller)["installation_success"], 1);
  // Preparing a report summarises the downloads into the tree.
  EXPECT_FALSE(Stats(controller).contains("wininet_retries")) << Stats(controller).dump();
}

}  // namespace
}  // namespace norva::installer
