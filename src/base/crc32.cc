#include "base/crc32.h"

#include <array>
#include <memory>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#define NORVA_CRC32_FOLDING 1
#endif

namespace norva::installer {
namespace {

// Slice-by-8 tables: table[k][b] is the CRC of byte b followed by k zero bytes.
using Tables = std::array<std::array<uint32_t, 256>, 8>;

void FillTables(Tables& t) {
  for (uint32_t b = 0; b < 256; ++b) {
    uint32_t c = b;
    for (int i = 0; i < 8; ++i) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
    t[0][b] = c;
  }
  for (int k = 1; k < 8; ++k) {
    for (uint32_t b = 0; b < 256; ++b) t[k][b] = (t[k - 1][b] >> 8) ^ t[0][t[k - 1][b] & 0xFF];
  }
}

// Made on first use instead of stored in the executable: 8 KB less to
// download for a few microseconds once.
// (A static array would be stored all the same, zeros included.)
const Tables& SliceTables() {
  static const std::unique_ptr<Tables> tables = [] {
    auto made = std::make_unique<Tables>();
    FillTables(*made);
    return made;
  }();
  return *tables;
}

// `c` is the running register (the CRC inverted).
uint32_t UpdateWithTables(uint32_t c, const uint8_t* p, size_t size) {
  const Tables& t = SliceTables();
  for (; size && (reinterpret_cast<uintptr_t>(p) & 7); --size)
    c = (c >> 8) ^ t[0][(c ^ *p++) & 0xFF];
  for (; size >= 8; size -= 8, p += 8) {
    uint32_t lo = c ^ (uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24);
    uint32_t hi = uint32_t(p[4]) | uint32_t(p[5]) << 8 | uint32_t(p[6]) << 16 | uint32_t(p[7]) << 24;
    c = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^
        t[3][hi & 0xFF] ^ t[2][(hi >> 8) & 0xFF] ^ t[1][(hi >> 16) & 0xFF] ^ t[0][hi >> 24];
  }
  for (; size; --size) c = (c >> 8) ^ t[0][(c ^ *p++) & 0xFF];
  return c;
}

#ifdef NORVA_CRC32_FOLDING

constexpr size_t kFoldMinimum = 64;

bool HasCarrylessMultiply() {
  unsigned eax, ebx, ecx = 0, edx;
  return __get_cpuid(1, &eax, &ebx, &ecx, &edx) && (ecx & bit_PCLMUL);
}

#define NORVA_CRC32_TARGET __attribute__((target("pclmul,sse2")))

NORVA_CRC32_TARGET inline __m128i Load(const uint8_t* at) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}

// Moves lane `x` forward by the distance `k` is made for and adds `next`.
NORVA_CRC32_TARGET inline __m128i Fold(__m128i x, __m128i k, __m128i next) {
  return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11)),
                       next);
}

// Carry-less multiplication folding (Gopal et al., "Fast CRC Computation for
// Generic Polynomials Using PCLMULQDQ Instruction", Intel 2009), in the
// bit-reflected domain of this polynomial: four 128-bit lanes are folded 64
// bytes at a time, then into one lane, then reduced to 32 bits (Barrett).
// `size` is at least kFoldMinimum and a multiple of 16.
NORVA_CRC32_TARGET uint32_t UpdateByFolding(uint32_t c, const uint8_t* p, size_t size) {
  // Each pair: x^(n+32) mod P and x^(n-32) mod P, bit-reflected and shifted, for
  // a fold over n bits (512 for four lanes, 128 for one).
  const __m128i k_four = _mm_set_epi64x(0x01c6e41596, 0x0154442bd4);
  const __m128i k_one = _mm_set_epi64x(0x00ccaa009e, 0x01751997d0);
  const __m128i k_64 = _mm_set_epi64x(0, 0x0163cd6124);
  // The polynomial and the Barrett constant floor(x^64 / P), reflected.
  const __m128i barrett = _mm_set_epi64x(0x01f7011641, 0x01db710641);
  const __m128i low32 = _mm_set_epi32(0, -1, 0, -1);

  __m128i x0 = _mm_xor_si128(Load(p), _mm_cvtsi32_si128(static_cast<int>(c)));
  __m128i x1 = Load(p + 16), x2 = Load(p + 32), x3 = Load(p + 48);
  p += 64;
  size -= 64;
  for (; size >= 64; size -= 64, p += 64) {
    x0 = Fold(x0, k_four, Load(p));
    x1 = Fold(x1, k_four, Load(p + 16));
    x2 = Fold(x2, k_four, Load(p + 32));
    x3 = Fold(x3, k_four, Load(p + 48));
  }
  x0 = Fold(x0, k_one, x1);
  x0 = Fold(x0, k_one, x2);
  x0 = Fold(x0, k_one, x3);
  for (; size >= 16; size -= 16, p += 16) x0 = Fold(x0, k_one, Load(p));

  // 128 bits folded to 96 (x^(128-32)), then to 64 (x^64), then Barrett's
  // reduction to the 32-bit remainder.
  x0 = _mm_xor_si128(_mm_srli_si128(x0, 8), _mm_clmulepi64_si128(x0, k_one, 0x10));
  x0 = _mm_xor_si128(_mm_srli_si128(x0, 4), _mm_clmulepi64_si128(_mm_and_si128(x0, low32), k_64, 0x00));
  __m128i t = _mm_clmulepi64_si128(_mm_and_si128(x0, low32), barrett, 0x10);
  t = _mm_clmulepi64_si128(_mm_and_si128(t, low32), barrett, 0x00);
  return static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(_mm_xor_si128(x0, t), 4)));
}

const bool kFolding = HasCarrylessMultiply();

#endif  // NORVA_CRC32_FOLDING

}  // namespace

uint32_t Crc32Update(uint32_t crc, const void* data, size_t size) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  uint32_t c = ~crc;
#ifdef NORVA_CRC32_FOLDING
  if (kFolding && size >= kFoldMinimum) {
    size_t folded = size & ~size_t{15};
    c = UpdateByFolding(c, p, folded);
    p += folded;
    size -= folded;
  }
#endif
  return ~UpdateWithTables(c, p, size);
}

uint32_t Crc32UpdateWithTablesForTesting(uint32_t crc, const void* data, size_t size) {
  return ~UpdateWithTables(~crc, static_cast<const uint8_t*>(data), size);
}

bool Crc32FoldingForTesting() {
#ifdef NORVA_CRC32_FOLDING
  return kFolding;
#else
  return false;
#endif
}

}  // namespace norva::installer
