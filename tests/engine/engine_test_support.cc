#include "engine/engine_test_support.h"

#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <sstream>

#include <gtest/gtest.h>

#include "base/command_line.h"
#include "base/file_util.h"
#include "base/logging.h"
#include "base/process.h"
#include "base/strings.h"
#include "installer/settings.h"
#include "product/product_info.h"
#include "system/object_names.h"
#include "system/shortcut_steps.h"
#include "system/task_scheduler.h"

namespace norva::installer::test {
namespace {

// Runs the loop until the settings have examined their folder.
class StatusWaiter : public Settings::Observer {
 public:
  StatusWaiter(Settings* settings, TaskLoop* loop) : settings_(settings), loop_(loop) {
    settings_->AddObserver(this);
  }
  ~StatusWaiter() override { settings_->RemoveObserver(this); }
  void OnInstallFolderStatusChanged() override { loop_->Quit(); }

 private:
  Settings* settings_;
  TaskLoop* loop_;
};

const wchar_t* const kExtensions[] = {L".oex",  L".opdownload", L".htm", L".html",
                                      L".pdf",  L".shtml",      L".xht", L".xhtml"};

std::vector<std::wstring> ProductKeys() {
  std::wstring product_stream = ProductStream();
  std::wstring company = Utf8ToWide(product::CompanyName());
  std::wstring executable = Utf8ToWide(product::FileNameBase()) + L".exe";
  std::vector<std::wstring> keys = {
      L"Software\\Classes\\" + product_stream,
      L"Software\\Clients\\StartMenuInternet\\" + product_stream,
      L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall",
      L"Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\" + executable,
      L"Software\\Classes\\Applications\\" + executable,
      L"Software\\RegisteredApplications",
      L"Software\\Microsoft\\Windows NT\\CurrentVersion\\AppCompatFlags\\Compatibility "
      L"Assistant\\Persisted",
      L"Software\\" + company,
  };
  for (const wchar_t* extension : kExtensions)
    keys.push_back(std::wstring(L"Software\\Classes\\") + extension);
  return keys;
}

void DeleteValuesNamed(HKEY root, const std::wstring& key_path, const std::wstring& prefix) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, key_path.c_str(), 0, KEY_READ | KEY_WRITE, &key) != ERROR_SUCCESS)
    return;
  std::vector<std::wstring> doomed;
  wchar_t name[16384];
  for (DWORD index = 0;; ++index) {
    DWORD length = 16384;
    if (RegEnumValueW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS)
      break;
    if (std::wstring_view(name).substr(0, prefix.size()) == prefix) doomed.push_back(name);
  }
  for (const std::wstring& value : doomed) RegDeleteValueW(key, value.c_str());
  RegCloseKey(key);
}

void DeleteSubkeysNamed(HKEY root, const std::wstring& key_path, const std::wstring& prefix) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, key_path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return;
  std::vector<std::wstring> doomed;
  wchar_t name[256];
  for (DWORD index = 0;; ++index) {
    DWORD length = 256;
    if (RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS)
      break;
    if (std::wstring_view(name).substr(0, prefix.size()) == prefix) doomed.push_back(name);
  }
  RegCloseKey(key);
  for (const std::wstring& subkey : doomed)
    RegDeleteTreeW(root, (key_path + L"\\" + subkey).c_str());
}

}  // namespace

void RecordingObserver::OnStepCompleted() {
  ++steps;
  events.push_back("step");
  if (on_step) on_step(steps);
}

void RecordingObserver::OnInstallationFailed(int message_id, const std::wstring& detail,
                                             const std::string& message) {
  failed_id = message_id;
  failed_detail = detail;
  failed_message = message;
  events.push_back("failed");
}

void RecordingObserver::OnInstallationSucceeded() {
  succeeded = true;
  events.push_back("succeeded");
  if (loop) loop->Quit();
}

void RecordingObserver::OnInstallerTerminated(bool success) {
  terminated = true;
  events.push_back(success ? "terminated:ok" : "terminated");
  if (loop) loop->Quit();
}

std::wstring ProductStream() {
  return Utf8ToWide(product::ProductName() + product::InternalStreamName());
}

std::wstring UninstallKeyBase() {
  return L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" +
         Utf8ToWide(product::ProductName() + " " + product::ProductVersion());
}

std::filesystem::path BuiltPackageFolder() {
  return GetExecutablePath().parent_path() / L"engine_fixtures" / L"package";
}

void MakeSmallPackage(const std::filesystem::path& folder, const std::vector<std::string>& files,
                      const std::vector<std::string>& root_files) {
  auto write_list = [&](const char* name, const std::vector<std::string>& entries) {
    std::string text;
    for (const std::string& entry : entries) {
      text += entry + "\r\n";
      WriteFile(folder / Utf8ToWide(entry), entry);
    }
    WriteFile(folder / name, text);
  };
  write_list("files_list", files);
  if (!root_files.empty()) write_list("root_files_list", root_files);
  std::filesystem::copy_file(BuiltPackageFolder() / L"launcher.exe", folder / L"launcher.exe",
                             std::filesystem::copy_options::overwrite_existing);
}

void RemoveProductTraces(const std::vector<std::string>& app_ids) {
  std::wstring product_stream = ProductStream();
  for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
    for (const std::wstring& key : ProductKeys()) {
      if (key.ends_with(L"\\Uninstall")) {
        DeleteSubkeysNamed(root, key, Utf8ToWide(product::ProductName() + " "));
      } else if (key.ends_with(L"RegisteredApplications") || key.ends_with(L"Persisted")) {
        DeleteValuesNamed(root, key, Utf8ToWide(product::ProductName()));
        DeleteValuesNamed(root, key, L"C:\\");
      } else if (key.find(L"\\Classes\\.") != std::wstring::npos) {
        DeleteValuesNamed(root, key + L"\\OpenWithProgIDs", product_stream);
        if (key.ends_with(L".oex")) RegDeleteTreeW(root, key.c_str());
      } else {
        RegDeleteTreeW(root, key.c_str());
      }
    }
  }
  std::wstring stem = Utf8ToWide(product::ProductName());
  for (bool all_users : {false, true}) {
    ShortcutFolders folders = GetShortcutFolders(all_users);
    for (const FilePath& folder : folders.folder) {
      if (folder.empty()) continue;  // a folder the system does not have
      std::error_code ignored;
      for (const auto& entry : std::filesystem::directory_iterator(folder, ignored)) {
        if (entry.path().filename().native().starts_with(stem) &&
            entry.path().extension() == L".lnk")
          std::filesystem::remove(entry.path(), ignored);
      }
    }
  }
  if (app_ids.empty()) return;
  std::unique_ptr<TaskScheduler> scheduler = CreateTaskScheduler();
  if (!scheduler->Init()) return;
  for (const std::string& app_id : app_ids) scheduler->DeleteTask(L"Autoupdate " + Utf8ToWide(app_id));
}

EngineEnvironment::EngineEnvironment() : package_(scratch_.path() / L"package") {
  // NORVA_TEST_LOG=1 shows the installer's log while a test runs.
  if (getenv("NORVA_TEST_LOG")) {
    logging::SetMinLevel(logging::kVerbose2);
    logging::SetLineSinkForTesting(
        [](int, const std::string& line) { fprintf(stderr, "%s\n", line.c_str()); });
  }
  std::filesystem::copy(BuiltPackageFolder(), package_,
                        std::filesystem::copy_options::recursive);
  RemoveProductTraces();
}

EngineEnvironment::~EngineEnvironment() {
  for (HANDLE event : events_) CloseHandle(event);
  RemoveProductTraces(app_ids_);
}

HANDLE EngineEnvironment::InterruptedEvent(const std::filesystem::path& folder) {
  std::wstring name =
      GetObjectNameForFolder(L"NorvaInstaller/InstallationInterrupted", folder, true);
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, name.c_str());
  if (event) events_.push_back(event);
  return event;
}

std::vector<DWORD> ChildProcesses(DWORD parent_id, const wchar_t* program) {
  std::vector<DWORD> children;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return children;
  PROCESSENTRY32W entry{sizeof(entry)};
  for (BOOL more = Process32FirstW(snapshot, &entry); more;
       more = Process32NextW(snapshot, &entry)) {
    if (entry.th32ParentProcessID == parent_id &&
        (!program || _wcsicmp(entry.szExeFile, program) == 0))
      children.push_back(entry.th32ProcessID);
  }
  CloseHandle(snapshot);
  return children;
}

void EngineEnvironment::WaitForCleanUpScripts() {
  std::vector<Process> scripts;
  for (DWORD id : ChildProcesses(GetCurrentProcessId(), L"cmd.exe")) {
    Process script(OpenProcess(SYNCHRONIZE, FALSE, id), id);
    if (script.IsValid()) scripts.push_back(std::move(script));
  }
  // Ten seconds for them all; one that still runs then is left to itself.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (const Process& script : scripts) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    script.WaitForExit(static_cast<DWORD>(std::max<int64_t>(left.count(), 0)));
  }
}

RecordingObserver EngineEnvironment::Run(const std::filesystem::path& folder,
                                         RunOptions options) {
  // Silent unless asked otherwise: an uninstallation opens no survey page.
  std::vector<std::wstring> argv = {L"installer.exe"};
  if (options.silent) argv.push_back(L"--silent");
  argv.insert(argv.end(), options.switches.begin(), options.switches.end());
  CommandLine command_line = CommandLine::FromArgv(argv);
  InterruptedEvent(folder);
  Settings settings({.uninstall = options.uninstall,
                     .silent = options.silent,
                     .autoupdate = options.autoupdate,
                     .replace_quorel_installation = options.replace_legacy,
                     .install_folder = folder,
                     .installation_folder = options.uninstall ? folder : std::filesystem::path()},
                    command_line);
  if (settings.IsStatusFetchPending()) {
    StatusWaiter waiter(&settings, &loop_);
    RunLoopFor(&loop_, std::chrono::seconds(60));
  }
  RecordingObserver own;
  RecordingObserver* observer = options.observer ? options.observer : &own;
  observer->loop = &loop_;
  // Every record the run writes is one its recovery would replay.
  LogCapture log;
  Installer installer(command_line, options.package.empty() ? package_ : options.package);
  if (options.self_executable) installer.SetSelfExecutableForTesting(*options.self_executable);
  installer.AddObserver(observer);
  installer.PostRun(&settings);
  RunLoopFor(&loop_, std::chrono::seconds(120));
  EXPECT_TRUE(observer->Ended()) << "the installer did not end";
  for (const std::string& line : log.Lines())
    EXPECT_EQ(line.find("its recovery would refuse"), std::string::npos) << line;
  last_app_id_ = installer.record().app_id;
  if (!last_app_id_.empty()) app_ids_.push_back(last_app_id_);
  loop_.RunUntilIdle();
  observer->loop = nullptr;
  return *observer;
}

MachineSnapshot MachineSnapshot::Take(const std::filesystem::path& parent_folder) {
  MachineSnapshot snapshot;
  snapshot.folders_.emplace_back(WideToUtf8(parent_folder.native()),
                                 FolderSnapshot::Take(parent_folder));
  for (bool all_users : {false, true}) {
    for (const FilePath& folder : GetShortcutFolders(all_users).folder) {
      if (!folder.empty())
        snapshot.folders_.emplace_back(WideToUtf8(folder.native()), FolderSnapshot::Take(folder));
    }
  }
  for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
    for (const std::wstring& key : ProductKeys()) {
      std::string name = (root == HKEY_CURRENT_USER ? "HKCU\\" : "HKLM\\") + WideToUtf8(key);
      snapshot.keys_.emplace_back(name, RegistrySnapshot::Take(root, key));
    }
  }
  return snapshot;
}

std::string WithoutAllowed(const std::string& differences,
                           std::initializer_list<const char*> allowed) {
  std::istringstream lines(differences);
  std::string kept, line;
  while (std::getline(lines, line)) {
    bool skip = false;
    for (const char* name : allowed) skip |= line.find(name) != std::string::npos;
    if (!skip) kept += line + "\n";
  }
  return kept;
}

std::string MachineSnapshot::DifferencesTo(const MachineSnapshot& after) const {
  std::string differences;
  auto compare = [&](const auto& before_list, const auto& after_list) {
    for (size_t i = 0; i < before_list.size() && i < after_list.size(); ++i) {
      std::string found = before_list[i].second.DifferencesTo(after_list[i].second);
      if (!found.empty()) differences += before_list[i].first + ":\n" + found;
    }
  };
  compare(folders_, after.folders_);
  compare(keys_, after.keys_);
  return differences;
}

}  // namespace norva::installer::test
