#include "package/package_query.h"

#include <windows.h>

#include "base/command_line.h"
#include "base/logging.h"
#include "base/scoped_handle.h"
#include "base/process.h"
#include "base/strings.h"

namespace norva::installer {

std::string QueryPackage(const FilePath& package, std::string_view switch_name) {
  std::wstring command_line =
      QuoteArgument(package.native()) + L" --" + AsciiToWide(switch_name);
  SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
  ScopedHandle read_end, write_end;
  if (!CreatePipe(read_end.Receive(), write_end.Receive(), &inherit, 0)) {
    PLOG(ERROR) << "Could not create a pipe for " << package;
    return std::string();
  }
  SetHandleInformation(read_end.get(), HANDLE_FLAG_INHERIT, 0);
  LaunchOptions options;
  options.stdout_handle = write_end.get();
  // LaunchProcess starts the child under the process-wide launch lock and
  // lets it inherit only the pipe's write end. The lock is not held while
  // the package runs, so a package that hangs cannot block the backend's
  // own launch.
  Process child = LaunchProcess(command_line, options);
  // Our copy of the write end must go, or the read below never sees the end.
  write_end.reset();
  std::string output;
  if (child.IsValid()) {
    char block[1024];
    DWORD got = 0;
    while (::ReadFile(read_end.get(), block, sizeof(block), &got, nullptr) && got > 0)
      output.append(block, got);
    child.WaitForExit(INFINITE);
  }
  return output;
}

}  // namespace norva::installer
