// The file, shortcut and finishing steps of an installation.
#include <shlobj.h>

#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "base/file_util.h"
#include "base/json_pref_store.h"
#include "base/logging.h"
#include "base/strings.h"
#include "engine/installer.h"
#include "engine/step_helpers.h"
#include "installer/installation_status.h"
#include "installer/settings.h"
#include "product/languages.h"
#include "product/product_info.h"
#include "system/shell_integration.h"
#include "system/shortcut_steps.h"
#include "system/task_scheduler.h"
#include "system/transactions/copy_file_operation.h"
#include "system/transactions/delete_file_operation.h"
#include "system/transactions/move_file_operation.h"
#include "system/windows_version.h"

namespace norva::installer {
namespace {

constexpr wchar_t kLauncher[] = L"launcher.exe";

ShortcutChoices ChoicesOf(const Settings& settings) {
  ShortcutChoices choices;
  choices.wanted[kDesktopShortcut] = settings.DesktopShortcut();
  choices.wanted[kStartMenuShortcut] = settings.StartMenuShortcut();
  choices.wanted[kQuickLaunchShortcut] = settings.QuickLaunchShortcut();
  choices.pin = settings.PinnedShortcut();
  return choices;
}

FoundShortcuts FoundShortcutsOf(const InstallationStatus& status) {
  FoundShortcuts found;
  found.found[kDesktopShortcut] = status.IsDesktopShortcutFound();
  found.found[kStartMenuShortcut] = status.IsStartMenuShortcutFound();
  found.found[kQuickLaunchShortcut] = status.IsQuickLaunchShortcutFound();
  found.needs_update[kDesktopShortcut] = status.DesktopShortcutNeedsUpdate();
  found.needs_update[kStartMenuShortcut] = status.StartMenuShortcutNeedsUpdate();
  found.needs_update[kQuickLaunchShortcut] = status.QuickLaunchShortcutNeedsUpdate();
  found.pinned = status.GetPinnedShortcut();
  if (status.IsCompanyStartMenuFolderFound())
    found.company_menu_folder = status.GetCompanyStartMenuFolder();
  return found;
}

}  // namespace

void NotifyShellOfClientChange() {
  // Bounded: a hung top-level window must not hold the installation up.
  SendMessageTimeoutW(HWND_BROADCAST, WM_SETTINGCHANGE, 0,
                      reinterpret_cast<LPARAM>(L"Software\\Clients\\StartMenuInternet"),
                      SMTO_ABORTIFHUNG, 1000, nullptr);
  SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST, nullptr, nullptr);
}

void Installer::StepCopyFiles() { CopyFileW(0, false); }

void Installer::StepCopyRootFiles() { CopyFileW(0, true); }

void Installer::CopyFileW(size_t index, bool root_files) {
  const std::vector<std::string>& list = root_files ? root_files_ : files_;
  if (root_files && list.empty() && index == 0) {
    ScheduleNextStep();
    return;
  }
  if (index >= list.size()) {
    LOG(ERROR) << Fail(IDS_GENERAL_FAILURE, L"",
                       "Invalid index " + std::to_string(index) + " passed to StepCopyFile (max: " +
                           std::to_string(list.size()) + ")");
    return;
  }
  const std::string& entry = list[index];
  VLOG(1) << "Copying file " << entry;
  FilePath relative = Utf8ToWide(entry);
  FilePath destination =
      root_files ? install_folder_ / relative : install_folder_ / record_.subfolder / relative;
  if (!transaction_.Execute(
          std::make_unique<CopyFileOperation>(package_folder_ / relative, destination))) {
    LOG(ERROR) << Fail(IDS_COPY_FAILED, relative.native(),
                       "Failed copying " + WideToUtf8(destination.native()));
    return;
  }
  (root_files ? record_.root_files : record_.files).push_back(relative);
  if (index + 1 < list.size()) {
    NotifyStepCompleted();
    PostTask("norva::installer::Installer::CopyFileW",
             [this, index, root_files] { CopyFileW(index + 1, root_files); });
  } else {
    ScheduleNextStep();
  }
}

void Installer::StepInstallLauncher() {
  LOG(INFO) << "Installing the launcher";
  FilePath source = package_folder_ / kLauncher;
  FilePath launcher = install_folder_ / kLauncher;
  if (!transaction_.Execute(std::make_unique<CopyFileOperation>(source, launcher))) {
    LOG(ERROR) << Fail(IDS_COPY_FAILED, launcher.native(), "Failed copying the launcher");
    return;
  }
  if (!product::WhiteLabeled()) {
    // Shortcuts and associations of older installations start the browser
    // executable in the installation folder: it becomes a launcher as well.
    FilePath browser = install_folder_ / BrowserExecutableName();
    FilePath old = browser;
    old += L".old";
    if (status().IsLegacyInstallation() || (PathExists(browser) && PathExists(old))) {
      if (transaction_.Execute(std::make_unique<MoveFileOperation>(browser, old)))
        transaction_.Execute(std::make_unique<CopyFileOperation>(source, browser));
    }
  }
  CopyLauncherExtras();
  ScheduleNextStep();
}

void Installer::CopyLauncherExtras() {
  if (command_line_.HasSwitch("server-tracking-data")) {
    FilePath data =
        package_folder_ / command_line_.GetSwitchValuePath("server-tracking-data");
    if (PathExists(data)) {
      transaction_.Execute(
          std::make_unique<CopyFileOperation>(data, install_folder_ / L"server_tracking_data"));
    }
  }
  FilePath overrides = package_folder_ / L"pref_default_overrides";
  std::string text;
  if (ReadFileToString(overrides, &text) &&
      !nlohmann::json::parse(text, nullptr, false).is_discarded()) {
    transaction_.Execute(std::make_unique<CopyFileOperation>(
        overrides, install_folder_ / L"pref_default_overrides"));
  }
}

void Installer::StepInstallShortcuts() {
  if (!IsCopyOnly()) {
    ShortcutSteps(install_folder_, package_folder_, &record_, &transaction_)
        .Install(ChoicesOf(*settings_), GetShortcutFolders(settings_->IsAllUsers()));
  }
  ScheduleNextStep();
}

void Installer::StepUpdateShortcuts() {
  ShortcutSteps(install_folder_, package_folder_, &record_, &transaction_)
      .Update(ChoicesOf(*settings_), FoundShortcutsOf(status()),
              GetShortcutFolders(settings_->IsAllUsers()));
  ScheduleNextStep();
}

void Installer::StepRemoveRecordedShortcuts() {
  ShortcutSteps(install_folder_, package_folder_, &record_, &transaction_)
      .RemoveRecorded(FoundShortcutsOf(status()));
  ScheduleNextStep();
}

void Installer::StepDeletePreviousRootFiles() {
  for (const FilePath& entry : status().root_files) {
    if (!transaction_.Execute(
            std::make_unique<DeleteFileOperation>(install_folder_ / entry, false, true)))
      LOG(WARNING) << "Could not delete previous root file " << entry;
  }
  ScheduleNextStep();
}

bool Installer::DeleteBrowserExecutable() {
  std::wstring name = BrowserExecutableName();
  const FilePath& subfolder = status().subfolder;
  // A log that leads out of the installation folder names no file of ours.
  if (!subfolder.empty() && !IsSafeRelativePath(subfolder)) {
    LOG(WARNING) << "Not deleting the browser of the invalid subfolder " << subfolder;
    return true;
  }
  FilePath browser = install_folder_ / subfolder / name;
  if (!transaction_.Execute(std::make_unique<DeleteFileOperation>(browser, true, true))) {
    LOG(ERROR) << Fail(IDS_BROWSER_IN_USE, L"",
                       "Can't uninstall when " + WideToUtf8(name) + " is in use");
    return false;
  }
  return true;
}

void Installer::StepFinalizeInstallation() {
  LOG(INFO) << "Finalizing the installation";
  std::string text;
  if (!WriteInstallLog(record_, &text) ||
      !WriteFileAtomically(install_folder_ / L"installation_status.xml", text)) {
    LOG(ERROR) << Fail(IDS_GENERAL_FAILURE, L"", "Failed saving the installation status");
    return;
  }
  SetDefaultBrowser();
  NotifyShellOfClientChange();
  if (!IsCopyOnly()) CreateAutoupdateTask();
  WriteBrowserPreferences();
  NotifyStepCompleted();
  Succeed();
}

void Installer::SetDefaultBrowser() {
  if (GetWindowsVersionRank() >= kWindows10 &&
      (command_line_.HasSwitch("parent-pid") || settings_->IsSilent() ||
       status().IsDefaultBrowser()))
    return;
  if (!settings_->IsDefaultBrowser() || IsCopyOnly()) return;
  ShellIntegration shell(install_folder_, record_);
  if (settings_->IsAllUsers()) {
    shell.RememberPreviousDefault(ShellLevel::kMachine);
    shell.MakeDefaultBrowser(ShellLevel::kMachine);
  }
  shell.RememberPreviousDefault(ShellLevel::kUser);
  shell.MakeDefaultBrowser(ShellLevel::kUser);
}

void Installer::CreateAutoupdateTask() {
  // The folder rights of the elevated helper end with this run: a task of
  // this user could not update the installation later.
  if (undo_event_ && !settings_->IsAllUsers()) return;
  LOG(INFO) << "Creating scheduled task";
  std::unique_ptr<TaskScheduler> scheduler = CreateTaskScheduler();
  if (!scheduler->Init()) {
    LOG(ERROR) << "Could not initialize task scheduler";
    return;
  }
  scheduler->RemoveStaleTasks();
  ScheduledTask task(install_folder_ / kLauncher);
  task.command_line.AppendSwitch("scheduledautoupdate");
  task.command_line.AppendArg(L"$(Arg0)");
  task.name_suffix = L"Autoupdate " + Utf8ToWide(record_.app_id);
  task.description = l10n::GetLocalizedString(IDS_AUTOUPDATE_TASK_DESCRIPTION);
  task.run_as_system = settings_->IsAllUsers();
  task.time_limit = 3600;
  bool scheduled = product::ScheduleAutoupdateTask();
  task.trigger_kind = scheduled ? ScheduledTask::kDaily : ScheduledTask::kNoTimeTrigger;
  task.at_logon = scheduled;
  task.network_required = true;
  if (!scheduler->CreateTask(task)) {
    LOG(ERROR) << "Could not create scheduled task";
    return;
  }
  JsonPrefStore prefs(install_folder_ / L"installer_prefs.json", nullptr);
  prefs.Load();
  const nlohmann::json* count = prefs.GetValue("au_task_error_count");
  if (count && count->is_number_integer() && count->get<long long>() > 0) {
    long long value = count->get<long long>() - 1;
    prefs.SetValue("au_task_error_count", value);
    VLOG(1) << "Setting autoupdate task error counter to : " << value;
  }
}

}  // namespace norva::installer
