#include "package/sevenzip/filters.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "package/sevenzip/byte_reader.h"

namespace norva::installer::sevenzip {
namespace {

// The x86 branch converter (BCJ) of the LZMA SDK (Igor Pavlov, public domain;
// its BranchX86.c, later Bra86.c): it turns the absolute targets that the
// encoder wrote into CALL and JMP (E8/E9) operands back into relative ones.
// kAllowed and kBitNumber are the SDK's kMaskToAllowedStatus and
// kMaskToBitNumber, indexed by which of the three bytes before the opcode
// were E8/E9 bytes left unconverted.
class X86Filter : public Filter {
 public:
  size_t Convert(uint8_t* data, size_t size) override {
    static constexpr bool kAllowed[8] = {true, true, true, false, true, false, false, false};
    static constexpr uint32_t kBitNumber[8] = {0, 1, 2, 2, 3, 3, 3, 3};
    if (size < 5) return 0;
    if (pos_ - prev_pos_ > 5) prev_pos_ = pos_ - 5;
    size_t i = 0;
    for (; i <= size - 5; ++i) {
      i = NextCallOrJump(data, i, size - 4);
      if (i == size - 4) break;
      uint32_t offset = pos_ + static_cast<uint32_t>(i) - prev_pos_;
      prev_pos_ = pos_ + static_cast<uint32_t>(i);
      if (offset > 5) {
        prev_mask_ = 0;
      } else {
        for (uint32_t k = 0; k < offset; ++k) prev_mask_ = (prev_mask_ & 0x77) << 1;
      }
      uint8_t b = data[i + 4];
      if (IsMsByte(b) && kAllowed[(prev_mask_ >> 1) & 7] && (prev_mask_ >> 1) < 0x10) {
        uint32_t src = LoadLe32(data + i + 1), dest;
        for (;;) {
          dest = src - (pos_ + static_cast<uint32_t>(i) + 5);
          if (prev_mask_ == 0) break;
          uint32_t index = kBitNumber[prev_mask_ >> 1];
          if (!IsMsByte(static_cast<uint8_t>(dest >> (24 - index * 8)))) break;
          src = dest ^ ((1u << (32 - index * 8)) - 1);
        }
        dest = (dest & 0x01FFFFFF) | (0u - ((dest >> 24) & 1)) << 24;
        data[i + 1] = uint8_t(dest);
        data[i + 2] = uint8_t(dest >> 8);
        data[i + 3] = uint8_t(dest >> 16);
        data[i + 4] = uint8_t(dest >> 24);
        i += 4;
        prev_mask_ = 0;
      } else {
        prev_mask_ |= 1;
        if (IsMsByte(b)) prev_mask_ |= 0x10;
      }
    }
    pos_ += static_cast<uint32_t>(i);
    return i;
  }

 private:
  static bool IsMsByte(uint8_t b) { return b == 0 || b == 0xFF; }
  // The first E8 or E9 opcode byte in [i, end), else `end`. Other bytes
  // change nothing, so they are skipped 16 at a time where possible.
  static size_t NextCallOrJump(const uint8_t* data, size_t i, size_t end) {
#ifdef __SSE2__
    const __m128i mask = _mm_set1_epi8(static_cast<char>(0xFE));
    const __m128i call = _mm_set1_epi8(static_cast<char>(0xE8));
    for (; i + 16 <= end; i += 16) {
      __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
      unsigned hits = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_and_si128(bytes, mask), call)));
      if (hits) return i + static_cast<size_t>(__builtin_ctz(hits));
    }
#endif
    while (i < end && (data[i] & 0xFE) != 0xE8) ++i;
    return i;
  }
  uint32_t pos_ = 0;
  uint32_t prev_pos_ = 0u - 5;
  uint32_t prev_mask_ = 0;
};

class Arm64Filter : public Filter {
 public:
  explicit Arm64Filter(uint32_t start) : pos_(start) {}
  size_t Convert(uint8_t* data, size_t size) override {
    size_t i = 0;
    for (; i + 4 <= size; i += 4) {
      uint32_t pc = pos_ + static_cast<uint32_t>(i);
      uint32_t instr = LoadLe32(data + i);
      if ((instr >> 26) == 0x25) {  // BL
        instr = 0x94000000 | ((instr - (pc >> 2)) & 0x03FFFFFF);
      } else if ((instr & 0x9F000000) == 0x90000000) {  // ADRP
        uint32_t src = ((instr >> 29) & 3) | ((instr >> 3) & 0x001FFFFC);
        if ((src + 0x00020000) & 0x001C0000) continue;  // only +-512 MiB are converted
        uint32_t dest = src - (pc >> 12);
        instr &= 0x9000001F;
        instr |= (dest & 3) << 29;
        instr |= (dest & 0x0003FFFC) << 3;
        instr |= (0u - (dest & 0x00020000)) & 0x00E00000;
      } else {
        continue;
      }
      data[i] = uint8_t(instr);
      data[i + 1] = uint8_t(instr >> 8);
      data[i + 2] = uint8_t(instr >> 16);
      data[i + 3] = uint8_t(instr >> 24);
    }
    pos_ += static_cast<uint32_t>(i);
    return i;
  }

 private:
  uint32_t pos_;
};

class DeltaFilter : public Filter {
 public:
  explicit DeltaFilter(unsigned distance) : distance_(distance) {}
  size_t Convert(uint8_t* data, size_t size) override {
    for (size_t i = 0; i < size; ++i) {
      uint8_t b = static_cast<uint8_t>(data[i] + history_[static_cast<uint8_t>(pos_ - distance_)]);
      history_[pos_++] = b;
      data[i] = b;
    }
    return size;
  }

 private:
  unsigned distance_;
  uint8_t history_[256] = {};
  uint8_t pos_ = 0;
};

}  // namespace

std::unique_ptr<Filter> CreateX86Filter() { return std::make_unique<X86Filter>(); }

std::unique_ptr<Filter> CreateArm64Filter(uint32_t start) {
  return std::make_unique<Arm64Filter>(start);
}

std::unique_ptr<Filter> CreateDeltaFilter(unsigned distance) {
  return std::make_unique<DeltaFilter>(distance);
}

}  // namespace norva::installer::sevenzip
