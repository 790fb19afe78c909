// Fuzzes the search for an installer's payload trailer over arbitrary file
// bytes. Besides memory safety it checks that a located payload lies inside
// the file behind its marker.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "package/payload_trailer.h"

using namespace norva::installer;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  PayloadLocation location = LocatePayload(data, size);
  if (location.status == PayloadStatus::kFound) {
    if (location.start < 3 || location.start + location.length + 4 > size ||
        std::memcmp(data + location.start - 3, "NVR", 3) != 0)
      std::abort();
    // Touch every payload byte so that the sanitizer sees any stray range.
    uint8_t sum = 0;
    for (uint64_t i = 0; i < location.length; ++i) sum = sum + data[location.start + i];
    volatile uint8_t sink = sum;
    (void)sink;
    if (location.archive != HasArchiveSignature(data + location.start, location.length))
      std::abort();
  }
  CertificateTable table;
  ReadPeCertificateTable(data, size, &table);
  // Any position, including ones beyond the file, is a failed attempt at worst.
  if (size >= 8) {
    uint64_t end_position = 0;
    std::memcpy(&end_position, data, 8);
    uint64_t start = 0, length = 0;
    if (TryTrailer(data, size, end_position, &start, &length) == TrailerAttempt::kFound &&
        start + length != end_position)
      std::abort();
  }
  return 0;
}
