// The silent installer end to end.
#include <windows.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "e2e/e2e_test.h"
#include "support/holder_process.h"
#include "engine/uninstall_script.h"
#include "system/object_names.h"
#include "system/object_security.h"

namespace norva::installer {
namespace {

using test::MachineSnapshot;
using json = nlohmann::json;
using test::Fixture;
using test::FindUninstallKey;
using test::NextVersion;
using test::kFailedExit;
using test::kRunLimitMs;

class SilentInstallTest : public test::EndToEndTest {};

TEST_F(SilentInstallTest, NetworkInstallUpgradeAndUninstall) {
  ASSERT_TRUE(UseStatsCollector());
  MachineSnapshot before = Snapshot();
  Serve("package.exe");
  EXPECT_EQ(Run(Fixture(L"netinstaller.exe"), L"--enable-installer-stats=1 --local-stats-server"),
            0u)
      << Logs();
  std::string version = product::ProductVersion();
  EXPECT_TRUE(PathExists(folder_ / Utf8ToWide(version) / L"norva.exe"));
  EXPECT_TRUE(PathExists(folder_ / L"launcher.exe"));
  EXPECT_EQ(test::ReadFile(folder_ / L"server_tracking_data"), "campaign=e2e");
  // The downloaded package and its unpacked folder are gone, and so the
  // download folder, which they left empty.
  EXPECT_FALSE(PathExists(scratch_.path() / L"downloads"));
  EXPECT_EQ(InstalledVersion(), Utf8ToWide(version));
  std::string logs = Logs();
  // The frontend heard the backend's last message before the backend ended.
  size_t succeeded = logs.find("Installation succeeded");
  EXPECT_NE(succeeded, std::string::npos) << logs;
  EXPECT_LT(succeeded, logs.find("The installer backend ended successfully")) << logs;
  json reports = stats_service_.Requests();
  ASSERT_EQ(reports.size(), 1u) << reports.dump();
  EXPECT_EQ(json::parse(reports[0]["body"].get<std::string>())["installation_success"], 1);

  // An autoupdate to the later version from its offline package: no report.
  ASSERT_TRUE(stats_service_.Reset());
  EXPECT_EQ(Run(Fixture(L"next_package.exe"),
                L"--autoupdate --enable-installer-stats=1 --local-stats-server"),
            0u)
      << Logs();
  EXPECT_TRUE(PathExists(folder_ / Utf8ToWide(NextVersion()) / L"norva.exe"));
  // The replaced version stays until the next upgrade or the uninstallation.
  EXPECT_TRUE(PathExists(folder_ / Utf8ToWide(version) / L"norva.exe"));
  EXPECT_EQ(InstalledVersion(), Utf8ToWide(NextVersion()));
  EXPECT_EQ(stats_service_.Requests().size(), 0u);

  // The installation's own installer removes it; not while the browser runs.
  MachineSnapshot installed = Snapshot();
  HANDLE browser = CreateFileW((folder_ / Utf8ToWide(NextVersion()) / L"norva.exe").c_str(),
                               GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(browser, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Uninstall(Utf8ToWide(NextVersion())), kFailedExit);
  CloseHandle(browser);
  EXPECT_NE(Logs().find("Installation failed: Can't uninstall when norva.exe is in use"),
            std::string::npos)
      << Logs();
  EXPECT_EQ(installed.DifferencesTo(Snapshot()), "");

  EXPECT_EQ(Uninstall(Utf8ToWide(NextVersion())), 0u) << Logs();
  EXPECT_TRUE(WaitUntilGone(folder_)) << Listing(folder_);
  EXPECT_EQ(FindUninstallKey(), L"");
  // Only the folder the settings propose next time is remembered.
  EXPECT_EQ(before.DifferencesTo(Snapshot()),
            "HKCU\\Software\\" + product::CompanyName() + ":\nadded: .\n");
}

TEST_F(SilentInstallTest, OfflinePackageInstallsWithoutTheService) {
  EXPECT_EQ(Run(Fixture(L"package.exe")), 0u) << Logs();
  EXPECT_TRUE(PathExists(folder_ / Utf8ToWide(product::ProductVersion()) / L"norva.exe"));
  EXPECT_EQ(InstalledVersion(), Utf8ToWide(product::ProductVersion()));
  // Its package is ready within a second: the backend is the package's own
  // installer started then, not a process waiting beside the unpacking.
  EXPECT_EQ(Logs().find("--wait-for-package"), std::string::npos) << Logs();
  for (const json& request : service_.Requests()) {
    EXPECT_EQ(request["path"].get<std::string>().find("/netinstaller/"), std::string::npos);
  }
}

// Each refused package or broken exchange ends the run with a failure, a log
// line that says why, and a machine as it was.
TEST_F(SilentInstallTest, FetchFailuresLeaveTheMachineAsItWas) {
  struct Case {
    const char* name;
    const wchar_t* installer;
    std::string served;
    json reply_extra;
    json rule;
    const char* log_line;
  };
  const Case cases[] = {
      {"checksum mismatch", L"netinstaller.exe", "package.exe", {{"wrong_checksum", true}}, {},
       "checksum"},
      {"bad signature", L"netinstaller.exe", "other_signer_package.exe", {}, {}, "signature"},
      {"unsigned", L"netinstaller.exe", "unsigned_package.exe", {}, {}, "signature"},
      {"older version", L"next_netinstaller.exe", "package.exe", {}, {}, "version"},
      {"wrong stream", L"netinstaller.exe", "other_stream_package.exe", {}, {},
       "different stream than the installer"},
      {"malformed reply", L"netinstaller.exe", "package.exe", {{"malformed", true}}, {},
       "download URL"},
      {"proxy dialog", L"netinstaller.exe", "package.exe", {},
       {{"path", "/package.exe"}, {"default", {{"proxy_auth", true}}}},
       "Cannot display UI requested by fetcher when running silently"},
  };
  MachineSnapshot before = Snapshot();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(service_.Reset());
    Serve(c.served, c.reply_extra);
    if (!c.rule.empty()) {
      ASSERT_TRUE(service_.SetRule(c.rule));
    }
    EXPECT_EQ(Run(Fixture(c.installer)), kFailedExit);
    std::string logs = Logs();
    EXPECT_NE(ToLowerASCII(logs).find(ToLowerASCII(c.log_line)), std::string::npos) << logs;
    EXPECT_EQ(before.DifferencesTo(Snapshot()), "");
  }
}

// Transfers that stumble but recover still install.
TEST_F(SilentInstallTest, ServiceErrorsAndCutDownloadsRecover) {
  Serve("package.exe");
  ASSERT_TRUE(service_.SetRule({{"path", "/package.exe"},
                                {"responses", {{{"status", 503}}, {{"cut_at", 300000}}}}}));
  EXPECT_EQ(Run(Fixture(L"netinstaller.exe")), 0u) << Logs();
  EXPECT_EQ(InstalledVersion(), Utf8ToWide(product::ProductVersion()));
  // Refused, then cut, then resumed where the cut came.
  std::vector<std::string> ranges;
  for (const json& request : service_.Requests())
    if (request["path"] == "/package.exe")
      ranges.push_back(request["range"].is_string() ? request["range"].get<std::string>() : "");
  EXPECT_EQ(ranges, (std::vector<std::string>{"", "bytes=0-", "bytes=300000-"}));
}

TEST_F(SilentInstallTest, FailedRunReportsItsReason) {
  ASSERT_TRUE(UseStatsCollector());
  Serve("package.exe", {{"malformed", true}});
  EXPECT_EQ(Run(Fixture(L"netinstaller.exe"),
                L"--enable-installer-stats=1 --local-stats-server "
                L"--with-feature:installer-ui-stats=on"),
            kFailedExit);
  json reports = stats_service_.Requests();
  ASSERT_EQ(reports.size(), 1u) << reports.dump();
  json report = json::parse(reports[0]["body"].get<std::string>());
  EXPECT_EQ(report["failure_reason"], "Fetcher error");
  EXPECT_EQ(report["installation_success"], 0);
}

TEST_F(SilentInstallTest, SecondFrontendForTheSameFolderIsRefused) {
  MachineSnapshot before = Snapshot();
  // The mutex of a frontend that installs into this folder right now.
  ScopedHandle mutex =
      CreateSharedMutex(GetObjectNameForFolder(kInstallerMutexName, folder_, true), false);
  ASSERT_TRUE(mutex);
  ASSERT_EQ(WaitForSingleObject(mutex.get(), 0), WAIT_OBJECT_0);
  EXPECT_EQ(Run(Fixture(L"package.exe")), kFailedExit);
  EXPECT_NE(Logs().find("Could not acquire installer mutex"), std::string::npos) << Logs();
  EXPECT_EQ(before.DifferencesTo(Snapshot()), "");
  ReleaseMutex(mutex.get());
}

TEST_F(SilentInstallTest, PrefDefaultOverridesComeFromTheLocalServer) {
  const std::string path = "/api/prefs/e2e";
  const std::wstring switches =
      L"--with-feature:installer-pref-default-overrides-support=on "
      L"--local-pref-default-overrides-server=" + service_.Url(path);
  auto requests = [&] {
    json found = json::array();
    for (const json& request : service_.Requests())
      if (request["path"] == path) found.push_back(request);
    return found;
  };
  EXPECT_EQ(Run(Fixture(L"package.exe"), switches), 0u) << Logs();
  EXPECT_EQ(requests().size(), 1u) << service_.Requests().dump();
  EXPECT_EQ(test::ReadFile(folder_ / L"pref_default_overrides"), "{}");

  // A failed download leaves no file, and the installation goes on.
  test::RemoveProductTraces();
  std::filesystem::remove_all(folder_);
  ASSERT_TRUE(service_.SetRule({{"path", path}, {"default", {{"status", 500}}}}));
  EXPECT_EQ(Run(Fixture(L"package.exe"), switches), 0u) << Logs();
  EXPECT_FALSE(PathExists(folder_ / L"pref_default_overrides"));
  EXPECT_EQ(InstalledVersion(), Utf8ToWide(product::ProductVersion()));

  // The uninstallation keeps the recorded experiment but fetches nothing
  // into the folder it removes.
  ASSERT_TRUE(service_.Reset());
  EXPECT_EQ(Uninstall(Utf8ToWide(product::ProductVersion()), switches), 0u) << Logs();
  EXPECT_EQ(requests().size(), 0u);
  EXPECT_TRUE(WaitUntilGone(folder_)) << Listing(folder_);
}

// A file that another process holds open through an uninstallation is left
// to the clean-up script: it gets a "del" line there, and the script, which
// the uninstaller starts, keeps trying until the holder lets go, then
// removes the folders it emptied and itself.
TEST_F(SilentInstallTest, FileHeldByAnotherProcessIsLeftToTheCleanUpScript) {
  ASSERT_EQ(Run(Fixture(L"package.exe")), 0u) << Logs();
  const std::filesystem::path version = folder_ / Utf8ToWide(product::ProductVersion());
  const std::filesystem::path held = version / L"resources" / L"resources.pak";

  // The holder: a shell blocked reading its input, which inherited a handle
  // to the file that does not share deletion. Closing its input ends it.
  SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
  HANDLE file = CreateFileW(held.c_str(), GENERIC_READ, FILE_SHARE_READ, &inheritable,
                            OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  HANDLE input = nullptr, feed = nullptr;
  ASSERT_TRUE(CreatePipe(&input, &feed, &inheritable, 0));
  SetHandleInformation(feed, HANDLE_FLAG_INHERIT, 0);
  LaunchOptions options;
  options.handles_to_inherit = {file};
  options.stdin_handle = input;
  options.creation_flags = CREATE_NO_WINDOW;
  Process holder = LaunchProcess(L"cmd.exe /d /c set /p line=", options);
  CloseHandle(file);
  CloseHandle(input);
  ASSERT_TRUE(holder.IsValid());
  EXPECT_FALSE(holder.WaitForExit(200)) << "the holder ended at once";

  EXPECT_EQ(Uninstall(version.filename().native()), 0u) << Logs();
  EXPECT_EQ(FindUninstallKey(), L"");
  EXPECT_TRUE(PathExists(held));
  EXPECT_FALSE(PathExists(version / L"norva.exe"));
  EXPECT_FALSE(PathExists(folder_ / L"launcher.exe"));

  // The script cannot end while the file is held. Besides itself it
  // deletes the held file and the uninstaller, which was running.
  std::string script = test::ReadFile(folder_ / L"k.bat");
  for (const std::filesystem::path& left : {held, version / L"installer.exe"}) {
    std::string line = EncodeUninstallScript(L"del \"" + left.native() + L"\"\n", GetOEMCP());
    EXPECT_NE(script.find("\n" + line), std::string::npos) << script;
  }
  size_t deletions = 0;
  for (size_t at = script.find("\ndel "); at != std::string::npos; at = script.find("\ndel ", at + 1))
    ++deletions;
  EXPECT_EQ(deletions, 2u) << script;

  CloseHandle(feed);
  ASSERT_TRUE(holder.WaitForExit(30000)) << "the holder did not end";
  EXPECT_TRUE(WaitUntilGone(folder_)) << Listing(folder_);
}

// A scanner or an indexer opens a freshly written file for a moment: the
// upgrade replacing the launcher and the uninstallation deleting the
// installed files wait for it instead of failing.
TEST_F(SilentInstallTest, FilesHeldForAMomentDelayButDoNotFailTheRun) {
  ASSERT_EQ(Run(Fixture(L"package.exe")), 0u) << Logs();
  {
    test::HolderProcess holder(L"file", (folder_ / L"launcher.exe").native(), 2000);
    ASSERT_TRUE(holder.held());
    EXPECT_EQ(Run(Fixture(L"next_package.exe")), 0u) << Logs();
  }
  EXPECT_EQ(InstalledVersion(), Utf8ToWide(NextVersion()));

  const std::filesystem::path held =
      folder_ / Utf8ToWide(NextVersion()) / L"resources" / L"resources.pak";
  ASSERT_TRUE(PathExists(held));
  test::HolderProcess holder(L"file", held.native(), 2000);
  ASSERT_TRUE(holder.held());
  EXPECT_EQ(Uninstall(Utf8ToWide(NextVersion())), 0u) << Logs();
  EXPECT_EQ(FindUninstallKey(), L"");
  // Set aside by the uninstallation itself, not left to the clean-up script.
  EXPECT_NE(Logs().find("File moved successfully to " + WideToUtf8(held.native())),
            std::string::npos)
      << Logs();
}

// Whichever side of an installation goes away, nothing is left half-done and
// the next installation into the folder works.
TEST_F(SilentInstallTest, EitherProcessEndingMidwayLeavesNothingBehind) {
  // A backend killed with exit code 0 (as a killed process reads back under
  // Wine, or after TerminateProcess with 0) never reported success.
  enum class Ending { kFrontendKilled, kBackendKilled, kBackendKilledWithZero, kInterrupted };
  ASSERT_TRUE(UseStatsCollector());
  MachineSnapshot before = Snapshot();
  for (Ending ending : {Ending::kFrontendKilled, Ending::kBackendKilled,
                        Ending::kBackendKilledWithZero, Ending::kInterrupted}) {
    SCOPED_TRACE(static_cast<int>(ending));
    ASSERT_TRUE(service_.Reset());
    ASSERT_TRUE(stats_service_.Reset());
    ServeSlowly("package.exe");
    Process frontend = Start(Fixture(L"netinstaller.exe"),
                             L"--enable-installer-stats=1 --local-stats-server "
                             L"--with-feature:installer-ui-stats=on");
    ASSERT_TRUE(frontend.IsValid());
    Process backend = WaitForBackend(frontend);
    ASSERT_TRUE(backend.IsValid()) << Logs();
    // The backend is running its installation (waiting for the package).
    ASSERT_TRUE(WaitForLogLine(backend.id(), "] Beginning installation")) << Logs();
    DWORD frontend_exit = 0;
    if (ending == Ending::kFrontendKilled) {
      ASSERT_TRUE(frontend.Terminate(9));
      ASSERT_TRUE(frontend.WaitForExit(kRunLimitMs)) << "the killed frontend still runs";
    } else if (ending == Ending::kBackendKilled || ending == Ending::kBackendKilledWithZero) {
      ASSERT_TRUE(backend.Terminate(ending == Ending::kBackendKilled ? 9 : 0));
      ASSERT_TRUE(backend.WaitForExit(kRunLimitMs)) << "the killed backend still runs";
      ASSERT_TRUE(frontend.WaitForExit(kRunLimitMs, &frontend_exit));
      EXPECT_NE(frontend_exit, 0u);
      EXPECT_NE(Logs().find("The installer backend ended without reporting success"),
                std::string::npos)
          << Logs();
      json reports = stats_service_.Requests();
      ASSERT_EQ(reports.size(), 1u) << reports.dump();
      json report = json::parse(reports[0]["body"].get<std::string>());
      EXPECT_EQ(report["failure_reason"], "Unreported installer error.");
      EXPECT_EQ(report["installation_success"], 0);
    } else {
      HANDLE event = OpenEventW(EVENT_MODIFY_STATE, FALSE,
                                GetObjectNameForFolder(kInstallationInterruptedEvent, folder_,
                                                       true).c_str());
      ASSERT_NE(event, nullptr);
      SetEvent(event);
      CloseHandle(event);
      ASSERT_TRUE(frontend.WaitForExit(kRunLimitMs, &frontend_exit));
      EXPECT_NE(frontend_exit, 0u);
    }
    if (!backend.WaitForExit(kRunLimitMs)) {
      ADD_FAILURE() << "the backend outlived its frontend\n" << Logs();
      backend.Terminate(9);
    }
    frontend.WaitForExit(kRunLimitMs);
    if (ending != Ending::kBackendKilled && ending != Ending::kBackendKilledWithZero) {
      EXPECT_EQ(before.DifferencesTo(Snapshot()), "") << Logs();
      continue;
    }
    // Nothing rolls back a killed backend: what it did before waiting for the
    // package stays (the folder, then the company key, as far as it got), and
    // the next installation takes the folder over.
    const std::string left = before.DifferencesTo(Snapshot());
    const std::string folder_added = WideToUtf8(folder_.parent_path().native()) +
                                     ":\nadded: " + WideToUtf8(folder_.filename().native()) + "\n";
    const std::string key_added = "HKCU\\Software\\" + product::CompanyName() + ":\nadded: .\n";
    EXPECT_TRUE(left.empty() || left == folder_added || left == folder_added + key_added) << left;
    RemoveDirectoryW(folder_.c_str());
    test::RemoveProductTraces();
  }
  ASSERT_TRUE(service_.Reset());
  Serve("package.exe");
  EXPECT_EQ(Run(Fixture(L"netinstaller.exe")), 0u) << Logs();
  EXPECT_EQ(InstalledVersion(), Utf8ToWide(product::ProductVersion()));
}

}  // namespace
}  // namespace norva::installer
