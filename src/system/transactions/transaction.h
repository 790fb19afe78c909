#ifndef NORVA_SYSTEM_TRANSACTIONS_TRANSACTION_H_
#define NORVA_SYSTEM_TRANSACTIONS_TRANSACTION_H_

#include <memory>
#include <vector>

#include "base/thread_checker.h"
#include "system/transactions/journal.h"
#include "system/transactions/operation.h"

namespace norva::installer {

// The operations that have succeeded so far, in the order they completed.
// Rollback undoes them last to first; Commit (or destruction) destroys them
// first to last, which runs their commit-time work. Used on one thread.
//
// With a journal, every operation writes what its undo needs to the journal
// before it changes anything (through the nested transaction it is given),
// so that a run that is killed can be rolled back by the next one; the
// journal is discarded once the transaction has committed or rolled back.
class Transaction {
 public:
  explicit Transaction(Journal* journal = nullptr) : journal_(journal) {}
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
  Journal* journal() const { return journal_; }
  size_t size() const { return operations_.size(); }

  // Test hook consulted before every Do, nested ones included: it can let
  // the operation run, fail it without running Do, or fail it after a
  // successful Do (so that Undo must reverse a complete change).
  enum class HookAction { kProceed, kFailBeforeDo, kFailAfterDo };
  using ExecuteHook = HookAction (*)(void* context);
  static void SetExecuteHookForTesting(ExecuteHook hook, void* context);

 private:
  // Rollback and Commit of a nested transaction leave the journal alone.
  Transaction(Journal* journal, bool nested) : journal_(journal), nested_(nested) {}
  void DestroyOperations();
  void EndJournal();

  std::vector<std::unique_ptr<Operation>> operations_;
  Journal* journal_ = nullptr;
  bool nested_ = false;
  ThreadChecker thread_checker_;
};

}  // namespace norva::installer

#endif  // NORVA_SYSTEM_TRANSACTIONS_TRANSACTION_H_
