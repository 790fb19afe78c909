#ifndef NORVA_SYSTEM_TRANSACTIONS_JOURNAL_H_
#define NORVA_SYSTEM_TRANSACTIONS_JOURNAL_H_

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "base/file_path.h"
#include "base/scoped_handle.h"
#include "system/transactions/journal_scope.h"
#include "system/transactions/journal_format.h"

namespace norva::installer {

// A path as Windows compares it: upper case, "\\" only, no trailing "\\".
std::wstring FoldedPath(const std::wstring& path);
// Whether `inner` is `outer` or lies below it, compared so.
bool IsPathWithin(const std::wstring& inner, const std::wstring& outer);

// The registry roots a journal may name.
uint32_t JournalRootNumber(HKEY root);  // 0 for any other root
HKEY JournalRoot(uint32_t number);       // nullptr for an unknown number

// The write-ahead journal of one installation folder's transaction. The file
// is made on the first record and held open without write or delete sharing
// for the writer's whole life, so a later run that can open it exclusively
// knows that its writer is gone. Every record is flushed to disk before
// Append returns.
class Journal {
 public:
  // One file per installation folder, in the user's local application data
  // or, for an installation for all users, in the common application data
  // (a folder only the administrators and the system may write).
  static FilePath PathFor(const FilePath& install_folder, bool all_users);
  // The same place, for reading: nothing is made on the way.
  static FilePath LocationFor(const FilePath& install_folder, bool all_users);
  // Whether a run left a journal for the folder in either place.
  static bool ExistsFor(const FilePath& install_folder);

  Journal() = default;
  ~Journal();
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  // Where the next records go; nothing is written until the first Append.
  // `scope` tells what the records may name (scope.install_folder is the
  // folder of the transaction); a machine's journal is made admin-only.
  void Open(FilePath file, JournalScope scope);
  bool Append(const JournalRecord& record);
  // The transaction ended (committed or rolled back): the file goes.
  void Discard();
  // Some record is on disk.
  bool written() const { return handle_.is_valid(); }

  // Test builds only: the process ends with exit code 0, as a kill from
  // outside would look, right after the k-th record is on disk (1-based,
  // header not counted) or right after the k-th change was made (0: never).
  // The positions come from a reader that only test executables link
  // (kill_switches_for_testing.cc, which takes them from switches of the
  // command line); the shipped installer has none and never ends early.
  struct KillPoints {
    long after_record = 0;
    long after_change = 0;
  };
  // `read` is called once, at the first record or change; `switches` are
  // the ones it reads, which a frontend hands on to its backend.
  static void SetKillPointsReaderForTesting(KillPoints (*read)(),
                                            std::vector<const char*> switches);
  // Empty unless a reader was set.
  static const std::vector<const char*>& KillSwitchesForTesting();
  static void CountChangeMadeForTesting();
  // Test-only: stands in for the flush of each record, as a disk that fails
  // to write would; nullptr puts the system's flush back.
  static void SetFlushForTesting(BOOL (*flush)(HANDLE));

 private:
  bool StartFile();
  bool CoveredByCreation(const JournalRecord& record) const;
  void ForgetCreatedFolder(const std::wstring& folder);

  FilePath file_;
  JournalScope scope_;
  // Folders and keys this transaction made that a recovery removes with
  // what they hold (in the installation folder, the product's own keys): the
  // files and values written into them need no record of their own (and no
  // flush to disk). A folder leaves the list with its kDroppedFolder record.
  std::vector<std::wstring> created_folders_;
  std::vector<std::pair<uint32_t, std::wstring>> created_keys_;
  ScopedHandle handle_;
};

// Writes `record` to the journal of the transaction, when it has one. A
// change whose record cannot be written must not be made.
class Transaction;
bool WriteAhead(Transaction* transaction, const JournalRecord& record);
// Writes the object's DACL as it is now, before rights are widened on it.
bool WriteAheadWidening(Transaction* transaction, const std::wstring& object_name, DWORD type);

}  // namespace norva::installer

#endif  // NORVA_SYSTEM_TRANSACTIONS_JOURNAL_H_
