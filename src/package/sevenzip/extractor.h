#ifndef NORVA_PACKAGE_SEVENZIP_EXTRACTOR_H_
#define NORVA_PACKAGE_SEVENZIP_EXTRACTOR_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "package/sevenzip/archive.h"

namespace norva::installer::sevenzip {

class DictionaryKeeper;
class FolderDecoder;

// Output is handed to the sink in pieces of this size (large file writes);
// an Extractor holds one such buffer.
inline constexpr size_t kExtractorBufferSize = 1 << 20;

// Receives an entry's content in large pieces.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  // False stops the extraction with Result::kWriteError.
  virtual bool Write(const uint8_t* data, size_t size) = 0;
};

// Streams entry contents out of an opened archive. Each folder is decoded
// once when its entries are asked for in archive order; asking for an
// earlier entry of the folder restarts it.
class Extractor {
 public:
  // The folders' dictionaries come from `keeper` when it is given: one
  // keeper serves the extractors of a thread one after the other.
  Extractor(const Archive& archive, InStream* in, DictionaryKeeper* keeper = nullptr);
  ~Extractor();
  Extractor(const Extractor&) = delete;
  Extractor& operator=(const Extractor&) = delete;

  // Writes entry `index` to `sink` and checks its CRC, and its folder's CRC
  // once the folder's last entry is done. Entries without content write
  // nothing.
  Result Extract(size_t index, ByteSink* sink);
  const std::string& error_detail() const { return error_detail_; }

 private:
  Result OpenFolder(uint32_t folder);
  // Moves `size` bytes of the folder to `sink` (null: discard).
  Result Pump(uint64_t size, ByteSink* sink, uint32_t* crc);
  Result FinishFolder();

  const Archive& archive_;
  InStream* in_;
  DictionaryKeeper* keeper_;
  std::unique_ptr<FolderDecoder> decoder_;
  uint32_t folder_ = Entry::kNoFolder;
  uint64_t folder_pos_ = 0;
  uint32_t folder_crc_ = 0;
  std::unique_ptr<uint8_t[]> buffer_;
  std::string error_detail_;
};

}  // namespace norva::installer::sevenzip

#endif  // NORVA_PACKAGE_SEVENZIP_EXTRACTOR_H_
