// Opens any input as a 7z archive and decodes every entry in memory, under
// tight limits so that a case stays fast and small.

#include <cstddef>
#include <cstdint>

#include "package/sevenzip/archive.h"
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  sz::MemoryInStream in(data, size);
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
