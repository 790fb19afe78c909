#include "package/payload_trailer.h"

#include <gtest/gtest.h>

#include <string>

#include "package/package_test_files.h"

namespace norva::installer {
namespace {

using test::Trailer;

const std::string kArchiveStart("7z\xBC\xAF\x27\x1C", 6);

PayloadLocation Locate(const std::string& bytes) {
  return LocatePayload(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

void PutUint32(std::string* bytes, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) (*bytes)[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

// A PE-shaped file of `size` bytes whose certificate table is at `offset`
// with `table_size` bytes.
std::string ImageWithCertificateTable(size_t size, uint32_t offset, uint32_t table_size) {
  std::string image(size, '\0');
  image[0] = 'M';
  image[1] = 'Z';
  PutUint32(&image, 0x3C, 0x80);
  image.replace(0x80, 4, std::string("PE\0\0", 4));
  PutUint32(&image, 0x80 + 0xA8, offset);
  PutUint32(&image, 0x80 + 0xAC, table_size);
  return image;
}

// The image with `trailer` placed just before a certificate table of 64
// bytes, and `after` appended behind the table.
std::string SignedImage(const std::string& trailer, const std::string& after = "") {
  std::string image = ImageWithCertificateTable(0x200, 0, 64) + trailer;
  PutUint32(&image, 0x80 + 0xA8, static_cast<uint32_t>(image.size()));
  return image + std::string(64, '\x5A') + after;
}

TEST(PayloadTrailerTest, PayloadAtTheEndOfAnUnsignedFile) {
  std::string file = std::string(100, 'x') + Trailer("tracking");
  PayloadLocation location = Locate(file);
  ASSERT_EQ(location.status, PayloadStatus::kFound);
  EXPECT_EQ(location.failure_count, 0);
  EXPECT_EQ(location.start, 103u);
  EXPECT_EQ(location.length, 8u);
  EXPECT_FALSE(location.archive);
  EXPECT_FALSE(location.has_certificate);
}

TEST(PayloadTrailerTest, LengthsThatDoNotFitFail) {
  // "NVR" + 3 bytes + length: a length of 4 leaves no room for the marker.
  std::string file = "NVRabc";
  file += std::string("\x04\0\0\0", 4);
  PayloadLocation location = Locate(file);
  EXPECT_EQ(location.status, PayloadStatus::kNotFound);
  ASSERT_EQ(location.failure_count, 1);
  EXPECT_EQ(location.failures[0], TrailerAttempt::kNoRoom);

  // A length of 2^31 or more is refused whatever the file holds.
  std::string huge = std::string(64, 'x');
  huge += std::string("\x00\x00\x00\x80", 4);
  EXPECT_EQ(Locate(huge).failures[0], TrailerAttempt::kNoRoom);

  // Files too short to hold a length field at all.
  for (const std::string& tiny : {std::string(), std::string("NVR"), std::string("\0\0\0", 3)}) {
    PayloadLocation short_location = Locate(tiny);
    EXPECT_EQ(short_location.status, PayloadStatus::kNotFound);
    EXPECT_EQ(short_location.failures[0], TrailerAttempt::kNoRoom);
  }
}

TEST(PayloadTrailerTest, MarkerMustPrecedeThePayload) {
  std::string file = std::string(20, 'x') + "NVQ" + "data" + std::string("\x04\0\0\0", 4);
  PayloadLocation location = Locate(file);
  EXPECT_EQ(location.status, PayloadStatus::kNotFound);
  ASSERT_EQ(location.failure_count, 1);
  EXPECT_EQ(location.failures[0], TrailerAttempt::kBadMarker);
  // The marker at offset 0 with an empty payload is a valid trailer.
  PayloadLocation empty = Locate(Trailer(""));
  EXPECT_EQ(empty.status, PayloadStatus::kFound);
  EXPECT_EQ(empty.start, 3u);
  EXPECT_EQ(empty.length, 0u);
}

TEST(PayloadTrailerTest, ArchiveSignatureNeedsAllSixBytes) {
  EXPECT_TRUE(Locate(Trailer(kArchiveStart + "body")).archive);
  EXPECT_TRUE(Locate(Trailer(kArchiveStart)).archive);
  EXPECT_FALSE(Locate(Trailer("7z\xBC\xAF\x27\x1D body")).archive);
  EXPECT_FALSE(Locate(Trailer("7z")).archive);
  EXPECT_FALSE(Locate(Trailer(kArchiveStart.substr(0, 5))).archive);
}

TEST(PayloadTrailerTest, TrailerBeforeTheCertificateTable) {
  std::string file = SignedImage(Trailer(kArchiveStart + "signed archive"));
  PayloadLocation location = Locate(file);
  ASSERT_EQ(location.status, PayloadStatus::kFound);
  EXPECT_TRUE(location.has_certificate);
  EXPECT_TRUE(location.archive);
  // The attempt at the end of the file failed first (the table's last bytes).
  EXPECT_EQ(location.failure_count, 1);
  EXPECT_EQ(file.substr(location.start, location.length), kArchiveStart + "signed archive");
}

TEST(PayloadTrailerTest, WhatFollowsTheSignature) {
  // An archive appended after the signature is refused outright.
  PayloadLocation archive =
      Locate(SignedImage(Trailer("inner"), Trailer(kArchiveStart + "appended")));
  EXPECT_EQ(archive.status, PayloadStatus::kArchiveAfterSignature);
  EXPECT_FALSE(archive.archive);
  // Tracking data there is accepted, and wins over a trailer inside.
  PayloadLocation tracking = Locate(SignedImage(Trailer("inner"), Trailer("partner=1")));
  ASSERT_EQ(tracking.status, PayloadStatus::kFound);
  EXPECT_EQ(tracking.length, 9u);
  EXPECT_EQ(tracking.failure_count, 0);
  // Neither place: both attempts fail.
  PayloadLocation none = Locate(SignedImage("no trailer here"));
  EXPECT_EQ(none.status, PayloadStatus::kNotFound);
  EXPECT_EQ(none.failure_count, 2);
}

TEST(PayloadTrailerTest, CertificateTablePlacesOutsideTheFile) {
  // Offset past the end: the file is corrupt.
  std::string beyond = ImageWithCertificateTable(0x200, 0x201, 8) + Trailer("x");
  PutUint32(&beyond, 0x80 + 0xA8, static_cast<uint32_t>(beyond.size() + 1));
  EXPECT_EQ(Locate(beyond).status, PayloadStatus::kInvalidFile);
  // Offset exactly at the end is not beyond it.
  std::string at_end = ImageWithCertificateTable(0x200, 0, 8) + Trailer("x");
  PutUint32(&at_end, 0x80 + 0xA8, static_cast<uint32_t>(at_end.size()));
  EXPECT_EQ(Locate(at_end).status, PayloadStatus::kFound);
  // A table so close to the start that no length fits before it.
  std::string early = ImageWithCertificateTable(0x200, 2, 8);
  PayloadLocation location = Locate(early);
  EXPECT_EQ(location.status, PayloadStatus::kNotFound);
  EXPECT_EQ(location.failures[1], TrailerAttempt::kNoRoom);
  // A PE header pointer past the end means no certificate table.
  std::string odd = std::string(0x40, '\xFF') + Trailer("tracking");
  PayloadLocation no_header = Locate(odd);
  EXPECT_EQ(no_header.status, PayloadStatus::kFound);
  EXPECT_FALSE(no_header.has_certificate);
}

}  // namespace
}  // namespace norva::installer
