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
    virtual void OnSettingsChanged() {}
    virtual void OnLanguageChanged() {}
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
  const InstallChoices& choices() const { return choices_; }
  const SettingsOptions& options() const { return options_; }
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

  // The choices a user may change, each behind its own guard.
  enum class Choice {
    kCopyOnly,
    kSingleProfile,
    kAllUsers,
    kDefaultBrowser,
    kImportBrowserData,
    kInstallerStats,
    kNorvaStats,
    kDeleteProfile,
  };
  // False, changing nothing, when the guard of `choice` refuses.
  bool SetChoice(Choice choice, bool value);
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
  bool IsAllowed(Choice choice) const;
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
