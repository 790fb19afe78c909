#include "package/sevenzip/extractor.h"

#include <algorithm>

#include "package/sevenzip/byte_reader.h"
#include "base/crc32.h"
#include "package/sevenzip/folder_decoder.h"

namespace norva::installer::sevenzip {
Extractor::Extractor(const Archive& archive, InStream* in, DictionaryKeeper* keeper)
    : archive_(archive), in_(in), keeper_(keeper) {}
Extractor::~Extractor() = default;

Result Extractor::OpenFolder(uint32_t folder) {
  decoder_.reset();  // its dictionary goes back to the keeper first
  folder_ = Entry::kNoFolder;
  auto decoder = std::make_unique<FolderDecoder>();
  const Folder& f = archive_.folders()[folder];
  if (keeper_) keeper_->PrepareFor(FolderDictionary(f));
  SZ_RETURN_IF_ERROR(decoder->Init(f, archive_.pack_offsets(), archive_.pack_sizes(), in_,
                                   archive_.limits(), &error_detail_, keeper_));
  decoder_ = std::move(decoder);
  folder_ = folder;
  folder_pos_ = 0;
  folder_crc_ = 0;
  return Result::kOk;
}

Result Extractor::Pump(uint64_t size, ByteSink* sink, uint32_t* crc) {
  // Not cleared: a folder whose output is read in place never touches it,
  // and its pages are then never mapped.
  if (!buffer_) buffer_.reset(new uint8_t[kExtractorBufferSize]);
  bool folder_crc = archive_.folders()[folder_].crc_defined;
  while (size) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(size, kExtractorBufferSize)), filled;
    const uint8_t* data;
    SZ_RETURN_IF_ERROR(decoder_->ReadInPlace(buffer_.get(), want, &data, &filled));
    if (!filled) return Result::kDataError;  // the folder ended before its entries did
    // Copied pieces are filled up for large writes; pieces in place are large.
    while (data == buffer_.get() && filled < want) {
      size_t got;
      SZ_RETURN_IF_ERROR(decoder_->Read(buffer_.get() + filled, want - filled, &got));
      if (!got) return Result::kDataError;
      filled += got;
    }
    if (crc) *crc = Crc32Update(*crc, data, filled);
    if (folder_crc) folder_crc_ = Crc32Update(folder_crc_, data, filled);
    if (sink && !sink->Write(data, filled)) return Result::kWriteError;
    size -= filled;
    folder_pos_ += filled;
  }
  return Result::kOk;
}

Result Extractor::FinishFolder() {
  const Folder& folder = archive_.folders()[folder_];
  uint8_t extra;
  size_t got;
  SZ_RETURN_IF_ERROR(decoder_->Read(&extra, 1, &got));
  decoder_.reset();
  folder_ = Entry::kNoFolder;
  if (got) return Result::kDataError;
  if (folder.crc_defined && folder_crc_ != folder.crc) return Result::kCrcError;
  return Result::kOk;
}

Result Extractor::Extract(size_t index, ByteSink* sink) {
  if (index >= archive_.entries().size()) return Result::kBadHeader;
  const Entry& entry = archive_.entries()[index];
  if (!entry.has_stream) return Result::kOk;
  if (folder_ != entry.folder || folder_pos_ > entry.offset_in_folder) {
    SZ_RETURN_IF_ERROR(OpenFolder(entry.folder));
  }
  SZ_RETURN_IF_ERROR(Pump(entry.offset_in_folder - folder_pos_, nullptr, nullptr));
  uint32_t crc = 0;
  Result result = Pump(entry.size, sink, &crc);
  if (result != Result::kOk) {
    decoder_.reset();
    folder_ = Entry::kNoFolder;
    return result;
  }
  if (entry.crc_defined && crc != entry.crc) return Result::kCrcError;
  if (entry.substream + 1 == archive_.folders()[entry.folder].num_substreams) return FinishFolder();
  return Result::kOk;
}

}  // namespace norva::installer::sevenzip
