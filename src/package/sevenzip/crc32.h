#ifndef NORVA_PACKAGE_SEVENZIP_CRC32_H_
#define NORVA_PACKAGE_SEVENZIP_CRC32_H_

#include <cstddef>
#include <cstdint>

namespace norva::installer::sevenzip {

// CRC-32 (polynomial 0xEDB88320) as used by 7z. `crc` is the running value:
// start with 0 and pass the result of the previous call.
uint32_t Crc32Update(uint32_t crc, const void* data, size_t size);

inline uint32_t Crc32(const void* data, size_t size) {
  return Crc32Update(0, data, size);
}

}  // namespace norva::installer::sevenzip

#endif  // NORVA_PACKAGE_SEVENZIP_CRC32_H_
