// A second process for tests that need something held by someone else.
// Usage: test_holder MODE TARGET READY_EVENT HOLD_MS PARENT_ID
//   file      opens the file TARGET for reading and writing, sharing nothing
//   mailslot  creates the mailslot TARGET
//   owner     claims TARGET as a package fetcher claims its owner lock
// Signals READY_EVENT once it holds TARGET and keeps it for HOLD_MS
// milliseconds, or less when the event READY_EVENT + "_release" is
// signalled or the process PARENT_ID ends first (unless it is killed), then
// ends with 0.
//
// Started with switches instead (copied into a package as its installer.exe)
// it stands in for a backend, doing what NORVA_FAKE_BACKEND lists:
//   report  sends 300 step messages and a success report to the mailslot of
//           the installation folder
//   prove   signals the event named by "success-event"
//   acl     appends "acl " and the DACL of that event (support/object_acl.h)
//           to the log below, as a line of its own
//   exit=N  ends with N (0 otherwise)
// and, when NORVA_FAKE_BACKEND_LOG names a file, first appends its command
// line to it as a line of UTF-8; when NORVA_FAKE_BACKEND_RELEASE names an
// event, it ends only once that is signalled (or after a minute).
#include <windows.h>

#include <cwchar>
#include <string>

#include "base/command_line.h"
#include "base/file_path.h"
#include "base/strings.h"
#include "installer/ipc/installer_message.h"
#include "installer/ipc/ipc_sender.h"
#include "package/package_lock.h"
#include "support/object_acl.h"

namespace {

// Returns once `release` is signalled, the process `parent_id` has ended or
// `hold_ms` have passed, whichever comes first: a holder outlives neither
// its test nor its time.
void WaitForReleaseOrParent(HANDLE release, DWORD parent_id, DWORD hold_ms) {
  HANDLE waits[] = {release, OpenProcess(SYNCHRONIZE, FALSE, parent_id)};
  WaitForMultipleObjects(waits[1] ? 2 : 1, waits, FALSE, hold_ms);
  if (waits[1]) CloseHandle(waits[1]);
}

void AppendLine(const wchar_t* file_name, const std::string& text) {
  HANDLE file = CreateFileW(file_name, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  std::string line = text + "\n";
  DWORD written = 0;
  WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  CloseHandle(file);
}

int RunAsBackend() {
  using namespace norva::installer;
  const CommandLine& command_line = CommandLine::ForCurrentProcess();
  wchar_t behaviour_buffer[256] = {};
  GetEnvironmentVariableW(L"NORVA_FAKE_BACKEND", behaviour_buffer, 256);
  const std::wstring behaviour = behaviour_buffer;
  wchar_t log[MAX_PATH] = {};
  if (GetEnvironmentVariableW(L"NORVA_FAKE_BACKEND_LOG", log, MAX_PATH))
    AppendLine(log, WideToUtf8(GetCommandLineW()));
  if (behaviour.find(L"report") != std::wstring::npos) {
    IPCSenderProxy sender;
    if (sender.Connect(L"norva_installer\\" + command_line.GetSwitchValue("installfolder"))) {
      for (int i = 0; i < 300; ++i)
        sender.Send(*WriteInstallerMessage({.type = InstallerMessageType::kStepCompleted}));
      sender.Send(*WriteInstallerMessage({.type = InstallerMessageType::kInstallationSucceeded}));
      sender.Close();
    }
  }
  if (behaviour.find(L"acl") != std::wstring::npos && log[0]) {
    HANDLE event = OpenEventW(READ_CONTROL, FALSE,
                              command_line.GetSwitchValue("success-event").c_str());
    std::string line = "acl " + (event ? norva::installer::test::KernelObjectAcl(event) : "none");
    if (event) CloseHandle(event);
    AppendLine(log, line);
  }
  if (behaviour.find(L"prove") != std::wstring::npos) {
    HANDLE event = OpenEventW(EVENT_MODIFY_STATE, FALSE,
                              command_line.GetSwitchValue("success-event").c_str());
    if (event) SetEvent(event);
  }
  wchar_t release_name[256] = {};
  if (GetEnvironmentVariableW(L"NORVA_FAKE_BACKEND_RELEASE", release_name, 256)) {
    HANDLE release = OpenEventW(SYNCHRONIZE, FALSE, release_name);
    if (release) {
      WaitForSingleObject(release, 60000);
      CloseHandle(release);
    }
  }
  size_t exit = behaviour.find(L"exit=");
  return exit == std::wstring::npos ? 0 : std::wcstol(behaviour.c_str() + exit + 5, nullptr, 10);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  using norva::installer::FilePath;
  if (argc > 1 && std::wstring(argv[1]).starts_with(L"--")) return RunAsBackend();
  if (argc != 6) return 2;
  const std::wstring mode = argv[1];
  const wchar_t* target = argv[2];
  HANDLE held = INVALID_HANDLE_VALUE;
  norva::installer::PackageLock claim;
  if (mode == L"file") {
    held = CreateFileW(target, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
  } else if (mode == L"mailslot") {
    held = CreateMailslotW(target, 0, 0, nullptr);
  } else if (mode == L"owner") {
    if (!claim.Create(FilePath(target))) return 3;
  } else {
    return 2;
  }
  if (mode != L"owner" && held == INVALID_HANDLE_VALUE) return 3;
  HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[3]);
  HANDLE release = OpenEventW(SYNCHRONIZE, FALSE, (argv[3] + std::wstring(L"_release")).c_str());
  if (!ready || !release || !SetEvent(ready)) return 4;
  WaitForReleaseOrParent(release, static_cast<DWORD>(std::wcstoul(argv[5], nullptr, 10)),
                         static_cast<DWORD>(std::wcstoul(argv[4], nullptr, 10)));
  if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
  return 0;
}
