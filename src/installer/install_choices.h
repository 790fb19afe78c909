#ifndef NORVA_INSTALLER_INSTALL_CHOICES_H_
#define NORVA_INSTALLER_INSTALL_CHOICES_H_

#include <cstdint>
#include <string>

#include "base/file_path.h"

namespace norva::installer {

enum InstallOperation : int32_t {
  kOperationNone = 0,
  kOperationInstall = 1,
  kOperationUpgrade = 2,
  kOperationUninstall = 3,
};

// The numbering Settings::SetInstallationMode takes.
enum InstallationMode : int {
  kModeAllUsers = 0,
  kModeCurrentUser = 1,
  kModeStandalone = 2,
};

// What the entry point decided about a run before its settings exist.
struct SettingsOptions {
  bool uninstall = false;
  bool silent = false;
  bool autoupdate = false;
  bool replace_quorel_installation = false;
  // The folder the command line names; empty for the default one.
  FilePath install_folder;
  // The installation an uninstall removes; empty finds it from the running
  // executable.
  FilePath installation_folder;
};

// The choices of one installation, as the switches, the user or an existing
// installation made them.
struct InstallChoices {
  // A standalone installation touches nothing outside its folder, so it
  // drops the machine-wide choices.
  void SetCopyOnly(bool value);
  void Log() const;

  bool copy_only = false;
  bool single_profile = false;
  bool launch_norva = false;
  bool all_users = false;
  bool default_browser = false;
  bool import_browser_data = false;
  bool enable_norva_stats = false;
  bool enable_installer_stats = false;
  bool desktop_shortcut = false;
  bool start_menu_shortcut = false;
  bool quick_launch_shortcut = false;
  bool pinned_shortcut = false;
  bool delete_profile = false;
  std::wstring language;
  FilePath profile_folder;
};

}  // namespace norva::installer

#endif  // NORVA_INSTALLER_INSTALL_CHOICES_H_
