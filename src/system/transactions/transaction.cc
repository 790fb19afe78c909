#include "system/transactions/transaction.h"

namespace norva::installer {
namespace {

Transaction::ExecuteHook g_hook = nullptr;
void* g_hook_context = nullptr;

}  // namespace

bool Transaction::Execute(std::unique_ptr<Operation> operation) {
  NORVA_DCHECK_CALLED_ON_VALID_THREAD(thread_checker_);
  HookAction action = g_hook ? g_hook(g_hook_context) : HookAction::kProceed;
  Transaction nested(journal_, true);
  bool succeeded = action != HookAction::kFailBeforeDo && operation->Do(&nested);
  if (succeeded && journal_) Journal::CountChangeMadeForTesting();
  if (action == HookAction::kFailAfterDo) succeeded = false;
  if (!succeeded) {
    operation->Undo();
    nested.Rollback();
    operation.reset();
    return false;
  }
  for (std::unique_ptr<Operation>& prerequisite : nested.operations_)
    operations_.push_back(std::move(prerequisite));
  nested.operations_.clear();
  operations_.push_back(std::move(operation));
  return true;
}

void Transaction::Rollback() {
  NORVA_DCHECK_CALLED_ON_VALID_THREAD(thread_checker_);
  for (auto it = operations_.rbegin(); it != operations_.rend(); ++it) (*it)->Undo();
  DestroyOperations();
  EndJournal();
}

void Transaction::Commit() {
  // Past this record a recovery finishes the commit instead of undoing it.
  if (!nested_ && journal_ && journal_->written())
    journal_->Append({.kind = JournalRecord::Kind::kCommitted});
  DestroyOperations();
  EndJournal();
}

void Transaction::DestroyOperations() {
  // Destroy first to last; clearing a vector gives no order guarantee.
  for (std::unique_ptr<Operation>& operation : operations_) operation.reset();
  operations_.clear();
}

void Transaction::EndJournal() {
  if (!nested_ && journal_) journal_->Discard();
}

void Transaction::SetExecuteHookForTesting(ExecuteHook hook, void* context) {
  g_hook = hook;
  g_hook_context = context;
}

}  // namespace norva::installer
