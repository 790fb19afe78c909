#ifndef NORVA_PACKAGE_SEVENZIP_ARCHIVE_H_
#define NORVA_PACKAGE_SEVENZIP_ARCHIVE_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "package/sevenzip/in_stream.h"
#include "package/sevenzip/result.h"

// A portable reader of 7z archives: no platform headers, no exceptions, every
// failure a Result. Archive parses the database; Extractor (extractor.h)
// streams entry contents out of their folders.

namespace norva::installer::sevenzip {

// Bounds on what a (possibly hostile) archive may make us allocate.
struct Limits {
  // Largest plain or decoded archive header.
  uint64_t max_header_size = 64ull << 20;
  // Largest LZMA/LZMA2 dictionary an archive may declare. 7-Zip's own
  // encoders stop at 1.5 GiB; anything larger is refused, not allocated.
  uint64_t max_dictionary = 1536ull << 20;
  // Most entries, folders and packed streams.
  uint32_t max_items = 1u << 22;
};

// Method ids of the coders we decode.
enum MethodId : uint64_t {
  kMethodCopy = 0x00,
  kMethodDelta = 0x03,
  kMethodX86 = 0x04,
  kMethodArm64 = 0x0A,
  kMethodLzma2 = 0x21,
  kMethodLzma = 0x030101,
  kMethodBcj = 0x03030103,
  kMethodBcj2 = 0x0303011B,
  kMethodPpmd = 0x030401,
  kMethodAes = 0x06F10701,
};

struct Coder {
  uint64_t method = 0;
  uint32_t num_in = 1;   // packed side
  uint32_t num_out = 1;  // unpacked side
  std::vector<uint8_t> props;
};

struct BindPair {
  uint32_t in_index = 0;   // in stream of one coder...
  uint32_t out_index = 0;  // ...fed by this out stream of another
};

struct Folder {
  std::vector<Coder> coders;
  std::vector<BindPair> bind_pairs;
  std::vector<uint32_t> packed_in;      // in streams fed by packed streams, in order
  std::vector<uint64_t> unpack_sizes;   // one per out stream
  uint32_t first_pack_stream = 0;       // index into Archive::pack_offsets()
  uint32_t main_out = 0;                // the out stream no bind pair consumes
  bool crc_defined = false;
  uint32_t crc = 0;
  uint32_t num_substreams = 1;
  uint64_t UnpackSize() const { return unpack_sizes[main_out]; }
};

struct Entry {
  static constexpr uint32_t kNoFolder = 0xFFFFFFFFu;
  std::u16string name;
  bool has_stream = false;
  bool is_dir = false;
  uint64_t size = 0;
  bool crc_defined = false;
  uint32_t crc = 0;
  bool attrib_defined = false;
  uint32_t attrib = 0;
  bool mtime_defined = false;
  uint64_t mtime = 0;  // FILETIME: 100 ns units since 1601
  uint32_t folder = kNoFolder;
  uint32_t substream = 0;  // position among its folder's entries
  uint64_t offset_in_folder = 0;
};

class Archive {
 public:
  // Reads and checks the signature header and the (possibly encoded) header.
  // `in` must outlive the archive's use by an Extractor.
  Result Open(InStream* in, const Limits& limits = Limits());

  const std::vector<Entry>& entries() const { return entries_; }
  const std::vector<Folder>& folders() const { return folders_; }
  // File offset and size of each packed stream.
  const uint64_t* pack_offsets() const { return pack_offsets_.data(); }
  const uint64_t* pack_sizes() const { return pack_sizes_.data(); }
  const Limits& limits() const { return limits_; }
  // What went wrong, in a few words, after a failure ("method 030401").
  const std::string& error_detail() const { return error_detail_; }

 private:
  friend class HeaderParser;
  Result ReadDatabase(InStream* in, std::vector<uint8_t> header, uint64_t data_end);

  Limits limits_;
  std::vector<Entry> entries_;
  std::vector<Folder> folders_;
  std::vector<uint64_t> pack_offsets_;
  std::vector<uint64_t> pack_sizes_;
  std::string error_detail_;
};

}  // namespace norva::installer::sevenzip

#endif  // NORVA_PACKAGE_SEVENZIP_ARCHIVE_H_
