#ifndef NORVA_INSTALLER_SETTINGS_H_
#define NORVA_INSTALLER_SETTINGS_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/command_line.h"
#include "base/file_path.h"
#include "base/weak_ptr.h"
#include "installer/installation_status.h"

namespace norva::installer {

class StatsNode;
class TaskRunner;
class Thread;

enum InstallOperation : int32_t {
  kOperationNone = 0,
  kOperationInstall = 1,
  kOperationUpgrade = 2,
  kOperationUninstall = 3,
};

// The numbering SetInstallationMode takes.
enum InstallationMode : int {
  kModeAllUsers = 0,
  kModeCurrentUser = 1,
  kModeStandalone = 2,
};

// Everything decided about one installation: what to do, where, for whom,
// with which shortcuts, statistics and language. Lives on the thread that
// made it (which must run a TaskLoop); each change of install folder has the
// folder examined on a background worker, and the reply adopts the choices
// of an installation found there. While not modifiable every setter refuses.
class Settings {
 public:
  class Observer {
   public:
    virtual ~Observer() = default;
    virtual void OnSettingsChanged() = 0;
    virtual void OnLanguageChanged() = 0;
    // A status fetch ended, valid or not.
    virtual void OnInstallFolderStatusChanged() = 0;
  };
  class StatusFetcher;

  // Reads the process command line; an uninstall examines the installation
  // this installer file belongs to.
  Settings(bool uninstall, bool silent, bool autoupdate, FilePath install_folder,
           bool replace_quorel_installation);
  // The same with the given command line and, for an uninstall, the given
  // installation folder (found from the executable when empty).
  Settings(bool uninstall, bool silent, bool autoupdate, FilePath install_folder,
           bool replace_quorel_installation, const CommandLine& command_line,
           FilePath installation_folder);
  ~Settings();
  Settings(const Settings&) = delete;
  Settings& operator=(const Settings&) = delete;

  InstallOperation GetOperation() const { return operation_; }
  bool IsCopyOnly() const { return copy_only_; }
  bool IsSingleProfile() const { return single_profile_; }
  bool LaunchNorva() const { return launch_norva_; }
  bool IsAllUsers() const { return all_users_; }
  bool IsDefaultBrowser() const { return default_browser_; }
  bool ImportBrowserData() const { return import_browser_data_; }
  bool IsNorvaStatsEnabled() const { return enable_norva_stats_; }
  bool IsInstallerStatsEnabled() const { return enable_installer_stats_; }
  bool DesktopShortcut() const { return desktop_shortcut_; }
  bool StartMenuShortcut() const { return start_menu_shortcut_; }
  bool QuickLaunchShortcut() const { return quick_launch_shortcut_; }
  bool PinnedShortcut() const { return pinned_shortcut_; }
  bool IsUninstall() const { return uninstall_; }
  bool IsSilent() const { return silent_; }
  bool IsAutoupdate() const { return autoupdate_; }
  bool DeleteProfile() const { return delete_profile_; }
  std::wstring GetLanguage() const { return language_; }
  // Replaced as a whole by each status fetch.
  const InstallationStatus& GetInstallationStatus() const { return *status_; }
  bool IsStatusFetchPending() const { return status_fetcher_ != nullptr; }
  bool IsModifiable() const { return modifiable_; }
  void SetModifiable(bool modifiable) { modifiable_ = modifiable; }
  bool ReplaceQuorelInstallation() const { return replace_quorel_installation_; }
  FilePath GetCommandLineInstallFolder() const { return command_line_install_folder_; }
  FilePath GetLastInstallPath() const { return last_install_path_; }
  FilePath GetProfileFolder() const { return profile_folder_; }
  FilePath GetStandaloneDrive() const { return standalone_drive_; }
  FilePath GetFirstValidInstallFolder() const { return first_valid_install_folder_; }
  // "all_users", "current_user" or "standalone".
  const char* GetInstallationModeName() const;
  InstallationMode GetInstallationMode() const;

  void AddObserver(Observer* observer);
  void RemoveObserver(Observer* observer);

  // Each returns false, changing nothing, when its guard refuses.
  bool SetCopyOnly(bool value);
  bool SetSingleProfile(bool value);
  bool SetAllUsers(bool value);
  bool SetDefaultBrowser(bool value);
  bool SetImportBrowserData(bool value);
  bool SetEnableInstallerStats(bool value);
  bool SetEnableNorvaStats(bool value);
  bool SetDeleteProfile(bool value);
  bool SetInstallationMode(int mode);
  void SetLanguage(std::wstring language);
  // Starts examining `folder` unless it is the folder already examined (or
  // being examined); the reply of an earlier examination is then discarded.
  void SetInstallFolder(FilePath folder);

  FilePath GetDefaultInstallFolder(bool use_command_line, bool use_registry) const;
  // The backend's command line, without a program.
  CommandLine ToCommandLine(bool never_launch) const;
  // The installation statistics, each key preceded by `prefix`.
  void DumpStats(const StatsNode& node, std::string_view prefix = {}) const;
  // Puts the flags back to their defaults and applies the command line.
  void ReadCommandLine();

 private:
  bool BoolSwitch(const char* name, bool current) const;
  void SetCopyOnlyValue(bool value);
  bool ApplyFlag(bool allowed, bool* flag, bool value, const char* label);
  void ReadLastInstallPath();
  void StartStatusFetch(FilePath folder);
  void OnStatusFetched(std::unique_ptr<InstallationStatus> status);
  void AdoptExistingInstallation();
  void Dump() const;
  void Notify(void (Observer::*method)());

  InstallOperation operation_ = kOperationNone;
  bool copy_only_ = false;
  bool single_profile_ = false;
  bool launch_norva_ = false;
  bool all_users_ = false;
  bool default_browser_ = false;
  bool import_browser_data_ = false;
  bool enable_norva_stats_ = false;
  bool enable_installer_stats_ = false;
  bool desktop_shortcut_ = false;
  bool start_menu_shortcut_ = false;
  bool quick_launch_shortcut_ = false;
  bool pinned_shortcut_ = false;
  const bool uninstall_;
  const bool silent_;
  const bool autoupdate_;
  bool delete_profile_ = false;
  std::wstring language_;
  std::unique_ptr<InstallationStatus> status_;
  std::shared_ptr<StatusFetcher> status_fetcher_;
  std::vector<Observer*> observers_;
  bool modifiable_ = true;
  const bool replace_quorel_installation_;
  const FilePath command_line_install_folder_;
  FilePath last_install_path_;
  FilePath profile_folder_;
  FilePath standalone_drive_;
  FilePath first_valid_install_folder_;
  const CommandLine command_line_;
  // Examines folders; started with the first fetch.
  std::unique_ptr<Thread> status_worker_;
  WeakPtrFactory<Settings> weak_factory_{this};
};

// The root folder of the drive a standalone installation goes to by
// default: removable first, then remote, fixed, RAM disk, CD-ROM.
FilePath FindStandaloneDrive();

// The registry value names tried for the last install path, in order.
std::vector<std::wstring> LastInstallPathValueNames();

}  // namespace norva::installer

#endif  // NORVA_INSTALLER_SETTINGS_H_
