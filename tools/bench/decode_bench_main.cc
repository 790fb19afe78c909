// Decodes every block of a 7z archive in memory and prints each block's
// time; run natively by scripts/bench-decode. The extractor checks every
// entry's CRC, so a decoder that decodes wrongly fails here rather than
// looking fast.
//   decode_bench <archive>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

#include "package/sevenzip/archive.h"
#include "package/sevenzip/extractor.h"

namespace sz = norva::installer::sevenzip;

namespace {

// Counts the bytes; keeps nothing.
class CountingSink : public sz::ByteSink {
 public:
  bool Write(const uint8_t*, size_t size) override {
    bytes_ += size;
    return true;
  }
  uint64_t bytes() const { return bytes_; }

 private:
  uint64_t bytes_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: decode_bench <archive>\n");
    return 2;
  }
  std::ifstream file(argv[1], std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)), {});
  sz::MemoryInStream in(bytes.data(), bytes.size());
  sz::Archive archive;
  if (archive.Open(&in) != sz::Result::kOk) {
    std::fprintf(stderr, "not an archive we read: %s\n", argv[1]);
    return 1;
  }
  std::vector<std::vector<size_t>> entries_of(archive.folders().size());
  for (size_t i = 0; i < archive.entries().size(); ++i) {
    const sz::Entry& entry = archive.entries()[i];
    if (entry.has_stream) entries_of[entry.folder].push_back(i);
  }
  double total = 0;
  for (size_t f = 0; f < entries_of.size(); ++f) {
    auto start = std::chrono::steady_clock::now();
    sz::Extractor extractor(archive, &in);
    CountingSink sink;
    for (size_t index : entries_of[f]) {
      if (extractor.Extract(index, &sink) != sz::Result::kOk) {
        std::fprintf(stderr, "block %zu: entry %zu does not decode\n", f, index);
        return 1;
      }
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    total += seconds;
    std::printf("block %zu: %.1f MB from %.1f MB in %.3f s\n", f, sink.bytes() / 1e6,
                archive.pack_sizes()[archive.folders()[f].first_pack_stream] / 1e6, seconds);
  }
  std::printf("total %.3f s\n", total);
  return 0;
}
