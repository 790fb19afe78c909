#include "support/fault_injection.h"

namespace norva::installer::test {

FaultInjector::FaultInjector(int fail_at, Mode mode) : fail_at_(fail_at), mode_(mode) {
  Transaction::SetExecuteHookForTesting(&FaultInjector::OnExecute, this);
}

FaultInjector::~FaultInjector() { Transaction::SetExecuteHookForTesting(nullptr, nullptr); }

Transaction::HookAction FaultInjector::OnExecute(void* context) {
  auto* self = static_cast<FaultInjector*>(context);
  if (++self->executed_ != self->fail_at_) return Transaction::HookAction::kProceed;
  self->fired_ = true;
  return self->mode_ == Mode::kBeforeDo ? Transaction::HookAction::kFailBeforeDo
                                        : Transaction::HookAction::kFailAfterDo;
}

const char* ModeName(FaultInjector::Mode mode) {
  return mode == FaultInjector::Mode::kBeforeDo ? "before Do" : "after Do";
}

}  // namespace norva::installer::test
