#include <windows.h>

#include <lmcons.h>

#include <shellapi.h>

#include <string>
#include <utility>

#include "base/file_util.h"
#include "base/logging.h"
#include "base/process.h"
#include "base/scoped_handle.h"
#include "base/strings.h"
#include "engine/elevation.h"
#include "engine/package_custody.h"
#include "engine/preferences.h"
#include "installer/installation_status.h"
#include "installer/settings.h"
#include "product/product_info.h"
#include "system/access_rights.h"
#include "system/install_log.h"
#include "system/object_names.h"
#include "system/object_security.h"
#include "system/shell_integration.h"
#include "system/windows_version.h"

namespace norva::installer {
namespace {

// Whether asking for elevation can work: always for administrators and
// before Vista; otherwise unless UAC is known to be switched off.
bool CanElevate() {
  if (IsUserAdmin(true) || GetWindowsVersionRank() < kWindowsVista) return true;
  DWORD value = 1;
  DWORD size = sizeof(value);
  LONG result = RegGetValueW(HKEY_LOCAL_MACHINE,
                             L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Policies\\System",
                             L"EnableLUA", RRF_RT_REG_DWORD, nullptr, &value, &size);
  return result != ERROR_SUCCESS || value != 0;
}

Process StartElevated(const FilePath& program, const std::wstring& arguments, HWND owner) {
  SHELLEXECUTEINFOW info = {};
  info.cbSize = sizeof(info);
  info.hwnd = owner;
  // A failed start is reported as the run's failure; the shell's own error
  // box would hold the installer thread until someone closes it.
  info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
  info.lpVerb = L"runas";
  info.lpFile = program.c_str();
  info.lpParameters = arguments.c_str();
  info.nShow = SW_SHOWNORMAL;
  if (!ShellExecuteExW(&info) || !info.hProcess) return Process();
  return Process(info.hProcess, GetProcessId(info.hProcess));
}

}  // namespace

HWND PromptOwnerWindow(const CommandLine& command_line) {
  const std::wstring text = command_line.GetSwitchValue(kOwnerWindowSwitch);
  if (text.empty() || text.size() > 19 ||
      text.find_first_not_of(L"0123456789") != std::wstring::npos)
    return nullptr;
  HWND window = reinterpret_cast<HWND>(static_cast<uintptr_t>(std::stoull(text)));
  return IsWindow(window) ? window : nullptr;
}

namespace {

void CopySwitch(const CommandLine& from, const char* name, CommandLine* to) {
  if (from.HasSwitch(name)) to->AppendSwitchValue(name, from.GetSwitchValue(name));
}

// How a child installer proves that it succeeded: it signals this event (its
// name goes to the child with "success-event") only after its installation
// succeeded. An exit code of 0 is no proof on its own: a killed process can
// read back 0. Nobody else may be able to signal it, so its name cannot be
// guessed and an object that already has the name is never taken.
class ChildSuccessEvent {
 public:
  ChildSuccessEvent() {
    for (int attempt = 0; attempt < 3 && !event_; ++attempt) {
      name_ = UnguessableObjectName(L"Local\\NorvaInstaller/ChildSucceeded/");
      if (name_.empty()) return;
      event_ = CreateNewSharedEvent(name_, true);
      if (!event_ && GetLastError() != ERROR_ALREADY_EXISTS) return;
    }
  }

  bool valid() const { return event_.is_valid(); }
  void AddTo(CommandLine* command_line) const {
    command_line->AppendSwitchValue("success-event", name_);
  }
  bool IsSignaled() const {
    return event_ && WaitForSingleObject(event_.get(), 0) == WAIT_OBJECT_0;
  }

 private:
  std::wstring name_;
  ScopedHandle event_;
};

std::wstring CrashReporterPid(const CommandLine& command_line) {
  unsigned long pid = std::wcstoul(command_line.GetSwitchValue("crash-reporter-pid").c_str(),
                                   nullptr, 10);
  return StringPrintf(L"%u", static_cast<unsigned>(pid));
}

}  // namespace

ElevationHandOver::ElevationHandOver(InstallContext& context, PreferenceSeeding& preferences,
                                     std::function<void(const StepResult&)> end_run)
    : context_(context), preferences_(preferences), end_run_(std::move(end_run)) {}

ElevationHandOver::~ElevationHandOver() {
  package_ready_watcher_.StopWatching();
}

// The process that takes over runs the whole transaction itself, from its
// own recovery on; ours must neither hold the journal meanwhile nor leave
// changes for that recovery to find.
void ElevationHandOver::HandOverTransaction() { context_.transaction.Rollback(); }

ElevationResult ElevationHandOver::RunElevated() {
  LOG(INFO) << "Running the installer elevated.";
  if (!CanElevate()) {
    LOG(ERROR) << "Cannot elevate with UAC disabled";
    return ElevationResult::kNotStarted;
  }
  HandOverTransaction();
  // The elevated copy never starts the browser: it would run with the
  // administrator's rights, and the post-elevation tasks start it anyway.
  CommandLine arguments = context_.settings->ToCommandLine(true);
  arguments.AppendSwitchValue("parent-pid", std::to_wstring(GetCurrentProcessId()));
  CopySwitch(context_.command_line, "wait-for-package", &arguments);
  FilePath executable = SelfExecutable();
  if (executable.empty()) {
    LOG(ERROR) << "Failed to obtain installer exe file path";
    return ElevationResult::kSetUpError;
  }
  ChildSuccessEvent child_succeeded;
  if (!child_succeeded.valid()) {
    PLOG(ERROR) << "Failed to create event for communicating with " << "the elevated process";
    return ElevationResult::kSetUpError;
  }
  child_succeeded.AddTo(&arguments);
  for (InstallerObserver* observer : context_.observers) observer->OnChildProcessStarting(false);
  Process process = StartElevated(executable, arguments.GetArgumentsString(),
                                  PromptOwnerWindow(context_.command_line));
  DWORD exit_code = 1;
  bool waited = process.IsValid() && process.WaitForExit(INFINITE, &exit_code);
  for (InstallerObserver* observer : context_.observers) observer->OnChildProcessFinished();
  if (!process.IsValid()) {
    PLOG(ERROR) << "Failed to run the elevated process";
    return ElevationResult::kNotStarted;
  }
  if (!waited) {
    LOG(ERROR) << "Failed wait for the elevated installer";
    return ElevationResult::kChildFailed;
  }
  if (exit_code != 0) return ElevationResult::kChildFailed;
  if (!child_succeeded.IsSignaled()) {
    LOG(ERROR) << "The elevated installer ended without reporting success";
    return ElevationResult::kChildFailed;
  }
  if (context_.command_line.HasSwitch("wait-for-package")) {
    if (!WaitForPackage(true)) return ElevationResult::kChildFailed;
  } else {
    RunPostElevationTasks();
  }
  return ElevationResult::kDone;
}

ElevationResult ElevationHandOver::GrantFolderRights(const FilePath& folder, bool permanent) {
  VLOG(1) << "Run an elevated process in order to give permissions on the "
          << "install folder to this process";
  if (!CanElevate()) {
    LOG(ERROR) << "Cannot elevate with UAC disabled";
    return ElevationResult::kNotStarted;
  }
  // The helper grants by SID: it may run as another account, and a name can
  // be ambiguous between a local, a domain and a cloud account. The name
  // stays for a package's helper of an older version, which knows only it.
  wchar_t name[UNLEN + 1];
  DWORD size = UNLEN + 1;
  const std::wstring sid = CurrentUserSidString();
  if (sid.empty() || !GetUserNameW(name, &size)) {
    LOG(ERROR) << "Failed to obtain user name";
    return ElevationResult::kSetUpError;
  }
  VLOG(1) << "User name is " << name << " (" << sid << ")";
  FilePath executable = SelfExecutable();
  if (executable.empty()) {
    LOG(ERROR) << "Failed to obtain installer exe file path";
    return ElevationResult::kSetUpError;
  }
  CommandLine arguments(executable);
  arguments.AppendSwitchPath("set-folder-permission", folder);
  arguments.AppendSwitchValue("permissions-for-user", name);
  arguments.AppendSwitchValue("permissions-for-sid", sid);
  if (permanent) arguments.AppendSwitch("permanent-permissions");
  if (context_.operation() == kOperationUninstall) arguments.AppendSwitch("run-uninstall-bat");
  arguments.AppendSwitchValue("crash-reporter-pid", CrashReporterPid(context_.command_line));
  // Never "wait-for-package": with it the helper grants nothing and only
  // waits for the package, which this process does itself.
  CopySwitch(context_.command_line, "initial-pid", &arguments);

  // The helper may run as another account (before Vista always, later when
  // an administrator types a password at the prompt): both events grant it
  // their use.
  ScopedHandle granted =
      CreateSharedEvent(GetObjectNameForFolder(kGivePermissionEvent, folder, false), false);
  ScopedHandle undo =
      CreateSharedEvent(GetObjectNameForFolder(kGivePermissionUndoEvent, folder, false), false);
  if (!granted || !undo) {
    PLOG(ERROR) << "Failed to create event for communicating with " << "the elevated process";
    return ElevationResult::kSetUpError;
  }
  Process process = StartElevated(executable, arguments.GetArgumentsString(),
                                  PromptOwnerWindow(context_.command_line));
  if (!process.IsValid()) {
    PLOG(ERROR) << "Failed to run the elevated process";
    return ElevationResult::kNotStarted;
  }
  // The helper's own end is part of the wait, so its death cannot leave
  // this process waiting.
  HANDLE handles[] = {process.handle(), granted.get()};
  DWORD signaled = WaitForMultipleObjects(2, handles, FALSE, INFINITE);
  if (signaled != WAIT_OBJECT_0 + 1) {
    LOG(ERROR) << "Failed to run the elevated process";
    return ElevationResult::kChildFailed;
  }
  undo_event_ = std::move(undo);
  context_.partner_pid = process.id();
  return ElevationResult::kDone;
}

FilePath ElevationHandOver::SelfExecutable() const {
  return self_executable_ ? *self_executable_ : GetExecutablePath();
}

void ElevationHandOver::RunPostElevationTasks() {
  if (context_.operation() == kOperationUninstall) return;
  // The partner files of the package lie in the subfolder the elevated
  // installer chose. Without it the refresh below would find none and
  // delete what that installer has just put into the profile.
  InstallLog installed;
  if (LoadInstallLog(context_.install_folder / L"installation_status.xml", &installed)) {
    context_.record.subfolder = installed.subfolder;
  } else {
    LOG(WARNING) << "Cannot read the status of the elevated installation";
    context_.record.subfolder = Utf8ToWide(product::ProductVersion());
  }
  bool skip_shell = context_.IsCopyOnly() ||
                    (GetWindowsVersionRank() >= kWindows10 &&
                     (context_.settings->options().silent || context_.status().IsDefaultBrowser()));
  if (!skip_shell) {
    ShellIntegration shell(context_.install_folder);
    if (context_.settings->choices().default_browser) {
      shell.RememberPreviousDefault(ShellLevel::kUser);
      shell.MakeDefaultBrowser(ShellLevel::kUser);
    } else {
      shell.RegisterDocumentClass(ShellLevel::kUser);
    }
  }
  preferences_.WriteBrowserPreferences();
}

bool ElevationHandOver::WaitForPackage(bool post_elevated) {
  post_elevated_ = post_elevated;
  std::wstring name = GetObjectNameForFolder(kPackageReadyEvent, context_.install_folder, true);
  package_ready_event_.reset(OpenEventW(SYNCHRONIZE, FALSE, name.c_str()));
  if (!package_ready_event_) {
    end_run_(StepFailure{IDS_GENERAL_FAILURE, L"",
                         "Failed to open a handle to the package ready event"});
    return false;
  }
  if (WaitForSingleObject(package_ready_event_.get(), 0) == WAIT_OBJECT_0) {
    RunPackageInstaller();
    return true;
  }
  if (!package_ready_watcher_.StartWatching(package_ready_event_.get(), this)) {
    end_run_(StepFailure{IDS_GENERAL_FAILURE, L"", "Failed to watch the package ready event"});
    return false;
  }
  return true;
}

void ElevationHandOver::OnHandleSignaled(HANDLE handle) {
  if (handle == package_ready_event_.get()) RunPackageInstaller();
}

void ElevationHandOver::RunPackageInstaller() {
  package_ready_watcher_.StopWatching();
  end_run_(LaunchPackageInstaller());
}

StepResult ElevationHandOver::LaunchPackageInstaller() {
  const StepFailure not_started{IDS_GENERAL_FAILURE, L"",
                                "Failed to start installer process from the package folder."};
  FilePath package = context_.command_line.GetSwitchValuePath("wait-for-package");
  // An elevated run starts nothing from a folder a less privileged account
  // could have changed: it starts the installer of the package it verified.
  PackageCustody custody;
  if (PackageCustody::Needed(package)) {
    const DWORD initial_pid = static_cast<DWORD>(
        std::wcstoul(context_.command_line.GetSwitchValue("initial-pid").c_str(), nullptr, 10));
    package = custody.Take(PackageCustody::SignedPackageOf(package, initial_pid), package);
    if (package.empty())
      return StepFailure{IDS_GENERAL_FAILURE, L"", "The package could not be verified"};
  }
  FilePath program = package / L"installer.exe";
  CommandLine arguments = context_.settings->ToCommandLine(false);
  if (post_elevated_) arguments.AppendSwitch("post-elevated-install-tasks");
  CopySwitch(context_.command_line, kMovablePackageSwitch, &arguments);
  CopySwitch(context_.command_line, kOwnerWindowSwitch, &arguments);
  HandOverTransaction();
  arguments.AppendSwitchValue("crash-reporter-pid", CrashReporterPid(context_.command_line));
  ChildSuccessEvent child_succeeded;
  if (!child_succeeded.valid()) return not_started;
  child_succeeded.AddTo(&arguments);
  for (InstallerObserver* observer : context_.observers) observer->OnChildProcessStarting(false);
  // The package's installer runs as this user in the rights granted for
  // this run, so they go back only once it has ended: handed back earlier,
  // the helper would take them away in the middle of its installation.
  DWORD exit_code = 1;
  bool started = LaunchProcessAndWait(
      QuoteArgument(program.native()) + L" " + arguments.GetArgumentsString(), &exit_code);
  ReturnFolderRights();
  for (InstallerObserver* observer : context_.observers) observer->OnChildProcessFinished();
  if (!started) return not_started;
  if (exit_code != 0 || !child_succeeded.IsSignaled()) {
    return StepFailure{IDS_GENERAL_FAILURE, L"",
                       "Installer process did not complete successfully."};
  }
  return {};
}

void ElevationHandOver::ReturnFolderRights() {
  if (!undo_event_) return;
  SetEvent(undo_event_.get());
  undo_event_.reset();
}

void ElevationHandOver::Reset() {
  ReturnFolderRights();
  package_ready_watcher_.StopWatching();
  package_ready_event_.reset();
}

}  // namespace norva::installer
