// Fuzzes the reader of the installation journal. Besides memory safety it
// checks that the records read are exactly the bytes they came from (the
// encoding of a record is the only one the reader takes, so the reading is
// complete only when nothing is left over), that they read back the same
// once written again, that a torn copy of the last record is a torn tail
// while a spoilt one with more behind it is damage, and that no record has
// a kind outside the known ones.
//
// The first byte chooses the mode: with its low bit set, the CRC of each
// frame is made right before reading, since random bodies almost never
// match theirs and the bodies' decoding would otherwise be out of reach.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <vector>

#include "base/crc32.h"
#include "system/transactions/journal_format.h"

using namespace norva::installer;

namespace {

uint32_t ReadNumber(const std::vector<uint8_t>& bytes, size_t at) {
  uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value |= static_cast<uint32_t>(bytes[at + i]) << (8 * i);
  return value;
}

void FixFrameChecksums(std::vector<uint8_t>* bytes) {
  size_t at = sizeof(kJournalMagic);
  while (at + 8 <= bytes->size()) {
    uint32_t size = ReadNumber(*bytes, at);
    if (size > bytes->size() - at - 8) return;
    uint32_t crc = Crc32(bytes->data() + at + 8, size);
    for (int i = 0; i < 4; ++i) (*bytes)[at + 4 + i] = static_cast<uint8_t>(crc >> (8 * i));
    at += 8 + size;
  }
}

std::vector<uint8_t> Encode(const std::vector<JournalRecord>& records) {
  std::vector<uint8_t> bytes(std::begin(kJournalMagic), std::end(kJournalMagic));
  for (const JournalRecord& record : records) {
    std::vector<uint8_t> frame = EncodeJournalRecord(record);
    bytes.insert(bytes.end(), frame.begin(), frame.end());
  }
  return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  std::vector<uint8_t> bytes(data + 1, data + size);
  if (data[0] & 1) FixFrameChecksums(&bytes);

  JournalReadEnd end;
  std::vector<JournalRecord> records = DecodeJournal(bytes, &end);
  for (const JournalRecord& record : records) {
    auto kind = static_cast<uint8_t>(record.kind);
    if (kind < 1 || kind > static_cast<uint8_t>(JournalRecord::Kind::kLastKind)) std::abort();
  }
  bool has_magic = bytes.size() >= sizeof(kJournalMagic) &&
                   std::equal(std::begin(kJournalMagic), std::end(kJournalMagic), bytes.begin());
  if (!has_magic) {
    if (!records.empty() || end == JournalReadEnd::kComplete) std::abort();
    return 0;
  }

  // What was read is the start of the input, and all of it when complete.
  std::vector<uint8_t> again = Encode(records);
  if (again.size() > bytes.size() || !std::equal(again.begin(), again.end(), bytes.begin()))
    std::abort();
  if ((end == JournalReadEnd::kComplete) != (again.size() == bytes.size())) std::abort();

  JournalReadEnd again_end;
  if (DecodeJournal(again, &again_end) != records || again_end != JournalReadEnd::kComplete)
    std::abort();

  // The last record written again but cut short, as a kill during its write
  // leaves it, is a torn tail behind the others.
  if (records.empty()) return 0;
  std::vector<uint8_t> last = EncodeJournalRecord(records.back());
  size_t cut = 1 + data[0] / 2 % (last.size() - 1);
  std::vector<uint8_t> torn = again;
  torn.insert(torn.end(), last.begin(), last.begin() + cut);
  JournalReadEnd torn_end;
  if (DecodeJournal(torn, &torn_end) != records || torn_end != JournalReadEnd::kTornTail)
    std::abort();

  // The same record with a spoilt checksum and more behind it is damage.
  std::vector<uint8_t> damaged = again;
  damaged.insert(damaged.end(), last.begin(), last.end());
  damaged[again.size() + 4] ^= 1;
  damaged.insert(damaged.end(), last.begin(), last.end());
  JournalReadEnd damaged_end;
  if (DecodeJournal(damaged, &damaged_end) != records ||
      damaged_end != JournalReadEnd::kDamaged)
    std::abort();
  return 0;
}
