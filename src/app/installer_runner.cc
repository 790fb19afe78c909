#include "app/installer_runner.h"

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <string>
#include <utility>

#include "base/command_line.h"
#include "base/file_util.h"
#include "base/logging.h"
#include "engine/install_context.h"
#include "engine/installer_observer.h"
#include "installer/installation_status.h"
#include "installer/settings.h"
#include "package/package_run_files.h"
#include "product/resource_ids.h"
#include "system/object_names.h"
#include "system/object_security.h"
#include "system/transactions/journal.h"

namespace norva::installer {
namespace {


std::wstring MutexName(const FilePath& folder) {
  return GetObjectNameForFolder(kInstallerMutexName, folder, true);
}

// The backend, or an elevated child that runs as another account, opens it
// by name.
ScopedHandle CreateFolderEvent(const wchar_t* name, const FilePath& folder,
                               bool* existed = nullptr) {
  return CreateSharedEvent(GetObjectNameForFolder(name, folder, true), true, existed);
}

// The handle value's 8 bytes in memory order, two upper-case digits each.
std::wstring EncodeHandle(HANDLE handle) {
  auto value = reinterpret_cast<uint64_t>(handle);
  std::wstring text;
  for (int i = 0; i < 8; ++i) {
    wchar_t digits[3];
    swprintf(digits, 3, L"%02X", static_cast<unsigned>((value >> (8 * i)) & 0xff));
    text += digits;
  }
  return text;
}

// An inheritable hold on the owner lock of the run that fetched the package,
// which a later run's sweep takes for a living owner: the backend keeps the
// package it installs from even when this process dies first. A package
// that came inside this executable has no lock.
ScopedHandle HoldOwnerLock(const FilePath& package_folder) {
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  return ScopedHandle(CreateFileW(
      ExtendedLengthPath(OwnerLockOfExtractionFolder(package_folder)).c_str(), GENERIC_READ,
      FILE_SHARE_READ, &inherit, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

}  // namespace

InstallerRunner::InstallerRunner(FilePath package_folder, bool movable_package)
    : package_folder_(std::move(package_folder)), movable_package_(movable_package) {}

InstallerRunner::~InstallerRunner() {
  StopInstallation();
  backend_watcher_.StopWatching();
  CloseEvents();
}

void InstallerRunner::AddObserver(InstallerObserver* observer) {
  NORVA_DCHECK_CALLED_ON_VALID_THREAD(thread_checker_);
  observers_.push_back(observer);
}

void InstallerRunner::RemoveObserver(InstallerObserver* observer) {
  NORVA_DCHECK_CALLED_ON_VALID_THREAD(thread_checker_);
  observers_.erase(std::remove(observers_.begin(), observers_.end(), observer), observers_.end());
}

bool InstallerRunner::Fail(int message_id, const char* message) {
  LOG(ERROR) << message;
  for (InstallerObserver* observer : std::vector(observers_))
    observer->OnInstallationFailed(message_id, std::wstring(), message);
  return false;
}

bool InstallerRunner::StartInstallation(Settings& settings) {
  NORVA_DCHECK_CALLED_ON_VALID_THREAD(thread_checker_);
  if (settings_ == &settings) LOG(INFO) << "Duplicate installation attempt detected";
  // A second backend for the same runner would lose the first one's handle.
  if (backend_running_ && backend_unwatched_ && !IsBackendRunning()) {
    backend_running_ = false;
    backend_unwatched_ = false;
  }
  if (backend_running_) {
    if (backend_unwatched_)
      return Fail(IDS_MUTEX_FAILURE, "The installer backend of an earlier attempt is still running");
    return false;
  }
  LOG(INFO) << "Beginning installation";
  if (settings.GetOperation() == kOperationNone)
    return Fail(IDS_INVALID_OPERATION, "Attempting to start installation with invalid settings");
  settings.SetModifiable(false);
  settings_ = &settings;
  success_reported_ = false;
  const FilePath folder = settings.GetInstallationStatus().GetPath();

  mutex_.reset();  // before creating it again, which would open the same one
  mutex_ = CreateSharedMutex(MutexName(folder), true);
  if (!mutex_) return Fail(IDS_MUTEX_FAILURE, "Could not create installer mutex");
  DWORD wait = WaitForSingleObject(mutex_.get(), 0);
  if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) {
    mutex_.reset();
    return Fail(IDS_MUTEX_FAILURE, "Could not acquire installer mutex");
  }

  found_interrupted_ = Journal::ExistsFor(folder);
  if (found_interrupted_) LOG(INFO) << "An interrupted installation into this folder is left";

  receiver_.Close();
  if (!receiver_.Connect(L"norva_installer\\" + folder.native()))
    return Fail(IDS_GENERAL_FAILURE, "Could not connect to mailslot");

  CommandLine backend_switches = settings.ToCommandLine(false);
  CommandLine command_line{FilePath()};
  for (const auto& [name, value] : backend_switches.GetSwitches()) {
    if (name != "server-tracking-data" && name != "initial-pid" &&
        name != "crash-reporter-pid" && name != "initial-proc-handle" &&
        name != "wait-for-package")
      command_line.AppendSwitchValue(name, value);
  }
  command_line.AppendSwitchPath("server-tracking-data", L"server_tracking_data");
  command_line.AppendSwitchValue("initial-pid", std::to_wstring(GetCurrentProcessId()));
  // No crash reporter runs beside this build's installer.
  command_line.AppendSwitchValue("crash-reporter-pid", L"0");
  if (movable_package_) command_line.AppendSwitch(kMovablePackageSwitch);
  if (owner_window_)
    command_line.AppendSwitchValue(
        kOwnerWindowSwitch, std::to_wstring(reinterpret_cast<uintptr_t>(owner_window_)));

  CloseEvents();
  bool existed = false;
  interrupted_event_ = CreateFolderEvent(kInstallationInterruptedEvent, folder, &existed);
  if (!interrupted_event_)
    return Fail(IDS_GENERAL_FAILURE, "Could not create installation interruption event");
  // Still open in a process of an earlier run that was told to stop.
  if (existed) ResetEvent(interrupted_event_.get());

  FilePath program;
  if (package_ready_) {
    program = package_folder_ / L"installer.exe";
  } else {
    bool ready_existed = false;
    package_ready_event_ = CreateFolderEvent(kPackageReadyEvent, folder, &ready_existed);
    if (!package_ready_event_)
      return Fail(IDS_GENERAL_FAILURE, "Could not create package ready event");
    // Still open elsewhere, perhaps signalled by an earlier run: only this
    // run's package may start the backend's installer.
    if (ready_existed) ResetEvent(package_ready_event_.get());
    program = GetExecutablePath();
    command_line.AppendSwitchPath("wait-for-package", package_folder_);
  }

  ScopedHandle own;
  ScopedHandle package_hold;
  {
    // LaunchProcess takes the same lock around the start itself and passes
    // an explicit inherit list, so no other child gets these handles.
    std::lock_guard<std::mutex> lock(ChildProcessLaunchLock());
    if (!DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), GetCurrentProcess(),
                         own.Receive(), SYNCHRONIZE, TRUE, 0))
      own.release();  // no handle to close
    package_hold = HoldOwnerLock(package_folder_);
  }
  if (!own) return Fail(IDS_GENERAL_FAILURE, "Could not duplicate own process handle");
  command_line.AppendSwitchValue("initial-proc-handle", EncodeHandle(own.get()));
  LaunchOptions options;
  options.handles_to_inherit = {own.get(), mutex_.get()};
  if (package_hold) options.handles_to_inherit.push_back(package_hold.get());
  Process backend = LaunchProcess(
      QuoteArgument(program.native()) + L" " + command_line.GetArgumentsString(), options);
  own.reset();
  package_hold.reset();
  if (!backend.IsValid()) return Fail(IDS_GENERAL_FAILURE, "Could not launch installer backend process");

  backend_ = std::move(backend);
  backend_running_ = true;
  AllowSetForegroundWindow(backend_.id());
  backend_watcher_.StopWatching();
  bool watching = backend_watcher_.StartWatching(backend_.handle(), this);
  if (watching && watch_refused_for_testing_) {
    backend_watcher_.StopWatching();
    watching = false;
  }
  if (!watching) {
    Fail(IDS_GENERAL_FAILURE, "Could not monitor the installer process handle");
    // Told to stop, the backend ends on its own; without a watch its end
    // is learnt from the process when next asked.
    StopInstallation();
    backend_unwatched_ = true;
    return false;
  }
  return true;
}

bool InstallerRunner::IsBackendRunning() const {
  if (!backend_running_) return false;
  return !backend_unwatched_ || !backend_.WaitForExit(0);
}

void InstallerRunner::SetPackageReady() {
  NORVA_DCHECK_CALLED_ON_VALID_THREAD(thread_checker_);
  if (package_ready_) return;
  package_ready_ = true;
  if (backend_running_ && package_ready_event_) SetEvent(package_ready_event_.get());
}

void InstallerRunner::StopInstallation() {
  NORVA_DCHECK_CALLED_ON_VALID_THREAD(thread_checker_);
  if (backend_running_ && interrupted_event_) SetEvent(interrupted_event_.get());
  if (mutex_) {
    // While the backend runs it shares the mutex; releasing it here would let
    // another frontend start into the same folder.
    if (!backend_running_) ReleaseMutex(mutex_.get());
    mutex_.reset();
  }
  CloseEvents();
  receiver_.Close();
  settings_ = nullptr;
}

void InstallerRunner::CloseEvents() {
  package_ready_event_.reset();
  interrupted_event_.reset();
}

bool InstallerRunner::WaitForBackendToEnd(DWORD timeout_ms) const {
  return !backend_running_ || backend_.WaitForExit(timeout_ms);
}

void InstallerRunner::OnHandleSignaled(HANDLE handle) { OnObjectSignaled(handle); }

void InstallerRunner::OnObjectSignaled(HANDLE handle) {
  NORVA_DCHECK_CALLED_ON_VALID_THREAD(thread_checker_);
  DWORD exit_code = 1;
  bool exit_code_zero = GetExitCodeProcess(handle, &exit_code) && exit_code == 0;
  // The mailslot reader may not have handed on the backend's last messages
  // yet; its success report among them decides the outcome.
  receiver_.Drain([weak = weak_factory_.GetWeakPtr(), exit_code_zero] {
    if (weak) weak->OnBackendEnded(exit_code_zero);
  });
}

void InstallerRunner::OnBackendEnded(bool exit_code_zero) {
  bool success = exit_code_zero && success_reported_;
  if (!success) {
    LOG(ERROR) << "The installer backend ended without reporting success";
    // A backend that waited for the package runs the package's installer,
    // which this process does not see; if the backend was killed, that one
    // still installs, keeps the mailslot's writing end and would finish an
    // installation reported as failed. It watches this event.
    if (interrupted_event_) SetEvent(interrupted_event_.get());
  }
  backend_running_ = false;
  for (InstallerObserver* observer : std::vector(observers_))
    observer->OnInstallerTerminated(success);
}

void InstallerRunner::OnMessageReceived(const InstallerMessage& message) {
  NORVA_DCHECK_CALLED_ON_VALID_THREAD(thread_checker_);
  using Type = InstallerMessageType;
  if (message.type == Type::kInstallationSucceeded) {
    // A backend that waited for the package, or handed the installation to
    // an elevated copy of itself, reports success after the installer it
    // started has reported its own: one run, one success.
    if (success_reported_) return;
    success_reported_ = true;
  }
  for (InstallerObserver* observer : std::vector(observers_)) {
    switch (message.type) {
      case Type::kChildProcessStarting:
        observer->OnChildProcessStarting(message.elevated);
        break;
      case Type::kChildProcessFinished:
        observer->OnChildProcessFinished();
        break;
      case Type::kInstallationStarted:
        observer->OnInstallationStarted();
        break;
      case Type::kSetTotalSteps:
        observer->SetTotalSteps(message.steps);
        break;
      case Type::kStepCompleted:
        observer->OnStepCompleted();
        break;
      case Type::kInstallationFailed:
        observer->OnInstallationFailed(message.message_id, message.detail, message.message);
        break;
      case Type::kInstallationSucceeded:
        observer->OnInstallationSucceeded();
        break;
      default:
        LOG(ERROR) << "Not a valid installer message type";
        return;
    }
  }
}

}  // namespace norva::installer
