#include "installer/settings_command_line.h"

#include "base/logging.h"
#include "installer/installation_status.h"
#include "product/installer_features.h"
#include "product/product_info.h"
#include "system/access_rights.h"
#include "system/transactions/journal.h"
#include "system/windows_version.h"

namespace norva::installer {

namespace {

bool IsStableStream() { return product::StreamDisplayName() == "Stable"; }

void AppendFlag(const char* name, bool value, CommandLine* result) {
  result->AppendSwitchValue(name, value ? L"1" : L"0");
}

// An upgrade keeps the installation's mode and profile layout, and a
// standalone copy has no machine-wide choices to pass on.
void AppendInstallChoices(const SettingsOptions& run, InstallOperation operation,
                          const InstallChoices& choices, CommandLine* result) {
  if (operation == kOperationInstall) {
    AppendFlag("singleprofile", choices.single_profile, result);
    AppendFlag("copyonly", choices.copy_only, result);
  }
  if (choices.copy_only) return;
  if (operation == kOperationInstall) AppendFlag("allusers", choices.all_users, result);
  AppendFlag("setdefaultbrowser", choices.default_browser, result);
  AppendFlag("startmenushortcut", choices.start_menu_shortcut, result);
  AppendFlag("desktopshortcut", choices.desktop_shortcut, result);
  AppendFlag("quicklaunchshortcut", choices.quick_launch_shortcut, result);
  AppendFlag("pintotaskbar", choices.pinned_shortcut, result);
  if (run.replace_quorel_installation) result->AppendSwitch("replacequorelinstallation");
}

}  // namespace

SettingsCommandLine::SettingsCommandLine(const CommandLine& command_line)
    : command_line_(command_line) {}

bool SettingsCommandLine::Bool(const char* name, bool current) const {
  return Has(name) ? command_line_.GetSwitchValueBool(name) : current;
}

void SettingsCommandLine::ReadChoices(bool autoupdate, InstallChoices* choices) const {
  VLOG(1) << "Settings from command line";
  InstallChoices& c = *choices;
  bool windows7_or_later = GetWindowsVersionRank() >= kWindows7;
  c.copy_only = false;
  c.all_users = IsUserAdmin(true);
  c.launch_norva = true;
  c.default_browser = IsStableStream() && !autoupdate;
  c.import_browser_data = c.enable_norva_stats = c.enable_installer_stats = true;
  c.desktop_shortcut = c.start_menu_shortcut = true;
  c.single_profile = false;
  c.quick_launch_shortcut = !windows7_or_later;
  c.pinned_shortcut = windows7_or_later;

  if (Has("launchnorva"))
    c.launch_norva = command_line_.GetSwitchValueBool("launchnorva");
  else
    c.launch_norva = Bool("launchbrowser", c.launch_norva);
  c.SetCopyOnly(Bool("copyonly", false));
  c.import_browser_data = Bool("import-browser-data", c.import_browser_data);
  c.enable_norva_stats = c.enable_installer_stats = Bool("enable-stats", true);
  c.enable_installer_stats = Bool("enable-installer-stats", c.enable_installer_stats);
  if (!c.copy_only) {
    c.all_users = Bool("allusers", c.all_users);
    c.default_browser = Bool("setdefaultbrowser", c.default_browser);
    c.desktop_shortcut = Bool("desktopshortcut", c.desktop_shortcut);
    c.start_menu_shortcut = Bool("startmenushortcut", c.start_menu_shortcut);
    c.quick_launch_shortcut = Bool("quicklaunchshortcut", c.quick_launch_shortcut);
    c.pinned_shortcut = Bool("pintotaskbar", c.pinned_shortcut);
  } else {
    c.single_profile = true;
  }
  c.single_profile = Bool("singleprofile", c.single_profile);
  if (Has("profile-folder")) c.profile_folder = command_line_.GetSwitchValuePath("profile-folder");
  c.Log();
}

void SettingsCommandLine::ReadInstallationChoices(const InstallationStatus& status,
                                                  const SettingsOptions& run,
                                                  InstallChoices* choices) const {
  VLOG(1) << "Using settings from existing installation";
  InstallChoices& c = *choices;
  c.SetCopyOnly(status.copy_only);
  c.all_users = status.all_users && !c.copy_only;
  c.single_profile = status.GetSingleProfile().value_or(false);
  const FoundShortcuts& found = status.shortcuts();
  c.desktop_shortcut = Bool("desktopshortcut", found.found[kDesktopShortcut]);
  c.start_menu_shortcut = Bool("startmenushortcut", found.found[kStartMenuShortcut]);
  c.quick_launch_shortcut = Bool("quicklaunchshortcut", found.found[kQuickLaunchShortcut]);
  c.pinned_shortcut = Bool("pintotaskbar", !found.pinned.empty());
  c.import_browser_data = Bool("import-browser-data", status.GetImportBrowserData().value_or(true));
  if (!Has("enable-stats")) {
    c.enable_norva_stats = status.GetEnableStats().value_or(true);
    c.enable_installer_stats = Bool("enable-installer-stats", c.enable_norva_stats);
  }
  if (status.IsLegacyInstallation()) {
    if (run.autoupdate && !run.replace_quorel_installation) c.launch_norva = true;
    if ((run.autoupdate || run.replace_quorel_installation) && status.IsDefaultBrowser())
      c.default_browser = true;
  }
  // Switches given for the shortcuts do not apply to a standalone copy.
  if (c.copy_only) c.SetCopyOnly(true);
}

void SettingsCommandLine::CopySwitch(const char* name, CommandLine* result) const {
  if (Has(name)) result->AppendSwitchValue(name, command_line_.GetSwitchValue(name));
}

CommandLine SettingsCommandLine::ToBackend(const SettingsOptions& run, InstallOperation operation,
                                           const InstallChoices& choices,
                                           const FilePath& install_folder,
                                           bool never_launch) const {
  CommandLine result{FilePath()};
  result.AppendSwitch("backend");
  if (run.silent) result.AppendSwitch("silent");
  for (const char* name : {"initial-pid", "temp-folder"}) CopySwitch(name, &result);
  // A test build's kill switches; the shipped installer has none.
  for (const char* name : Journal::KillSwitchesForTesting()) CopySwitch(name, &result);
  if (operation == kOperationUninstall) {
    result.AppendSwitch("uninstall");
    AppendFlag("deleteuserprofile", choices.delete_profile, &result);
    return result;
  }
  if (operation != kOperationInstall && operation != kOperationUpgrade) return result;
  result.AppendSwitch("install");
  if (run.autoupdate) result.AppendSwitch("autoupdate");
  AppendFlag("import-browser-data", choices.import_browser_data, &result);
  AppendFlag("enable-stats", choices.enable_norva_stats, &result);
  AppendFlag("enable-installer-stats", choices.enable_installer_stats, &result);
  AppendFlag("launchnorva", !never_launch && choices.launch_norva, &result);
  result.AppendSwitchPath("installfolder", install_folder);
  result.AppendSwitchPath("profile-folder", choices.profile_folder);
  if (!choices.language.empty()) result.AppendSwitchValue("language", choices.language);
  AppendInstallChoices(run, operation, choices, &result);
  CopySwitch("server-tracking-data", &result);
  const FeatureRegistry& features = FeatureRegistry::Get();
  for (const FeatureRegistry::Feature& feature : features.features()) {
    result.AppendSwitchValue(std::string(kWithFeatureSwitchPrefix) + feature.name,
                             features.IsEnabled(feature.name) ? L"on" : L"off");
  }
  for (const char* name : {"import-bookmarks", "import-session", "import-topsites-to-speeddial"})
    CopySwitch(name, &result);
  return result;
}

}  // namespace norva::installer
