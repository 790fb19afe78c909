// The shared fixture of the end-to-end tests: real installer.exe processes
// (frontend and backend over the mailslot), packages made by the package
// builder, the local autoupdate service, and the machine checked on disk and
// in the registry afterwards.
#ifndef NORVA_TESTS_E2E_E2E_TEST_H_
#define NORVA_TESTS_E2E_E2E_TEST_H_

#include <gtest/gtest.h>

#include <windows.h>

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
#include "support/wait.h"

namespace norva::installer::test {

using json = nlohmann::json;

inline constexpr DWORD kRunLimitMs = 180000;
inline constexpr DWORD kFailedExit = 1;

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

class EndToEndTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(service_.available()) << "run through ctest: the local service is missing";
    ASSERT_TRUE(service_.Reset());
    ASSERT_TRUE(stats_service_.Reset()) << "no statistics collector on port 3000";
    ASSERT_TRUE(prefs_service_.Reset()) << "no preferences server on port 3001";
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

  // Waits until the log of one process holds every line of `lines`.
  bool WaitForLogWith(std::initializer_list<const char*> lines) const {
    return WaitUntil([&] {
      for (const auto& entry : std::filesystem::recursive_directory_iterator(temp_)) {
        if (entry.path().extension() != L".log") continue;
        std::string text = ReadFile(entry.path());
        if (std::all_of(lines.begin(), lines.end(),
                        [&](const char* line) { return text.find(line) != std::string::npos; }))
          return true;
      }
      return false;
    });
  }

  void ClearLogs() const {
    for (const auto& entry : std::filesystem::recursive_directory_iterator(temp_))
      if (entry.path().extension() == L".log") DeleteFileW(entry.path().c_str());
  }

  std::wstring InstalledVersion() const {
    std::wstring key = FindUninstallKey();
    return key.empty() ? L"" : ReadRegString(HKEY_CURRENT_USER, key, L"DisplayVersion");
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
  LocalService stats_service_{3000};
  LocalService prefs_service_{3001};
  std::filesystem::path temp_;
  std::filesystem::path folder_ = scratch_.path() / L"installs" / L"Norva (e2e) & co \u00e9";
  std::vector<std::pair<std::wstring, std::wstring>> saved_environment_;
  // Runs show their window instead of "--silent".
  bool interactive_ = false;
};

}  // namespace norva::installer::test

#endif  // NORVA_TESTS_E2E_E2E_TEST_H_
