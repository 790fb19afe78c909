#include "app/installer_main.h"

#include <windows.h>
#include <objbase.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include "app/backend.h"
#include "app/help_text.h"
#include "app/installer_ui_controller.h"
#include "app/silent_installer_controller.h"
#include "app/startup.h"
#include "base/at_exit.h"
#include "base/command_line.h"
#include "base/file_util.h"
#include "base/json.h"
#include "base/logging.h"
#include "base/strings.h"
#include "base/task_loop.h"
#include "base/worker_pool.h"
#include "installer/folder_permission_mode.h"
#include "installer/installation_folder.h"
#include "installer/settings.h"
#include "product/installer_features.h"
#include "product/product_info.h"
#include "system/access_rights.h"
#include "system/transactions/journal_recovery.h"


namespace norva::installer {
namespace {

constexpr char kPrefsTaskPool[] = "PrefsTaskPool";
constexpr wchar_t kInstallerPrefsFile[] = L"installer_prefs.json";
constexpr char kInstallerExperimentsKey[] = "installer-experiments";

void PrintToStandardOutput(const std::string& text) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

// The version switches skip every other part of start-up.
bool PrintVersionIfAsked(const CommandLine& command_line) {
  if (command_line.HasSwitch("version"))
    PrintToStandardOutput(product::ProductVersion());
  else if (command_line.HasSwitch("internal-version"))
    PrintToStandardOutput(product::BuildNumberString());
  else if (command_line.HasSwitch("stream"))
    PrintToStandardOutput(product::InternalStreamName());
  else
    return false;
  return true;
}

void OpenLogFile() {
  SYSTEMTIME start;
  GetLocalTime(&start);
  logging::InitLogFile(LogFilePathFor(start));
  logging::SetMinLevel(logging::kVerbose1);
}

struct Roles {
  bool backend = false;
  bool uninstall = false;
  bool silent = false;
  bool run_immediately = false;
  bool autoupdate = false;
  bool replace_quorel_installation = false;
};

Roles ReadRoles(const CommandLine& command_line) {
  Roles roles;
  roles.backend = command_line.HasSwitch("backend");
  roles.uninstall = command_line.HasSwitch("uninstall");
  roles.silent = command_line.HasSwitch("silent");
  roles.run_immediately = command_line.HasSwitch("runimmediately");
  roles.autoupdate = command_line.HasSwitch("autoupdate");
  roles.replace_quorel_installation = command_line.HasSwitch("replacequorelinstallation");
  return roles;
}

void LogRoles(const Roles& roles, bool inside_package) {
  LOG(INFO) << "Uninstall: " << roles.uninstall;
  LOG(INFO) << "Replace Quorel installation: " << roles.replace_quorel_installation;
  LOG(INFO) << "Silent: " << roles.silent;
  LOG(INFO) << "Run Immediately " << roles.run_immediately;
  LOG(INFO) << "Backend " << roles.backend;
  LOG(INFO) << "Inside package " << inside_package;
  LOG(INFO) << "Autoupdate: " << roles.autoupdate;
}

// Reads the experiment list recorded with an installation, on the pool that
// owns preference files, and waits for it (the pool runs every task it
// accepts). Empty when the file or the key is missing.
bool ReadRecordedExperiments(const FilePath& installation_folder,
                             const std::shared_ptr<WorkerPool>& prefs_pool,
                             std::vector<std::string>* experiments) {
  struct Reply {
    std::mutex lock;
    std::condition_variable done_signal;
    bool done = false;
    bool has_list = false;
    std::vector<std::string> list;
  };
  auto reply = std::make_shared<Reply>();
  FilePath file = installation_folder / kInstallerPrefsFile;
  bool posted = prefs_pool->PostTask(FROM_HERE, [reply, file] {
    nlohmann::json prefs;
    bool has_list = false;
    std::vector<std::string> list;
    if (ReadJsonFile(file, &prefs) && prefs.is_object()) {
      auto found = prefs.find(kInstallerExperimentsKey);
      if (found != prefs.end() && found->is_array()) {
        has_list = true;
        for (const auto& entry : *found)
          if (entry.is_string()) list.push_back(entry.get<std::string>());
      }
    }
    std::lock_guard<std::mutex> hold(reply->lock);
    reply->has_list = has_list;
    reply->list = std::move(list);
    reply->done = true;
    reply->done_signal.notify_one();
  });
  if (!posted) return false;
  std::unique_lock<std::mutex> hold(reply->lock);
  reply->done_signal.wait(hold, [&reply] { return reply->done; });
  *experiments = std::move(reply->list);
  return reply->has_list;
}

void ApplyExperimentOverrides(const CommandLine& command_line, bool uninstall,
                              const FilePath& installation_folder,
                              const std::shared_ptr<WorkerPool>& prefs_pool) {
  FeatureRegistry& features = FeatureRegistry::Get();
  std::vector<std::string> recorded;
  if (uninstall && ReadRecordedExperiments(installation_folder, prefs_pool, &recorded))
    features.AddOverridesFromRecordedList(recorded);
  else
    features.AddOverridesFromCommandLine(command_line);
  if (features.IsEnabled(kExperimentTest)) LOG(INFO) << "Test experiment is enabled";
}

// Runs the role the command line names once the process-wide set-up is done.
bool RunDriver(const CommandLine& command_line, const Roles& roles,
               const FilePath& executable_path, bool inside_package,
               Settings& settings) {
  if (roles.backend) return RunBackend(settings);
  FilePath download_folder;
  if (!ChooseDownloadFolder(command_line, executable_path, &download_folder)) {
    LOG(ERROR) << "Could not obtain temporary installer folder";
    return false;
  }
  LOG(INFO) << "Installer download folder: " << download_folder;
  bool result = false;
  if (roles.silent) {
    result = SilentInstallerController().Run(settings, inside_package, download_folder);
  } else {
    result = InstallerUIController().RunUI(settings, inside_package, download_folder,
                                           roles.run_immediately);
  }
  RemoveDirectoryW(download_folder.c_str());
  return result;
}

// Steps from the log file on: everything an installing role needs.
bool RunInstallingRole(const CommandLine& command_line,
                       const FilePath& installation_folder) {
  // Whatever way the run ends, a temporary folder made for it alone goes.
  struct RunTempFolderRemover {
    ~RunTempFolderRemover() { RemoveRunTempFolder(); }
  } remove_run_temp_folder;
  OpenLogFile();
  if (!EnsureTlsEnabled()) {
    LOG(ERROR) << "TLS1.0 or later not supported.";
    return false;
  }
  LOG(INFO) << StringPrintf("%s installer starting - version ", product::ProductName().c_str())
            << product::ProductVersion() << " " << product::InternalStreamName();
  LOG(INFO) << "Command line: " << GetCommandLineW();

  Roles roles = ReadRoles(command_line);
  FilePath executable_path = GetExecutablePath();
  if (!executable_path.has_parent_path()) {
    LOG(ERROR) << "Cannot find own dir";
    return false;
  }
  if (!executable_path.has_filename()) {
    LOG(ERROR) << "Cannot find own file path";
    return false;
  }
  if (roles.uninstall && !roles.backend) {
    // A killed uninstallation may have set the browser aside, and without it
    // this folder would not count as an installation any more.
    RecoverInterruptedInstallations(executable_path.parent_path().parent_path(),
                                    IsUserAdmin(false));
  }
  bool inside_package = IsInsidePackage(executable_path, roles.uninstall);
  if (roles.uninstall && !inside_package) {
    LOG(ERROR) << "Requested to uninstall, but we are not in a valid " << "installation folder";
    return false;
  }
  FilePath install_folder = InstallFolderFromCommandLine(
      command_line, roles.autoupdate, &roles.silent, &roles.run_immediately);
  LogRoles(roles, inside_package);

  TaskLoop main_loop(roles.backend || roles.silent ? TaskLoop::Type::kDefault
                                                   : TaskLoop::Type::kUI);
  std::shared_ptr<WorkerPool> prefs_pool = WorkerPool::Create(kPrefsTaskPool);
  ApplyExperimentOverrides(command_line, roles.uninstall, installation_folder, prefs_pool);
  bool com_ready = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));

  auto settings = std::make_unique<Settings>(
      SettingsOptions{.uninstall = roles.uninstall,
                      .silent = roles.silent,
                      .autoupdate = roles.autoupdate,
                      .replace_quorel_installation = roles.replace_quorel_installation,
                      .install_folder = install_folder,
                      .installation_folder = installation_folder},
      command_line);

  bool result = RunDriver(command_line, roles, executable_path, inside_package, *settings);

  settings.reset();
  if (com_ready) CoUninitialize();
  prefs_pool->Shutdown();
  return result;
}

}  // namespace
}  // namespace norva::installer

extern "C" bool RunInstaller() {
  using namespace norva::installer;
  RestrictDllSearch();
  const CommandLine& command_line = CommandLine::ForCurrentProcess();
  if (PrintVersionIfAsked(command_line)) return true;

  AtExitManager exit_manager;
  // Crash reporting is not part of this build: a reporter role has nothing to do.
  if (command_line.HasSwitch("crash-reporter-parent-id")) return true;
  ClearCallbackExceptionSwallowing();
  FeatureRegistry::Get().RegisterDefaults();

  FilePath executable_folder = GetExecutablePath().parent_path();
  FilePath installation_folder = FindInstallationFolder(executable_folder);
  if (command_line.HasSwitch("help") || command_line.HasSwitch("?")) {
    ShowHelp();
    return true;
  }
  if (command_line.HasSwitch("set-folder-permission")) {
    RunFolderPermissionMode(command_line);
    return true;
  }
  return RunInstallingRole(command_line, installation_folder);
}
