#ifndef NORVA_SYSTEM_TRANSACTIONS_JOURNAL_RECOVERY_H_
#define NORVA_SYSTEM_TRANSACTIONS_JOURNAL_RECOVERY_H_

#include <string>
#include <vector>

#include "base/file_path.h"
#include "system/transactions/journal.h"
#include "system/transactions/journal_scope.h"

namespace norva::installer {

enum class RecoveryResult {
  kNothingToDo,  // no journal left for the folder
  kRolledBack,   // an interrupted transaction was rolled back (or its commit finished)
  kOwnerAlive,   // the journal's writer still runs
  kFailed,       // the journal could not be read or removed
};

// Rolls back, last change first, a transaction on `install_folder` whose run
// ended without committing it, or finishes one that committed, then removes
// the journal. With `scope.machine` the journal and its folders must be the
// administrators' own (see admin_only.h); others are set aside unread. Every reversal is idempotent and tolerates a change that
// never happened or happened in part.
RecoveryResult RecoverInterruptedInstallation(const FilePath& journal_file,
                                              const JournalScope& scope);

// Both journals of a folder (the user's, and with `machine` the one of an
// installation for all users). `package_folder` as in JournalScope.
RecoveryResult RecoverInterruptedInstallations(const FilePath& install_folder, bool machine,
                                               const FilePath& package_folder = {});

}  // namespace norva::installer

#endif  // NORVA_SYSTEM_TRANSACTIONS_JOURNAL_RECOVERY_H_
