#ifndef NORVA_PACKAGE_SEVENZIP_FOLDER_DECODER_H_
#define NORVA_PACKAGE_SEVENZIP_FOLDER_DECODER_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
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

// Keeps the largest dictionary of a folder once the folder is decoded, for
// the next folder decoded on the same thread. Writing again to pages already
// mapped costs much less than mapping a fresh dictionary for every folder,
// which takes a page fault per 4 KB. A kept dictionary counts in
// DecoderMemoryPeak. One thread's: its decoders call Lend and TakeBack.
class DictionaryKeeper {
 public:
  // `prepare_new`, when given, is handed each dictionary the keeper's
  // decoders allocate, before its first byte is written.
  using NewDictionaryHook = std::function<bool(void* start, size_t size)>;
  explicit DictionaryKeeper(NewDictionaryHook prepare_new = nullptr)
      : prepare_new_(std::move(prepare_new)) {}
  ~DictionaryKeeper();
  DictionaryKeeper(const DictionaryKeeper&) = delete;
  DictionaryKeeper& operator=(const DictionaryKeeper&) = delete;

  // The bytes of the kept dictionary, 0 when none.
  uint64_t capacity() const { return capacity_; }
  // Before a folder whose largest dictionary is `size` (FolderDictionary):
  // frees the kept dictionary unless it holds `size` bytes. Only a
  // dictionary of exactly `size` bytes is then lent, or kept afterwards.
  void PrepareFor(uint64_t size);
  void Release();

  // The kept dictionary, for a decoder that needs `size` bytes; null when
  // there is none to lend.
  uint8_t* Lend(size_t size);
  // True when the keeper has the dictionary now (the one it lent, or a new
  // one of the prepared size); the caller frees it otherwise.
  bool TakeBack(uint8_t* dictionary, size_t size);
  void PrepareNew(uint8_t* dictionary, size_t size) const {
    if (prepare_new_) prepare_new_(dictionary, size);
  }

 private:
  const NewDictionaryHook prepare_new_;
  uint8_t* kept_ = nullptr;
  uint64_t capacity_ = 0;
  uint64_t wanted_ = 0;
  bool lent_ = false;
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

  // The dictionaries come from `keeper` when it has them (may be null).
  Result Init(const Folder& folder, const uint64_t* pack_offsets, const uint64_t* pack_sizes,
              InStream* in, const Limits& limits, std::string* detail,
              DictionaryKeeper* keeper = nullptr);
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
                   const Limits& limits, std::unique_ptr<ByteStream>* stream, std::string* detail,
                   DictionaryKeeper* keeper = nullptr);

// Whether we decode this coder (method, stream counts and properties), so
// an archive can be refused before anything is extracted.
Result CheckCoder(const Coder& coder, std::string* detail);

// The most a coder's stream allocates for an output of `out_size` bytes:
// its dictionary (never more than the output) and its buffers.
uint64_t CoderMemory(const Coder& coder, uint64_t out_size);
// The dictionary a coder's stream allocates for `out_size` bytes, 0 if none.
uint64_t CoderDictionary(const Coder& coder, uint64_t out_size);

// The most a FolderDecoder of `folder` allocates, known before decoding so
// that folders can be decoded side by side within a memory budget.
uint64_t FolderMemory(const Folder& folder);
// The largest dictionary a FolderDecoder of `folder` allocates, 0 if none.
uint64_t FolderDictionary(const Folder& folder);

// The most the decoders' dictionaries and probabilities have taken at once
// since the last reset, over all threads (tests and benchmarks); and what
// they allocated in all, where a dictionary kept for the next folder counts
// once.
uint64_t DecoderMemoryPeak();
uint64_t DecoderMemoryAllocated();
void ResetDecoderMemoryPeak();

// The bytes [offset, offset + size) of the archive.
std::unique_ptr<ByteStream> CreatePackStream(InStream* in, uint64_t offset, uint64_t size);

}  // namespace norva::installer::sevenzip

#endif  // NORVA_PACKAGE_SEVENZIP_FOLDER_DECODER_H_
