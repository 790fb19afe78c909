#include "installer/folder_permission_mode.h"

#include <windows.h>
#include <aclapi.h>
#include <tlhelp32.h>

#include <cstdint>
#include <string>
#include <vector>

#include "base/command_line.h"
#include "base/file_util.h"
#include "base/logging.h"
#include "base/process.h"
#include "base/scoped_handle.h"
#include "base/strings.h"
#include "system/object_names.h"
#include "system/object_security.h"

namespace norva::installer {
namespace {

constexpr DWORD kUndoDelayMs = 10000;
// The uninstall clean-up script waits about two minutes for the installer's
// processes and tries its deletions for about a minute more.
constexpr DWORD kScriptLimitMs = 4 * 60 * 1000;

// The folder's access list as it was, to be written back.
class SavedAccessList {
 public:
  bool Read(const FilePath& folder) {
    folder_ = folder;
    return GetNamedSecurityInfoW(ExtendedLengthPath(folder).c_str(), SE_FILE_OBJECT,
                                 DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl_, nullptr,
                                 descriptor_.Receive()) == ERROR_SUCCESS;
  }
  PACL dacl() const { return dacl_; }
  void Restore() const {
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(descriptor_.get(), &control, &revision);
    SECURITY_INFORMATION info = DACL_SECURITY_INFORMATION |
                                ((control & SE_DACL_PROTECTED) ? PROTECTED_DACL_SECURITY_INFORMATION
                                                               : UNPROTECTED_DACL_SECURITY_INFORMATION);
    std::wstring name = ExtendedLengthPath(folder_);
    SetNamedSecurityInfoW(name.data(), SE_FILE_OBJECT, info, nullptr, nullptr, dacl_, nullptr);
  }

 private:
  FilePath folder_;
  ScopedLocalMemory<PSECURITY_DESCRIPTOR> descriptor_;
  PACL dacl_ = nullptr;
};

// `user` is the requester's SID: this process may run as another account.
bool GrantFullAccess(const FilePath& folder, std::vector<uint8_t> user, PACL current) {
  EXPLICIT_ACCESSW access{};
  access.grfAccessPermissions = GENERIC_ALL;
  access.grfAccessMode = GRANT_ACCESS;
  access.grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
  access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
  access.Trustee.TrusteeType = TRUSTEE_IS_USER;
  access.Trustee.ptstrName = reinterpret_cast<wchar_t*>(user.data());
  ScopedLocalMemory<PACL> updated;
  if (SetEntriesInAclW(1, &access, current, updated.Receive()) != ERROR_SUCCESS) return false;
  std::wstring name = ExtendedLengthPath(folder);
  DWORD result = SetNamedSecurityInfoW(name.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                       nullptr, nullptr, updated.get(), nullptr);
  return result == ERROR_SUCCESS;
}

DWORD ParentProcessId() {
  ScopedHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return 0;
  PROCESSENTRY32W entry = {sizeof(entry)};
  DWORD parent = 0;
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more && !parent;
       more = Process32NextW(snapshot.get(), &entry)) {
    if (entry.th32ProcessID == GetCurrentProcessId()) parent = entry.th32ParentProcessID;
  }
  return parent;
}

uint64_t CreationTime(HANDLE process) {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
  return static_cast<uint64_t>(created.dwHighDateTime) << 32 | created.dwLowDateTime;
}

// The process that asked for the permission (the one that started this
// one), or null when it cannot be told: its id may already name a later
// process, which then started after this one.
ScopedHandle OpenRequester() {
  DWORD id = ParentProcessId();
  ScopedHandle process(id ? OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, id)
                          : nullptr);
  if (!process) return {};
  uint64_t started = CreationTime(process.get());
  if (!started || started > CreationTime(GetCurrentProcess())) return {};
  return process;
}

// The clean-up scripts the requester started since this process started:
// the command interpreters whose parent it is.
std::vector<ScopedHandle> ScriptsOf(HANDLE requester) {
  std::vector<ScopedHandle> scripts;
  const DWORD requester_id = GetProcessId(requester);
  ScopedHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!requester_id || !snapshot) return scripts;
  const uint64_t self_started = CreationTime(GetCurrentProcess());
  PROCESSENTRY32W entry = {sizeof(entry)};
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
       more = Process32NextW(snapshot.get(), &entry)) {
    if (entry.th32ParentProcessID != requester_id ||
        _wcsicmp(entry.szExeFile, L"cmd.exe") != 0)
      continue;
    ScopedHandle child(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                   entry.th32ProcessID));
    // An id the system gave again to a later process is no child of it.
    if (child && CreationTime(child.get()) >= self_started) scripts.push_back(std::move(child));
  }
  return scripts;
}

// The requester's clean-up script runs with the requester's rights, never
// with this process's: it is a file the requester wrote. So the folder stays
// granted until the script is done, within its time limit.
void WaitForScripts(HANDLE requester) {
  if (!requester) return;
  std::vector<ScopedHandle> scripts = ScriptsOf(requester);
  std::vector<HANDLE> ends;
  for (const ScopedHandle& script : scripts)
    if (ends.size() < MAXIMUM_WAIT_OBJECTS) ends.push_back(script.get());
  if (ends.empty()) return;
  const DWORD ended =
      WaitForMultipleObjects(static_cast<DWORD>(ends.size()), ends.data(), TRUE, kScriptLimitMs);
  if (ended == WAIT_TIMEOUT || ended == WAIT_FAILED)
    LOG(WARNING) << "The uninstall script did not end in time";
}

// The events' access lists grant the requester and Administrators no more.
constexpr DWORD kEventAccess = SYNCHRONIZE | EVENT_MODIFY_STATE;

// The user to grant the folder to: by SID, which names one account; from the
// account name only when an older requester gave no SID.
std::vector<uint8_t> RequesterSid(const CommandLine& command_line) {
  if (command_line.HasSwitch("permissions-for-sid")) {
    std::vector<uint8_t> sid = ParseSidString(command_line.GetSwitchValue("permissions-for-sid"));
    if (sid.empty()) LOG(ERROR) << "The user to grant the folder to is not a valid SID";
    return sid;
  }
  const std::wstring name = command_line.GetSwitchValue("permissions-for-user");
  std::vector<uint8_t> sid(SECURITY_MAX_SID_SIZE);
  DWORD sid_size = static_cast<DWORD>(sid.size()), domain_size = 256;
  std::wstring domain(domain_size, L'\0');
  SID_NAME_USE use;
  if (name.empty() || !LookupAccountNameW(nullptr, name.c_str(), sid.data(), &sid_size,
                                          domain.data(), &domain_size, &use)) {
    LOG(ERROR) << "The user to grant the folder to is not an account: " << name;
    return {};
  }
  sid.resize(sid_size);
  return sid;
}

void GrantForInstallation(const CommandLine& command_line) {
  FilePath folder = command_line.GetSwitchValuePath("set-folder-permission");
  ScopedHandle given(OpenEventW(kEventAccess, FALSE,
                                GetObjectNameForFolder(kGivePermissionEvent, folder, false).c_str()));
  ScopedHandle undo(OpenEventW(kEventAccess, FALSE,
                               GetObjectNameForFolder(kGivePermissionUndoEvent, folder, false).c_str()));
  if (!given || !undo) return;
  std::vector<uint8_t> user = RequesterSid(command_line);
  if (user.empty()) return;
  ScopedHandle requester = OpenRequester();
  if (!PathExists(folder) && !CreateDirectories(folder)) return;
  SavedAccessList previous;
  if (!previous.Read(folder) || !GrantFullAccess(folder, std::move(user), previous.dacl()))
    return;
  if (command_line.HasSwitch("permanent-permissions")) {
    SetEvent(given.get());
    return;
  }
  if (!SetEvent(given.get())) {
    previous.Restore();
    return;
  }
  // A requester that ends without the Undo event (it crashed) would
  // otherwise keep this process waiting, and the folder open, for good.
  HANDLE waits[] = {undo.get(), requester.get()};
  if (WaitForMultipleObjects(requester ? 2 : 1, waits, FALSE, INFINITE) == WAIT_OBJECT_0) {
    // The requester may still be closing files in the folder.
    Sleep(kUndoDelayMs);
  }
  if (command_line.HasSwitch("run-uninstall-bat")) WaitForScripts(requester.get());
  previous.Restore();
}

void WaitForPackage(const CommandLine& command_line) {
  FilePath folder = command_line.GetSwitchValuePath("set-folder-permission");
  ScopedHandle ready(OpenEventW(SYNCHRONIZE, FALSE,
                                GetObjectNameForFolder(kPackageReadyEvent, folder, true).c_str()));
  ScopedHandle interrupted(OpenEventW(
      SYNCHRONIZE, FALSE, GetObjectNameForFolder(kInstallationInterruptedEvent, folder, true).c_str()));
  int initial_pid = 0;
  if (!ready || !interrupted ||
      !StringToInt(std::wstring_view(command_line.GetSwitchValue("initial-pid")), &initial_pid))
    return;
  ScopedHandle initial_process(OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(initial_pid)));
  if (!initial_process) return;
  ScopedHandle requester = OpenRequester();
  // Without its requester nobody is left to use the access or to take it back.
  HANDLE waits[] = {ready.get(), interrupted.get(), initial_process.get(), requester.get()};
  if (WaitForMultipleObjects(requester ? 4 : 3, waits, FALSE, INFINITE) == WAIT_OBJECT_0 ||
      (requester && WaitForSingleObject(requester.get(), 0) == WAIT_OBJECT_0))
    return;

  CommandLine installer(command_line.GetSwitchValuePath("wait-for-package") / L"installer.exe");
  for (const char* name : {"crash-reporter-pid", "set-folder-permission", "permissions-for-user",
                           "permissions-for-sid", "permanent-permissions"}) {
    if (command_line.HasSwitch(name))
      installer.AppendSwitchValue(name, command_line.GetSwitchValue(name));
  }
  Process granting = LaunchProcess(installer.GetCommandLineString());
  if (!granting.IsValid()) return;
  // The package's installer holds the grant until its requester, this
  // process, ends; so when the original requester ends first, this one ends
  // and the package's installer takes the access back at once.
  HANDLE ends[] = {granting.handle(), requester.get()};
  WaitForMultipleObjects(requester ? 2 : 1, ends, FALSE, INFINITE);
}

}  // namespace

void RunFolderPermissionMode(const CommandLine& command_line) {
  if (!command_line.HasSwitch("permissions-for-user")) return;
  if (command_line.HasSwitch("wait-for-package"))
    WaitForPackage(command_line);
  else
    GrantForInstallation(command_line);
}

FilePath CommandInterpreterPath() {
  // Not %ComSpec%: this process may be elevated, and its environment is the
  // less privileged caller's.
  wchar_t system[MAX_PATH];
  UINT length = GetSystemDirectoryW(system, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return FilePath();
  return FilePath(system) / L"cmd.exe";
}

void RunUninstallBatchFile(const FilePath& installation_folder) {
  FilePath script = installation_folder / L"k.bat";
  if (!PathExists(script)) return;
  const FilePath shell = CommandInterpreterPath();
  if (shell.empty()) return;
  LaunchOptions options;
  options.start_hidden = true;
  options.creation_flags = CREATE_NO_WINDOW;
  // With /s cmd.exe drops only the outermost quotes, so the path keeps its
  // own and "&", "(" or "^" in a folder name stay inside them. The path comes
  // through a variable, expanded once, so a "%" in it is not expanded again.
  // Without delayed expansion (which the registry may turn on), a "!" in the
  // script's paths is a plain letter.
  SetEnvironmentVariableW(L"NORVA_UNINSTALL_SCRIPT", script.c_str());
  LaunchProcess(
      QuoteArgument(shell.native()) + L" /d /v:off /s /c \"\"%NORVA_UNINSTALL_SCRIPT%\"\"",
      options);
}

}  // namespace norva::installer
