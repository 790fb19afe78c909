// The shared fixture of the end-to-end tests: real installer.exe processes
// (frontend and backend over the mailslot), packages made by the package
// builder, the local autoupdate service, and the machine checked on disk and
// in the registry afterwards.
#ifndef NORVA_TESTS_E2E_E2E_TEST_H_
#define NORVA_TESTS_E2E_E2E_TEST_H_

#include <gtest/gtest.h>

#include <windows.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
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
#include "support/wait.h"

namespace norva::installer::test {

using json = nlohmann::json;

inline constexpr DWORD kRunLimitMs = 180000;
inline constexpr DWORD kFailedExit = 1;
// Where "local-stats-server" sends the statistics report (src/stats).
inline constexpr int kLocalStatsPort = 3000;

inline std::filesystem::path Fixture(const wchar_t* name) {
  const char* folder = std::getenv("NORVA_E2E_FIXTURES");
  return FromUnixPath(folder ? folder : "") / name;
}

inline std::string NextVersion() {
  std::string version = product::ProductVersion();
  std::string build = product::BuildNumberString();
  return version.replace(version.find(build), build.size(),
                         std::to_string(NORVA_NEXT_BUILD_NUMBER) + ".0");
}

// The uninstall key the installation registered under HKCU, or empty.
inline std::wstring FindUninstallKey() {
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

// The command line `process` was started with (opened with
// PROCESS_QUERY_INFORMATION and PROCESS_VM_READ), read from its memory.
inline std::wstring CommandLineOf(HANDLE process) {
  PROCESS_BASIC_INFORMATION basic = {};
  PEB peb = {};
  RTL_USER_PROCESS_PARAMETERS parameters = {};
  if (NtQueryInformationProcess(process, ProcessBasicInformation, &basic, sizeof(basic),
                                nullptr) != 0 ||
      !ReadProcessMemory(process, basic.PebBaseAddress, &peb, sizeof(peb), nullptr) ||
      !ReadProcessMemory(process, peb.ProcessParameters, &parameters, sizeof(parameters),
                         nullptr))
    return {};
  std::wstring text(parameters.CommandLine.Length / sizeof(wchar_t), L'\0');
  if (!ReadProcessMemory(process, parameters.CommandLine.Buffer, text.data(),
                         parameters.CommandLine.Length, nullptr))
    return {};
  return text;
}

class EndToEndTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(service_.available()) << "run through ctest: the local service is missing";
    ASSERT_TRUE(service_.Reset());
    RemoveProductTraces();
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
      service_.PutFile(WideToUtf8(name), ReadFile(Fixture(name)));
  }

  void TearDown() override {
    if (stats_port_taken_) service_.ReleasePort(kLocalStatsPort);
    EXPECT_TRUE(WaitForCleanUpScripts()) << "a clean-up script still runs";
    for (const auto& [name, value] : saved_environment_)
      SetEnvironmentVariableW(name.c_str(), value.c_str());
    RemoveProductTraces();
  }

  // The download-URL query names `file` for this build's stream.
  void Serve(const std::string& file, json extra = json::object()) {
    json reply = {{"stream", product::InternalStreamName()}, {"installer_file", file}};
    if (extra.is_object()) reply.update(extra);
    ASSERT_TRUE(service_.SetReply(reply));
  }

  std::wstring CommandFor(const std::filesystem::path& program, const std::wstring& extra) const {
    std::wstring command = QuoteArgument(program.native());
    if (!interactive_) command += L" --silent";
    for (const std::wstring& argument : std::vector<std::wstring>{
             L"--allusers=0", L"--launchnorva=0", L"--enable-installer-stats=0",
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
      if (entry.path().extension() == L".log") text += ReadFile(entry.path()) + "\n";
    return text;
  }

  // Waits until process `id` has logged `message`.
  bool WaitForLogLine(DWORD id, std::string_view message) const {
    const std::string prefix = "[" + std::to_string(id) + ":";
    return WaitUntil(
        [&] {
          for (const auto& entry : std::filesystem::recursive_directory_iterator(temp_)) {
            if (entry.path().extension() != L".log") continue;
            for (const std::string& line : SplitString(ReadFile(entry.path()), '\n'))
              if (line.starts_with(prefix) && line.find(message) != std::string::npos)
                return true;
          }
          return false;
        },
        std::chrono::milliseconds(kRunLimitMs));
  }

  void ClearLogs() const {
    for (const auto& entry : std::filesystem::recursive_directory_iterator(temp_))
      if (entry.path().extension() == L".log") DeleteFileW(entry.path().c_str());
  }

  // Runs the uninstaller of the installed `version` silently to its end; its
  // exit code.
  DWORD Uninstall(const std::wstring& version, const std::wstring& extra = L"") const {
    ClearLogs();
    DWORD exit_code = 99;
    EXPECT_TRUE(LaunchProcessAndWait(QuoteArgument((folder_ / version / L"installer.exe").native()) +
                                         L" --uninstall --silent --enable-installer-stats=0 " + extra,
                                     &exit_code));
    return exit_code;
  }

  std::wstring InstalledVersion() const {
    std::wstring key = FindUninstallKey();
    return key.empty() ? L"" : ReadRegString(HKEY_CURRENT_USER, key, L"DisplayVersion");
  }

  // The backend `frontend` started, known by its switch: the frontend starts
  // other processes too, and they may come first. Invalid when the frontend
  // ended without one.
  Process WaitForBackend(const Process& frontend) const {
    Process backend;
    WaitUntil(
        [&] {
          for (DWORD id : ChildProcesses(frontend.id())) {
            Process child(OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_INFORMATION |
                                          PROCESS_VM_READ,
                                      FALSE, id),
                          id);
            // Held open, the id is this process's alone: still the frontend's child?
            if (child.IsValid() &&
                CommandLine::FromString(CommandLineOf(child.handle())).HasSwitch("backend") &&
                std::ranges::count(ChildProcesses(frontend.id()), id) == 1) {
              backend = std::move(child);
              return true;
            }
          }
          return frontend.WaitForExit(0);
        },
        std::chrono::milliseconds(kRunLimitMs));
    return backend;
  }

  // The package trickles out at a kilobyte a second, so a backend started for
  // it is still waiting when the test is done with it.
  void ServeSlowly(const std::string& file) {
    Serve(file);
    ASSERT_TRUE(service_.SetRule(
        {{"path", "/" + file}, {"responses", {{{"trickle", {1024, 1.0}}}}}}));
  }

  // Makes the statistics collector on the fixed port this test's, empty. The
  // port is the machine's: this waits while another test run has it.
  bool UseStatsCollector() {
    stats_port_taken_ = service_.ClaimPort(kLocalStatsPort, std::chrono::minutes(10));
    EXPECT_TRUE(stats_port_taken_) << "port " << kLocalStatsPort << " stayed taken";
    return stats_port_taken_ && stats_service_.Reset();
  }

  // Waits until the clean-up scripts that uninstallations left running have
  // ended: the shells started for "k.bat", known by their command line.
  static bool WaitForCleanUpScripts() {
    std::vector<Process> scripts;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return true;
    PROCESSENTRY32W entry{sizeof(entry)};
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry)) {
      if (_wcsicmp(entry.szExeFile, L"cmd.exe") != 0) continue;
      Process shell(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE,
                                entry.th32ProcessID),
                    entry.th32ProcessID);
      if (shell.IsValid() &&
          CommandLineOf(shell.handle()).find(L"%NORVA_UNINSTALL_SCRIPT%") != std::wstring::npos)
        scripts.push_back(std::move(shell));
    }
    CloseHandle(snapshot);
    // A script tries for about a minute to delete a file still held.
    return std::ranges::all_of(scripts, [](const Process& script) {
      return script.WaitForExit(150000);
    });
  }

  MachineSnapshot Snapshot() const { return MachineSnapshot::Take(folder_.parent_path()); }

  // Waits until `path` is gone, for two and a half minutes at most: an
  // uninstallation's clean-up script tries for about a minute to delete a
  // file that another process still holds.
  static bool WaitUntilGone(const std::filesystem::path& path) {
    return WaitUntil([&] { return !PathExists(path); }, std::chrono::seconds(150));
  }

  // What is left in `folder`, one path a line.
  static std::string Listing(const std::filesystem::path& folder) {
    std::string text;
    std::error_code error;
    for (auto entry = std::filesystem::recursive_directory_iterator(folder, error);
         !error && entry != std::filesystem::recursive_directory_iterator();
         entry.increment(error))
      text += WideToUtf8(entry->path().native()) + "\n";
    return text;
  }

  ScopedCom com_;
  ScratchFolder scratch_;
  LocalService service_;
  // Reached once UseStatsCollector has taken the port.
  LocalService stats_service_{kLocalStatsPort};
  bool stats_port_taken_ = false;
  std::filesystem::path temp_;
  std::filesystem::path folder_ = scratch_.path() / L"installs" / L"Norva (e2e) & co \u00e9";
  std::vector<std::pair<std::wstring, std::wstring>> saved_environment_;
  // Runs show their window instead of "--silent".
  bool interactive_ = false;
};

}  // namespace norva::installer::test

#endif  // NORVA_TESTS_E2E_E2E_TEST_H_
