// Decodes each input as a raw LZMA stream with our patched LzmaDec.c and with
// the SDK's file as lzma-dev ships it, side by side, and stops at the first
// difference in what they return, consume or write. Our patches change how
// the decoder works, never what it decodes; a difference is a fault of ours.
//   byte 0: lc/lp/pb as the LZMA properties byte (values past 224 wrap)
//   byte 1: low 4 bits, the dictionary as 4 KiB << n (at most 128 KiB);
//           high 4 bits, how many input bytes each call gets (1 << n)
//   byte 2: how many output bytes each call may write (1 << (n % 16)), so
//           that matches are cut at every length and the dictionary wraps
//   the rest: the packed stream

#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" {
#include "LzmaDec.h"

// The pristine decoder, built with its exported names prefixed (CMakeLists).
SRes Pristine_LzmaDec_Allocate(CLzmaDec* p, const Byte* props, unsigned props_size,
                               ISzAlloc* alloc);
void Pristine_LzmaDec_Init(CLzmaDec* p);
SRes Pristine_LzmaDec_DecodeToDic(CLzmaDec* p, SizeT dic_limit, const Byte* src, SizeT* src_len,
                                  ELzmaFinishMode finish_mode, ELzmaStatus* status);
void Pristine_LzmaDec_Free(CLzmaDec* p, ISzAlloc* alloc);
}

namespace {

void* Allocate(void*, size_t size) { return std::malloc(size); }
void Release(void*, void* address) { std::free(address); }
ISzAlloc g_alloc = {Allocate, Release};

constexpr size_t kMaxOutput = 256u << 10;  // twice the largest dictionary

struct Side {
  CLzmaDec dec;
  SRes (*decode)(CLzmaDec*, SizeT, const Byte*, SizeT*, ELzmaFinishMode, ELzmaStatus*);
  size_t in_pos = 0;
  SRes result = SZ_OK;
  ELzmaStatus status = LZMA_STATUS_NOT_SPECIFIED;
};

// One call on one side: its next input piece and room up to `out_step`.
void Step(Side& side, const uint8_t* in, size_t in_size, size_t in_step, size_t out_step) {
  if (side.dec.dicPos == side.dec.dicBufSize) side.dec.dicPos = 0;
  SizeT limit = side.dec.dicPos + out_step;
  if (limit > side.dec.dicBufSize) limit = side.dec.dicBufSize;
  SizeT in_len = in_size - side.in_pos < in_step ? in_size - side.in_pos : in_step;
  side.result =
      side.decode(&side.dec, limit, in + side.in_pos, &in_len, LZMA_FINISH_ANY, &side.status);
  side.in_pos += in_len;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  uint32_t dictionary = 4096u << (data[1] & 15) % 6;
  Byte props[LZMA_PROPS_SIZE] = {static_cast<Byte>(data[0] % 225), Byte(dictionary),
                                 Byte(dictionary >> 8), Byte(dictionary >> 16),
                                 Byte(dictionary >> 24)};
  size_t in_step = size_t{1} << (data[1] >> 4);
  size_t out_step = size_t{1} << (data[2] % 16);
  const uint8_t* in = data + 3;
  size_t in_size = size - 3;

  Side ours, pristine;
  LzmaDec_Construct(&ours.dec);
  LzmaDec_Construct(&pristine.dec);
  ours.decode = LzmaDec_DecodeToDic;
  pristine.decode = Pristine_LzmaDec_DecodeToDic;
  if (LzmaDec_Allocate(&ours.dec, props, LZMA_PROPS_SIZE, &g_alloc) != SZ_OK) std::abort();
  if (Pristine_LzmaDec_Allocate(&pristine.dec, props, LZMA_PROPS_SIZE, &g_alloc) != SZ_OK)
    std::abort();
  LzmaDec_Init(&ours.dec);
  Pristine_LzmaDec_Init(&pristine.dec);

  size_t written = 0;
  for (;;) {
    SizeT before = ours.dec.dicPos == ours.dec.dicBufSize ? 0 : ours.dec.dicPos;
    Step(ours, in, in_size, in_step, out_step);
    Step(pristine, in, in_size, in_step, out_step);
    if (ours.result != pristine.result || ours.status != pristine.status ||
        ours.in_pos != pristine.in_pos || ours.dec.dicPos != pristine.dec.dicPos)
      std::abort();
    if (std::memcmp(ours.dec.dic + before, pristine.dec.dic + before, ours.dec.dicPos - before))
      std::abort();
    written += ours.dec.dicPos - before;
    bool stuck = ours.dec.dicPos == before && ours.in_pos == in_size;
    if (ours.result != SZ_OK || ours.status == LZMA_STATUS_FINISHED_WITH_MARK || stuck ||
        written > kMaxOutput)
      break;
  }
  LzmaDec_Free(&ours.dec, &g_alloc);
  Pristine_LzmaDec_Free(&pristine.dec, &g_alloc);
  return 0;
}
