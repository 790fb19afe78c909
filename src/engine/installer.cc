#include "engine/installer.h"

#include <ctime>
#include <utility>

#include "base/file_util.h"
#include "base/logging.h"
#include "base/strings.h"
#include "base/task_runner.h"
#include "engine/step_helpers.h"
#include "installer/installation_status.h"
#include "installer/settings.h"
#include "product/installer_features.h"
#include "product/product_info.h"
#include "system/access_rights.h"
#include "system/object_names.h"
#include "system/transactions/create_folder_operation.h"
#include "system/transactions/delete_file_operation.h"
#include "system/transactions/journal_recovery.h"

namespace norva::installer {
namespace {

// Read, write and execute access to the installation folder.
constexpr DWORD kFolderAccessMask = 0x1201bf;
constexpr wchar_t kFilesList[] = L"files_list";
constexpr wchar_t kRootFilesList[] = L"root_files_list";

// The entries of a files list: "\r\n"-separated, empty pieces dropped.
std::vector<std::string> SplitFilesList(const std::string& text) {
  std::vector<std::string> entries;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find("\r\n", start);
    if (end == std::string::npos) end = text.size();
    if (end > start) entries.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return entries;
}

bool ReadFilesList(const FilePath& file, std::vector<std::string>* entries) {
  std::string text;
  if (!ReadFileToString(file, &text)) return false;
  *entries = SplitFilesList(text);
  return true;
}

}  // namespace

Installer::Installer(CommandLine command_line, FilePath package_folder)
    : command_line_(std::move(command_line)),
      task_runner_(ThreadTaskRunnerHandle::Get()),
      package_folder_(std::move(package_folder)) {}

Installer::~Installer() {
  if (running_) transaction_.Rollback();
  interrupted_watcher_.StopWatching();
  package_ready_watcher_.StopWatching();
  for (HANDLE* event : {&interrupted_event_, &package_ready_event_, &undo_event_}) {
    if (*event) CloseHandle(*event);
    *event = nullptr;
  }
}

void Installer::AddObserver(InstallerObserver* observer) { observers_.push_back(observer); }

void Installer::RemoveObserver(InstallerObserver* observer) {
  std::erase(observers_, observer);
}

void Installer::PostRun(Settings* settings) {
  PostTask("norva::installer::Installer::Run", [this, settings] { Run(settings); });
}

void Installer::Run(Settings* settings) {
  if (running_) {
    LOG(ERROR) << "Installer already running";
    return;
  }
  settings_ = settings;
  running_ = true;
  succeeded_ = false;
  record_ = InstallLog();
  files_.clear();
  root_files_.clear();
  install_folder_ = status().GetPath();
  if (!CheckRequest()) return;
  if (command_line_.HasSwitch("post-elevated-install-tasks")) {
    RunPostElevationTasks();
    Succeed();
    return;
  }
  if (!RecoverAndOpenJournal() || !WatchInterruptedEvent()) return;
  if (command_line_.HasSwitch("parent-pid")) {
    partner_pid_ = static_cast<uint32_t>(
        std::wcstoul(command_line_.GetSwitchValue("parent-pid").c_str(), nullptr, 10));
  }
  bool handed_over = false;
  if (!SettleFolderAndRights(&handed_over) || handed_over) return;
  for (InstallerObserver* observer : observers_) observer->OnInstallationStarted();
  if (command_line_.HasSwitch("wait-for-package")) {
    WaitForPackage(false);
    return;
  }
  FillRecord();
  if (operation() == kOperationUninstall) {
    if (!DeleteBrowserExecutable()) return;
  } else if (!ReadFilesLists() || !CreateSubfolder()) {
    return;
  }
  ReapplyExperiments();
  BuildSteps();
}

bool Installer::CheckRequest() {
  if (settings_->IsAutoupdate() && operation() != kOperationUpgrade &&
      !status().IsLegacyInstallation()) {
    LOG(ERROR) << Fail(IDS_GENERAL_FAILURE, L"", "Settings operation invalid for autoupdate");
    return false;
  }
  if (operation() == kOperationNone) {
    LOG(ERROR) << Fail(IDS_INVALID_OPERATION, L"", "Settings operation invalid");
    return false;
  }
  if (package_folder_.empty()) {
    FilePath executable = GetExecutablePath();
    if (executable.empty()) {
      LOG(ERROR) << Fail(IDS_GENERAL_FAILURE, L"", "Failed getting our own path");
      return false;
    }
    package_folder_ = executable.parent_path();
  }
  return true;
}

// A run killed while it changed this folder left a journal; it is rolled
// back before anything else changes, then this run's own journal begins.
bool Installer::RecoverAndOpenJournal() {
  const bool machine = settings_->IsAllUsers() && IsUserAdmin(false);
  switch (RecoverInterruptedInstallations(install_folder_, machine)) {
    case RecoveryResult::kOwnerAlive:
      LOG(ERROR) << Fail(IDS_MUTEX_FAILURE, L"",
                         "Another installation into this folder is still running");
      return false;
    case RecoveryResult::kFailed:
      LOG(ERROR) << Fail(IDS_GENERAL_FAILURE, L"",
                         "Could not roll back an interrupted installation");
      return false;
    default:
      break;
  }
#ifndef NORVA_WITHOUT_JOURNAL
  FilePath journal = Journal::PathFor(install_folder_, machine);
  if (journal.empty()) {
    LOG(ERROR) << Fail(IDS_GENERAL_FAILURE, L"", "Could not prepare the installation journal");
    return false;
  }
  journal_.Open(journal, install_folder_);
#endif
  return true;
}

bool Installer::WatchInterruptedEvent() {
  std::wstring name = GetObjectNameForFolder(kInstallationInterruptedEvent,
                                             install_folder_, true);
  interrupted_event_ = OpenEventW(SYNCHRONIZE, FALSE, name.c_str());
  if (!interrupted_event_) {
    LOG(ERROR) << Fail(IDS_GENERAL_FAILURE, L"",
                       "Failed to open a handle to the installation interrupted event");
    return false;
  }
  if (!interrupted_watcher_.StartWatching(interrupted_event_, this)) {
    LOG(ERROR) << Fail(IDS_GENERAL_FAILURE, L"",
                       "Failed to watch the installation interrupted event");
    return false;
  }
  return true;
}

bool Installer::SettleFolderAndRights(bool* handed_over) {
  const bool admin = IsUserAdmin(false);
  const bool all_users = settings_->IsAllUsers();
  if (all_users && settings_->IsSilent() && !admin) {
    LOG(ERROR) << Fail(IDS_GENERAL_FAILURE, L"",
                       "Installation requires elevation, but cannot elevate when silent");
    return false;
  }
  const bool existed = DirectoryExists(install_folder_);
  const bool may_create = !all_users || admin;
  if (!existed && may_create && status().IsWritable() &&
      !transaction_.Execute(std::make_unique<CreateFolderOperation>(install_folder_))) {
    LOG(ERROR) << Fail(IDS_FOLDER_NOT_CREATED, install_folder_.native(),
                       "Could not create installation folder");
    return false;
  }
  if (operation() != kOperationUninstall && !IsCopyOnly() && !IsAutoupdate())
    WriteLastInstallPath();
  bool writable = !(!existed && may_create && !status().IsWritable()) &&
                  CheckAccess(install_folder_.native(), kFileObjectType, kFolderAccessMask);
  const bool single_profile_grant = operation() == kOperationInstall &&
                                    settings_->IsSingleProfile() &&
                                    status().GetSingleProfile() != 1;
  if (!writable && single_profile_grant) {
    LOG(ERROR) << Fail(IDS_NO_WRITE_ACCESS, L"",
                       "Single profile installations are only allowed to locations where the "
                       "user has write access");
    return false;
  }
  if (all_users && !admin) {
    *handed_over = true;
    return HandleElevatedResult(RunElevated());
  }
  if (single_profile_grant && admin) {
    // Every user of a single-profile installation writes into its folder.
    std::unique_ptr<SavedPermissions> unused;
    ObtainPermissions(install_folder_.native(), kFileObjectType, GENERIC_ALL, true, &unused);
  }
  VLOG(1) << "Write privileges for install folder: " << writable;
  if (!writable) {
    if (!ObtainWriteAccess(admin, handed_over)) return false;
    if (*handed_over) return true;
  }
  if (!transaction_.Execute(std::make_unique<CreateFolderOperation>(install_folder_))) {
    LOG(ERROR) << Fail(IDS_FOLDER_NOT_CREATED, install_folder_.native(),
                       "Could not create installation folder");
    return false;
  }
  return true;
}

bool Installer::HandleElevatedResult(int result) {
  // A hand-over that failed the run itself (the package wait after an
  // elevated installation) has given it its one outcome already.
  if (!running_) return result == 0;
  switch (result) {
    case 0:
      // An elevated run that waits for the package finishes later, through
      // the package-ready watcher.
      if (!package_ready_watcher_.IsWatching()) Succeed();
      return true;
    case 1:
      LOG(ERROR) << Fail(IDS_ELEVATION_FAILED, L"", "Elevated installation failed.");
      return false;
    case 2:
      LOG(ERROR) << Fail(IDS_GENERAL_FAILURE, L"",
                         "Installer process did not complete successfully.");
      return false;
    default:
      LOG(ERROR) << Fail(IDS_GENERAL_FAILURE, L"", "Error when setting up the installer process");
      return false;
  }
}

bool Installer::ObtainWriteAccess(bool admin, bool* handed_over) {
  std::unique_ptr<SavedPermissions> unused;
  if (ObtainPermissions(install_folder_.native(), kFileObjectType, kFolderAccessMask, true,
                        &unused))
    return true;
  if (admin) {
    LOG(ERROR) << Fail(IDS_NO_WRITE_ACCESS, L"",
                       "Could not obtain write permissions to installation folder");
    return false;
  }
  if (IsUserAdmin(true)) {
    *handed_over = true;
    return HandleElevatedResult(RunElevated());
  }
  switch (GetFolderPermissionsElevated(install_folder_, false)) {
    case 0:
      break;
    case 1:
      LOG(ERROR) << Fail(IDS_ELEVATION_FAILED, L"",
                         "Failed to elevate the process to give us write permissions to "
                         "installation folder");
      return false;
    case 2:
      LOG(ERROR) << Fail(IDS_GENERAL_FAILURE, L"",
                         "The process for giving us write permission to the installer folder "
                         "didn't complete successfully");
      return false;
    default:
      LOG(ERROR) << Fail(IDS_GENERAL_FAILURE, L"",
                         "Error when setting up the process to give us write permissions to "
                         "installation folder");
      return false;
  }
  if (!CheckAccess(install_folder_.native(), kFileObjectType, kFolderAccessMask)) {
    LOG(ERROR) << Fail(IDS_NO_WRITE_ACCESS, L"",
                       "No write access to installation folder after attempting to get it via "
                       "elevated process");
    return false;
  }
  return true;
}

void Installer::FillRecord() {
  record_.copy_only = IsCopyOnly();
  record_.all_users = settings_->IsAllUsers();
  record_.path = install_folder_;
  record_.version = product::ProductVersion();
  const InstallationStatus& existing = status();
  if (operation() == kOperationUpgrade && !existing.app_id.empty())
    record_.app_id = existing.app_id;
  else
    record_.app_id = std::to_string(static_cast<long long>(std::time(nullptr)));
  if (operation() != kOperationInstall) {
    // Shortcut updates and removals start from what the installation made.
    record_.desktop_shortcut = existing.desktop_shortcut;
    record_.menu_shortcut = existing.menu_shortcut;
    record_.quick_launch_shortcut = existing.quick_launch_shortcut;
    record_.pinned = existing.pinned;
  }
}

bool Installer::ReadFilesLists() {
  VLOG(1) << "Reading files list";
  if (!ReadFilesList(package_folder_ / kFilesList, &files_)) {
    LOG(ERROR) << Fail(IDS_GENERAL_FAILURE, L"", "Could not read files list");
    return false;
  }
  if (files_.empty()) {
    LOG(ERROR) << Fail(IDS_GENERAL_FAILURE, L"", "No files in files list");
    return false;
  }
  FilePath root_list = package_folder_ / kRootFilesList;
  if (PathExists(root_list) && !ReadFilesList(root_list, &root_files_)) root_files_.clear();
  for (const auto* list : {&files_, &root_files_}) {
    for (const std::string& entry : *list) {
      if (!IsSafeRelativePath(Utf8ToWide(entry))) {
        LOG(ERROR) << Fail(IDS_GENERAL_FAILURE, Utf8ToWide(entry),
                           "Invalid entry in files list: " + entry);
        return false;
      }
    }
  }
  return true;
}

bool Installer::CreateSubfolder() {
  const std::string version = product::ProductVersion();
  std::string name = version;
  for (int n = 0; PathExists(install_folder_ / Utf8ToWide(name)); ++n)
    name = version + "_" + std::to_string(n);
  VLOG(1) << "Installation subfolder " << name;
  record_.subfolder = Utf8ToWide(name);
  FilePath folder = install_folder_ / record_.subfolder;
  if (!transaction_.Execute(std::make_unique<CreateFolderOperation>(folder))) {
    LOG(ERROR) << Fail(IDS_FOLDER_NOT_CREATED, folder.native(),
                       "Creating installation subfolder failed");
    return false;
  }
  return true;
}

void Installer::BuildSteps() {
  static const Step kInstall[] = {
      &Installer::StepCopyFiles,          &Installer::StepCopyRootFiles,
      &Installer::StepInstallLauncher,    &Installer::StepSetUpRegistry,
      &Installer::StepInstallShortcuts,   &Installer::StepSeedPreferences,
      &Installer::StepFinalizeInstallation};
  static const Step kUpgrade[] = {
      &Installer::StepCleanUpPreviousStatus, &Installer::StepCopyFiles,
      &Installer::StepDeletePreviousRootFiles, &Installer::StepCopyRootFiles,
      &Installer::StepInstallLauncher, &Installer::StepRemoveRecordedRegistryEntries,
      &Installer::StepSetUpRegistry, &Installer::StepUpdateShortcuts,
      &Installer::StepSeedPreferences, &Installer::StepPreservePreviousStatus,
      &Installer::StepFinalizeInstallation};
  static const Step kUninstall[] = {
      &Installer::StepRemoveRecordedRegistryEntries, &Installer::StepRemoveRecordedShortcuts,
      &Installer::StepFinalizeUninstallation, &Installer::StepCleanUpPreviousStatus,
      &Installer::StepSelfRemoval};
  switch (operation()) {
    case kOperationInstall: steps_.assign(std::begin(kInstall), std::end(kInstall)); break;
    case kOperationUpgrade: steps_.assign(std::begin(kUpgrade), std::end(kUpgrade)); break;
    default: steps_.assign(std::begin(kUninstall), std::end(kUninstall)); break;
  }
  // One unit per step, one per further copied file, one for the end. An
  // empty root list adds nothing: its step completes as a single unit.
  int extra = 0;
  if (operation() != kOperationUninstall) {
    extra = static_cast<int>(files_.size()) - 1;
    if (!root_files_.empty()) extra += static_cast<int>(root_files_.size()) - 1;
  }
  int total = static_cast<int>(steps_.size()) + extra + 1;
  for (InstallerObserver* observer : observers_) observer->SetTotalSteps(total);
  cursor_ = 0;
  ScheduleNextStep();
}

void Installer::PostTask(const char* location, std::function<void()> task) {
  auto weak = weak_factory_.GetWeakPtr();
  uint64_t generation = generation_;
  task_runner_->PostTask(Location{location, 0}, [weak, generation, task = std::move(task)] {
    // A run that ended meanwhile drops the tasks it had posted.
    if (weak && weak->generation_ == generation) task();
  });
}

void Installer::ScheduleNextStep() {
  if (cursor_ >= steps_.size()) {
    LOG(ERROR) << "No step left to schedule";
    return;
  }
  Step step = steps_[cursor_];
  PostTask("norva::installer::Installer::ScheduleNextStep", [this, step] { (this->*step)(); });
  NotifyStepCompleted();
  ++cursor_;
}

void Installer::NotifyStepCompleted() {
  for (InstallerObserver* observer : observers_) observer->OnStepCompleted();
}

std::string Installer::Fail(int message_id, const std::wstring& detail,
                            const std::string& message) {
  for (InstallerObserver* observer : observers_)
    observer->OnInstallationFailed(message_id, detail, message);
  Cancel();
  return message;
}

void Installer::Cancel() {
  if (!running_) return;
  // The preference file is written outside the transaction; one that this
  // run created would keep the rolled-back folder alive.
  if (created_installer_prefs_)
    DeleteFileW(ExtendedLengthPath(install_folder_ / L"installer_prefs.json").c_str());
  transaction_.Rollback();
  Reset();
  for (InstallerObserver* observer : observers_) observer->OnInstallerTerminated(false);
}

void Installer::Succeed() {
  if (!running_) return;  // a hand-over that already ended the run
  succeeded_ = true;
  transaction_.Commit();
  for (InstallerObserver* observer : observers_) observer->OnInstallationSucceeded();
  Reset();
}

void Installer::Reset() {
  if (undo_event_) {
    SetEvent(undo_event_);
    CloseHandle(undo_event_);
    undo_event_ = nullptr;
  }
  for (HandleWatcher* watcher : {&interrupted_watcher_, &package_ready_watcher_})
    watcher->StopWatching();
  for (HANDLE* event : {&interrupted_event_, &package_ready_event_}) {
    if (*event) CloseHandle(*event);
    *event = nullptr;
  }
  settings_ = nullptr;
  uninstall_key_.clear();
  steps_.clear();
  cursor_ = 0;
  created_installer_prefs_ = false;
  running_ = false;
  ++generation_;
}

void Installer::OnHandleSignaled(HANDLE handle) { OnObjectSignaled(handle); }

void Installer::OnObjectSignaled(HANDLE handle) {
  if (handle == interrupted_event_ && running_) {
    LOG(INFO) << "Installation interrupted";
    Cancel();
  } else if (handle == package_ready_event_) {
    RunPackageInstaller();
  }
}

const InstallationStatus& Installer::status() const { return settings_->GetInstallationStatus(); }

int Installer::operation() const { return settings_->GetOperation(); }

bool Installer::IsCopyOnly() const { return settings_->IsCopyOnly(); }

bool Installer::IsAutoupdate() const { return settings_->IsAutoupdate(); }

std::wstring Installer::BrowserExecutableName() {
  return Utf8ToWide(product::FileNameBase()) + L".exe";
}

}  // namespace norva::installer
