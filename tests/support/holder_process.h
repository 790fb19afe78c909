#ifndef NORVA_TESTS_SUPPORT_HOLDER_PROCESS_H_
#define NORVA_TESTS_SUPPORT_HOLDER_PROCESS_H_

#include <windows.h>

#include <string>

#include "base/process.h"

namespace norva::installer::test {

// Runs test_holder.exe (tests/support/holder_main.cc), which holds a file, a
// mailslot or an owner claim from another process.
class HolderProcess {
 public:
  // Waits until it holds `target` (at most 30 seconds); held() tells. It
  // lets go after `hold_ms`, when this object goes, or when this process ends.
  HolderProcess(const std::wstring& mode, const std::wstring& target, DWORD hold_ms);
  // Releases it and waits for its end.
  ~HolderProcess();
  HolderProcess(const HolderProcess&) = delete;
  HolderProcess& operator=(const HolderProcess&) = delete;

  bool held() const { return held_; }
  DWORD process_id() const { return process_.id(); }
  // Kills it, as a crash would end it, and waits for its end.
  void Kill();
  // Waits up to `timeout_ms` for it to end by itself.
  bool WaitForEnd(DWORD timeout_ms);

 private:
  Process process_;
  HANDLE ready_ = nullptr;
  HANDLE release_ = nullptr;
  bool held_ = false;
};

}  // namespace norva::installer::test

#endif  // NORVA_TESTS_SUPPORT_HOLDER_PROCESS_H_
