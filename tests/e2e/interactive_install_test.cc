// The interactive installer end to end: the test plays the user of a real
// installer.exe window, from another process, through the window's messages.
#include <windows.h>
#include <commctrl.h>

#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "e2e/e2e_test.h"
#include "product/languages.h"
#include "ui/installer_window.h"

namespace norva::installer {
namespace {

using json = nlohmann::json;
using test::Fixture;

constexpr int kDownloadFailedMessage = 37048;
constexpr DWORD kWaitStepMs = 50;

struct WindowSearch {
  DWORD process;
  HWND found = nullptr;
};

BOOL CALLBACK FindInstallerWindow(HWND window, LPARAM data) {
  auto* search = reinterpret_cast<WindowSearch*>(data);
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  if (process != search->process || !IsWindowVisible(window) || !GetDlgItem(window, kAcceptButton))
    return TRUE;
  search->found = window;
  return FALSE;
}

class InteractiveInstallTest : public test::EndToEndTest {
 protected:
  InteractiveInstallTest() { interactive_ = true; }

  // The visible installer window of `process`, once it shows.
  HWND WaitForWindow(const Process& process) {
    for (DWORD waited = 0; waited < test::kRunLimitMs; waited += kWaitStepMs) {
      WindowSearch search{process.id()};
      EnumWindows(FindInstallerWindow, reinterpret_cast<LPARAM>(&search));
      if (search.found) return search.found;
      if (WaitForSingleObject(process.handle(), kWaitStepMs) == WAIT_OBJECT_0) break;
    }
    ADD_FAILURE() << "no installer window\n" << Logs();
    return nullptr;
  }

  // Waits until control `id` of the window is visible.
  bool WaitForVisible(HWND window, int id, const Process& process) {
    for (DWORD waited = 0; waited < test::kRunLimitMs; waited += kWaitStepMs) {
      if (IsWindowVisible(GetDlgItem(window, id))) return true;
      if (WaitForSingleObject(process.handle(), kWaitStepMs) == WAIT_OBJECT_0) return false;
    }
    return false;
  }

  static void Press(HWND window, int id) {
    PostMessageW(window, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(window, id)));
  }

  // Waits for the process to end; the highest progress position seen on the
  // way, through `progress` when given.
  DWORD WaitForExit(const Process& process, HWND window, int* progress = nullptr) {
    DWORD exit_code = 99;
    for (DWORD waited = 0; waited < test::kRunLimitMs; waited += kWaitStepMs) {
      if (progress && IsWindow(window)) {
        auto position = static_cast<int>(
            SendMessageTimeoutW(GetDlgItem(window, kProgressBar), PBM_GETPOS, 0, 0, SMTO_BLOCK,
                                1000, nullptr) ? SendMessageW(GetDlgItem(window, kProgressBar),
                                                              PBM_GETPOS, 0, 0)
                                               : 0);
        *progress = std::max(*progress, position);
      }
      if (process.WaitForExit(kWaitStepMs, &exit_code)) return exit_code;
    }
    process.Terminate(99);
    ADD_FAILURE() << "the installer did not end\n" << Logs();
    return 99;
  }
};

TEST_F(InteractiveInstallTest, InstallsThroughTheWindow) {
  Serve("package.exe");
  Process process = Start(Fixture(L"netinstaller.exe"),
                          L"--enable-installer-stats=1 --local-stats-server "
                          L"--with-feature:installer-ui-stats=on");
  HWND window = WaitForWindow(process);
  ASSERT_TRUE(window);
  Press(window, kAcceptButton);
  ASSERT_TRUE(WaitForVisible(window, kProgressBar, process)) << Logs();
  int progress = 0;
  EXPECT_EQ(WaitForExit(process, window, &progress), 0u) << Logs();
  EXPECT_GT(progress, 0);
  std::string version = product::ProductVersion();
  EXPECT_TRUE(PathExists(folder_ / Utf8ToWide(version) / L"norva.exe"));
  EXPECT_EQ(test::FindUninstallKey().empty(), false);
  json reports = stats_service_.Requests();
  ASSERT_EQ(reports.size(), 1u) << reports.dump();
  json report = json::parse(reports[0]["body"].get<std::string>());
  EXPECT_EQ(report["installation_success"], 1);
  EXPECT_FALSE(report.contains("failure_reason"));
  ASSERT_TRUE(report["ui"]["page_sequence"].is_array()) << report.dump();
  EXPECT_EQ(report["ui"]["page_sequence"][0]["navigation_action"], "ACCEPT");
  EXPECT_EQ(report["ui"]["page_sequence"][1]["page_type"], "PROGRESS");
}

// A download that fails once the user has proceeded shows the error page;
// its retry fetches again and installs.
TEST_F(InteractiveInstallTest, FailedDownloadShowsTheErrorPageAndRetrySucceeds) {
  Serve("package.exe");
  ASSERT_TRUE(service_.SetRule({{"path", "/package.exe"}, {"default", {{"status", 404}}}}));
  Process process = Start(Fixture(L"netinstaller.exe"));
  HWND window = WaitForWindow(process);
  ASSERT_TRUE(window);
  Press(window, kAcceptButton);
  ASSERT_TRUE(WaitForVisible(window, kRetryButton, process)) << Logs();
  wchar_t shown[512] = {};
  GetDlgItemTextW(window, kStatusText, shown, 512);
  EXPECT_EQ(shown, l10n::GetLocalizedString(kDownloadFailedMessage));
  EXPECT_FALSE(PathExists(folder_ / Utf8ToWide(product::ProductVersion())));

  ASSERT_TRUE(service_.SetRule({{"path", "/package.exe"}, {"responses", json::array()}}));
  Press(window, kRetryButton);
  EXPECT_EQ(WaitForExit(process, window), 0u) << Logs();
  EXPECT_TRUE(PathExists(folder_ / Utf8ToWide(product::ProductVersion()) / L"norva.exe"));
}

// A second installer with the same download folder hands over to the window
// already open and ends.
TEST_F(InteractiveInstallTest, SecondWindowForTheSameFolderDefersToTheFirst) {
  Serve("package.exe");
  Process first = Start(Fixture(L"netinstaller.exe"));
  HWND window = WaitForWindow(first);
  ASSERT_TRUE(window);
  Process second = LaunchProcess(CommandFor(Fixture(L"netinstaller.exe"), L""));
  DWORD exit_code = 0;
  ASSERT_TRUE(second.WaitForExit(test::kRunLimitMs, &exit_code));
  EXPECT_NE(exit_code, 0u);
  EXPECT_EQ(GetForegroundWindow(), window);
  EXPECT_NE(WaitForSingleObject(first.handle(), 0), WAIT_OBJECT_0);
  first.Terminate(1);
}

}  // namespace
}  // namespace norva::installer
