#include "support/holder_process.h"

#include "base/command_line.h"
#include "base/file_util.h"
#include "base/strings.h"

namespace norva::installer::test {

HolderProcess::HolderProcess(const std::wstring& mode, const std::wstring& target,
                             DWORD hold_ms) {
  static int count = 0;
  const std::wstring ready_name =
      StringPrintf(L"norva_test_holder_%lu_%d", GetCurrentProcessId(), ++count);
  ready_ = CreateEventW(nullptr, TRUE, FALSE, ready_name.c_str());
  release_ = CreateEventW(nullptr, TRUE, FALSE, (ready_name + L"_release").c_str());
  if (!ready_ || !release_) return;
  process_ = LaunchProcess(
      QuoteArgument((GetExecutablePath().parent_path() / L"test_holder.exe").native()) + L" " +
      mode + L" " + QuoteArgument(target) + L" " + ready_name + L" " + std::to_wstring(hold_ms) +
      L" " + std::to_wstring(GetCurrentProcessId()));
  if (!process_.IsValid()) return;
  HANDLE waits[] = {ready_, process_.handle()};
  held_ = WaitForMultipleObjects(2, waits, FALSE, 30000) == WAIT_OBJECT_0;
}

HolderProcess::~HolderProcess() {
  if (release_ && process_.IsValid()) {
    SetEvent(release_);
    process_.WaitForExit(30000);
  }
  Kill();
  for (HANDLE event : {ready_, release_})
    if (event) CloseHandle(event);
}

void HolderProcess::Kill() {
  if (!process_.IsValid()) return;
  process_.Terminate(1);
  process_.WaitForExit(30000);
  process_.Close();
}

bool HolderProcess::WaitForEnd(DWORD timeout_ms) {
  return process_.IsValid() && process_.WaitForExit(timeout_ms);
}

}  // namespace norva::installer::test
