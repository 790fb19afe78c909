// The interactive installer end to end: the test plays the user of a real
// installer.exe window, from another process, through the window's messages.
#include <windows.h>
#include <commctrl.h>
#include <psapi.h>

#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "e2e/e2e_test.h"
#include "product/languages.h"
#include "product/resource_ids.h"

namespace norva::installer {
namespace {

using json = nlohmann::json;
using test::Fixture;

constexpr DWORD kWaitStepMs = 50;

struct WindowSearch {
  DWORD process;
  HWND found = nullptr;
};

BOOL CALLBACK FindInstallerWindow(HWND window, LPARAM data) {
  auto* search = reinterpret_cast<WindowSearch*>(data);
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  if (process != search->process || !IsWindowVisible(window) ||
      !GetDlgItem(window, IDC_ACCEPT_BUTTON))
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
            SendMessageTimeoutW(GetDlgItem(window, IDC_PROGRESS_BAR), PBM_GETPOS, 0, 0, SMTO_BLOCK,
                                1000, nullptr)
                ? SendMessageW(GetDlgItem(window, IDC_PROGRESS_BAR), PBM_GETPOS, 0, 0)
                : 0);
        *progress = std::max(*progress, position);
      }
      if (process.WaitForExit(kWaitStepMs, &exit_code)) return exit_code;
    }
    process.Terminate(99);
    ADD_FAILURE() << "the installer did not end\n" << Logs();
    return 99;
  }

  // The paths of the modules `process` has loaded.
  static std::vector<std::wstring> LoadedModules(const Process& process) {
    HMODULE modules[512];
    DWORD size = 0;
    if (!EnumProcessModules(process.handle(), modules, sizeof(modules), &size)) return {};
    std::vector<std::wstring> paths;
    for (DWORD i = 0; i < std::min<DWORD>(size, sizeof(modules)) / sizeof(HMODULE); ++i) {
      wchar_t path[MAX_PATH];
      if (GetModuleFileNameExW(process.handle(), modules[i], path, MAX_PATH))
        paths.push_back(ToLowerASCII(std::wstring(path)));
    }
    return paths;
  }
};

TEST_F(InteractiveInstallTest, InstallsThroughTheWindow) {
  ASSERT_TRUE(UseStatsCollector());
  Serve("package.exe");
  Process process = Start(Fixture(L"netinstaller.exe"),
                          L"--enable-installer-stats=1 --local-stats-server "
                          L"--with-feature:installer-ui-stats=on");
  HWND window = WaitForWindow(process);
  ASSERT_TRUE(window);
  Press(window, IDC_ACCEPT_BUTTON);
  ASSERT_TRUE(WaitForVisible(window, IDC_PROGRESS_BAR, process)) << Logs();
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
  Press(window, IDC_ACCEPT_BUTTON);
  ASSERT_TRUE(WaitForVisible(window, IDC_RETRY_BUTTON, process)) << Logs();
  wchar_t shown[512] = {};
  GetDlgItemTextW(window, IDC_STATUS_TEXT, shown, 512);
  EXPECT_EQ(shown, l10n::GetLocalizedString(IDS_DOWNLOAD_FAILED));
  EXPECT_FALSE(PathExists(folder_ / Utf8ToWide(product::ProductVersion())));

  ASSERT_TRUE(service_.SetRule({{"path", "/package.exe"}, {"responses", json::array()}}));
  Press(window, IDC_RETRY_BUTTON);
  EXPECT_EQ(WaitForExit(process, window), 0u) << Logs();
  EXPECT_TRUE(PathExists(folder_ / Utf8ToWide(product::ProductVersion()) / L"norva.exe"));
}

// A second installer with the same download folder hands over to the window
// already open, restored from the taskbar and in front, and ends.
TEST_F(InteractiveInstallTest, SecondWindowForTheSameFolderDefersToTheFirst) {
  Serve("package.exe");
  Process first = Start(Fixture(L"netinstaller.exe"));
  HWND window = WaitForWindow(first);
  ASSERT_TRUE(window);
  ShowWindow(window, SW_MINIMIZE);
  ASSERT_TRUE(IsIconic(window));
  Process second = LaunchProcess(CommandFor(Fixture(L"netinstaller.exe"), L""));
  DWORD exit_code = 0;
  ASSERT_TRUE(second.WaitForExit(test::kRunLimitMs, &exit_code));
  EXPECT_NE(exit_code, 0u);
  EXPECT_FALSE(IsIconic(window));
  EXPECT_EQ(GetForegroundWindow(), window);
  EXPECT_NE(WaitForSingleObject(first.handle(), 0), WAIT_OBJECT_0);
  first.Terminate(1);
}

// Where Wine's loader takes the overrides of one program's DLLs from;
// Windows has no such key. Removed with the object.
class ScopedWineDllOverrides {
 public:
  explicit ScopedWineDllOverrides(const std::wstring& program)
      : key_(L"Software\\Wine\\AppDefaults\\" + program) {}
  ~ScopedWineDllOverrides() { RegDeleteTreeW(HKEY_CURRENT_USER, key_.c_str()); }
  // The DLL `name` is taken from a file of that name first, as Windows does.
  bool PreferFile(const std::wstring& name) {
    return test::WriteRegString(HKEY_CURRENT_USER, key_ + L"\\DllOverrides", name.c_str(),
                                L"native,builtin");
  }

 private:
  std::wstring key_;
};

// DLLs named like the system DLLs that the installer does not import at its
// start, planted beside it in the downloads folder, are never loaded: not by
// its version query, nor by a network installation through its window (with
// a backend started from there). Wine is told to prefer such files to its
// own, as Windows would find them first.
TEST_F(InteractiveInstallTest, DllsPlantedBesideTheInstallerAreNeverLoaded) {
  const char* planted = std::getenv("NORVA_PLANTED_DLLS");
  ASSERT_TRUE(planted) << "run through ctest: the planted DLLs are missing";
  const std::filesystem::path downloads = scratch_.path() / L"Downloads (2) & 100% ^! \u00e9";
  std::filesystem::create_directories(downloads);
  const std::wstring program = L"norva_installer (1).exe";
  const std::filesystem::path installer = downloads / program;
  std::filesystem::copy_file(Fixture(L"netinstaller.exe"), installer);
  ScopedWineDllOverrides overrides(program);
  for (const auto& entry : std::filesystem::directory_iterator(test::FromUnixPath(planted))) {
    std::filesystem::copy_file(entry.path(), downloads / entry.path().filename());
    ASSERT_TRUE(overrides.PreferFile(entry.path().stem().native()));
  }
  auto markers = [&] {
    std::string found;
    for (const auto& entry : std::filesystem::directory_iterator(downloads))
      if (entry.path().extension() == L".loaded") found += entry.path().filename().string() + " ";
    return found;
  };

  SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
  LaunchOptions to_file;
  to_file.stdout_handle = CreateFileW((scratch_.path() / L"version.txt").c_str(), GENERIC_WRITE,
                                      FILE_SHARE_READ, &inheritable, CREATE_ALWAYS, 0, nullptr);
  Process version = LaunchProcess(QuoteArgument(installer.native()) + L" --version", to_file);
  CloseHandle(to_file.stdout_handle);
  DWORD exit_code = 99;
  ASSERT_TRUE(version.WaitForExit(test::kRunLimitMs, &exit_code));
  EXPECT_EQ(exit_code, 0u);
  EXPECT_EQ(test::ReadFile(scratch_.path() / L"version.txt"), product::ProductVersion());
  EXPECT_EQ(markers(), "");

  Serve("package.exe");
  Process process = Start(installer);
  HWND window = WaitForWindow(process);
  ASSERT_TRUE(window);
  // The window has the common controls of the side-by-side assembly that
  // the manifest asks for (version 6), and nothing from the downloads folder.
  std::wstring folder = ToLowerASCII(downloads.native() + L"\\");
  bool side_by_side_controls = false;
  for (const std::wstring& module : LoadedModules(process)) {
    if (module.starts_with(folder)) {
      EXPECT_EQ(module, ToLowerASCII(installer.native()));
    }
    if (module.ends_with(L"\\comctl32.dll"))
      side_by_side_controls = module.find(L"\\winsxs\\") != std::wstring::npos;
  }
  EXPECT_TRUE(side_by_side_controls);
  Press(window, IDC_ACCEPT_BUTTON);
  EXPECT_EQ(WaitForExit(process, window), 0u) << Logs();
  EXPECT_TRUE(PathExists(folder_ / Utf8ToWide(product::ProductVersion()) / L"norva.exe"));
  EXPECT_EQ(markers(), "");
}

}  // namespace
}  // namespace norva::installer
