#include "package/payload_trailer.h"

#include <cstring>

namespace norva::installer {
namespace {

constexpr uint8_t kArchiveSignature[6] = {0x37, 0x7A, 0xBC, 0xAF, 0x27, 0x1C};
constexpr char kMarker[3] = {'N', 'V', 'R'};
constexpr size_t kMarkerSize = sizeof(kMarker);
constexpr size_t kLengthSize = 4;
constexpr uint32_t kMaxPayloadLength = 0x7FFFFFFF;
constexpr uint64_t kPeHeaderPointer = 0x3C;
constexpr uint64_t kCertificateOffsetField = 0xA8;
constexpr uint64_t kCertificateSizeField = 0xAC;

// Reads a little-endian 32-bit value; false when it does not lie inside.
bool ReadUint32(const uint8_t* data, size_t size, uint64_t position, uint32_t* value) {
  if (position > size || size - position < 4) return false;
  const uint8_t* p = data + position;
  *value = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
  return true;
}

}  // namespace

CertificateTable ReadCertificateTable(const uint8_t* data, size_t size) {
  CertificateTable table;
  uint32_t header = 0, offset = 0, length = 0;
  if (!ReadUint32(data, size, kPeHeaderPointer, &header) ||
      !ReadUint32(data, size, uint64_t{header} + kCertificateOffsetField, &offset) ||
      !ReadUint32(data, size, uint64_t{header} + kCertificateSizeField, &length)) {
    return table;
  }
  table.offset = offset;
  table.size = length;
  return table;
}

bool ReadPeCertificateTable(const uint8_t* data, size_t size, CertificateTable* table) {
  uint32_t header = 0;
  if (size < 2 || data[0] != 'M' || data[1] != 'Z') return false;
  if (!ReadUint32(data, size, kPeHeaderPointer, &header)) return false;
  uint32_t signature = 0;
  if (!ReadUint32(data, size, header, &signature) || signature != 0x00004550) return false;
  uint32_t offset = 0, length = 0;
  if (!ReadUint32(data, size, uint64_t{header} + kCertificateOffsetField, &offset) ||
      !ReadUint32(data, size, uint64_t{header} + kCertificateSizeField, &length)) {
    return false;
  }
  table->offset = offset;
  table->size = length;
  return true;
}

bool HasArchiveSignature(const uint8_t* data, size_t size) {
  return size >= sizeof(kArchiveSignature) &&
         std::memcmp(data, kArchiveSignature, sizeof(kArchiveSignature)) == 0;
}

TrailerAttempt TryTrailer(const uint8_t* data, size_t size, uint64_t end_position,
                          uint64_t* start, uint64_t* length) {
  uint32_t value = 0;
  if (!ReadUint32(data, size, end_position, &value)) return TrailerAttempt::kNoRoom;
  *length = value;
  if (value > kMaxPayloadLength || uint64_t{value} + kMarkerSize > end_position)
    return TrailerAttempt::kNoRoom;
  uint64_t payload_start = end_position - value;
  if (std::memcmp(data + payload_start - kMarkerSize, kMarker, kMarkerSize) != 0)
    return TrailerAttempt::kBadMarker;
  *start = payload_start;
  return TrailerAttempt::kFound;
}

PayloadLocation LocatePayload(const uint8_t* data, size_t size) {
  PayloadLocation location;
  CertificateTable table = ReadCertificateTable(data, size);
  location.has_certificate = table.size != 0;
  if (table.offset > size) {
    location.status = PayloadStatus::kInvalidFile;
    return location;
  }
  auto attempt = [&](uint64_t end_of_trailer) {
    if (end_of_trailer < kLengthSize) {
      location.failures[location.failure_count++] = TrailerAttempt::kNoRoom;
      return false;
    }
    TrailerAttempt result =
        TryTrailer(data, size, end_of_trailer - kLengthSize, &location.start, &location.length);
    if (result == TrailerAttempt::kFound) return true;
    location.failures[location.failure_count++] = result;
    return false;
  };
  bool at_end = attempt(size);
  if (!at_end && (!location.has_certificate || !attempt(table.offset))) return location;
  location.archive = HasArchiveSignature(data + location.start, location.length);
  if (location.archive && location.has_certificate && at_end) {
    // Bytes after the signature are not covered by it: an archive there
    // could have been appended by anyone.
    location.status = PayloadStatus::kArchiveAfterSignature;
    location.archive = false;
    return location;
  }
  location.status = PayloadStatus::kFound;
  return location;
}

}  // namespace norva::installer
