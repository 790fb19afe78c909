// Linked into test executables only, never into the shipped installer: the
// kill sweeps end a run right after its k-th journal record
// ("test-kill-after-journal-record=k") or its k-th change
// ("test-kill-after-do=k"), as a kill from outside would.
#include <cwchar>

#include "base/command_line.h"
#include "system/transactions/journal.h"

namespace norva::installer {
namespace {

constexpr char kAfterRecord[] = "test-kill-after-journal-record";
constexpr char kAfterChange[] = "test-kill-after-do";

long Position(const char* name) {
  return std::wcstol(CommandLine::ForCurrentProcess().GetSwitchValue(name).c_str(), nullptr, 10);
}

[[maybe_unused]] const bool kInstalled = [] {
  Journal::SetKillPointsReaderForTesting(
      [] { return Journal::KillPoints{Position(kAfterRecord), Position(kAfterChange)}; },
      {kAfterRecord, kAfterChange});
  return true;
}();

}  // namespace
}  // namespace norva::installer
