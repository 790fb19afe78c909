#ifndef NORVA_INSTALLER_SETTINGS_H_
#define NORVA_INSTALLER_SETTINGS_H_

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/command_line.h"
#include "base/file_path.h"
#include "base/weak_ptr.h"
#include "installer/default_install_folder.h"
#include "installer/install_choices.h"
#include "installer/install_folder_examiner.h"
#include "installer/installation_status.h"
#include "installer/settings_command_line.h"

namespace norva::installer {

class StatsNode;

// Everything decided about one installation: what to do, where, for whom,
// with which shortcuts, statistics and language, and who is told of each
// change. Lives on the thread that made it (which must run a TaskLoop); each
// change of install folder has the folder examined, and the reply adopts the
// choices of an installation found there. While not modifiable every setter
// refuses.
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

  // Takes the choices from `command_line` and starts examining the folder
  // to install to (an uninstall: the installation to remove).
  Settings(SettingsOptions options, const CommandLine& command_line);
  ~Settings();
  Settings(const Settings&) = delete;
  Settings& operator=(const Settings&) = delete;

  InstallOperation GetOperation() const { return operation_; }
  bool IsCopyOnly() const { return choices_.copy_only; }
  bool IsSingleProfile() const { return choices_.single_profile; }
  bool LaunchNorva() const { return choices_.launch_norva; }
  bool IsAllUsers() const { return choices_.all_users; }
  bool IsDefaultBrowser() const { return choices_.default_browser; }
  bool ImportBrowserData() const { return choices_.import_browser_data; }
  bool IsNorvaStatsEnabled() const { return choices_.enable_norva_stats; }
  bool IsInstallerStatsEnabled() const { return choices_.enable_installer_stats; }
  bool DesktopShortcut() const { return choices_.desktop_shortcut; }
  bool StartMenuShortcut() const { return choices_.start_menu_shortcut; }
  bool QuickLaunchShortcut() const { return choices_.quick_launch_shortcut; }
  bool PinnedShortcut() const { return choices_.pinned_shortcut; }
  bool DeleteProfile() const { return choices_.delete_profile; }
  std::wstring GetLanguage() const { return choices_.language; }
  FilePath GetProfileFolder() const { return choices_.profile_folder; }
  bool IsUninstall() const { return options_.uninstall; }
  bool IsSilent() const { return options_.silent; }
  bool IsAutoupdate() const { return options_.autoupdate; }
  bool ReplaceQuorelInstallation() const { return options_.replace_quorel_installation; }
  // Replaced as a whole by each status fetch.
  const InstallationStatus& GetInstallationStatus() const { return *status_; }
  bool IsStatusFetchPending() const { return examiner_.IsPending(); }
  FilePath GetFirstValidInstallFolder() const { return first_valid_install_folder_; }
  bool IsModifiable() const { return modifiable_; }
  void SetModifiable(bool modifiable) { modifiable_ = modifiable; }
  const DefaultInstallFolder& default_folder() const { return default_folder_; }
  // "all_users", "current_user" or "standalone".
  const char* GetInstallationModeName() const;

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
  // One of InstallationMode; any other number is refused.
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

 private:
  bool ApplyFlag(bool allowed, bool InstallChoices::*flag, bool value, const char* label);
  // Puts the choices back to what the command line makes of them.
  void ReadCommandLine();
  void OnStatusFetched(std::unique_ptr<InstallationStatus> status);
  void Notify(void (Observer::*method)());

  const SettingsOptions options_;
  const SettingsCommandLine command_line_;
  const DefaultInstallFolder default_folder_;
  InstallOperation operation_ = kOperationNone;
  InstallChoices choices_;
  std::unique_ptr<InstallationStatus> status_;
  FilePath first_valid_install_folder_;
  std::vector<Observer*> observers_;
  bool modifiable_ = true;
  InstallFolderExaminer examiner_;
  WeakPtrFactory<Settings> weak_factory_{this};
};

}  // namespace norva::installer

#endif  // NORVA_INSTALLER_SETTINGS_H_
