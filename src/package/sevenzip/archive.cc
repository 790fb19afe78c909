#include "package/sevenzip/archive.h"

#include <algorithm>

#include "package/sevenzip/byte_reader.h"
#include "base/crc32.h"
#include "package/sevenzip/folder_decoder.h"

namespace norva::installer::sevenzip {
namespace {

enum PropertyId : uint8_t {
  kEnd = 0x00,
  kHeader = 0x01,
  kArchiveProperties = 0x02,
  kAdditionalStreamsInfo = 0x03,
  kMainStreamsInfo = 0x04,
  kFilesInfo = 0x05,
  kPackInfo = 0x06,
  kUnpackInfo = 0x07,
  kSubStreamsInfo = 0x08,
  kSize = 0x09,
  kCrc = 0x0A,
  kFolder = 0x0B,
  kCodersUnpackSize = 0x0C,
  kNumUnpackStream = 0x0D,
  kEmptyStream = 0x0E,
  kEmptyFile = 0x0F,
  kAnti = 0x10,
  kName = 0x11,
  kLastWriteTime = 0x14,
  kWinAttributes = 0x15,
  kEncodedHeader = 0x17,
};

constexpr uint8_t kSignature[6] = {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C};
constexpr size_t kSignatureHeaderSize = 32;
// More coders or streams in one folder than any 7-Zip writes.
constexpr uint32_t kMaxFolderStreams = 32;
// Encoded headers may nest; 7-Zip uses one level.
constexpr int kMaxHeaderNesting = 4;

struct StreamsInfo {
  uint64_t pack_pos = 0;
  std::vector<uint64_t> pack_sizes;
  std::vector<Folder> folders;
  std::vector<uint64_t> sizes;  // one per substream
  std::vector<bool> crc_defined;
  std::vector<uint32_t> crcs;
};

}  // namespace

class HeaderParser {
 public:
  HeaderParser(Archive* archive, const uint8_t* data, size_t size)
      : archive_(archive), limits_(archive->limits_), r_(data, size) {}

  Result ReadStreamsInfo(StreamsInfo* info);
  Result ReadHeader(StreamsInfo* main);
  Result ReadFiles(const StreamsInfo& main);

 private:
  Result ReadPackInfo(StreamsInfo* info);
  Result ReadUnpackInfo(StreamsInfo* info);
  Result ReadFolder(Folder* folder);
  Result ReadSubStreamsInfo(StreamsInfo* info);
  Result ReadDigests(size_t count, std::vector<bool>* defined, std::vector<uint32_t>* crcs);
  Result SkipProperty();
  Result Expect(uint8_t id);
  Result ReadFileProperties(uint32_t num_files);
  Result ReadNames(ByteReader& r, uint32_t num_files);
  Result AssignStreams(const StreamsInfo& main);

  Archive* archive_;
  const Limits& limits_;
  ByteReader r_;
  std::vector<bool> empty_stream_, empty_file_, anti_;
};

Result HeaderParser::Expect(uint8_t id) {
  uint8_t value;
  SZ_RETURN_IF_ERROR(r_.ReadByte(&value));
  return value == id ? Result::kOk : Result::kBadHeader;
}

Result HeaderParser::SkipProperty() {
  uint64_t size;
  SZ_RETURN_IF_ERROR(r_.ReadNumber(&size));
  return r_.Skip(size);
}

Result HeaderParser::ReadDigests(size_t count, std::vector<bool>* defined,
                                 std::vector<uint32_t>* crcs) {
  SZ_RETURN_IF_ERROR(r_.ReadDefinedBits(count, defined));
  crcs->assign(count, 0);
  for (size_t i = 0; i < count; ++i) {
    if ((*defined)[i]) SZ_RETURN_IF_ERROR(r_.ReadUInt32(&(*crcs)[i]));
  }
  return Result::kOk;
}

Result HeaderParser::ReadPackInfo(StreamsInfo* info) {
  uint32_t count;
  SZ_RETURN_IF_ERROR(r_.ReadNumber(&info->pack_pos));
  SZ_RETURN_IF_ERROR(r_.ReadCount(std::min<uint64_t>(limits_.max_items, r_.remaining()), &count));
  info->pack_sizes.assign(count, 0);
  bool have_sizes = count == 0;
  for (;;) {
    uint8_t id;
    SZ_RETURN_IF_ERROR(r_.ReadByte(&id));
    if (id == kEnd) break;
    if (id == kSize) {
      for (auto& size : info->pack_sizes) SZ_RETURN_IF_ERROR(r_.ReadNumber(&size));
      have_sizes = true;
    } else if (id == kCrc) {
      std::vector<bool> defined;  // packed-stream CRCs: 7-Zip writes none; checked via unpack CRCs
      std::vector<uint32_t> crcs;
      SZ_RETURN_IF_ERROR(ReadDigests(count, &defined, &crcs));
    } else {
      SZ_RETURN_IF_ERROR(SkipProperty());
    }
  }
  return have_sizes ? Result::kOk : Result::kBadHeader;
}

Result HeaderParser::ReadFolder(Folder* folder) {
  uint32_t num_coders;
  SZ_RETURN_IF_ERROR(r_.ReadCount(kMaxFolderStreams, &num_coders));
  if (num_coders == 0) return Result::kBadHeader;
  uint32_t total_in = 0, total_out = 0;
  folder->coders.resize(num_coders);
  for (Coder& coder : folder->coders) {
    uint8_t flags;
    SZ_RETURN_IF_ERROR(r_.ReadByte(&flags));
    if (flags & 0x80) return Result::kUnsupportedFeature;  // alternative methods
    const uint8_t* id;
    unsigned id_size = flags & 0x0F;
    if (id_size > 8) return Result::kUnsupportedMethod;
    SZ_RETURN_IF_ERROR(r_.ReadBytes(id_size, &id));
    coder.method = 0;
    for (unsigned i = 0; i < id_size; ++i) coder.method = coder.method << 8 | id[i];
    if (flags & 0x10) {
      SZ_RETURN_IF_ERROR(r_.ReadCount(kMaxFolderStreams, &coder.num_in));
      SZ_RETURN_IF_ERROR(r_.ReadCount(kMaxFolderStreams, &coder.num_out));
    }
    total_in += coder.num_in;
    total_out += coder.num_out;
    if (flags & 0x20) {
      uint64_t size;
      const uint8_t* props;
      SZ_RETURN_IF_ERROR(r_.ReadNumber(&size));
      SZ_RETURN_IF_ERROR(r_.ReadBytes(size, &props));
      coder.props.assign(props, props + size);
    }
  }
  if (total_out == 0 || total_in > kMaxFolderStreams || total_out > kMaxFolderStreams ||
      total_in < total_out - 1) {
    return Result::kBadHeader;
  }
  std::vector<bool> in_bound(total_in), out_bound(total_out);
  folder->bind_pairs.resize(total_out - 1);
  for (BindPair& pair : folder->bind_pairs) {
    SZ_RETURN_IF_ERROR(r_.ReadCount(total_in - 1, &pair.in_index));
    SZ_RETURN_IF_ERROR(r_.ReadCount(total_out - 1, &pair.out_index));
    if (in_bound[pair.in_index] || out_bound[pair.out_index]) return Result::kBadHeader;
    in_bound[pair.in_index] = out_bound[pair.out_index] = true;
  }
  uint32_t num_packed = total_in - (total_out - 1);
  if (num_packed == 0) return Result::kBadHeader;
  folder->packed_in.resize(num_packed);
  if (num_packed == 1) {
    auto free_in = std::find(in_bound.begin(), in_bound.end(), false);
    folder->packed_in[0] = static_cast<uint32_t>(free_in - in_bound.begin());
  } else {
    for (uint32_t& index : folder->packed_in) {
      SZ_RETURN_IF_ERROR(r_.ReadCount(total_in - 1, &index));
      if (in_bound[index]) return Result::kBadHeader;
      in_bound[index] = true;
    }
  }
  folder->main_out = static_cast<uint32_t>(std::find(out_bound.begin(), out_bound.end(), false) -
                                           out_bound.begin());
  folder->unpack_sizes.assign(total_out, 0);
  return Result::kOk;
}

Result HeaderParser::ReadUnpackInfo(StreamsInfo* info) {
  SZ_RETURN_IF_ERROR(Expect(kFolder));
  uint32_t count;
  SZ_RETURN_IF_ERROR(r_.ReadCount(std::min<uint64_t>(limits_.max_items, r_.remaining()), &count));
  uint8_t external;
  SZ_RETURN_IF_ERROR(r_.ReadByte(&external));
  if (external) return Result::kUnsupportedFeature;
  info->folders.resize(count);
  uint64_t first_pack = 0;
  for (Folder& folder : info->folders) {
    SZ_RETURN_IF_ERROR(ReadFolder(&folder));
    folder.first_pack_stream = static_cast<uint32_t>(first_pack);
    first_pack += folder.packed_in.size();
  }
  if (first_pack != info->pack_sizes.size()) return Result::kBadHeader;
  SZ_RETURN_IF_ERROR(Expect(kCodersUnpackSize));
  for (Folder& folder : info->folders) {
    for (uint64_t& size : folder.unpack_sizes) SZ_RETURN_IF_ERROR(r_.ReadNumber(&size));
  }
  for (;;) {
    uint8_t id;
    SZ_RETURN_IF_ERROR(r_.ReadByte(&id));
    if (id == kEnd) return Result::kOk;
    if (id == kCrc) {
      std::vector<bool> defined;
      std::vector<uint32_t> crcs;
      SZ_RETURN_IF_ERROR(ReadDigests(count, &defined, &crcs));
      for (uint32_t i = 0; i < count; ++i) {
        info->folders[i].crc_defined = defined[i];
        info->folders[i].crc = crcs[i];
      }
    } else {
      SZ_RETURN_IF_ERROR(SkipProperty());
    }
  }
}

Result HeaderParser::ReadSubStreamsInfo(StreamsInfo* info) {
  uint8_t id;
  SZ_RETURN_IF_ERROR(r_.ReadByte(&id));
  uint64_t total = 0;
  if (id == kNumUnpackStream) {
    for (Folder& folder : info->folders) {
      SZ_RETURN_IF_ERROR(r_.ReadCount(limits_.max_items, &folder.num_substreams));
      total += folder.num_substreams;
      if (total > limits_.max_items) return Result::kLimitExceeded;
    }
    SZ_RETURN_IF_ERROR(r_.ReadByte(&id));
  }
  info->sizes.clear();
  for (const Folder& folder : info->folders) {
    if (folder.num_substreams == 0) continue;
    uint64_t sum = 0;
    if (folder.num_substreams > 1 && id != kSize) return Result::kBadHeader;
    for (uint32_t j = 1; j < folder.num_substreams; ++j) {
      uint64_t size;
      SZ_RETURN_IF_ERROR(r_.ReadNumber(&size));
      if (size > folder.UnpackSize() - sum) return Result::kBadHeader;
      sum += size;
      info->sizes.push_back(size);
    }
    info->sizes.push_back(folder.UnpackSize() - sum);
  }
  if (id == kSize) SZ_RETURN_IF_ERROR(r_.ReadByte(&id));

  // Streams alone in a folder with a folder CRC already have theirs.
  size_t unknown = 0;
  info->crc_defined.clear();
  info->crcs.clear();
  for (const Folder& folder : info->folders) {
    bool known = folder.num_substreams == 1 && folder.crc_defined;
    if (!known) unknown += folder.num_substreams;
    for (uint32_t j = 0; j < folder.num_substreams; ++j) {
      info->crc_defined.push_back(known);
      info->crcs.push_back(folder.crc);
    }
  }
  for (;;) {
    if (id == kEnd) return Result::kOk;
    if (id == kCrc) {
      std::vector<bool> defined;
      std::vector<uint32_t> crcs;
      SZ_RETURN_IF_ERROR(ReadDigests(unknown, &defined, &crcs));
      size_t next = 0, stream = 0;
      for (const Folder& folder : info->folders) {
        bool known = folder.num_substreams == 1 && folder.crc_defined;
        for (uint32_t j = 0; j < folder.num_substreams; ++j, ++stream) {
          if (known) continue;
          info->crc_defined[stream] = defined[next];
          info->crcs[stream] = crcs[next++];
        }
      }
    } else {
      SZ_RETURN_IF_ERROR(SkipProperty());
    }
    SZ_RETURN_IF_ERROR(r_.ReadByte(&id));
  }
}

Result HeaderParser::ReadStreamsInfo(StreamsInfo* info) {
  bool have_substreams = false;
  // Each section at most once and in this order: a later one is read
  // against the earlier ones, and a repeat would leave their counts and
  // indexes out of step.
  uint8_t last = kEnd;
  for (;;) {
    uint8_t id;
    SZ_RETURN_IF_ERROR(r_.ReadByte(&id));
    if (id != kEnd) {
      if (id <= last) return Result::kBadHeader;
      last = id;
    }
    switch (id) {
      case kEnd:
        if (!have_substreams) {
          // Without substream info every folder holds one stream.
          info->sizes.clear();
          info->crc_defined.clear();
          info->crcs.clear();
          for (const Folder& folder : info->folders) {
            info->sizes.push_back(folder.UnpackSize());
            info->crc_defined.push_back(folder.crc_defined);
            info->crcs.push_back(folder.crc);
          }
        }
        return Result::kOk;
      case kPackInfo:
        SZ_RETURN_IF_ERROR(ReadPackInfo(info));
        break;
      case kUnpackInfo:
        SZ_RETURN_IF_ERROR(ReadUnpackInfo(info));
        break;
      case kSubStreamsInfo:
        SZ_RETURN_IF_ERROR(ReadSubStreamsInfo(info));
        have_substreams = true;
        break;
      default:
        return Result::kBadHeader;
    }
  }
}

Result HeaderParser::ReadNames(ByteReader& r, uint32_t num_files) {
  uint8_t external;
  SZ_RETURN_IF_ERROR(r.ReadByte(&external));
  if (external) return Result::kUnsupportedFeature;
  if (r.remaining() % 2) return Result::kBadHeader;
  const uint8_t* p = r.current();
  size_t units = r.remaining() / 2, start = 0;
  uint32_t file = 0;
  for (size_t i = 0; i < units; ++i) {
    if (p[2 * i] || p[2 * i + 1]) continue;
    if (file == num_files) return Result::kBadHeader;
    std::u16string& name = archive_->entries_[file++].name;
    name.resize(i - start);
    for (size_t k = start; k < i; ++k) name[k - start] = char16_t(p[2 * k] | p[2 * k + 1] << 8);
    start = i + 1;
  }
  return file == num_files && start == units ? Result::kOk : Result::kBadHeader;
}

Result HeaderParser::ReadFileProperties(uint32_t num_files) {
  auto& entries = archive_->entries_;
  for (;;) {
    uint64_t type, size;
    SZ_RETURN_IF_ERROR(r_.ReadNumber(&type));
    if (type == kEnd) return Result::kOk;
    SZ_RETURN_IF_ERROR(r_.ReadNumber(&size));
    const uint8_t* data;
    SZ_RETURN_IF_ERROR(r_.ReadBytes(size, &data));
    ByteReader r(data, static_cast<size_t>(size));
    size_t num_empty = std::count(empty_stream_.begin(), empty_stream_.end(), true);
    std::vector<bool> defined;
    switch (type) {
      case kEmptyStream:
        SZ_RETURN_IF_ERROR(r.ReadBits(num_files, &empty_stream_));
        num_empty = std::count(empty_stream_.begin(), empty_stream_.end(), true);
        empty_file_.assign(num_empty, false);
        anti_.assign(num_empty, false);
        break;
      case kEmptyFile:
        SZ_RETURN_IF_ERROR(r.ReadBits(num_empty, &empty_file_));
        break;
      case kAnti:
        SZ_RETURN_IF_ERROR(r.ReadBits(num_empty, &anti_));
        break;
      case kName:
        SZ_RETURN_IF_ERROR(ReadNames(r, num_files));
        break;
      case kWinAttributes:
      case kLastWriteTime: {
        SZ_RETURN_IF_ERROR(r.ReadDefinedBits(num_files, &defined));
        uint8_t external;
        SZ_RETURN_IF_ERROR(r.ReadByte(&external));
        if (external) return Result::kUnsupportedFeature;
        for (uint32_t i = 0; i < num_files; ++i) {
          if (!defined[i]) continue;
          if (type == kWinAttributes) {
            SZ_RETURN_IF_ERROR(r.ReadUInt32(&entries[i].attrib));
            entries[i].attrib_defined = true;
          } else {
            SZ_RETURN_IF_ERROR(r.ReadUInt64(&entries[i].mtime));
            entries[i].mtime_defined = true;
          }
        }
        break;
      }
      default:
        break;  // creation and access times, padding, comments: not needed
    }
  }
}

Result HeaderParser::AssignStreams(const StreamsInfo& main) {
  auto& entries = archive_->entries_;
  size_t stream = 0, empty_index = 0;
  uint32_t folder = 0, substream = 0;
  uint64_t offset = 0;
  for (size_t i = 0; i < entries.size(); ++i) {
    Entry& entry = entries[i];
    bool empty = !empty_stream_.empty() && empty_stream_[i];
    if (empty) {
      if (anti_[empty_index]) return Result::kAntiItem;
      entry.is_dir = !empty_file_[empty_index++];
      continue;
    }
    while (folder < main.folders.size() && substream >= main.folders[folder].num_substreams) {
      ++folder;
      substream = 0;
      offset = 0;
    }
    if (folder >= main.folders.size() || stream >= main.sizes.size()) return Result::kBadHeader;
    entry.has_stream = true;
    entry.size = main.sizes[stream];
    entry.crc_defined = main.crc_defined[stream];
    entry.crc = main.crcs[stream];
    entry.folder = folder;
    entry.substream = substream++;
    entry.offset_in_folder = offset;
    offset += entry.size;
    ++stream;
  }
  return stream == main.sizes.size() ? Result::kOk : Result::kBadHeader;
}

Result HeaderParser::ReadFiles(const StreamsInfo& main) {
  uint32_t num_files;
  // Every entry costs at least a bit of the header, or a substream.
  uint64_t bound = std::min<uint64_t>(limits_.max_items, r_.remaining() * 8 + main.sizes.size());
  SZ_RETURN_IF_ERROR(r_.ReadCount(bound, &num_files));
  archive_->entries_.resize(num_files);
  return ReadFileProperties(num_files);
}

Result HeaderParser::ReadHeader(StreamsInfo* main) {
  uint8_t id;
  SZ_RETURN_IF_ERROR(r_.ReadByte(&id));
  if (id == kArchiveProperties) {
    for (;;) {
      uint64_t type;
      SZ_RETURN_IF_ERROR(r_.ReadNumber(&type));
      if (type == 0) break;
      SZ_RETURN_IF_ERROR(SkipProperty());
    }
    SZ_RETURN_IF_ERROR(r_.ReadByte(&id));
  }
  if (id == kAdditionalStreamsInfo) {
    StreamsInfo additional;  // only used by external data, which we refuse
    SZ_RETURN_IF_ERROR(ReadStreamsInfo(&additional));
    SZ_RETURN_IF_ERROR(r_.ReadByte(&id));
  }
  if (id == kMainStreamsInfo) {
    SZ_RETURN_IF_ERROR(ReadStreamsInfo(main));
    SZ_RETURN_IF_ERROR(r_.ReadByte(&id));
  }
  if (id == kFilesInfo) {
    SZ_RETURN_IF_ERROR(ReadFiles(*main));
    SZ_RETURN_IF_ERROR(r_.ReadByte(&id));
  }
  if (id != kEnd) return Result::kBadHeader;
  return AssignStreams(*main);
}

namespace {

// Places the packed streams of `info` in the file and checks that they lie in
// the data area between the signature header and the next header.
Result LocatePackStreams(const StreamsInfo& info, uint64_t data_end, std::vector<uint64_t>* offsets) {
  if (info.pack_pos > data_end - kSignatureHeaderSize) return Result::kBadHeader;
  uint64_t offset = kSignatureHeaderSize + info.pack_pos;
  offsets->clear();
  for (uint64_t size : info.pack_sizes) {
    if (size > data_end - offset) return Result::kBadHeader;
    offsets->push_back(offset);
    offset += size;
  }
  for (const Folder& folder : info.folders) {
    // Stored data cannot be larger than what holds it.
    if (folder.coders.size() == 1 && folder.coders[0].method == kMethodCopy &&
        folder.UnpackSize() != info.pack_sizes[folder.first_pack_stream]) {
      return Result::kBadHeader;
    }
  }
  return Result::kOk;
}

}  // namespace

Result Archive::Open(InStream* in, const Limits& limits) {
  limits_ = limits;
  entries_.clear();
  folders_.clear();
  pack_offsets_.clear();
  pack_sizes_.clear();
  error_detail_.clear();

  uint8_t start[kSignatureHeaderSize];
  uint64_t file_size = in->Size();
  if (!in->ReadAt(0, start, std::min<uint64_t>(file_size, sizeof(start)))) return Result::kReadError;
  if (file_size < sizeof(kSignature) || !std::equal(kSignature, kSignature + 6, start))
    return Result::kNotAnArchive;
  if (file_size < kSignatureHeaderSize) return Result::kTruncated;
  if (start[6] != 0) return Result::kUnsupportedFeature;
  if (Crc32(start + 12, 20) != LoadLe32(start + 8)) return Result::kCrcError;
  uint64_t next_offset = LoadLe64(start + 12);
  uint64_t next_size = LoadLe64(start + 20);
  uint32_t next_crc = LoadLe32(start + 28);
  if (next_size == 0) return Result::kOk;  // an empty archive
  uint64_t room = file_size - kSignatureHeaderSize;
  if (next_offset > room || next_size > room - next_offset) return Result::kTruncated;
  if (next_size > limits_.max_header_size) return Result::kLimitExceeded;
  std::vector<uint8_t> header(static_cast<size_t>(next_size));
  if (!in->ReadAt(kSignatureHeaderSize + next_offset, header.data(), header.size()))
    return Result::kReadError;
  if (Crc32(header.data(), header.size()) != next_crc) return Result::kCrcError;
  return ReadDatabase(in, std::move(header), kSignatureHeaderSize + next_offset);
}

Result Archive::ReadDatabase(InStream* in, std::vector<uint8_t> header, uint64_t data_end) {
  for (int level = 0; level < kMaxHeaderNesting; ++level) {
    if (header.empty()) return Result::kBadHeader;
    HeaderParser parser(this, header.data() + 1, header.size() - 1);
    StreamsInfo info;
    if (header[0] == kHeader) {
      SZ_RETURN_IF_ERROR(parser.ReadHeader(&info));
      SZ_RETURN_IF_ERROR(LocatePackStreams(info, data_end, &pack_offsets_));
      for (const Folder& folder : info.folders) {
        for (const Coder& coder : folder.coders) SZ_RETURN_IF_ERROR(CheckCoder(coder, &error_detail_));
      }
      folders_ = std::move(info.folders);
      pack_sizes_ = std::move(info.pack_sizes);
      return Result::kOk;
    }
    if (header[0] != kEncodedHeader) return Result::kBadHeader;
    SZ_RETURN_IF_ERROR(parser.ReadStreamsInfo(&info));
    SZ_RETURN_IF_ERROR(LocatePackStreams(info, data_end, &pack_offsets_));
    if (info.folders.size() != 1) return Result::kBadHeader;
    const Folder& folder = info.folders[0];
    if (folder.UnpackSize() > limits_.max_header_size) return Result::kLimitExceeded;
    std::vector<uint8_t> decoded;
    SZ_RETURN_IF_ERROR(DecodeFolderToMemory(folder, pack_offsets_.data(), info.pack_sizes.data(),
                                            in, limits_, &decoded, &error_detail_));
    header = std::move(decoded);
  }
  return Result::kLimitExceeded;
}

const char* ResultName(Result result) {
  switch (result) {
    case Result::kOk: return "ok";
    case Result::kDataError: return "corrupt compressed data";
    case Result::kMemoryError: return "out of memory";
    case Result::kCrcError: return "crc mismatch";
    case Result::kUnsupportedMethod: return "unsupported compression method";
    case Result::kTruncated: return "archive truncated";
    case Result::kReadError: return "read error";
    case Result::kWriteError: return "write error";
    case Result::kBadHeader: return "malformed archive header";
    case Result::kNotAnArchive: return "not a 7z archive";
    case Result::kLimitExceeded: return "size beyond limits";
    case Result::kAntiItem: return "anti item refused";
    case Result::kUnsupportedFeature: return "unsupported archive feature";
  }
  return "unknown";
}

}  // namespace norva::installer::sevenzip
