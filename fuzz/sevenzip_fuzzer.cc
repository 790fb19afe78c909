// Opens any input as a 7z archive and decodes every entry in memory, under
// tight limits so that a case stays fast and small.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "package/sevenzip/archive.h"
#include "package/sevenzip/byte_reader.h"
#include "package/sevenzip/entry_name.h"
#include "base/crc32.h"
#include "package/sevenzip/extractor.h"

namespace sz = norva::installer::sevenzip;

namespace {

// Counts bytes; stops an entry once the whole input has produced too much.
class BudgetSink : public sz::ByteSink {
 public:
  bool Write(const uint8_t*, size_t size) override {
    total_ += size;
    return total_ <= (64u << 20);
  }

 private:
  uint64_t total_ = 0;
};

// Mutated bytes almost never keep their CRCs, so the header parser would
// hardly be reached: the signature header's and the next header's CRCs are
// recomputed before each run.
std::vector<uint8_t> WithHeaderCrcs(const uint8_t* data, size_t size) {
  std::vector<uint8_t> bytes(data, data + size);
  if (size < 32) return bytes;
  auto store = [&](size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
  };
  uint64_t offset = sz::LoadLe64(&bytes[12]), length = sz::LoadLe64(&bytes[20]);
  if (offset <= size - 32 && length <= size - 32 - offset)
    store(28, norva::installer::Crc32(&bytes[32 + offset], static_cast<size_t>(length)));
  store(8, norva::installer::Crc32(&bytes[12], 20));
  return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> bytes = WithHeaderCrcs(data, size);
  sz::MemoryInStream in(bytes.data(), bytes.size());
  sz::Limits limits;
  limits.max_header_size = 4u << 20;
  limits.max_dictionary = 16u << 20;
  limits.max_items = 1u << 16;
  sz::Archive archive;
  if (archive.Open(&in, limits) != sz::Result::kOk) return 0;
  sz::Extractor extractor(archive, &in);
  BudgetSink sink;
  for (size_t i = 0; i < archive.entries().size(); ++i) {
    sz::IsSafeEntryName(archive.entries()[i].name);
    if (extractor.Extract(i, &sink) == sz::Result::kWriteError) break;
  }
  return 0;
}
