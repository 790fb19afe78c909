#ifndef NORVA_BASE_CRC32_H_
#define NORVA_BASE_CRC32_H_

#include <cstddef>
#include <cstdint>

namespace norva::installer {

// CRC-32 (polynomial 0xEDB88320) as 7z archives and the journal use it. `crc` is the running value:
// start with 0 and pass the result of the previous call. Folds with
// carry-less multiplication where the processor has it, else slice-by-8.
uint32_t Crc32Update(uint32_t crc, const void* data, size_t size);

// The table path alone, and whether Crc32Update folds on this processor.
uint32_t Crc32UpdateWithTablesForTesting(uint32_t crc, const void* data, size_t size);
bool Crc32FoldingForTesting();

inline uint32_t Crc32(const void* data, size_t size) {
  return Crc32Update(0, data, size);
}

}  // namespace norva::installer

#endif  // NORVA_BASE_CRC32_H_
