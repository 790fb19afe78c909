#ifndef NORVA_SYSTEM_TRANSACTIONS_JOURNAL_RECOVERY_H_
#define NORVA_SYSTEM_TRANSACTIONS_JOURNAL_RECOVERY_H_

#include <string>
#include <vector>

#include "base/file_path.h"
#include "system/transactions/journal.h"

namespace norva::installer {

enum class RecoveryResult {
  kNothingToDo,  // no journal left for the folder
  kRolledBack,   // an interrupted transaction was rolled back (or its commit finished)
  kOwnerAlive,   // the journal's writer still runs
  kFailed,       // the journal could not be read or removed
};

// What a journal may touch: files and folders inside the installation
// folder and the shortcut folders, registry keys under the paths the
// product writes. A record naming anything else is refused.
struct JournalScope {
  FilePath install_folder;
  std::vector<FilePath> other_folders;
  std::vector<std::wstring> key_prefixes;  // relative to HKCU or HKLM
  // The recovering run's own unpacked package: files an interrupted run of
  // the same package moved out of it go back there, and nowhere else.
  FilePath package_folder;

  // The installation folder, the shortcut folders of the user and of all
  // users, and the product's registry keys.
  static JournalScope ForInstallFolder(const FilePath& install_folder);
  bool AllowsPath(const FilePath& path) const;
  bool AllowsKey(uint32_t root, const std::wstring& key) const;
};

// Rolls back, last change first, a transaction on `install_folder` whose run
// ended without committing it, or finishes one that committed, then removes
// the journal. Every reversal is idempotent and tolerates a change that
// never happened or happened in part.
RecoveryResult RecoverInterruptedInstallation(const FilePath& journal_file,
                                              const JournalScope& scope);

// Both journals of a folder (the user's, and with `machine` the one of an
// installation for all users). `package_folder` as in JournalScope.
RecoveryResult RecoverInterruptedInstallations(const FilePath& install_folder, bool machine,
                                               const FilePath& package_folder = {});

}  // namespace norva::installer

#endif  // NORVA_SYSTEM_TRANSACTIONS_JOURNAL_RECOVERY_H_
