// The coders of a folder: packed input, Copy, LZMA, LZMA2, the branch
// converters (x86, BCJ2, ARM64) and Delta. Each decodes in blocks into
// buffers it owns; none allocates after construction.

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lzma/LzmaDec.h"
#include "package/sevenzip/byte_reader.h"
#include "package/sevenzip/filters.h"
#include "package/sevenzip/folder_decoder.h"

extern "C" void LzmaDec_InitDicAndState(CLzmaDec* p, Bool initDic, Bool initState);

namespace norva::installer::sevenzip {
namespace {

constexpr size_t kBufferSize = 1 << 18;
// A filter's output goes to the sink in place, in pieces as large as the
// extractor's.
constexpr size_t kFilterBufferSize = 1 << 20;

template <typename T>
size_t ClampSize(T value, size_t limit) {
  return value < T(limit) ? static_cast<size_t>(value) : limit;
}

class PackStream : public ByteStream {
 public:
  PackStream(InStream* in, uint64_t offset, uint64_t size) : in_(in), offset_(offset), left_(size) {}
  Result Read(uint8_t* out, size_t size, size_t* got) override {
    *got = ClampSize(left_, size);
    if (*got && !in_->ReadAt(offset_, out, *got)) return Result::kReadError;
    offset_ += *got;
    left_ -= *got;
    return Result::kOk;
  }

 private:
  InStream* in_;
  uint64_t offset_;
  uint64_t left_;
};

// Look-ahead buffer over an input stream, for coders that parse their input.
class InputBuffer {
 public:
  explicit InputBuffer(ByteStream* source) : source_(source), buf_(new uint8_t[kBufferSize]) {}
  const uint8_t* data() const { return buf_.get() + pos_; }
  size_t available() const { return size_ - pos_; }
  void Consume(size_t n) { pos_ += n; }
  // Makes at least `n` bytes available unless the input ends first.
  Result Fill(size_t n) {
    if (available() >= n) return Result::kOk;
    std::memmove(buf_.get(), data(), available());
    size_ = available();
    pos_ = 0;
    while (size_ < n && !end_) {
      size_t got;
      SZ_RETURN_IF_ERROR(source_->Read(buf_.get() + size_, kBufferSize - size_, &got));
      end_ = got == 0;
      size_ += got;
    }
    return Result::kOk;
  }
  Result ReadByte(uint8_t* b) {
    if (pos_ == size_) {
      SZ_RETURN_IF_ERROR(Fill(1));
      if (pos_ == size_) return Result::kDataError;
    }
    *b = buf_[pos_++];
    return Result::kOk;
  }

 private:
  ByteStream* source_;
  std::unique_ptr<uint8_t[]> buf_;
  size_t pos_ = 0;
  size_t size_ = 0;
  bool end_ = false;
};

class CopyStream : public ByteStream {
 public:
  CopyStream(ByteStream* in, uint64_t size) : in_(in), left_(size) {}
  Result Read(uint8_t* out, size_t size, size_t* got) override {
    *got = 0;
    if (!left_) return Result::kOk;
    SZ_RETURN_IF_ERROR(in_->Read(out, ClampSize(left_, size), got));
    if (*got == 0) return Result::kDataError;
    left_ -= *got;
    return Result::kOk;
  }

 private:
  ByteStream* in_;
  uint64_t left_;
};

// The decoders' large allocations (dictionaries and probabilities) are
// counted, so that the memory of blocks decoded side by side can be checked.
std::atomic<uint64_t> g_decoder_bytes{0};
std::atomic<uint64_t> g_decoder_peak{0};
std::atomic<uint64_t> g_decoder_allocated{0};
constexpr size_t kSizeHeader = 16;  // keeps the block aligned as malloc's

void* SzAlloc(void*, size_t size) {
  if (size > SIZE_MAX - kSizeHeader) return nullptr;
  auto* block = static_cast<uint8_t*>(std::malloc(size + kSizeHeader));
  if (!block) return nullptr;
  std::memcpy(block, &size, sizeof(size));
  g_decoder_allocated += size;
  uint64_t now = g_decoder_bytes += size;
  uint64_t peak = g_decoder_peak.load();
  while (now > peak && !g_decoder_peak.compare_exchange_weak(peak, now)) {
  }
  return block + kSizeHeader;
}

void SzFree(void*, void* address) {
  if (!address) return;
  uint8_t* block = static_cast<uint8_t*>(address) - kSizeHeader;
  size_t size;
  std::memcpy(&size, block, sizeof(size));
  g_decoder_bytes -= size;
  std::free(block);
}

ISzAlloc g_alloc = {SzAlloc, SzFree};

// The bytes a dictionary takes: never more than the output needs, so a small
// file with a huge declared dictionary costs little.
uint64_t DictionaryBytes(uint64_t declared, uint64_t out_size) {
  return std::max<uint64_t>(std::min(declared, out_size), 1 << 12);
}

// The dictionary an LZMA2 property byte (at most 40) declares.
uint64_t Lzma2Dictionary(uint8_t p) {
  return p == 40 ? 0xFFFFFFFFu : (2u | (p & 1u)) << (p / 2 + 11);
}

// The dictionary an LZMA or LZMA2 coder declares and the literal bits its
// probabilities are sized for; false for other coders.
bool LzmaParameters(const Coder& coder, uint64_t* dictionary, unsigned* literal_bits) {
  if (coder.method == kMethodLzma && coder.props.size() == LZMA_PROPS_SIZE) {
    *dictionary = LoadLe32(coder.props.data() + 1);
    *literal_bits = coder.props[0] % 9 + coder.props[0] / 9 % 5;
    return true;
  }
  if (coder.method == kMethodLzma2 && coder.props.size() == 1 && coder.props[0] <= 40) {
    *dictionary = Lzma2Dictionary(coder.props[0]);
    *literal_bits = 4;  // LZMA2 allows lc + lp <= 4
    return true;
  }
  return false;
}

// LzmaDec over a dictionary we size ourselves (DictionaryBytes), borrowed
// from the keeper when it has one of the size.
class DictionaryStream : public ByteStream {
 public:
  DictionaryStream(ByteStream* in, uint64_t out_size, DictionaryKeeper* keeper)
      : input_(in), undecoded_(out_size), keeper_(keeper) {
    LzmaDec_Construct(&dec_);
  }
  ~DictionaryStream() override {
    LzmaDec_FreeProbs(&dec_, &g_alloc);
    if (!keeper_ || !keeper_->TakeBack(dec_.dic, dec_.dicBufSize)) SzFree(nullptr, dec_.dic);
  }

  Result Read(uint8_t* out, size_t size, size_t* got) override {
    SZ_RETURN_IF_ERROR(Decode(size, got));
    std::memcpy(out, dec_.dic + taken_, *got);
    taken_ += *got;
    return Result::kOk;
  }
  // The dictionary's bytes themselves, unless it is too small to hold
  // `size`: pieces would then be too short for the sink's large writes.
  Result ReadInPlace(uint8_t* scratch, size_t size, const uint8_t** data, size_t* got) override {
    if (dec_.dicBufSize < size) return ByteStream::ReadInPlace(scratch, size, data, got);
    SZ_RETURN_IF_ERROR(Decode(size, got));
    *data = dec_.dic + taken_;
    taken_ += *got;
    return Result::kOk;
  }

 protected:
  // `props` are five LZMA property bytes; `declared` the dictionary size.
  Result Allocate(const uint8_t* props, uint64_t declared, const Limits& limits) {
    if (declared > limits.max_dictionary) return Result::kLimitExceeded;
    if (LzmaDec_AllocateProbs(&dec_, props, LZMA_PROPS_SIZE, &g_alloc) != SZ_OK)
      return Result::kMemoryError;
    size_t size = ClampSize(DictionaryBytes(declared, undecoded_), SIZE_MAX);
    dec_.dic = keeper_ ? keeper_->Lend(size) : nullptr;
    if (!dec_.dic) {
      dec_.dic = static_cast<Byte*>(SzAlloc(nullptr, size));
      if (!dec_.dic) return Result::kMemoryError;
      if (keeper_) keeper_->PrepareNew(dec_.dic, size);
    }
    dec_.dicBufSize = size;
    // Distance checks then hold against the buffer we really have.
    dec_.prop.dicSize = static_cast<UInt32>(size);
    LzmaDec_Init(&dec_);
    return Result::kOk;
  }
  // Makes `size` bytes ready in one piece at dic + taken_; *ready is fewer
  // only at the dictionary's end, and 0 only at the end of the stream.
  Result Decode(size_t size, size_t* ready) {
    for (;;) {
      size_t have = dec_.dicPos - taken_;
      if (!have && !undecoded_ && !checked_end_) {
        checked_end_ = true;
        SZ_RETURN_IF_ERROR(CheckEnd());
      }
      if (have >= size || !undecoded_ || (have && dec_.dicPos == dec_.dicBufSize)) {
        *ready = std::min(have, size);
        return Result::kOk;
      }
      if (dec_.dicPos == dec_.dicBufSize) dec_.dicPos = taken_ = 0;
      SZ_RETURN_IF_ERROR(DecodeMore());
    }
  }
  // Decodes at least one byte into the dictionary, not past its end nor past
  // the declared output size.
  virtual Result DecodeMore() = 0;
  // Called once the declared size is out: the coded stream must end there.
  virtual Result CheckEnd() { return Result::kOk; }
  size_t Room() const { return ClampSize(undecoded_, dec_.dicBufSize - dec_.dicPos); }
  // Runs LzmaDec on up to `in_limit` input bytes; counts what it consumed and produced.
  Result RunLzma(size_t room, size_t in_limit, size_t* consumed, size_t* produced, ELzmaStatus* status) {
    SizeT in_len = std::min(input_.available(), in_limit);
    SizeT before = dec_.dicPos;
    if (LzmaDec_DecodeToDic(&dec_, before + room, input_.data(), &in_len, LZMA_FINISH_ANY, status) != SZ_OK)
      return Result::kDataError;
    input_.Consume(in_len);
    *consumed = in_len;
    *produced = dec_.dicPos - before;
    undecoded_ -= *produced;
    return Result::kOk;
  }

  CLzmaDec dec_;
  InputBuffer input_;
  uint64_t undecoded_;
  size_t taken_ = 0;
  bool checked_end_ = false;
  DictionaryKeeper* keeper_;
};

class LzmaStream : public DictionaryStream {
 public:
  using DictionaryStream::DictionaryStream;
  Result Init(const std::vector<uint8_t>& props, const Limits& limits) {
    return Allocate(props.data(), LoadLe32(props.data() + 1), limits);
  }

 private:
  Result DecodeMore() override {
    for (;;) {
      if (!input_.available()) SZ_RETURN_IF_ERROR(input_.Fill(1));
      size_t consumed, produced;
      ELzmaStatus status;
      SZ_RETURN_IF_ERROR(RunLzma(Room(), SIZE_MAX, &consumed, &produced, &status));
      if (produced) return Result::kOk;
      // An end mark before the declared size, or no input left.
      if (status == LZMA_STATUS_FINISHED_WITH_MARK || !consumed) return Result::kDataError;
    }
  }
  // The encoder's flush leaves the range decoder's code at 0. Otherwise an
  // end marker may follow the declared size (7-Zip writes one on request);
  // anything else means damaged final bytes.
  Result CheckEnd() override {
    if (dec_.code == 0) return Result::kOk;
    for (;;) {
      SZ_RETURN_IF_ERROR(input_.Fill(1));
      SizeT in_len = input_.available();
      ELzmaStatus status;
      // No room in the dictionary: only the marker can decode here.
      if (LzmaDec_DecodeToDic(&dec_, dec_.dicPos, input_.data(), &in_len, LZMA_FINISH_END,
                              &status) != SZ_OK)
        return Result::kDataError;
      input_.Consume(in_len);
      if (status == LZMA_STATUS_FINISHED_WITH_MARK) return Result::kOk;
      if (status != LZMA_STATUS_NEEDS_MORE_INPUT || in_len == 0) return Result::kDataError;
    }
  }
};

class Lzma2Stream : public DictionaryStream {
 public:
  using DictionaryStream::DictionaryStream;
  Result Init(const std::vector<uint8_t>& props, const Limits& limits) {
    uint64_t dictionary = Lzma2Dictionary(props[0]);
    // Probabilities sized for lc + lp = 4, the most a chunk may ask for.
    const uint8_t lzma_props[LZMA_PROPS_SIZE] = {4, 0, 0, 0, 0};
    return Allocate(lzma_props, dictionary, limits);
  }

 private:
  Result ReadChunkHeader() {
    SZ_RETURN_IF_ERROR(input_.Fill(6));
    const uint8_t* p = input_.data();
    if (!input_.available() || p[0] == 0x00) return Result::kDataError;  // ended early
    uint8_t control = p[0];
    if (control < 0x80) {
      if (control > 2 || input_.available() < 3) return Result::kDataError;
      if (control == 1) {
        need_dictionary_reset_ = false;
        need_props_ = true;
      } else if (need_dictionary_reset_) {
        return Result::kDataError;
      }
      LzmaDec_InitDicAndState(&dec_, control == 1, False);
      chunk_left_ = (p[1] << 8 | p[2]) + 1u;
      pack_left_ = 0;
      uncompressed_ = true;
      input_.Consume(3);
      return Result::kOk;
    }
    unsigned mode = (control >> 5) & 3;
    size_t header = mode >= 2 ? 6 : 5;
    if (input_.available() < header) return Result::kDataError;
    if (mode == 3) {
      need_dictionary_reset_ = false;
    } else if (need_dictionary_reset_) {
      return Result::kDataError;
    }
    if (mode >= 2) {
      unsigned props = p[5];
      unsigned lc = props % 9, lp = props / 9 % 5, pb = props / 45;
      if (pb > 4 || lc + lp > 4) return Result::kDataError;
      dec_.prop.lc = lc;
      dec_.prop.lp = lp;
      dec_.prop.pb = pb;
      need_props_ = false;
    } else if (need_props_) {
      return Result::kDataError;
    }
    LzmaDec_InitDicAndState(&dec_, mode == 3, mode > 0);
    chunk_left_ = ((control & 0x1Fu) << 16 | p[1] << 8 | p[2]) + 1u;
    pack_left_ = (p[3] << 8 | p[4]) + 1u;
    uncompressed_ = false;
    input_.Consume(header);
    return Result::kOk;
  }

  Result CopyUncompressed(size_t room) {
    if (!input_.available()) SZ_RETURN_IF_ERROR(input_.Fill(1));
    size_t n = std::min(room, input_.available());
    if (!n) return Result::kDataError;
    std::memcpy(dec_.dic + dec_.dicPos, input_.data(), n);
    // Keep LzmaDec's position in step so later chunks may refer to these bytes.
    if (dec_.checkDicSize == 0 && dec_.prop.dicSize - dec_.processedPos <= n)
      dec_.checkDicSize = dec_.prop.dicSize;
    dec_.processedPos += static_cast<UInt32>(n);
    dec_.dicPos += n;
    input_.Consume(n);
    chunk_left_ -= n;
    undecoded_ -= n;
    return Result::kOk;
  }

  Result DecodeMore() override {
    for (;;) {
      if (!chunk_left_) SZ_RETURN_IF_ERROR(ReadChunkHeader());
      size_t room = std::min(Room(), chunk_left_);
      if (uncompressed_) return CopyUncompressed(room);
      if (!input_.available() && pack_left_) SZ_RETURN_IF_ERROR(input_.Fill(1));
      size_t consumed, produced;
      ELzmaStatus status;
      SZ_RETURN_IF_ERROR(RunLzma(room, pack_left_, &consumed, &produced, &status));
      pack_left_ -= consumed;
      chunk_left_ -= produced;
      if (!chunk_left_ && (pack_left_ || dec_.code != 0)) return Result::kDataError;
      if (produced) return Result::kOk;
      if (!consumed || status == LZMA_STATUS_FINISHED_WITH_MARK) return Result::kDataError;
    }
  }

  Result CheckEnd() override {
    // 7-Zip ends every LZMA2 stream with a 0 control byte right after the data.
    if (chunk_left_ || pack_left_) return Result::kDataError;
    SZ_RETURN_IF_ERROR(input_.Fill(1));
    return input_.available() && input_.data()[0] != 0 ? Result::kDataError : Result::kOk;
  }

  size_t chunk_left_ = 0;
  size_t pack_left_ = 0;
  bool uncompressed_ = false;
  bool need_dictionary_reset_ = true;
  bool need_props_ = true;
};

class FilterStream : public ByteStream {
 public:
  FilterStream(ByteStream* in, uint64_t out_size, std::unique_ptr<Filter> filter)
      : in_(in), left_(out_size), filter_(std::move(filter)), buf_(new uint8_t[kFilterBufferSize]) {}

  Result Read(uint8_t* out, size_t size, size_t* got) override {
    const uint8_t* data;
    SZ_RETURN_IF_ERROR(ReadInPlace(nullptr, size, &data, got));
    std::memcpy(out, data, *got);
    return Result::kOk;
  }
  Result ReadInPlace(uint8_t*, size_t size, const uint8_t** data, size_t* got) override {
    for (;;) {
      if (delivered_ < converted_ || !left_) {
        *got = ClampSize(left_, std::min(size, converted_ - delivered_));
        *data = buf_.get() + delivered_;
        delivered_ += *got;
        left_ -= *got;
        return Result::kOk;
      }
      // Keep the bytes the filter could not decide on yet, refill behind them.
      filled_ -= converted_;
      std::memmove(buf_.get(), buf_.get() + converted_, filled_);
      delivered_ = converted_ = 0;
      size_t read = 0;
      if (!end_) SZ_RETURN_IF_ERROR(in_->Read(buf_.get() + filled_, kFilterBufferSize - filled_, &read));
      end_ = read == 0;
      filled_ += read;
      converted_ = filter_->Convert(buf_.get(), filled_);
      if (end_) converted_ = filled_;  // a short tail passes unchanged
      if (!converted_) {
        if (end_) return Result::kDataError;  // input ended before the declared size
      }
    }
  }

 private:
  ByteStream* in_;
  uint64_t left_;
  std::unique_ptr<Filter> filter_;
  std::unique_ptr<uint8_t[]> buf_;
  size_t filled_ = 0, converted_ = 0, delivered_ = 0;
  bool end_ = false;
};

// BCJ2: x86 code split into the main stream, big-endian CALL and JUMP
// targets, and a range-coded stream of "was this converted" bits.
class Bcj2Stream : public ByteStream {
 public:
  Bcj2Stream(const std::vector<ByteStream*>& inputs, uint64_t out_size)
      : main_(inputs[0]), call_(inputs[1]), jump_(inputs[2]), rc_(inputs[3]), left_(out_size) {
    std::fill(std::begin(probs_), std::end(probs_), uint16_t(1024));
  }

  Result Read(uint8_t* out, size_t size, size_t* got) override {
    size_t n = 0;
    while (n < size && left_) {
      if (pending_) {
        out[n++] = pending_bytes_[4 - pending_--];
        --left_;
        continue;
      }
      uint8_t b;
      SZ_RETURN_IF_ERROR(main_.ReadByte(&b));
      out[n++] = b;
      --left_;
      ++out_pos_;
      bool jump = (b & 0xFE) == 0xE8 || (prev_ == 0x0F && (b & 0xF0) == 0x80);
      if (!jump || !left_) {
        prev_ = b;
        continue;
      }
      uint16_t& prob = probs_[b == 0xE8 ? prev_ : b == 0xE9 ? 256 : 257];
      bool converted;
      SZ_RETURN_IF_ERROR(DecodeBit(&prob, &converted));
      if (!converted) {
        prev_ = b;
        continue;
      }
      InputBuffer& targets = b == 0xE8 ? call_ : jump_;
      uint32_t src = 0;
      for (int k = 0; k < 4; ++k) {
        uint8_t t;
        SZ_RETURN_IF_ERROR(targets.ReadByte(&t));
        src = src << 8 | t;
      }
      uint32_t dest = src - (out_pos_ + 4);
      for (int k = 0; k < 4; ++k) pending_bytes_[k] = uint8_t(dest >> (8 * k));
      pending_ = 4;
      out_pos_ += 4;
      prev_ = uint8_t(dest >> 24);
    }
    *got = n;
    return Result::kOk;
  }

 private:
  Result DecodeBit(uint16_t* prob, bool* bit) {
    if (!rc_started_) {
      for (int k = 0; k < 5; ++k) {
        uint8_t b;
        SZ_RETURN_IF_ERROR(rc_.ReadByte(&b));
        code_ = code_ << 8 | b;
      }
      rc_started_ = true;
    }
    if (range_ < (1u << 24)) {
      uint8_t b;
      SZ_RETURN_IF_ERROR(rc_.ReadByte(&b));
      range_ <<= 8;
      code_ = code_ << 8 | b;
    }
    uint32_t bound = (range_ >> 11) * *prob;
    *bit = code_ >= bound;
    if (!*bit) {
      range_ = bound;
      *prob += (2048 - *prob) >> 5;
    } else {
      range_ -= bound;
      code_ -= bound;
      *prob -= *prob >> 5;
    }
    return Result::kOk;
  }

  InputBuffer main_, call_, jump_, rc_;
  uint64_t left_;
  uint32_t out_pos_ = 0;
  uint8_t prev_ = 0;
  uint16_t probs_[258];
  uint8_t pending_bytes_[4] = {};
  unsigned pending_ = 0;
  bool rc_started_ = false;
  uint32_t range_ = 0xFFFFFFFF;
  uint32_t code_ = 0;
};

const char* MethodName(uint64_t method) {
  switch (method) {
    case kMethodPpmd: return " (PPMd)";
    case kMethodAes: return " (AES)";
    default: return "";
  }
}

Result Unsupported(const Coder& coder, std::string* detail) {
  char id[24];
  std::snprintf(id, sizeof(id), "%llX", static_cast<unsigned long long>(coder.method));
  *detail = std::string("method ") + id + MethodName(coder.method);
  return Result::kUnsupportedMethod;
}

}  // namespace

Result CheckCoder(const Coder& coder, std::string* detail) {
  bool bcj2 = coder.method == kMethodBcj2;
  if (coder.num_in != (bcj2 ? 4u : 1u) || coder.num_out != 1) return Unsupported(coder, detail);
  size_t props = coder.props.size();
  switch (coder.method) {
    case kMethodCopy:
    case kMethodBcj2:
      return Result::kOk;
    case kMethodLzma:
      return props == LZMA_PROPS_SIZE ? Result::kOk : Unsupported(coder, detail);
    case kMethodLzma2:
      return props == 1 && coder.props[0] <= 40 ? Result::kOk : Unsupported(coder, detail);
    case kMethodBcj:
    case kMethodX86:
      return props == 0 ? Result::kOk : Unsupported(coder, detail);
    case kMethodArm64:
      return props == 0 || props == 4 ? Result::kOk : Unsupported(coder, detail);
    case kMethodDelta:
      return props == 1 ? Result::kOk : Unsupported(coder, detail);
    default:
      return Unsupported(coder, detail);
  }
}

std::unique_ptr<ByteStream> CreatePackStream(InStream* in, uint64_t offset, uint64_t size) {
  return std::make_unique<PackStream>(in, offset, size);
}

uint64_t DecoderMemoryPeak() { return g_decoder_peak; }
uint64_t DecoderMemoryAllocated() { return g_decoder_allocated; }
void ResetDecoderMemoryPeak() {
  g_decoder_peak = g_decoder_bytes.load();
  g_decoder_allocated = 0;
}

uint64_t CoderMemory(const Coder& coder, uint64_t out_size) {
  // Every coder holds at most a few input and output buffers (BCJ2 four
  // inputs, a filter its larger buffer).
  uint64_t total = std::max<uint64_t>(4 * kBufferSize, kFilterBufferSize);
  uint64_t dictionary;
  unsigned literal_bits;
  if (!LzmaParameters(coder, &dictionary, &literal_bits)) return total;
  total += DictionaryBytes(dictionary, out_size);
  total += (1846u + (0x300u << literal_bits)) * sizeof(CLzmaProb);
  return total;
}

uint64_t CoderDictionary(const Coder& coder, uint64_t out_size) {
  uint64_t dictionary;
  unsigned literal_bits;
  return LzmaParameters(coder, &dictionary, &literal_bits) ? DictionaryBytes(dictionary, out_size)
                                                           : 0;
}

DictionaryKeeper::~DictionaryKeeper() { Release(); }

void DictionaryKeeper::PrepareFor(uint64_t size) {
  wanted_ = size;
  if (capacity_ < size) Release();
}

void DictionaryKeeper::Release() {
  if (lent_) return;  // its decoder gives it back
  SzFree(nullptr, kept_);
  kept_ = nullptr;
  capacity_ = 0;
}

uint8_t* DictionaryKeeper::Lend(size_t size) {
  if (!kept_ || lent_ || size != wanted_ || capacity_ < size) return nullptr;
  lent_ = true;
  return kept_;
}

bool DictionaryKeeper::TakeBack(uint8_t* dictionary, size_t size) {
  if (!dictionary) return false;
  if (lent_ && dictionary == kept_) {
    lent_ = false;
    return true;
  }
  if (kept_ || size != wanted_) return false;
  kept_ = dictionary;
  capacity_ = size;
  return true;
}

Result CreateCoder(const Coder& coder, const std::vector<ByteStream*>& inputs, uint64_t out_size,
                   const Limits& limits, std::unique_ptr<ByteStream>* stream, std::string* detail,
                   DictionaryKeeper* keeper) {
  SZ_RETURN_IF_ERROR(CheckCoder(coder, detail));
  if (inputs.size() != coder.num_in) return Result::kBadHeader;
  const auto& props = coder.props;
  std::unique_ptr<Filter> filter;
  switch (coder.method) {
    case kMethodCopy:
      *stream = std::make_unique<CopyStream>(inputs[0], out_size);
      return Result::kOk;
    case kMethodLzma: {
      auto lzma = std::make_unique<LzmaStream>(inputs[0], out_size, keeper);
      SZ_RETURN_IF_ERROR(lzma->Init(props, limits));
      *stream = std::move(lzma);
      return Result::kOk;
    }
    case kMethodLzma2: {
      auto lzma2 = std::make_unique<Lzma2Stream>(inputs[0], out_size, keeper);
      SZ_RETURN_IF_ERROR(lzma2->Init(props, limits));
      *stream = std::move(lzma2);
      return Result::kOk;
    }
    case kMethodBcj2:
      *stream = std::make_unique<Bcj2Stream>(inputs, out_size);
      return Result::kOk;
    case kMethodBcj:
    case kMethodX86:
      filter = CreateX86Filter();
      break;
    case kMethodArm64:
      filter = CreateArm64Filter(props.empty() ? 0 : LoadLe32(props.data()));
      break;
    case kMethodDelta:
      filter = CreateDeltaFilter(props[0] + 1u);
      break;
    default:
      return Unsupported(coder, detail);
  }
  *stream = std::make_unique<FilterStream>(inputs[0], out_size, std::move(filter));
  return Result::kOk;
}

}  // namespace norva::installer::sevenzip
