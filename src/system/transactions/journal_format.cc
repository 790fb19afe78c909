#include "system/transactions/journal_format.h"

#include <cstring>

#include "base/crc32.h"

namespace norva::installer {
namespace {

// A record larger than this is not one we wrote (a deleted key with many
// large values stays far below it).
constexpr uint32_t kMaxRecordSize = 64u << 20;
constexpr uint32_t kMaxItems = 1u << 20;

void PutNumber(std::vector<uint8_t>* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<uint8_t>(value >> (8 * i)));
}

class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool Number(uint32_t* value) {
    if (size_ - at_ < 4) return false;
    *value = 0;
    for (int i = 0; i < 4; ++i) *value |= static_cast<uint32_t>(data_[at_ + i]) << (8 * i);
    at_ += 4;
    return true;
  }
  bool Bytes(size_t count, const uint8_t** bytes) {
    if (size_ - at_ < count) return false;
    *bytes = data_ + at_;
    at_ += count;
    return true;
  }
  bool done() const { return at_ == size_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

bool DecodeBody(const uint8_t* data, size_t size, JournalRecord* record) {
  if (size < 1) return false;
  record->kind = static_cast<JournalRecord::Kind>(data[0]);
  if (data[0] < 1 || data[0] > static_cast<uint8_t>(JournalRecord::Kind::kLastKind)) return false;
  Reader reader(data + 1, size - 1);
  uint32_t texts, numbers, blobs;
  if (!reader.Number(&texts) || !reader.Number(&numbers) || !reader.Number(&blobs) ||
      texts > kMaxItems || numbers > kMaxItems || blobs > kMaxItems)
    return false;
  for (uint32_t i = 0; i < texts; ++i) {
    uint32_t units;
    const uint8_t* bytes;
    if (!reader.Number(&units) || units > kMaxRecordSize / 2 || !reader.Bytes(units * 2, &bytes))
      return false;
    std::wstring text(units, L'\0');
    for (uint32_t u = 0; u < units; ++u)
      text[u] = static_cast<wchar_t>(bytes[2 * u] | (bytes[2 * u + 1] << 8));
    record->texts.push_back(std::move(text));
  }
  for (uint32_t i = 0; i < numbers; ++i) {
    uint32_t value;
    if (!reader.Number(&value)) return false;
    record->numbers.push_back(value);
  }
  for (uint32_t i = 0; i < blobs; ++i) {
    uint32_t count;
    const uint8_t* bytes;
    if (!reader.Number(&count) || !reader.Bytes(count, &bytes)) return false;
    record->blobs.emplace_back(bytes, bytes + count);
  }
  return reader.done();
}

}  // namespace

std::vector<uint8_t> EncodeJournalRecord(const JournalRecord& record) {
  std::vector<uint8_t> body;
  body.push_back(static_cast<uint8_t>(record.kind));
  PutNumber(&body, static_cast<uint32_t>(record.texts.size()));
  PutNumber(&body, static_cast<uint32_t>(record.numbers.size()));
  PutNumber(&body, static_cast<uint32_t>(record.blobs.size()));
  for (const std::wstring& text : record.texts) {
    PutNumber(&body, static_cast<uint32_t>(text.size()));
    for (wchar_t unit : text) {
      body.push_back(static_cast<uint8_t>(unit));
      body.push_back(static_cast<uint8_t>(unit >> 8));
    }
  }
  for (uint32_t number : record.numbers) PutNumber(&body, number);
  for (const std::vector<uint8_t>& blob : record.blobs) {
    PutNumber(&body, static_cast<uint32_t>(blob.size()));
    body.insert(body.end(), blob.begin(), blob.end());
  }
  std::vector<uint8_t> framed;
  framed.reserve(body.size() + 8);
  PutNumber(&framed, static_cast<uint32_t>(body.size()));
  PutNumber(&framed, Crc32(body.data(), body.size()));
  framed.insert(framed.end(), body.begin(), body.end());
  return framed;
}

std::vector<JournalRecord> DecodeJournal(const std::vector<uint8_t>& bytes, JournalReadEnd* end) {
  std::vector<JournalRecord> records;
  *end = JournalReadEnd::kComplete;
  if (bytes.size() < sizeof(kJournalMagic) ||
      std::memcmp(bytes.data(), kJournalMagic, sizeof(kJournalMagic)) != 0) {
    *end = bytes.empty() ? JournalReadEnd::kTornTail : JournalReadEnd::kDamaged;
    return records;
  }
  Reader reader(bytes.data() + sizeof(kJournalMagic), bytes.size() - sizeof(kJournalMagic));
  while (!reader.done()) {
    uint32_t size, crc;
    const uint8_t* body;
    JournalRecord record;
    if (!reader.Number(&size) || !reader.Number(&crc) || size > kMaxRecordSize ||
        !reader.Bytes(size, &body)) {
      *end = JournalReadEnd::kTornTail;
      return records;
    }
    if (Crc32(body, size) != crc || !DecodeBody(body, size, &record)) {
      *end = reader.done() ? JournalReadEnd::kTornTail : JournalReadEnd::kDamaged;
      return records;
    }
    records.push_back(std::move(record));
  }
  return records;
}

}  // namespace norva::installer
