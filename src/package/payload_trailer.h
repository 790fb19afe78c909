#ifndef NORVA_PACKAGE_PAYLOAD_TRAILER_H_
#define NORVA_PACKAGE_PAYLOAD_TRAILER_H_

#include <cstddef>
#include <cstdint>

// Locating the payload that an installer executable carries: the marker
// "NVR", the payload bytes and their length as a 32-bit little-endian number,
// either at the very end of the file or just before the Authenticode
// certificate table. Pure functions over the file's bytes, with no I/O, so
// that they can be fuzzed natively.
namespace norva::installer {

// The certificate table (data directory entry 4 of a PE32+ optional header).
// Both fields are 0 when the header fields lie outside the file.
struct CertificateTable {
  uint64_t offset = 0;
  uint64_t size = 0;
};

// Reads the certificate table's offset and size as the PE header states
// them, without checking the "MZ" and "PE" signatures.
CertificateTable ReadCertificateTable(const uint8_t* data, size_t size);

// Like ReadCertificateTable, but false unless the file starts with "MZ" and
// the header offset at 0x3C points at "PE\0\0".
bool ReadPeCertificateTable(const uint8_t* data, size_t size, CertificateTable* table);

// True when `data` starts with the six bytes of the 7z signature.
bool HasArchiveSignature(const uint8_t* data, size_t size);

// Outcome of one attempt at a trailer whose length field starts at a given
// position.
enum class TrailerAttempt {
  kFound,
  kNoRoom,     // the length does not fit in front of the length field
  kBadMarker,  // the bytes before the payload are not "NVR"
};

enum class PayloadStatus {
  kFound,
  kNotFound,
  kInvalidFile,              // the certificate table starts beyond the end
  kArchiveAfterSignature,    // an archive outside the signed part of a file
};

struct PayloadLocation {
  PayloadStatus status = PayloadStatus::kNotFound;
  // The failed attempts, in the order they were made (at most two).
  TrailerAttempt failures[2] = {TrailerAttempt::kFound, TrailerAttempt::kFound};
  int failure_count = 0;
  uint64_t start = 0;   // file offset of the first payload byte
  uint64_t length = 0;  // the length of the trailer last examined
  bool archive = false;
  bool has_certificate = false;
};

// Tries the trailer whose length field starts at `end_position`. On success
// `start` is the payload's first byte; `length` is the length field's value
// whenever it could be read.
TrailerAttempt TryTrailer(const uint8_t* data, size_t size, uint64_t end_position,
                          uint64_t* start, uint64_t* length);

// The whole search: the end of the file first, then the place before the
// certificate table of a signed file.
PayloadLocation LocatePayload(const uint8_t* data, size_t size);

}  // namespace norva::installer

#endif  // NORVA_PACKAGE_PAYLOAD_TRAILER_H_
