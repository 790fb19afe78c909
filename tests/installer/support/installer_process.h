#ifndef NORVA_TESTS_INSTALLER_SUPPORT_INSTALLER_PROCESS_H_
#define NORVA_TESTS_INSTALLER_SUPPORT_INSTALLER_PROCESS_H_

#include <filesystem>
#include <string>

namespace norva::installer::test {

struct ProcessResult {
  bool started = false;
  bool finished = false;  // false when it outlived the time limit and was killed
  unsigned long exit_code = 0;
  std::string output;     // everything written to standard output
};

// The installer.exe built beside the test executable.
std::filesystem::path BuiltInstallerPath();

// Runs `program` with `arguments`, its standard output captured through a
// pipe, and waits up to `timeout_ms`.
ProcessResult RunProcess(const std::filesystem::path& program, const std::wstring& arguments,
                         unsigned long timeout_ms = 60000);

}  // namespace norva::installer::test

#endif  // NORVA_TESTS_INSTALLER_SUPPORT_INSTALLER_PROCESS_H_
