#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

#include <gtest/gtest.h>

#include "base/command_line.h"
#include "base/thread_checker.h"
#include "system/object_names.h"

namespace {

// A controller under test whose package is not ready yet makes its runner
// start this executable as the installer's backend ("wait-for-package"). It
// stands in for one that waits for the package: it ends with 1, as an
// interrupted backend does, once the frontend interrupts the installation or
// ends, and after a minute at the latest. The frontend makes the interruption
// event before it starts the backend, so an event already gone was signalled
// and closed. When NORVA_FAKE_BACKEND_LOG names a file, it first appends to it
// whether the package-ready event was already signalled.
int RunAsWaitingBackend(const norva::installer::CommandLine& command_line) {
  using namespace norva::installer;
  wchar_t log[MAX_PATH] = {};
  if (GetEnvironmentVariableW(L"NORVA_FAKE_BACKEND_LOG", log, MAX_PATH)) {
    HANDLE ready = OpenEventW(
        SYNCHRONIZE, FALSE,
        GetObjectNameForFolder(kPackageReadyEvent,
                               command_line.GetSwitchValuePath("installfolder"), true)
            .c_str());
    const bool signalled = ready && WaitForSingleObject(ready, 0) == WAIT_OBJECT_0;
    if (ready) CloseHandle(ready);
    HANDLE file = CreateFileW(log, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    const char* line = signalled ? "package ready at start\n" : "waiting for the package\n";
    DWORD written = 0;
    if (file != INVALID_HANDLE_VALUE) {
      WriteFile(file, line, static_cast<DWORD>(std::strlen(line)), &written, nullptr);
      CloseHandle(file);
    }
  }
  HANDLE interrupted = OpenEventW(
      SYNCHRONIZE, FALSE,
      GetObjectNameForFolder(kInstallationInterruptedEvent,
                             command_line.GetSwitchValuePath("installfolder"), true)
          .c_str());
  if (!interrupted) return 1;
  DWORD frontend_id =
      std::wcstoul(command_line.GetSwitchValue("initial-pid").c_str(), nullptr, 10);
  HANDLE frontend = OpenProcess(SYNCHRONIZE, FALSE, frontend_id);
  HANDLE waits[2] = {interrupted, frontend};
  DWORD count = frontend ? 2 : 1;
  WaitForMultipleObjects(count, waits, FALSE, 60000);
  for (DWORD i = 0; i < count; ++i) CloseHandle(waits[i]);
  return 1;
}

// Every thread check is on in the tests: a call on the wrong thread fails the
// test that made it, wherever the call came from.
void FailTestOnThreadViolation(const char* file, int line) {
  ADD_FAILURE_AT(file, line) << "Called on the wrong thread";
}

// Ends a crashed test program with the exception's code. Without a dialog
// (SEM_NOGPFAULTERRORBOX) Wine ends it with 0, and CTest would count a crash
// as a pass.
LONG WINAPI EndWithTheExceptionCode(EXCEPTION_POINTERS* exception) {
  const DWORD code = exception->ExceptionRecord->ExceptionCode;
  std::fprintf(stderr, "Unhandled exception 0x%08lx\n", static_cast<unsigned long>(code));
  std::fflush(stderr);
  TerminateProcess(GetCurrentProcess(), code);
  return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

int main(int argc, char** argv) {
  // A crash must fail the test run, not wait for a dialog.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  SetUnhandledExceptionFilter(&EndWithTheExceptionCode);
  const norva::installer::CommandLine& command_line =
      norva::installer::CommandLine::ForCurrentProcess();
  if (command_line.HasSwitch("backend") && command_line.HasSwitch("wait-for-package"))
    return RunAsWaitingBackend(command_line);
  norva::installer::SetThreadViolationHandler(&FailTestOnThreadViolation);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
