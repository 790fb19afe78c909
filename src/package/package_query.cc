#include "package/package_query.h"

#include <windows.h>

#include <algorithm>

#include "base/command_line.h"
#include "base/logging.h"
#include "base/scoped_handle.h"
#include "base/process.h"
#include "base/strings.h"
#include "package/version.h"
#include "product/product_info.h"

namespace norva::installer {
namespace {

constexpr DWORD kPollMs = 20;
// Far more than any answer: a version or a stream name.
constexpr size_t kMaxOutput = 1 << 20;

// Appends what the pipe holds now without waiting for more. False once the
// pipe has ended.
bool ReadAvailable(HANDLE pipe, std::string* output) {
  for (;;) {
    DWORD available = 0;
    if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) return false;
    if (available == 0) return true;
    char block[4096];
    DWORD got = 0;
    if (!::ReadFile(pipe, block, std::min<DWORD>(available, sizeof(block)), &got, nullptr))
      return false;
    output->append(block, got);
  }
}

}  // namespace

std::string QueryPackage(const FilePath& package, std::string_view switch_name,
                         DWORD limit_ms) {
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
  // Our copy of the write end must go, or the pipe never ends.
  write_end.reset();
  if (!child.IsValid()) return std::string();
  std::string output;
  const ULONGLONG deadline = GetTickCount64() + limit_ms;
  for (;;) {
    // Only what is already in the pipe is read, so a package that neither
    // writes nor ends (nor a program it left holding the pipe) blocks us.
    const bool ended = WaitForSingleObject(child.handle(), kPollMs) == WAIT_OBJECT_0;
    if (!ReadAvailable(read_end.get(), &output)) break;
    if (ended) break;
    if (output.size() > kMaxOutput || GetTickCount64() >= deadline) {
      LOG(ERROR) << "The package " << package << " did not answer --" << std::string(switch_name)
                 << " in time";
      TerminateProcess(child.handle(), 1);
      return std::string();
    }
  }
  return output;
}

namespace {

std::string WithoutLineEnd(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

}  // namespace

PackageFit CheckPackageIdentity(const FilePath& package, PackageIdentity* identity) {
  identity->version = QueryPackage(package, "internal-version");
  Version version(WithoutLineEnd(identity->version));
  if (!version.IsValid() || version < Version(product::BuildNumberString()))
    return PackageFit::kOlder;
  identity->stream = QueryPackage(package, "stream");
  if (WithoutLineEnd(identity->stream) != product::InternalStreamName())
    return PackageFit::kOtherStream;
  return PackageFit::kFits;
}

}  // namespace norva::installer
