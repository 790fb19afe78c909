// The silent installer end to end: real installer.exe processes (frontend
// and backend over the mailslot), packages made by the package builder, the
// local autoupdate service, and the machine checked on disk and in the
// registry afterwards.
#include <gtest/gtest.h>

#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdlib>
#include <initializer_list>
#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/command_line.h"
#include "base/file_util.h"
#include "base/process.h"
#include "base/strings.h"
#include "engine/engine_test_support.h"
#include "product/product_info.h"
#include "support/local_service.h"
#include "support/scratch.h"
#include "system/object_names.h"

namespace norva::installer {
namespace {

using test::MachineSnapshot;
using json = nlohmann::json;

constexpr DWORD kRunLimitMs = 180000;
constexpr DWORD kFailedExit = 1;

std::filesystem::path Fixture(const wchar_t* name) {
  const char* folder = std::getenv("NORVA_E2E_FIXTURES");
  return test::FromUnixPath(folder ? folder : "") / name;
}

std::string NextVersion() {
  std::string version = product::ProductVersion();
  std::string build = product::BuildNumberString();
  return version.replace(version.find(build), build.size(),
                         std::to_string(NORVA_NEXT_BUILD_NUMBER) + ".0");
}

// The uninstall key the installation registered under HKCU, or empty.
std::wstring FindUninstallKey() {
  const std::wstring base = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, base.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
    return {};
  std::wstring prefix = Utf8ToWide(product::ProductName() + " ");
  std::wstring found;
  wchar_t name[256];
  for (DWORD i = 0;; ++i) {
    DWORD length = 256;
    if (RegEnumKeyExW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
      break;
    if (std::wstring_view(name).starts_with(prefix)) found = base + L"\\" + name;
  }
  RegCloseKey(key);
  return found;
}

// The processes `parent_id` started that still run.
std::vector<DWORD> ChildProcesses(DWORD parent_id) {
  std::vector<DWORD> children;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return children;
  PROCESSENTRY32W entry{sizeof(entry)};
  for (BOOL more = Process32FirstW(snapshot, &entry); more;
       more = Process32NextW(snapshot, &entry))
    if (entry.th32ParentProcessID == parent_id) children.push_back(entry.th32ProcessID);
  CloseHandle(snapshot);
  return children;
}

class SilentInstallTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(service_.available()) << "run through ctest: the local service is missing";
    ASSERT_TRUE(service_.Reset());
    ASSERT_TRUE(stats_service_.Reset()) << "no statistics collector on port 3000";
    ASSERT_TRUE(prefs_service_.Reset()) << "no preferences server on port 3001";
    test::RemoveProductTraces();
    // Keys a used Windows has; the installation adds its values below them.
    // (An uninstallation removes those values and leaves such keys, even
    // ones the installation created.)
    std::vector<std::wstring> keys = {
        L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall",
        L"Software\\RegisteredApplications",
        L"Software\\Microsoft\\Windows NT\\CurrentVersion\\AppCompatFlags\\"
        L"Compatibility Assistant\\Persisted"};
    for (const wchar_t* type :
         {L".opdownload", L".htm", L".html", L".pdf", L".shtml", L".xht", L".xhtml"})
      keys.push_back(std::wstring(L"Software\\Classes\\") + type + L"\\OpenWithProgIDs");
    for (const std::wstring& key : keys) {
      HKEY created = nullptr;
      ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_READ, nullptr,
                                &created, nullptr),
                ERROR_SUCCESS);
      RegCloseKey(created);
    }
    // Logs of the installer processes land in the scratch area.
    temp_ = scratch_.path() / L"temp";
    std::filesystem::create_directories(temp_);
    for (const wchar_t* name : {L"TEMP", L"TMP"}) {
      wchar_t saved[MAX_PATH] = {};
      GetEnvironmentVariableW(name, saved, MAX_PATH);
      saved_environment_.emplace_back(name, saved);
      SetEnvironmentVariableW(name, temp_.c_str());
    }
    for (const wchar_t* name : {L"package.exe", L"next_package.exe", L"unsigned_package.exe",
                                L"other_signer_package.exe", L"other_stream_package.exe"})
      service_.PutFile(WideToUtf8(name), test::ReadFile(Fixture(name)));
  }

  void TearDown() override {
    for (const auto& [name, value] : saved_environment_)
      SetEnvironmentVariableW(name.c_str(), value.c_str());
    test::RemoveProductTraces();
  }

  // The download-URL query names `file` for this build's stream.
  void Serve(const std::string& file, json extra = json::object()) {
    json reply = {{"stream", product::InternalStreamName()}, {"installer_file", file}};
    if (extra.is_object()) reply.update(extra);
    ASSERT_TRUE(service_.SetReply(reply));
  }

  std::wstring CommandFor(const std::filesystem::path& program, const std::wstring& extra) const {
    std::wstring command = QuoteArgument(program.native());
    for (const std::wstring& argument : std::vector<std::wstring>{
             L"--silent", L"--allusers=0", L"--launchnorva=0", L"--enable-installer-stats=0",
          L"--installfolder=" + folder_.native(),
          L"--temp-folder=" + (scratch_.path() / L"downloads").native(),
          L"--internal-package-server=" +
              service_.Url("/netinstaller/" + product::InternalStreamName())})
      command += L" " + QuoteArgument(argument);
    return command + (extra.empty() ? L"" : L" " + extra);
  }

  Process Start(const std::filesystem::path& program, const std::wstring& extra = L"") {
    ClearLogs();
    // Given with "temp-folder", the download folder is used as it is.
    std::filesystem::create_directories(scratch_.path() / L"downloads");
    return LaunchProcess(CommandFor(program, extra));
  }

  // Runs an installer to its end; its exit code.
  DWORD Run(const std::filesystem::path& program, const std::wstring& extra = L"") {
    Process process = Start(program, extra);
    EXPECT_TRUE(process.IsValid());
    DWORD exit_code = 0;
    if (!process.WaitForExit(kRunLimitMs, &exit_code)) {
      process.Terminate(99);
      ADD_FAILURE() << "the installer did not end";
      return 99;
    }
    return exit_code;
  }

  // Every log file the installer processes wrote since the last run.
  std::string Logs() const {
    std::string text;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(temp_))
      if (entry.path().extension() == L".log") text += test::ReadFile(entry.path()) + "\n";
    return text;
  }

  // Waits until the log of one process holds every line of `lines`.
  bool WaitForLogWith(std::initializer_list<const char*> lines) const {
    for (int i = 0; i < 600; ++i, Sleep(50)) {
      for (const auto& entry : std::filesystem::recursive_directory_iterator(temp_)) {
        if (entry.path().extension() != L".log") continue;
        std::string text = test::ReadFile(entry.path());
        if (std::all_of(lines.begin(), lines.end(),
                        [&](const char* line) { return text.find(line) != std::string::npos; }))
          return true;
      }
    }
    return false;
  }

  void ClearLogs() const {
    for (const auto& entry : std::filesystem::recursive_directory_iterator(temp_))
      if (entry.path().extension() == L".log") DeleteFileW(entry.path().c_str());
  }

  std::wstring InstalledVersion() const {
    std::wstring key = FindUninstallKey();
    return key.empty() ? L"" : test::ReadRegString(HKEY_CURRENT_USER, key, L"DisplayVersion");
  }

  // Waits until `parent` has started another process; its id, or 0.
  DWORD WaitForChild(const Process& parent) const {
    for (int i = 0; i < 600; ++i) {
      std::vector<DWORD> children = ChildProcesses(parent.id());
      if (!children.empty()) return children.front();
      if (WaitForSingleObject(parent.handle(), 50) == WAIT_OBJECT_0) return 0;
    }
    return 0;
  }

  // The package trickles out, so a backend started for it waits a while.
  void ServeSlowly(const std::string& file) {
    Serve(file);
    ASSERT_TRUE(service_.SetRule(
        {{"path", "/" + file}, {"responses", {{{"trickle", {32768, 0.25}}}}}}));
  }

  MachineSnapshot Snapshot() const { return MachineSnapshot::Take(folder_.parent_path()); }

  test::ScopedCom com_;
  test::ScratchFolder scratch_;
  test::LocalService service_;
  test::LocalService stats_service_{3000};
  test::LocalService prefs_service_{3001};
  std::filesystem::path temp_;
  // No "%": Wine's cmd expands it in the clean-up script's own name.
  std::filesystem::path folder_ = scratch_.path() / L"installs" / L"Norva (e2e) & co \u00e9";
  std::vector<std::pair<std::wstring, std::wstring>> saved_environment_;
};

TEST_F(SilentInstallTest, NetworkInstallUpgradeAndUninstall) {
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
  const std::wstring uninstall =
      QuoteArgument((folder_ / Utf8ToWide(NextVersion()) / L"installer.exe").native()) +
      L" --uninstall --silent --enable-installer-stats=0";
  MachineSnapshot installed = Snapshot();
  HANDLE browser = CreateFileW((folder_ / Utf8ToWide(NextVersion()) / L"norva.exe").c_str(),
                               GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(browser, INVALID_HANDLE_VALUE);
  ClearLogs();
  DWORD exit_code = 99;
  ASSERT_TRUE(LaunchProcessAndWait(uninstall, &exit_code));
  CloseHandle(browser);
  EXPECT_EQ(exit_code, kFailedExit);
  EXPECT_NE(Logs().find("Installation failed: Can't uninstall when norva.exe is in use"),
            std::string::npos)
      << Logs();
  EXPECT_EQ(installed.DifferencesTo(Snapshot()), "");

  ClearLogs();
  ASSERT_TRUE(LaunchProcessAndWait(uninstall, &exit_code));
  EXPECT_EQ(exit_code, 0u) << Logs();
  for (int i = 0; i < 100 && PathExists(folder_ / L"k.bat"); ++i) Sleep(100);
  EXPECT_FALSE(PathExists(folder_ / Utf8ToWide(NextVersion())));
  EXPECT_FALSE(PathExists(folder_ / Utf8ToWide(version)));
  EXPECT_FALSE(PathExists(folder_ / L"launcher.exe"));
  EXPECT_EQ(FindUninstallKey(), L"");
  // Wine's cmd keeps the clean-up script open while the script removes the
  // folder, so the folder, emptied, stays there.
  EXPECT_TRUE(!PathExists(folder_) || std::filesystem::is_empty(folder_));
  RemoveDirectoryW(folder_.c_str());
  // Only the folder the settings propose next time is remembered.
  EXPECT_EQ(before.DifferencesTo(Snapshot()),
            "HKCU\\Software\\" + product::CompanyName() + ":\nadded: .\n");
}

TEST_F(SilentInstallTest, OfflinePackageInstallsWithoutTheService) {
  EXPECT_EQ(Run(Fixture(L"package.exe")), 0u) << Logs();
  EXPECT_TRUE(PathExists(folder_ / Utf8ToWide(product::ProductVersion()) / L"norva.exe"));
  EXPECT_EQ(InstalledVersion(), Utf8ToWide(product::ProductVersion()));
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
  HANDLE mutex = CreateMutexW(nullptr, TRUE,
                              GetObjectNameForFolder(kInstallerMutexName, folder_, true).c_str());
  ASSERT_NE(mutex, nullptr);
  EXPECT_EQ(Run(Fixture(L"package.exe")), kFailedExit);
  EXPECT_NE(Logs().find("Could not acquire installer mutex"), std::string::npos) << Logs();
  EXPECT_EQ(before.DifferencesTo(Snapshot()), "");
  ReleaseMutex(mutex);
  CloseHandle(mutex);
}

TEST_F(SilentInstallTest, PrefDefaultOverridesComeFromTheLocalServer) {
  const std::wstring switches =
      L"--with-feature:installer-pref-default-overrides-support=on "
      L"--local-pref-default-overrides-server";
  EXPECT_EQ(Run(Fixture(L"package.exe"), switches), 0u) << Logs();
  json requests = prefs_service_.Requests();
  ASSERT_EQ(requests.size(), 1u) << requests.dump();
  EXPECT_TRUE(requests[0]["path"].get<std::string>().starts_with("/api/prefs/?product="));
  EXPECT_EQ(test::ReadFile(folder_ / L"pref_default_overrides"), "{}");

  // A failed download leaves no file, and the installation goes on.
  test::RemoveProductTraces();
  std::filesystem::remove_all(folder_);
  ASSERT_TRUE(prefs_service_.SetRule({{"path", "/api/prefs/"}, {"default", {{"status", 500}}}}));
  EXPECT_EQ(Run(Fixture(L"package.exe"), switches), 0u) << Logs();
  EXPECT_FALSE(PathExists(folder_ / L"pref_default_overrides"));
  EXPECT_EQ(InstalledVersion(), Utf8ToWide(product::ProductVersion()));

  // The uninstallation keeps the recorded experiment but fetches nothing
  // into the folder it removes.
  ASSERT_TRUE(prefs_service_.Reset());
  const std::filesystem::path version_folder = folder_ / Utf8ToWide(product::ProductVersion());
  DWORD exit_code = 99;
  ASSERT_TRUE(LaunchProcessAndWait(QuoteArgument((version_folder / L"installer.exe").native()) +
                                       L" --uninstall --silent --enable-installer-stats=0 " +
                                       switches,
                                   &exit_code));
  EXPECT_EQ(exit_code, 0u) << Logs();
  EXPECT_EQ(prefs_service_.Requests().size(), 0u);
  for (int i = 0; i < 100 && PathExists(folder_ / L"k.bat"); ++i) Sleep(100);
  EXPECT_FALSE(PathExists(version_folder));
}

// Whichever side of an installation goes away, nothing is left half-done and
// the next installation into the folder works.
TEST_F(SilentInstallTest, EitherProcessEndingMidwayLeavesNothingBehind) {
  enum class Ending { kFrontendKilled, kBackendKilled, kInterrupted };
  MachineSnapshot before = Snapshot();
  for (Ending ending : {Ending::kFrontendKilled, Ending::kBackendKilled, Ending::kInterrupted}) {
    SCOPED_TRACE(static_cast<int>(ending));
    ASSERT_TRUE(service_.Reset());
    ServeSlowly("package.exe");
    Process frontend = Start(Fixture(L"netinstaller.exe"));
    ASSERT_TRUE(frontend.IsValid());
    DWORD backend_id = WaitForChild(frontend);
    ASSERT_NE(backend_id, 0u) << Logs();
    // The backend is running its installation (waiting for the package).
    ASSERT_TRUE(WaitForLogWith({"] Backend 1", "] Beginning installation"})) << Logs();
    Process backend(OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                backend_id), backend_id);
    ASSERT_TRUE(backend.IsValid());
    DWORD frontend_exit = 0;
    if (ending == Ending::kFrontendKilled) {
      frontend.Terminate(9);
    } else if (ending == Ending::kBackendKilled) {
      backend.Terminate(9);
      ASSERT_TRUE(frontend.WaitForExit(kRunLimitMs, &frontend_exit));
      EXPECT_NE(frontend_exit, 0u);
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
    if (!backend.WaitForExit(60000)) {
      ADD_FAILURE() << "the backend outlived its frontend\n" << Logs();
      backend.Terminate(9);
    }
    frontend.WaitForExit(kRunLimitMs);
    if (ending != Ending::kBackendKilled) {
      EXPECT_EQ(before.DifferencesTo(Snapshot()), "") << Logs();
      continue;
    }
    // Nothing rolls back a killed backend: what it did before waiting for the
    // package (if it got that far) stays, and the next installation takes
    // the folder over.
    const std::string left = before.DifferencesTo(Snapshot());
    EXPECT_TRUE(left.empty() || left == WideToUtf8(folder_.parent_path().native()) +
                                            ":\nadded: " +
                                            WideToUtf8(folder_.filename().native()) +
                                            "\nHKCU\\Software\\" + product::CompanyName() +
                                            ":\nadded: .\n")
        << left;
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
