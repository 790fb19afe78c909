// The file, shortcut and finishing steps of an installation.
#include <shlobj.h>

#include <ctime>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>

#include <nlohmann/json.hpp>

#include "base/file_util.h"
#include "base/json.h"
#include "base/json_pref_store.h"
#include "base/logging.h"
#include "base/strings.h"
#include "engine/file_steps.h"
#include "engine/step_helpers.h"
#include "installer/installation_status.h"
#include "installer/settings.h"
#include "package/files_list.h"
#include "product/languages.h"
#include "product/product_info.h"
#include "system/shell_integration.h"
#include "system/shortcut_steps.h"
#include "system/task_scheduler.h"
#include "system/task_scheduler_thread.h"
#include "system/transactions/copy_file_operation.h"
#include "system/transactions/create_folder_operation.h"
#include "system/transactions/delete_file_operation.h"
#include "system/transactions/file_helpers.h"
#include "system/transactions/move_file_operation.h"
#include "system/transactions/move_into_place_operation.h"
#include "system/windows_version.h"

namespace norva::installer {
namespace {

constexpr wchar_t kLauncher[] = L"launcher.exe";
constexpr wchar_t kRootFilesList[] = L"root_files_list";

// A file that could not be copied, with the programs that hold it or its
// source, so that the user knows what to close before trying again.
std::wstring NamedWithHolders(const FilePath& name, const std::vector<FilePath>& paths) {
  std::wstring holders = file_helpers::ProgramsHolding(paths);
  return holders.empty() ? name.native() : name.native() + L" (" + holders + L")";
}

// Files of the package that this run still reads or starts after the files
// are in place, or may start again for another attempt: copied, never moved.
constexpr const char* kPackageFilesThatStay[] = {"installer.exe",
                                                 "launcher.exe",
                                                 "files_list",
                                                 "root_files_list",
                                                 "pref_default_overrides",
                                                 "server_tracking_data",
                                                 "installer_prefs_include.json"};

ShortcutChoices ChoicesOf(const Settings& settings) {
  ShortcutChoices choices;
  choices.wanted[kDesktopShortcut] = settings.choices().desktop_shortcut;
  choices.wanted[kStartMenuShortcut] = settings.choices().start_menu_shortcut;
  choices.wanted[kQuickLaunchShortcut] = settings.choices().quick_launch_shortcut;
  choices.pin = settings.choices().pinned_shortcut;
  return choices;
}

ShortcutSteps ShortcutsOf(InstallContext& context) {
  return ShortcutSteps(context.install_folder, context.package_folder, &context.record,
                       &context.transaction);
}

}  // namespace

void NotifyShellOfClientChange() {
  // Bounded: a hung top-level window must not hold the installation up.
  SendMessageTimeoutW(HWND_BROADCAST, WM_SETTINGCHANGE, 0,
                      reinterpret_cast<LPARAM>(L"Software\\Clients\\StartMenuInternet"),
                      SMTO_ABORTIFHUNG, 1000, nullptr);
  SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST, nullptr, nullptr);
}

FileSteps::FileSteps(InstallContext& context) : context_(context) {}

FileSteps::~FileSteps() = default;

void FileSteps::StartRecord() {
  InstallLog& record = context_.record;
  record.copy_only = context_.IsCopyOnly();
  record.all_users = context_.settings->choices().all_users;
  record.path = context_.install_folder;
  record.version = product::ProductVersion();
  const InstallationStatus& existing = context_.status();
  if (context_.operation() == kOperationUpgrade && !existing.app_id.empty())
    record.app_id = existing.app_id;
  else
    record.app_id = std::to_string(static_cast<long long>(std::time(nullptr)));
  if (context_.operation() != kOperationInstall) {
    // Shortcut updates and removals start from what the installation made.
    record.desktop_shortcut = existing.desktop_shortcut;
    record.menu_shortcut = existing.menu_shortcut;
    record.quick_launch_shortcut = existing.quick_launch_shortcut;
    record.pinned = existing.pinned;
  }
}

StepResult FileSteps::Prepare() {
  if (context_.operation() == kOperationUninstall) return DeleteBrowserExecutable();
  if (StepResult failure = ReadFilesLists()) return failure;
  if (StepResult failure = CreateSubfolder()) return failure;
  // Connecting waits on the scheduler's service: it goes on meanwhile.
  scheduler_thread_.reset();
  if (!context_.IsCopyOnly()) {
    scheduler_thread_ = std::make_unique<TaskSchedulerThread>();
    if (!scheduler_thread_->Connect()) scheduler_thread_.reset();
  }
  return {};
}

StepResult FileSteps::ReadFilesLists() {
  VLOG(1) << "Reading files list";
  files_.clear();
  root_files_.clear();
  const FilePath& package = context_.package_folder;
  if (!ReadFilesList(package / kFilesListName, &files_))
    return StepFailure{IDS_GENERAL_FAILURE, L"", "Could not read files list"};
  if (files_.empty()) return StepFailure{IDS_GENERAL_FAILURE, L"", "No files in files list"};
  FilePath root_list = package / kRootFilesList;
  if (PathExists(root_list) && !ReadFilesList(root_list, &root_files_)) root_files_.clear();
  for (const auto* list : {&files_, &root_files_}) {
    for (const std::string& entry : *list) {
      if (!IsSafeRelativePath(Utf8ToWide(entry))) {
        return StepFailure{IDS_GENERAL_FAILURE, Utf8ToWide(entry),
                           "Invalid entry in files list: " + entry};
      }
    }
  }
  FindMovableFiles();
  return {};
}

// A file named twice in the lists is copied each time: moving it the first
// time would leave nothing for the second. Only the versioned subfolder's
// files move: a recovery gives back what it finds there.
void FileSteps::FindMovableFiles() {
  movable_.clear();
  moves_recorded_ = false;
  if (!context_.PackageFilesMayMove()) return;
  std::unordered_map<std::string, int> names;
  for (const auto* list : {&files_, &root_files_})
    for (const std::string& entry : *list) ++names[ToLowerASCII(entry)];
  for (const char* name : kPackageFilesThatStay) names[name] += 2;
  for (const auto& [name, count] : names)
    if (count == 1) movable_.insert(name);
}

StepResult FileSteps::CreateSubfolder() {
  const std::string version = product::ProductVersion();
  std::string name = version;
  for (int n = 0; PathExists(context_.install_folder / Utf8ToWide(name)); ++n)
    name = version + "_" + std::to_string(n);
  VLOG(1) << "Installation subfolder " << name;
  context_.record.subfolder = Utf8ToWide(name);
  FilePath folder = context_.install_folder / context_.record.subfolder;
  if (!context_.transaction.Execute(std::make_unique<CreateFolderOperation>(folder))) {
    return StepFailure{IDS_FOLDER_NOT_CREATED, folder.native(),
                       "Creating installation subfolder failed"};
  }
  return {};
}

size_t FileSteps::FileCount(bool root_files) const {
  return (root_files ? root_files_ : files_).size();
}

StepResult FileSteps::CopyEntry(size_t index, bool root_files) {
  const std::vector<std::string>& list = root_files ? root_files_ : files_;
  if (list.empty()) return {};
  const std::string& entry = list.at(index);
  VLOG(1) << "Copying file " << entry;
  const FilePath& folder = context_.install_folder;
  FilePath relative = Utf8ToWide(entry);
  FilePath destination =
      root_files ? folder / relative : folder / context_.record.subfolder / relative;
  FilePath source = context_.package_folder / relative;
  std::unique_ptr<Operation> transfer;
  if (!root_files && movable_.contains(ToLowerASCII(entry)) && RecordMovesFromPackage())
    transfer = std::make_unique<MoveIntoPlaceOperation>(source, destination);
  else
    transfer = std::make_unique<CopyFileOperation>(source, destination);
  if (!context_.transaction.Execute(std::move(transfer))) {
    return StepFailure{IDS_COPY_FAILED, NamedWithHolders(relative, {destination, source}),
                       "Failed copying " + WideToUtf8(destination.native())};
  }
  (root_files ? context_.record.root_files : context_.record.files).push_back(relative);
  return {};
}

// Before the first move: a later run of this package, recovering from this
// one, puts the moved files back instead of deleting them with the subfolder.
bool FileSteps::RecordMovesFromPackage() {
  if (moves_recorded_) return true;
  FilePath subfolder = context_.install_folder / context_.record.subfolder;
  moves_recorded_ = WriteAhead(&context_.transaction,
                               {.kind = JournalRecord::Kind::kMovedFromPackage,
                                .texts = {context_.package_folder.native(), subfolder.native()}});
  if (!moves_recorded_) movable_.clear();
  return moves_recorded_;
}

StepResult FileSteps::InstallLauncher() {
  LOG(INFO) << "Installing the launcher";
  FilePath source = context_.package_folder / kLauncher;
  FilePath launcher = context_.install_folder / kLauncher;
  if (!context_.transaction.Execute(std::make_unique<CopyFileOperation>(source, launcher))) {
    return StepFailure{IDS_COPY_FAILED, NamedWithHolders(launcher, {launcher, source}),
                       "Failed copying the launcher"};
  }
  if (!product::WhiteLabeled()) {
    // Shortcuts and associations of older installations start the browser
    // executable in the installation folder: it becomes a launcher as well.
    FilePath browser = context_.install_folder / BrowserExecutableName();
    FilePath old = browser;
    old += L".old";
    if (context_.status().IsLegacyInstallation() || (PathExists(browser) && PathExists(old))) {
      if (context_.transaction.Execute(std::make_unique<MoveFileOperation>(browser, old)))
        context_.transaction.Execute(std::make_unique<CopyFileOperation>(source, browser));
    }
  }
  CopyLauncherExtras();
  return {};
}

void FileSteps::CopyLauncherExtras() {
  if (context_.command_line.HasSwitch("server-tracking-data")) {
    FilePath data =
        context_.package_folder / context_.command_line.GetSwitchValuePath("server-tracking-data");
    if (PathExists(data)) {
      context_.transaction.Execute(std::make_unique<CopyFileOperation>(
          data, context_.install_folder / L"server_tracking_data"));
    }
  }
  FilePath overrides = context_.package_folder / L"pref_default_overrides";
  nlohmann::json parsed;
  if (ReadJsonFile(overrides, &parsed)) {
    context_.transaction.Execute(std::make_unique<CopyFileOperation>(
        overrides, context_.install_folder / L"pref_default_overrides"));
  }
}

void FileSteps::InstallShortcuts() {
  if (context_.IsCopyOnly()) return;
  ShortcutsOf(context_).Install(ChoicesOf(*context_.settings),
                                GetShortcutFolders(context_.settings->choices().all_users));
}

void FileSteps::UpdateShortcuts() {
  ShortcutsOf(context_).Update(ChoicesOf(*context_.settings), context_.status().shortcuts(),
                               GetShortcutFolders(context_.settings->choices().all_users));
}

void FileSteps::RemoveRecordedShortcuts() {
  ShortcutsOf(context_).RemoveRecorded(context_.status().shortcuts());
}

void FileSteps::DeletePreviousRootFiles() {
  for (const FilePath& entry : context_.status().root_files) {
    if (!context_.transaction.Execute(
            std::make_unique<DeleteFileOperation>(context_.install_folder / entry, false, true)))
      LOG(WARNING) << "Could not delete previous root file " << entry;
  }
}

StepResult FileSteps::DeleteBrowserExecutable() {
  std::wstring name = BrowserExecutableName();
  const FilePath& subfolder = context_.status().subfolder;
  // A log that leads out of the installation folder names no file of ours.
  if (!subfolder.empty() && !IsSafeRelativePath(subfolder)) {
    LOG(WARNING) << "Not deleting the browser of the invalid subfolder " << subfolder;
    return {};
  }
  FilePath browser = context_.install_folder / subfolder / name;
  if (!context_.transaction.Execute(std::make_unique<DeleteFileOperation>(browser, true, true))) {
    return StepFailure{IDS_BROWSER_IN_USE, L"",
                       "Can't uninstall when " + WideToUtf8(name) + " is in use"};
  }
  return {};
}

StepResult FileSteps::FinalizeInstallation(bool folder_rights_borrowed) {
  LOG(INFO) << "Finalizing the installation";
  std::string text;
  if (!WriteInstallLog(context_.record, &text) ||
      !WriteFileAtomically(context_.install_folder / L"installation_status.xml", text)) {
    scheduler_thread_.reset();
    return StepFailure{IDS_GENERAL_FAILURE, L"", "Failed saving the installation status"};
  }
  SetDefaultBrowser();
  // The folder rights of the elevated helper end with this run: a task of
  // this user could not update the installation later.
  bool make_task = !context_.IsCopyOnly() &&
                   !(folder_rights_borrowed && !context_.settings->choices().all_users);
  // Both the task and the shell's notification wait on other processes (the
  // scheduler's service; under Wine the menu builder that the notification
  // starts), so the task is made on the scheduler's thread meanwhile. The
  // broadcast stays on this thread, which answers for its own windows.
  bool posted =
      make_task && scheduler_thread_ && scheduler_thread_->Post([this](TaskScheduler* scheduler) {
        CreateAutoupdateTask(scheduler);
      });
  if (make_task && !posted) {
    std::unique_ptr<TaskScheduler> scheduler = CreateTaskScheduler();
    CreateAutoupdateTask(scheduler->Init() ? scheduler.get() : nullptr);
  }
  NotifyShellOfClientChange();
  scheduler_thread_.reset();
  return {};
}

void FileSteps::SetDefaultBrowser() {
  if (GetWindowsVersionRank() >= kWindows10 &&
      (context_.command_line.HasSwitch("parent-pid") || context_.settings->options().silent ||
       context_.status().IsDefaultBrowser()))
    return;
  if (!context_.settings->choices().default_browser || context_.IsCopyOnly()) return;
  ShellIntegration shell(context_.install_folder, context_.record);
  if (context_.settings->choices().all_users) {
    shell.RememberPreviousDefault(ShellLevel::kMachine);
    shell.MakeDefaultBrowser(ShellLevel::kMachine);
  }
  shell.RememberPreviousDefault(ShellLevel::kUser);
  shell.MakeDefaultBrowser(ShellLevel::kUser);
}

void FileSteps::CreateAutoupdateTask(TaskScheduler* scheduler) {
  LOG(INFO) << "Creating scheduled task";
  if (!scheduler) {
    LOG(ERROR) << "Could not initialize task scheduler";
    return;
  }
  scheduler->RemoveStaleTasks();
  ScheduledTask task(context_.install_folder / kLauncher);
  task.command_line.AppendSwitch("scheduledautoupdate");
  task.command_line.AppendArg(L"$(Arg0)");
  task.name_suffix = L"Autoupdate " + Utf8ToWide(context_.record.app_id);
  task.description = l10n::GetLocalizedString(IDS_AUTOUPDATE_TASK_DESCRIPTION);
  task.run_as_system = context_.settings->choices().all_users;
  task.time_limit = 3600;
  bool scheduled = product::ScheduleAutoupdateTask();
  task.trigger_kind = scheduled ? ScheduledTask::kDaily : ScheduledTask::kNoTimeTrigger;
  task.at_logon = scheduled;
  task.network_required = true;
  if (!scheduler->CreateTask(task)) {
    LOG(ERROR) << "Could not create scheduled task";
    return;
  }
  JsonPrefStore prefs(context_.install_folder / L"installer_prefs.json", nullptr);
  prefs.Load();
  const nlohmann::json* count = prefs.GetValue("au_task_error_count");
  if (count && count->is_number_integer() && count->get<long long>() > 0) {
    long long value = count->get<long long>() - 1;
    prefs.SetValue("au_task_error_count", value);
    VLOG(1) << "Setting autoupdate task error counter to : " << value;
  }
}

}  // namespace norva::installer
