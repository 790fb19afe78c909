#ifndef NORVA_SYSTEM_TRANSACTIONS_JOURNAL_FORMAT_H_
#define NORVA_SYSTEM_TRANSACTIONS_JOURNAL_FORMAT_H_

// The bytes of a journal file, without any Windows dependency, so that the
// reader also builds natively for fuzzing.

#include <cstdint>
#include <string>
#include <vector>

namespace norva::installer {

// What one change needs to be reversed by a later run, written before the
// change is made. The fields are generic; each kind says what it keeps:
//
//   kHeader         texts: installation folder
//   kCreatedFolder  texts: folder, deepest folder that existed before; a
//                   recovery removes it with everything in it inside the
//                   installation folder, elsewhere only while it is empty
//   kCreatedFile    texts: file that did not exist before
//   kMovedFile      texts: from, to
//   kSetAside       texts: file, the temporary name it is moved to
//   kWidenedAccess  texts: object name; numbers: object type;
//                   blobs: the security descriptor before (DACL)
//   kCreatedKey     texts: topmost key created; numbers: root; a recovery
//                   removes an own key with everything below it, a shared
//                   one only while it is empty
//   kChangedValue   texts: key, value name; numbers: root, previous type
//                   (kRemoveValueType when there was none); blobs: previous bytes
//   kDeletedKey     texts: key, then each value's name; numbers: root, then each
//                   value's type; blobs: security descriptor, then each value's bytes
//   kCommitted      nothing: what follows is commit-time work only
//   kMovedFromPackage texts: the run's own package folder, a folder the run
//                   made and moved package files into; a recovery by a run of
//                   that same package moves them back before the folder goes
//   kDroppedFolder  texts: folder of the last kCreatedFolder record before it
//                   for that folder, which no longer stands (the creation
//                   failed, or was undone): a recovery leaves the folder to
//                   whoever has it now
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
    kDroppedFolder,
    kLastKind = kDroppedFolder,
  };
  Kind kind = Kind::kHeader;
  // UTF-16 units, stored as 16-bit units whatever the width of wchar_t.
  std::vector<std::wstring> texts;
  std::vector<uint32_t> numbers;
  std::vector<std::vector<uint8_t>> blobs;

  bool operator==(const JournalRecord&) const = default;
};

// The four bytes a journal file starts with.
inline constexpr uint8_t kJournalMagic[4] = {'N', 'V', 'J', '1'};

// Record framing: a 4-byte body length, the body's CRC-32, the body. A torn
// last record (short, or failing its CRC) is a change that never started.
std::vector<uint8_t> EncodeJournalRecord(const JournalRecord& record);
enum class JournalReadEnd { kComplete, kTornTail, kDamaged };
// Decodes the records of a whole journal file in order; `end` tells how the
// reading stopped (kDamaged: a bad record with more bytes after it).
std::vector<JournalRecord> DecodeJournal(const std::vector<uint8_t>& bytes, JournalReadEnd* end);

}  // namespace norva::installer

#endif  // NORVA_SYSTEM_TRANSACTIONS_JOURNAL_FORMAT_H_
