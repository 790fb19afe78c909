#ifndef NORVA_SYSTEM_TRANSACTIONS_TRANSACTION_H_
#define NORVA_SYSTEM_TRANSACTIONS_TRANSACTION_H_

#include <memory>
#include <vector>

#include "system/transactions/operation.h"

namespace norva::installer {

// The operations that have succeeded so far, in the order they completed.
// Rollback undoes them last to first; Commit (or destruction) destroys them
// first to last, which runs their commit-time work. Used on one thread.
class Transaction {
 public:
  Transaction() = default;
  ~Transaction() { Commit(); }
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  // Runs `operation`, which belongs to the transaction from now on. On
  // success its prerequisites and then itself are kept; on failure it is
  // undone, its prerequisites rolled back, and it is destroyed.
  bool Execute(std::unique_ptr<Operation> operation);
  void Rollback();
  void Commit();

  bool empty() const { return operations_.empty(); }
  size_t size() const { return operations_.size(); }

  // Test hook consulted before every Do, nested ones included: it can let
  // the operation run, fail it without running Do, or fail it after a
  // successful Do (so that Undo must reverse a complete change).
  enum class HookAction { kProceed, kFailBeforeDo, kFailAfterDo };
  using ExecuteHook = HookAction (*)(void* context);
  static void SetExecuteHookForTesting(ExecuteHook hook, void* context);

 private:
  std::vector<std::unique_ptr<Operation>> operations_;
};

}  // namespace norva::installer

#endif  // NORVA_SYSTEM_TRANSACTIONS_TRANSACTION_H_
