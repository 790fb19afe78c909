#ifndef NORVA_SYSTEM_TRANSACTIONS_JOURNAL_H_
#define NORVA_SYSTEM_TRANSACTIONS_JOURNAL_H_

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "base/file_path.h"
#include "base/scoped_handle.h"

namespace norva::installer {

// What one change needs to be reversed by a later run, written before the
// change is made. The fields are generic; each kind says what it keeps:
//
//   kHeader         texts: installation folder
//   kCreatedFolder  texts: folder, deepest folder that existed before; a
//                   recovery removes it with everything in it
//   kCreatedFile    texts: file that did not exist before
//   kMovedFile      texts: from, to
//   kSetAside       texts: file, the temporary name it is moved to
//   kWidenedAccess  texts: object name; numbers: object type;
//                   blobs: the security descriptor before (DACL)
//   kCreatedKey     texts: topmost key created; numbers: root; a recovery
//                   removes it with everything below it
//   kChangedValue   texts: key, value name; numbers: root, previous type
//                   (kRemoveValueType when there was none); blobs: previous bytes
//   kDeletedKey     texts: key, then each value's name; numbers: root, then each
//                   value's type; blobs: security descriptor, then each value's bytes
//   kCommitted      nothing: what follows is commit-time work only
//   kMovedFromPackage texts: the run's own package folder, a folder the run
//                   made and moved package files into; a recovery by a run of
//                   that same package moves them back before the folder goes
struct JournalRecord {
  enum class Kind : uint8_t {
    kHeader = 1,
    kCreatedFolder,
    kCreatedFile,
    kMovedFile,
    kSetAside,
    kWidenedAccess,
    kCreatedKey,
    kChangedValue,
    kDeletedKey,
    kCommitted,
    kMovedFromPackage,
    kLastKind = kMovedFromPackage,
  };
  Kind kind = Kind::kHeader;
  std::vector<std::wstring> texts;
  std::vector<uint32_t> numbers;
  std::vector<std::vector<uint8_t>> blobs;

  bool operator==(const JournalRecord&) const = default;
};

// A path as Windows compares it: upper case, "\\" only, no trailing "\\".
std::wstring FoldedPath(const std::wstring& path);
// Whether `inner` is `outer` or lies below it, compared so.
bool IsPathWithin(const std::wstring& inner, const std::wstring& outer);

// The registry roots a journal may name.
uint32_t JournalRootNumber(HKEY root);  // 0 for any other root
HKEY JournalRoot(uint32_t number);       // nullptr for an unknown number

// Record framing: a 4-byte body length, the body's CRC-32, the body. A torn
// last record (short, or failing its CRC) is a change that never started.
std::vector<uint8_t> EncodeJournalRecord(const JournalRecord& record);
enum class JournalReadEnd { kComplete, kTornTail, kDamaged };
// Decodes the records of a whole journal file in order; `end` tells how the
// reading stopped (kDamaged: a bad record with more bytes after it).
std::vector<JournalRecord> DecodeJournal(const std::vector<uint8_t>& bytes, JournalReadEnd* end);

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
  void Open(FilePath file, FilePath install_folder);
  bool Append(const JournalRecord& record);
  // The transaction ended (committed or rolled back): the file goes.
  void Discard();
  // Some record is on disk.
  bool written() const { return handle_.is_valid(); }

  // Test-only: ends the process with exit code 0, as a kill from outside
  // would look, right after the given record is on disk (1-based, header not
  // counted), or right after the given change was made. Read once from the
  // command line ("test-kill-after-journal-record", "test-kill-after-do").
  static void CountChangeMadeForTesting();
  // Test-only: stands in for the flush of each record, as a disk that fails
  // to write would; nullptr puts the system's flush back.
  static void SetFlushForTesting(BOOL (*flush)(HANDLE));

 private:
  bool StartFile();
  bool CoveredByCreation(const JournalRecord& record) const;

  FilePath file_;
  FilePath install_folder_;
  // Folders and keys this transaction made: a recovery removes each with
  // what it holds, so the files and values written into them need no record
  // of their own (and no flush to disk).
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
