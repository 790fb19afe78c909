#ifndef NORVA_ENGINE_INSTALLER_H_
#define NORVA_ENGINE_INSTALLER_H_

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "base/command_line.h"
#include "base/file_path.h"
#include "base/handle_watcher.h"
#include "base/weak_ptr.h"
#include "engine/installer_observer.h"
#include "system/install_log.h"
#include "system/transactions/journal.h"
#include "system/transactions/registry_entry.h"
#include "system/transactions/transaction.h"

namespace norva::installer {

class InstallationStatus;
class JsonPrefStore;
class Settings;
class TaskRunner;

// Installs, upgrades or uninstalls the browser on the thread that made it
// (the installer thread). Run checks the request, settles elevation and the
// folder's rights, then runs a fixed list of steps, each a task that posts the
// next, so that an interruption or a failure takes effect between two steps.
// Every change to files and registry goes through one transaction, which a
// failure or an interruption rolls back as a whole; only the preference
// files and permanent permission grants stay. Observers see the start, the
// progress units and exactly one outcome.
class Installer : public HandleWatcher::Delegate, public RegistryEntryContext {
 public:
  // `command_line` carries the run's switches (the process's own in the
  // backend). `package_folder` is the unpacked package; empty means the
  // folder of the running executable.
  explicit Installer(CommandLine command_line, FilePath package_folder = {});
  ~Installer() override;
  Installer(const Installer&) = delete;
  Installer& operator=(const Installer&) = delete;

  void AddObserver(InstallerObserver* observer);
  void RemoveObserver(InstallerObserver* observer);

  // Posts Run to the installer thread. `settings` must stay alive until the
  // run ends; it is forgotten then.
  void PostRun(Settings* settings);
  void Run(Settings* settings);

  // The program that hand-overs start as a copy of this installer (the
  // elevated installation, the folder-permission helper); the running
  // executable unless a test names another.
  void SetSelfExecutableForTesting(FilePath executable) {
    self_executable_ = std::move(executable);
  }

  bool IsRunning() const { return running_; }
  bool HasSucceeded() const { return succeeded_; }
  // The record written to "installation_status.xml" at the end.
  const InstallLog& record() const { return record_; }

  // RegistryEntryContext:
  std::wstring GetTemplateValue(const std::wstring& name) override;
  std::vector<InstallLogKey>* GetInstallLogKeys(HKEY root) override;

 private:
  using Step = void (Installer::*)();

  // Stages of Run; each returns false after failing the run.
  bool CheckRequest();
  bool RecoverAndOpenJournal();
  bool WatchInterruptedEvent();
  bool SettleFolderAndRights(bool* handed_over);
  bool HandleElevatedResult(int result);
  bool ObtainWriteAccess(bool admin, bool* handed_over);
  bool ReadFilesLists();
  bool CreateSubfolder();
  void FillRecord();
  void ReapplyExperiments();
  void BuildSteps();

  // The step machine.
  void PostTask(const char* location, std::function<void()> task);
  void ScheduleNextStep();
  void NotifyStepCompleted();
  std::string Fail(int message_id, const std::wstring& detail, const std::string& message);
  void Cancel();
  void Succeed();
  void Reset();
  void OnHandleSignaled(HANDLE handle) override;
  void OnObjectSignaled(HANDLE handle);

  // File and shortcut steps (installer_steps.cc).
  void StepCopyFiles();
  void StepCopyRootFiles();
  void CopyFileW(size_t index, bool root_files);
  void StepInstallLauncher();
  void CopyLauncherExtras();
  void StepInstallShortcuts();
  void StepUpdateShortcuts();
  void StepRemoveRecordedShortcuts();
  void StepDeletePreviousRootFiles();
  bool DeleteBrowserExecutable();
  void StepFinalizeInstallation();
  void SetDefaultBrowser();
  void CreateAutoupdateTask();

  // Product registration (registration.cc).
  void WriteLastInstallPath();
  void StepSetUpRegistry();
  std::wstring ChooseUninstallKey(HKEY hive) const;
  void StepRemoveRecordedRegistryEntries();
  void RemoveRecordedKeys(HKEY root, const std::vector<InstallLogKey>& keys);
  std::wstring ExpandLegacyKeyPath(const std::string& path) const;

  // Preferences of the browser (preferences.cc).
  void StepSeedPreferences();
  void WriteBrowserPreferences();
  void RefreshPartnerContent(JsonPrefStore* local_state);
  void LaunchBrowser();

  // Uninstallation and the previous version's leftovers (uninstall_steps.cc).
  void StepCleanUpPreviousStatus();
  void StepPreservePreviousStatus();
  void StepFinalizeUninstallation();
  void StepSelfRemoval();
  void CleanUpPreservedLog(const FilePath& file);
  void HandBackDefaultBrowser();
  void OpenUninstallSurvey();
  void RemoveAutoupdateTask();
  // Deletes the installed files in the transaction; what could not be
  // deleted, and the folders that may become empty, are left to "k.bat".
  void DeleteInstalledFiles(std::vector<FilePath>* remaining,
                            std::set<FilePath>* folders);
  void WriteUninstallScript(const std::vector<FilePath>& files,
                            const std::set<FilePath>& folders);
  // The profile folders the user asked to delete with the installation.
  std::vector<FilePath> FindProfileFolders();

  // Hand-overs to other processes (elevation.cc). The results: 0 done,
  // 1 elevation impossible or not started, 2 the other process failed,
  // 3 set-up error.
  int RunElevated();
  void HandOverTransaction();
  int GetFolderPermissionsElevated(const FilePath& folder, bool permanent);
  FilePath SelfExecutable() const;
  void RunPostElevationTasks();
  bool WaitForPackage(bool post_elevated);
  void RunPackageInstaller();

  const InstallationStatus& status() const;
  int operation() const;
  bool IsCopyOnly() const;
  bool IsAutoupdate() const;
  // The browser executable's name: the file-name base and ".exe".
  static std::wstring BrowserExecutableName();

  const CommandLine command_line_;
  std::shared_ptr<TaskRunner> task_runner_;
  // Declared before the transaction, which writes to it.
  Journal journal_;
  Transaction transaction_{&journal_};
  std::vector<InstallerObserver*> observers_;
  FilePath package_folder_;
  std::vector<std::string> files_;
  std::vector<std::string> root_files_;
  Settings* settings_ = nullptr;
  InstallLog record_;
  FilePath install_folder_;
  // The value of "{Uninstall}"; the install log records registry writes
  // only once it is chosen.
  std::wstring uninstall_key_;
  std::vector<Step> steps_;
  size_t cursor_ = 0;
  bool running_ = false;
  bool succeeded_ = false;
  // Tasks posted by an earlier run are dropped once it has ended.
  uint64_t generation_ = 0;
  uint32_t partner_pid_ = 0;
  HANDLE package_ready_event_ = nullptr;
  HANDLE interrupted_event_ = nullptr;
  HANDLE undo_event_ = nullptr;
  HandleWatcher package_ready_watcher_;
  HandleWatcher interrupted_watcher_;
  bool post_elevated_ = false;
  FilePath self_executable_;
  // "installer_prefs.json" was first made by this run, so a failed run
  // deletes it again.
  bool created_installer_prefs_ = false;
  WeakPtrFactory<Installer> weak_factory_{this};
};

}  // namespace norva::installer

#endif  // NORVA_ENGINE_INSTALLER_H_
