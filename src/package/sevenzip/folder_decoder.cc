#include "package/sevenzip/folder_decoder.h"

#include <algorithm>

#include "package/sevenzip/byte_reader.h"
#include "base/crc32.h"

namespace norva::installer::sevenzip {

struct FolderDecoder::Graph {
  const Folder& folder;
  const uint64_t* pack_offsets;
  const uint64_t* pack_sizes;
  InStream* in;
  const Limits& limits;
  std::string* detail;
  DictionaryKeeper* keeper;
  std::vector<uint32_t> in_base, out_base;
  std::vector<bool> used;
};

FolderDecoder::FolderDecoder() = default;
FolderDecoder::~FolderDecoder() {
  // Consumers before their inputs.
  while (!streams_.empty()) streams_.pop_back();
}

Result FolderDecoder::Init(const Folder& folder, const uint64_t* pack_offsets,
                           const uint64_t* pack_sizes, InStream* in, const Limits& limits,
                           std::string* detail, DictionaryKeeper* keeper) {
  Graph graph{folder, pack_offsets, pack_sizes, in, limits, detail, keeper, {}, {}, {}};
  uint32_t in_total = 0, out_total = 0;
  for (const Coder& coder : folder.coders) {
    graph.in_base.push_back(in_total);
    graph.out_base.push_back(out_total);
    in_total += coder.num_in;
    out_total += coder.num_out;
  }
  graph.used.assign(folder.coders.size(), false);
  for (uint32_t c = 0; c < folder.coders.size(); ++c) {
    if (folder.main_out >= graph.out_base[c] && folder.main_out < graph.out_base[c] + folder.coders[c].num_out)
      return BuildCoder(graph, c, &output_);
  }
  return Result::kBadHeader;
}

Result FolderDecoder::BuildCoder(Graph& graph, uint32_t c, ByteStream** out) {
  // Each coder feeds exactly one consumer; a second visit means a cycle.
  if (graph.used[c]) return Result::kBadHeader;
  graph.used[c] = true;
  const Coder& coder = graph.folder.coders[c];
  if (coder.num_out != 1) return Result::kUnsupportedMethod;
  std::vector<ByteStream*> inputs;
  for (uint32_t k = 0; k < coder.num_in; ++k) {
    ByteStream* input;
    SZ_RETURN_IF_ERROR(BuildInput(graph, graph.in_base[c] + k, &input));
    inputs.push_back(input);
  }
  std::unique_ptr<ByteStream> stream;
  SZ_RETURN_IF_ERROR(CreateCoder(coder, inputs, graph.folder.unpack_sizes[graph.out_base[c]],
                                 graph.limits, &stream, graph.detail, graph.keeper));
  *out = stream.get();
  streams_.push_back(std::move(stream));
  return Result::kOk;
}

Result FolderDecoder::BuildInput(Graph& graph, uint32_t in_index, ByteStream** out) {
  const Folder& folder = graph.folder;
  auto packed = std::find(folder.packed_in.begin(), folder.packed_in.end(), in_index);
  if (packed != folder.packed_in.end()) {
    uint32_t j = folder.first_pack_stream + static_cast<uint32_t>(packed - folder.packed_in.begin());
    streams_.push_back(CreatePackStream(graph.in, graph.pack_offsets[j], graph.pack_sizes[j]));
    *out = streams_.back().get();
    return Result::kOk;
  }
  for (const BindPair& pair : folder.bind_pairs) {
    if (pair.in_index != in_index) continue;
    for (uint32_t c = 0; c < folder.coders.size(); ++c) {
      if (pair.out_index >= graph.out_base[c] &&
          pair.out_index < graph.out_base[c] + folder.coders[c].num_out) {
        return BuildCoder(graph, c, out);
      }
    }
  }
  return Result::kBadHeader;
}

Result DecodeFolderToMemory(const Folder& folder, const uint64_t* pack_offsets,
                            const uint64_t* pack_sizes, InStream* in, const Limits& limits,
                            std::vector<uint8_t>* out, std::string* detail) {
  FolderDecoder decoder;
  SZ_RETURN_IF_ERROR(decoder.Init(folder, pack_offsets, pack_sizes, in, limits, detail));
  out->assign(static_cast<size_t>(folder.UnpackSize()), 0);
  size_t filled = 0, got = 0;
  while (filled < out->size()) {
    SZ_RETURN_IF_ERROR(decoder.Read(out->data() + filled, out->size() - filled, &got));
    if (got == 0) return Result::kDataError;
    filled += got;
  }
  uint8_t extra;
  SZ_RETURN_IF_ERROR(decoder.Read(&extra, 1, &got));
  if (got) return Result::kDataError;
  if (folder.crc_defined && Crc32(out->data(), out->size()) != folder.crc) return Result::kCrcError;
  return Result::kOk;
}

namespace {

// Each coder's `measure` of its output, summed, or the largest.
template <typename Measure>
uint64_t OverCoders(const Folder& folder, Measure measure, bool largest) {
  uint64_t result = 0;
  uint32_t out = 0;
  for (const Coder& coder : folder.coders) {
    uint64_t out_size = out < folder.unpack_sizes.size() ? folder.unpack_sizes[out] : 0;
    uint64_t value = measure(coder, out_size);
    result = largest ? std::max(result, value) : result + value;
    out += coder.num_out;
  }
  return result;
}

}  // namespace

uint64_t FolderMemory(const Folder& folder) { return OverCoders(folder, CoderMemory, false); }

uint64_t FolderDictionary(const Folder& folder) {
  return OverCoders(folder, CoderDictionary, true);
}

}  // namespace norva::installer::sevenzip
