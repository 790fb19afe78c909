#ifndef NORVA_TESTS_SUPPORT_FAULT_INJECTION_H_
#define NORVA_TESTS_SUPPORT_FAULT_INJECTION_H_

#include "system/transactions/transaction.h"

namespace norva::installer::test {

// While it lives, counts every operation executed in any transaction (nested
// prerequisites included) and fails the `fail_at`-th one (1-based; 0 never
// fails), either before its Do runs or after a successful Do.
class FaultInjector {
 public:
  enum class Mode { kBeforeDo, kAfterDo };

  explicit FaultInjector(int fail_at = 0, Mode mode = Mode::kBeforeDo);
  ~FaultInjector();
  FaultInjector(const FaultInjector&) = delete;
  FaultInjector& operator=(const FaultInjector&) = delete;

  int executed() const { return executed_; }
  bool fired() const { return fired_; }

 private:
  static Transaction::HookAction OnExecute(void* context);

  int fail_at_;
  Mode mode_;
  int executed_ = 0;
  bool fired_ = false;
};

const char* ModeName(FaultInjector::Mode mode);

}  // namespace norva::installer::test

#endif  // NORVA_TESTS_SUPPORT_FAULT_INJECTION_H_
