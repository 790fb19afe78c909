#include "installer/support/installer_process.h"

#include <windows.h>

#include <thread>

#include "base/command_line.h"
#include "base/file_util.h"

namespace norva::installer::test {

std::filesystem::path BuiltInstallerPath() {
  return GetExecutablePath().parent_path() / L"installer.exe";
}

ProcessResult RunProcess(const std::filesystem::path& program, const std::wstring& arguments,
                         unsigned long timeout_ms) {
  ProcessResult result;
  SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
  HANDLE read_end = nullptr, write_end = nullptr;
  if (!CreatePipe(&read_end, &write_end, &inherit, 0)) return result;
  SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);

  STARTUPINFOW startup{sizeof(startup)};
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = write_end;
  startup.hStdError = write_end;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  std::wstring command = QuoteArgument(program.native());
  if (!arguments.empty()) command += L" " + arguments;
  PROCESS_INFORMATION process{};
  result.started = CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, TRUE, 0,
                                  nullptr, nullptr, &startup, &process);
  CloseHandle(write_end);
  if (!result.started) {
    CloseHandle(read_end);
    return result;
  }
  std::thread reader([&] {
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(read_end, buffer, sizeof(buffer), &got, nullptr) && got)
      result.output.append(buffer, got);
  });
  result.finished = WaitForSingleObject(process.hProcess, timeout_ms) == WAIT_OBJECT_0;
  if (!result.finished) TerminateProcess(process.hProcess, 99);
  WaitForSingleObject(process.hProcess, INFINITE);
  GetExitCodeProcess(process.hProcess, &result.exit_code);
  reader.join();
  CloseHandle(read_end);
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  return result;
}

}  // namespace norva::installer::test
