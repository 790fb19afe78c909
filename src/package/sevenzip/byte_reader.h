#ifndef NORVA_PACKAGE_SEVENZIP_BYTE_READER_H_
#define NORVA_PACKAGE_SEVENZIP_BYTE_READER_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "package/sevenzip/result.h"

namespace norva::installer::sevenzip {

#define SZ_RETURN_IF_ERROR(expr)                           \
  do {                                                     \
    ::norva::installer::sevenzip::Result sz_result_ = (expr); \
    if (sz_result_ != ::norva::installer::sevenzip::Result::kOk) return sz_result_; \
  } while (0)

// Cursor over header bytes. Running off the end is a malformed header: the
// bytes already passed their CRC, so the writer produced them that way.
class ByteReader {
 public:
  ByteReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  size_t remaining() const { return size_ - pos_; }
  const uint8_t* current() const { return data_ + pos_; }

  Result ReadByte(uint8_t* value);
  // The 7z variable-length number: the leading one bits of the first byte
  // count the extra little-endian bytes.
  Result ReadNumber(uint64_t* value);
  // A number used as a count: at most `limit` (else kLimitExceeded).
  Result ReadCount(uint64_t limit, uint32_t* value);
  Result ReadUInt32(uint32_t* value);
  Result ReadUInt64(uint64_t* value);
  Result ReadBytes(uint64_t size, const uint8_t** bytes);
  Result Skip(uint64_t size);
  // A vector of `count` bits, most significant bit of each byte first.
  Result ReadBits(size_t count, std::vector<bool>* bits);
  // A byte "all defined" followed, when 0, by a bit vector.
  Result ReadDefinedBits(size_t count, std::vector<bool>* bits);

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

inline uint32_t LoadLe32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline uint64_t LoadLe64(const uint8_t* p) { return LoadLe32(p) | uint64_t(LoadLe32(p + 4)) << 32; }

}  // namespace norva::installer::sevenzip

#endif  // NORVA_PACKAGE_SEVENZIP_BYTE_READER_H_
