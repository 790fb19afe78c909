#include "engine/installer.h"

#include <algorithm>
#include <cwchar>
#include <utility>

#include "base/file_util.h"
#include "base/logging.h"
#include "base/task_runner.h"
#include "installer/installation_status.h"
#include "installer/settings.h"
#include "system/access_rights.h"
#include "system/object_names.h"
#include "system/transactions/journal_recovery.h"

namespace norva::installer {

Installer::Installer(CommandLine command_line, FilePath package_folder)
    : task_runner_(ThreadTaskRunnerHandle::Get()),
      context_(std::move(command_line), std::move(package_folder)) {}

Installer::~Installer() {
  if (running_) context_.transaction.Rollback();
  interrupted_watcher_.StopWatching();
}

void Installer::AddObserver(InstallerObserver* observer) { context_.observers.push_back(observer); }

void Installer::RemoveObserver(InstallerObserver* observer) {
  std::erase(context_.observers, observer);
}

void Installer::PostRun(Settings* settings) {
  PostTask("norva::installer::Installer::Run", [this, settings] { Run(settings); });
}

void Installer::Run(Settings* settings) {
  if (running_) {
    LOG(ERROR) << "Installer already running";
    return;
  }
  context_.settings = settings;
  running_ = true;
  succeeded_ = false;
  context_.record = InstallLog();
  context_.install_folder = context_.status().GetPath();
  const CommandLine& command_line = context_.command_line;
  if (!CheckRequest()) return;
  if (command_line.HasSwitch("post-elevated-install-tasks")) {
    elevation_.RunPostElevationTasks();
    Succeed();
    return;
  }
  if (!RecoverAndOpenJournal() || !WatchInterruptedEvent()) return;
  if (command_line.HasSwitch("parent-pid")) {
    context_.partner_pid = static_cast<uint32_t>(
        std::wcstoul(command_line.GetSwitchValue("parent-pid").c_str(), nullptr, 10));
  }
  bool handed_over = false;
  if (!SettleFolderAndRights(&handed_over) || handed_over) return;
  for (InstallerObserver* observer : context_.observers) observer->OnInstallationStarted();
  if (command_line.HasSwitch("wait-for-package")) {
    elevation_.WaitForPackage(false);
    return;
  }
  if (!TakePackageIntoCustody()) return;
  file_steps_.StartRecord();
  if (StepResult failure = file_steps_.Prepare()) {
    LOG(ERROR) << Fail(*failure);
    return;
  }
  preferences_.ReapplyExperiments();
  steps_ = BuildSteps();
  StartSteps();
}

bool Installer::TakePackageIntoCustody() {
  if (context_.operation() == kOperationUninstall ||
      !PackageCustody::Needed(context_.package_folder))
    return true;
  const DWORD initial_pid = static_cast<DWORD>(
      std::wcstoul(context_.command_line.GetSwitchValue("initial-pid").c_str(), nullptr, 10));
  FilePath taken = custody_.Take(
      PackageCustody::SignedPackageOf(context_.package_folder, initial_pid), context_.package_folder);
  if (taken.empty()) {
    LOG(ERROR) << Fail({IDS_GENERAL_FAILURE, L"", "The package could not be verified"});
    return false;
  }
  context_.package_folder = taken;
  return true;
}

bool Installer::CheckRequest() {
  if (context_.IsAutoupdate() && context_.operation() != kOperationUpgrade &&
      !context_.status().IsLegacyInstallation()) {
    LOG(ERROR) << Fail({IDS_GENERAL_FAILURE, L"", "Settings operation invalid for autoupdate"});
    return false;
  }
  if (context_.operation() == kOperationNone) {
    LOG(ERROR) << Fail({IDS_INVALID_OPERATION, L"", "Settings operation invalid"});
    return false;
  }
  if (context_.package_folder.empty()) {
    FilePath executable = GetExecutablePath();
    if (executable.empty()) {
      LOG(ERROR) << Fail({IDS_GENERAL_FAILURE, L"", "Failed getting our own path"});
      return false;
    }
    context_.package_folder = executable.parent_path();
  }
  return true;
}

// A run killed while it changed this folder left a journal; it is rolled
// back before anything else changes, then this run's own journal begins.
bool Installer::RecoverAndOpenJournal() {
  const FilePath& folder = context_.install_folder;
  const bool machine = context_.settings->choices().all_users && IsUserAdmin(false);
  // Files an interrupted run moved out of this same package go back into it.
  const FilePath own_package =
      context_.PackageFilesMayMove() ? context_.package_folder : FilePath();
  switch (RecoverInterruptedInstallations(folder, machine, own_package)) {
    case RecoveryResult::kOwnerAlive:
      LOG(ERROR) << Fail(
          {IDS_MUTEX_FAILURE, L"", "Another installation into this folder is still running"});
      return false;
    case RecoveryResult::kFailed:
      LOG(ERROR) << Fail(
          {IDS_GENERAL_FAILURE, L"", "Could not roll back an interrupted installation"});
      return false;
    default:
      break;
  }
#ifndef NORVA_WITHOUT_JOURNAL
  FilePath journal = Journal::PathFor(folder, machine);
  if (journal.empty()) {
    LOG(ERROR) << Fail({IDS_GENERAL_FAILURE, L"", "Could not prepare the installation journal"});
    return false;
  }
  context_.journal.Open(journal, JournalScope::ForInstallFolder(folder, machine));
#endif
  return true;
}

bool Installer::WatchInterruptedEvent() {
  std::wstring name =
      GetObjectNameForFolder(kInstallationInterruptedEvent, context_.install_folder, true);
  interrupted_event_.reset(OpenEventW(SYNCHRONIZE, FALSE, name.c_str()));
  if (!interrupted_event_) {
    LOG(ERROR) << Fail({IDS_GENERAL_FAILURE, L"",
                        "Failed to open a handle to the installation interrupted event"});
    return false;
  }
  if (!interrupted_watcher_.StartWatching(interrupted_event_.get(), this)) {
    LOG(ERROR) << Fail(
        {IDS_GENERAL_FAILURE, L"", "Failed to watch the installation interrupted event"});
    return false;
  }
  return true;
}

bool Installer::SettleFolderAndRights(bool* handed_over) {
  if (StepResult failure = folder_access_.Settle(handed_over)) {
    LOG(ERROR) << Fail(*failure);
    return false;
  }
  return !*handed_over || HandleElevatedResult(elevation_.RunElevated());
}

bool Installer::HandleElevatedResult(ElevationResult result) {
  // A hand-over that failed the run itself (the package wait after an
  // elevated installation) has given it its one outcome already.
  if (!running_) return result == ElevationResult::kDone;
  switch (result) {
    case ElevationResult::kDone:
      // An elevated run that waits for the package finishes later, through
      // the package-ready watcher.
      if (!elevation_.IsWaitingForPackage()) Succeed();
      return true;
    case ElevationResult::kNotStarted:
      LOG(ERROR) << Fail({IDS_ELEVATION_FAILED, L"", "Elevated installation failed."});
      return false;
    case ElevationResult::kChildFailed:
      LOG(ERROR) << Fail(
          {IDS_GENERAL_FAILURE, L"", "Installer process did not complete successfully."});
      return false;
    case ElevationResult::kSetUpError:
      break;
  }
  LOG(ERROR) << Fail({IDS_GENERAL_FAILURE, L"", "Error when setting up the installer process"});
  return false;
}

std::vector<Installer::Step> Installer::BuildSteps() {
  // Most steps are one unit of work, and many of them cannot fail.
  auto one = [](std::function<StepResult()> run) { return Step{[run](size_t) { return run(); }}; };
  auto always = [](std::function<void()> work) {
    return Step{[work](size_t) {
      work();
      return StepResult();
    }};
  };
  const Step copy_files{[this](size_t unit) { return file_steps_.CopyEntry(unit, false); },
                        file_steps_.FileCount(false)};
  // An empty root files list still makes one unit.
  const Step copy_root_files{[this](size_t unit) { return file_steps_.CopyEntry(unit, true); },
                             std::max<size_t>(1, file_steps_.FileCount(true))};
  const Step install_launcher = one([this] { return file_steps_.InstallLauncher(); });
  const Step set_up_registry = one([this] { return registration_.SetUp(); });
  const Step remove_registry_entries = always([this] { registration_.RemoveRecordedEntries(); });
  const Step install_shortcuts = always([this] { file_steps_.InstallShortcuts(); });
  const Step update_shortcuts = always([this] { file_steps_.UpdateShortcuts(); });
  const Step remove_shortcuts = always([this] { file_steps_.RemoveRecordedShortcuts(); });
  const Step delete_previous_root_files = always([this] { file_steps_.DeletePreviousRootFiles(); });
  const Step seed_preferences = always([this] { preferences_.Seed(); });
  const Step clean_up_previous_status = always([this] { uninstallation_.CleanUpPreviousStatus(); });
  const Step preserve_previous_status =
      always([this] { uninstallation_.PreservePreviousStatus(); });
  const Step finalize_installation = one([this] {
    StepResult result = file_steps_.FinalizeInstallation(elevation_.HoldsFolderRights());
    if (!result) preferences_.WriteBrowserPreferences();
    return result;
  });
  const Step finalize_uninstallation =
      one([this] { return uninstallation_.FinalizeUninstallation(); });
  const Step self_removal = always([this] { uninstallation_.RemoveInstallation(); });
  switch (context_.operation()) {
    case kOperationInstall:
      return {copy_files,        copy_root_files,  install_launcher,     set_up_registry,
              install_shortcuts, seed_preferences, finalize_installation};
    case kOperationUpgrade:
      return {clean_up_previous_status, copy_files,           delete_previous_root_files,
              copy_root_files,          install_launcher,     remove_registry_entries,
              set_up_registry,          update_shortcuts,     seed_preferences,
              preserve_previous_status, finalize_installation};
    default:
      return {remove_registry_entries, remove_shortcuts, finalize_uninstallation,
              clean_up_previous_status, self_removal};
  }
}

void Installer::StartSteps() {
  // One unit per step and per further copied file, one for the end.
  size_t total = 1;
  for (const Step& step : steps_) total += step.units;
  for (InstallerObserver* observer : context_.observers)
    observer->SetTotalSteps(static_cast<int>(total));
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
  PostTask("norva::installer::Installer::ScheduleNextStep",
           [this, index = cursor_] { RunStep(index, 0); });
  NotifyStepCompleted();
  ++cursor_;
}

void Installer::RunStep(size_t index, size_t unit) {
  const size_t units = steps_[index].units;
  if (StepResult failure = steps_[index].run(unit)) {
    LOG(ERROR) << Fail(*failure);
  } else if (unit + 1 < units) {
    NotifyStepCompleted();
    PostTask("norva::installer::Installer::RunStep",
             [this, index, unit] { RunStep(index, unit + 1); });
  } else if (index + 1 < steps_.size()) {
    ScheduleNextStep();
  } else {
    NotifyStepCompleted();
    Succeed();
  }
}

void Installer::NotifyStepCompleted() {
  for (InstallerObserver* observer : context_.observers) observer->OnStepCompleted();
}

std::string Installer::Fail(const StepFailure& failure) {
  for (InstallerObserver* observer : context_.observers)
    observer->OnInstallationFailed(failure.message_id, failure.detail, failure.message);
  Cancel();
  return failure.message;
}

void Installer::Finish(const StepResult& result) {
  if (result)
    LOG(ERROR) << Fail(*result);
  else
    Succeed();
}

void Installer::Cancel() {
  if (!running_) return;
  // The preference file is written outside the transaction; one that this
  // run created would keep the rolled-back folder alive.
  if (context_.created_installer_prefs) {
    DeleteFileW(ExtendedLengthPath(context_.install_folder / L"installer_prefs.json").c_str());
  }
  context_.transaction.Rollback();
  Reset();
  for (InstallerObserver* observer : context_.observers) observer->OnInstallerTerminated(false);
}

void Installer::Succeed() {
  if (!running_) return;  // a hand-over that already ended the run
  succeeded_ = true;
  context_.transaction.Commit();
  for (InstallerObserver* observer : context_.observers) observer->OnInstallationSucceeded();
  Reset();
}

void Installer::Reset() {
  elevation_.Reset();
  interrupted_watcher_.StopWatching();
  interrupted_event_.reset();
  context_.settings = nullptr;
  registration_.Reset();
  steps_.clear();
  cursor_ = 0;
  context_.created_installer_prefs = false;
  running_ = false;
  ++generation_;
}

void Installer::OnHandleSignaled(HANDLE handle) {
  if (handle == interrupted_event_.get() && running_) {
    LOG(INFO) << "Installation interrupted";
    Cancel();
  }
}

}  // namespace norva::installer
