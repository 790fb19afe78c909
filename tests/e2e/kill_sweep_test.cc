// Installations, upgrades and uninstallations whose backend ends itself as a
// kill would (exit code 0, nothing finished) right after each journal record
// and right after each change: the frontend must report a failure, and a
// recovery pass alone must put the machine back as it was.
#include <windows.h>

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "e2e/e2e_test.h"
#include "system/transactions/journal_recovery.h"

namespace norva::installer {
namespace {

using test::Fixture;
using test::MachineSnapshot;
using test::NextVersion;
using json = nlohmann::json;

enum class Run { kInstall, kUpgrade, kUninstall };

// Packages of the builds that take the kill switches; the installer inside
// is the one an uninstallation runs.
constexpr wchar_t kPackage[] = L"killable_package.exe";
constexpr wchar_t kNextPackage[] = L"killable_next_package.exe";

// What a recovery cannot put back: the installer's own preference file of an
// existing installation is rewritten outside the transaction.
constexpr const char* kAllowedDifference = "installer_prefs.json";

// The scheduler keeps one file per registered task in its folder.
int CountTasks() {
  wchar_t windows[MAX_PATH];
  GetWindowsDirectoryW(windows, MAX_PATH);
  std::error_code error;
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator(
           std::filesystem::path(windows) / L"System32" / L"Tasks", error))
    count += entry.is_regular_file();
  return count;
}

class KillSweepTest : public test::EndToEndTest, public testing::WithParamInterface<Run> {
 protected:
  std::wstring Version() const { return Utf8ToWide(product::ProductVersion()); }

  void Prepare() {
    DeleteTree(FilePath(folder_.native()));
    test::RemoveProductTraces();
    if (GetParam() != Run::kInstall) {
      ASSERT_EQ(EndToEndTest::Run(Fixture(kPackage)), 0u) << Logs();
    }
  }

  DWORD RunSwept(const std::wstring& kill) {
    if (GetParam() == Run::kInstall) return EndToEndTest::Run(Fixture(kPackage), kill);
    if (GetParam() == Run::kUpgrade) return EndToEndTest::Run(Fixture(kNextPackage), kill);
    DWORD exit_code = Uninstall(Version(), kill);
    // A finished uninstallation leaves its clean-up script running a while.
    EXPECT_TRUE(WaitForCleanUpScripts()) << "a clean-up script still runs";
    return exit_code;
  }

  bool JournalLeft() const {
    return PathExists(Journal::LocationFor(FilePath(folder_.native()), false));
  }

  // Kills the run at positions 1, 2, ... until it finishes; checks each one.
  int Sweep(const char* kill_switch) {
    int killed = 0, position = 1;
    // Every position of the first hundred, then every third.
    for (; position < 1000; position += position < 100 ? 1 : 3) {
      Prepare();
      if (HasFatalFailure()) return killed;
      MachineSnapshot before = Snapshot();
      int tasks = CountTasks();
      std::wstring kill = L"--" + Utf8ToWide(kill_switch) + L"=" + std::to_wstring(position);
      DWORD exit_code = RunSwept(kill);
      if (Logs().find("Ending the process for a test") == std::string::npos) {
        EXPECT_EQ(exit_code, 0u) << "unkilled run at " << position << "\n" << Logs();
        break;
      }
      ++killed;
      EXPECT_NE(exit_code, 0u) << kill_switch << "=" << position << "\n" << Logs();
      // A change is always written ahead; a Do that found nothing to change
      // (a file already gone) writes no record.
      if (std::string(kill_switch) == "test-kill-after-journal-record") {
        EXPECT_TRUE(JournalLeft()) << kill_switch << "=" << position;
      }
      EXPECT_NE(RecoverInterruptedInstallations(FilePath(folder_.native()), false),
                RecoveryResult::kFailed);
      EXPECT_FALSE(JournalLeft());
      EXPECT_EQ(test::WithoutAllowed(before.DifferencesTo(Snapshot()), {kAllowedDifference}), "")
          << kill_switch << "=" << position;
      EXPECT_EQ(CountTasks(), tasks) << kill_switch << "=" << position;
      if (GetParam() == Run::kUpgrade) {
        // The old version is intact (the snapshot says so) and starts.
        DWORD started = 99;
        SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
        LaunchOptions quiet;
        quiet.stdout_handle =
            CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                        OPEN_EXISTING, 0, nullptr);
        EXPECT_TRUE(LaunchProcessAndWait(
            QuoteArgument((folder_ / L"launcher.exe").native()) + L" --version", &started, quiet))
            << "error " << GetLastError();
        CloseHandle(quiet.stdout_handle);
        EXPECT_EQ(started, 0u) << kill_switch << "=" << position;
      }
      if (HasFailure()) break;  // one position's story is enough to read
    }
    std::printf("[ kill     ] %s: %d positions, each killed and recovered\n", kill_switch, killed);
    return killed;
  }
};

TEST_P(KillSweepTest, EveryKilledRunIsRolledBackByTheNextOne) {
  const std::filesystem::path reference = scratch_.path() / L"reference";
  if (GetParam() == Run::kInstall) {
    // The files of a clean installation, to compare the one after the sweep with.
    Prepare();
    ASSERT_EQ(EndToEndTest::Run(Fixture(kPackage)), 0u) << Logs();
    std::filesystem::copy(folder_ / Version(), reference, std::filesystem::copy_options::recursive);
  }
  EXPECT_GT(Sweep("test-kill-after-journal-record"), 10);
  EXPECT_GT(Sweep("test-kill-after-do"), 5);

  // After a kill and the recovery the next run, the same one, succeeds.
  Prepare();
  ASSERT_EQ(RunSwept(L"--test-kill-after-do=3"), 1u) << Logs();
  ASSERT_TRUE(UseStatsCollector());
  EXPECT_EQ(RunSwept(L"--enable-installer-stats=1 --local-stats-server"), 0u) << Logs();
  EXPECT_NE(Logs().find("Rolling back an interrupted installation"), std::string::npos) << Logs();
  if (GetParam() != Run::kUninstall) {
    // (An uninstaller rolls back before it looks at its folder, ahead of the statistics.)
    json reports = stats_service_.Requests();
    ASSERT_EQ(reports.size(), 1u) << reports.dump();
    EXPECT_EQ(json::parse(reports[0]["body"].get<std::string>())["interrupted_installation_rolled_back"], 1);
  }
  if (GetParam() == Run::kInstall) {
    int files = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(reference)) {
      if (!entry.is_regular_file()) continue;
      ++files;
      auto installed = folder_ / Version() / std::filesystem::relative(entry.path(), reference);
      EXPECT_EQ(test::ReadFile(installed), test::ReadFile(entry.path())) << installed;
    }
    EXPECT_GT(files, 3);
    int version_folders = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder_))
      version_folders += entry.is_directory() && entry.path().filename().native().rfind(Version(), 0) == 0;
    EXPECT_EQ(version_folders, 1);
  }
}

INSTANTIATE_TEST_SUITE_P(Runs, KillSweepTest,
                         testing::Values(Run::kInstall, Run::kUpgrade, Run::kUninstall),
                         [](const testing::TestParamInfo<Run>& info) {
                           return std::string(info.param == Run::kInstall   ? "Install"
                                              : info.param == Run::kUpgrade ? "Upgrade"
                                                                            : "Uninstall");
                         });

using ShippedInstallerTest = test::EndToEndTest;

// The shipped installer takes no kill switch: given both, it installs to the
// end (an exit code alone would not tell, a killed process reads back 0).
TEST_F(ShippedInstallerTest, IgnoresTheKillSwitches) {
  const wchar_t kSwitches[] = L"--test-kill-after-journal-record=1 --test-kill-after-do=1";
  EXPECT_EQ(Run(Fixture(L"package.exe"), kSwitches), 0u) << Logs();
  const std::string logs = Logs();
  EXPECT_EQ(logs.find("Ending the process for a test"), std::string::npos) << logs;
  EXPECT_NE(logs.find("Installation succeeded"), std::string::npos) << logs;
  const std::wstring version = Utf8ToWide(product::ProductVersion());
  EXPECT_TRUE(PathExists(folder_ / version / L"norva.exe"));
  EXPECT_TRUE(PathExists(folder_ / L"launcher.exe"));
  EXPECT_EQ(InstalledVersion(), version);
  EXPECT_FALSE(test::FindUninstallKey().empty());
  // Committed: no journal is left for a recovery.
  EXPECT_FALSE(Journal::ExistsFor(FilePath(folder_.native())));
}

}  // namespace
}  // namespace norva::installer
