#ifndef NORVA_PACKAGE_SEVENZIP_FOLDER_DECODER_H_
#define NORVA_PACKAGE_SEVENZIP_FOLDER_DECODER_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "package/sevenzip/archive.h"

namespace norva::installer::sevenzip {

// A pull stream of bytes. Every coder is one: it reads its inputs in blocks
// and hands out its output in blocks, so no call is made per byte.
class ByteStream {
 public:
  virtual ~ByteStream() = default;
  // Fills up to `size` bytes; *got is 0 only at the end of the stream.
  virtual Result Read(uint8_t* out, size_t size, size_t* got) = 0;
  // As Read, but points *data at the bytes where the stream keeps them
  // (a dictionary) instead of copying them to `scratch`, which has room for
  // `size`. The bytes stay valid until the next call.
  virtual Result ReadInPlace(uint8_t* scratch, size_t size, const uint8_t** data, size_t* got) {
    *data = scratch;
    return Read(scratch, size, got);
  }
};

// Unpacks one folder: builds its coder graph (coders joined by bind pairs,
// leaves reading packed streams) and streams the main output. Memory is the
// coders' dictionaries plus fixed buffers, whatever the unpacked size.
class FolderDecoder {
 public:
  FolderDecoder();
  ~FolderDecoder();
  FolderDecoder(const FolderDecoder&) = delete;
  FolderDecoder& operator=(const FolderDecoder&) = delete;

  Result Init(const Folder& folder, const uint64_t* pack_offsets, const uint64_t* pack_sizes,
              InStream* in, const Limits& limits, std::string* detail);
  // The folder's unpacked bytes, exactly Folder::UnpackSize() of them.
  Result Read(uint8_t* out, size_t size, size_t* got) { return output_->Read(out, size, got); }
  Result ReadInPlace(uint8_t* scratch, size_t size, const uint8_t** data, size_t* got) {
    return output_->ReadInPlace(scratch, size, data, got);
  }

 private:
  struct Graph;
  Result BuildCoder(Graph& graph, uint32_t coder, ByteStream** out);
  Result BuildInput(Graph& graph, uint32_t in_index, ByteStream** out);

  std::vector<std::unique_ptr<ByteStream>> streams_;
  ByteStream* output_ = nullptr;
};

// Decodes a whole folder into `out` and checks its CRC (encoded headers).
Result DecodeFolderToMemory(const Folder& folder, const uint64_t* pack_offsets,
                            const uint64_t* pack_sizes, InStream* in, const Limits& limits,
                            std::vector<uint8_t>* out, std::string* detail);

// Makes the stream of one coder over its inputs (in the coder's in-stream
// order). `out_size` is the declared size of its output.
Result CreateCoder(const Coder& coder, const std::vector<ByteStream*>& inputs, uint64_t out_size,
                   const Limits& limits, std::unique_ptr<ByteStream>* stream, std::string* detail);

// Whether we decode this coder (method, stream counts and properties), so
// an archive can be refused before anything is extracted.
Result CheckCoder(const Coder& coder, std::string* detail);

// The most a coder's stream allocates for an output of `out_size` bytes:
// its dictionary (never more than the output) and its buffers.
uint64_t CoderMemory(const Coder& coder, uint64_t out_size);

// The most a FolderDecoder of `folder` allocates, known before decoding so
// that folders can be decoded side by side within a memory budget.
uint64_t FolderMemory(const Folder& folder);

// The most the decoders' dictionaries and probabilities have taken at once
// since the last reset, over all threads (tests and benchmarks).
uint64_t DecoderMemoryPeak();
void ResetDecoderMemoryPeak();

// The bytes [offset, offset + size) of the archive.
std::unique_ptr<ByteStream> CreatePackStream(InStream* in, uint64_t offset, uint64_t size);

}  // namespace norva::installer::sevenzip

#endif  // NORVA_PACKAGE_SEVENZIP_FOLDER_DECODER_H_
