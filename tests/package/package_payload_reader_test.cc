#include "package/payload_reader.h"

#include <gtest/gtest.h>

#include <cstring>

#include "package/package_test_files.h"
#include "support/scratch.h"

namespace norva::installer {
namespace {

using test::FixtureFile;
using test::ReadFile;
using test::Trailer;
using test::WriteFile;

class PayloadReaderTest : public test::ScratchFileTest {
 protected:
  test::LogCapture log_;
};

TEST_F(PayloadReaderTest, UnsignedFileWithTrackingData) {
  PayloadReader reader(Write("plain.exe", std::string(300, 'p') + Trailer("partner=7")));
  ASSERT_TRUE(reader.ReadPayload());
  EXPECT_TRUE(reader.is_read());
  EXPECT_FALSE(reader.is_archive());
  EXPECT_EQ(reader.GetPayload(), "partner=7");
  std::filesystem::path out = scratch_.path() / "server_tracking_data";
  WriteFile(out, "an older, longer file");
  ASSERT_TRUE(reader.WritePayloadToFile(out));
  EXPECT_EQ(ReadFile(out), "partner=7");
  EXPECT_FALSE(reader.WritePayloadToFile(scratch_.path() / "no" / "such" / "file"));
}

TEST_F(PayloadReaderTest, ASecondReadDoesNotReadAgain) {
  PayloadReader reader(Write("plain.exe", Trailer("x")));
  ASSERT_TRUE(reader.ReadPayload());
  test::LogCapture second;
  EXPECT_TRUE(reader.ReadPayload());
  EXPECT_FALSE(second.Contains("Reading Payload"));
}

TEST_F(PayloadReaderTest, FilesWithoutAPayload) {
  // The length is one more than the bytes in front of the payload allow.
  std::string too_long = "NVRabc" + std::string("\x04\0\0\0", 4);
  PayloadReader short_reader(Write("short.exe", too_long));
  EXPECT_FALSE(short_reader.ReadPayload());
  EXPECT_TRUE(log_.Contains("Could not find a valid starting position"));
  EXPECT_FALSE(short_reader.is_read());
  EXPECT_EQ(short_reader.GetPayload(), "");
  EXPECT_FALSE(short_reader.WritePayloadToFile(scratch_.path() / "never"));
  EXPECT_FALSE(std::filesystem::exists(scratch_.path() / "never"));

  PayloadReader garbage(Write("garbage.exe", std::string(40, 'g') + "XYZdata" +
                                                 std::string("\x04\0\0\0", 4)));
  EXPECT_FALSE(garbage.ReadPayload());
  EXPECT_TRUE(log_.Contains("Payload data invalid"));

  PayloadReader empty(Write("empty.exe", ""));
  EXPECT_FALSE(empty.ReadPayload());

  PayloadReader missing(scratch_.path() / "missing.exe");
  EXPECT_FALSE(missing.ReadPayload());
  EXPECT_TRUE(log_.Contains("Could not initialize memory mapped file"));

  PayloadReader signed_only(FixtureFile("signed.exe"));
  EXPECT_FALSE(signed_only.ReadPayload());
}

TEST_F(PayloadReaderTest, SignedArchiveBeforeTheCertificateTable) {
  PayloadReader reader(FixtureFile("signed_archive_inside.exe"));
  ASSERT_TRUE(reader.ReadPayload());
  EXPECT_TRUE(reader.is_archive());
  EXPECT_FALSE(reader.is_invalid());
  // The attempt at the end of the file (inside the signature) failed first.
  EXPECT_TRUE(log_.Contains("Could not find a valid starting position") ||
              log_.Contains("Payload data invalid"));
  std::string expected = ReadFile(FixtureFile("archive_payload.bin"));
  EXPECT_EQ(reader.GetPayload(), expected);
  std::filesystem::path out = scratch_.path() / "norva_installer.7z";
  ASSERT_TRUE(reader.WritePayloadToFile(out));
  EXPECT_EQ(ReadFile(out), expected);
}

// Written out in pieces: each must land at its own place, and the last,
// shorter one too.
TEST_F(PayloadReaderTest, ALargeArchiveIsWrittenWhole) {
  std::string payload("7z\xBC\xAF\x27\x1C", 6);
  uint32_t state = 1;
  while (payload.size() < (5u << 19) + 7) {
    state = state * 1103515245u + 12345u;
    payload.push_back(static_cast<char>(state >> 24));
  }
  PayloadReader reader(Write("offline.exe", std::string(777, 'x') + Trailer(payload)));
  ASSERT_TRUE(reader.ReadPayload());
  ASSERT_TRUE(reader.is_archive());
  std::filesystem::path out = scratch_.path() / "norva_installer.7z";
  WriteFile(out, std::string(3 << 20, 'o'));  // a longer file is replaced
  ASSERT_TRUE(reader.WritePayloadToFile(out));
  EXPECT_TRUE(ReadFile(out) == payload);
}

TEST_F(PayloadReaderTest, WhatWasAppendedAfterTheSignature) {
  PayloadReader archive(FixtureFile("signed_archive_outside.exe"));
  EXPECT_FALSE(archive.ReadPayload());
  EXPECT_FALSE(archive.is_read());
  EXPECT_FALSE(archive.is_archive());
  EXPECT_FALSE(archive.is_invalid());
  EXPECT_EQ(archive.GetPayload(), "");

  PayloadReader tracking(FixtureFile("signed_tracking_outside.exe"));
  ASSERT_TRUE(tracking.ReadPayload());
  EXPECT_FALSE(tracking.is_archive());
  EXPECT_EQ(tracking.GetPayload(), ReadFile(FixtureFile("tracking_payload.bin")));
}

TEST_F(PayloadReaderTest, CertificateTableBeyondTheEndMakesTheFileInvalid) {
  std::string image = ReadFile(FixtureFile("unsigned.exe")) + Trailer("tracking");
  uint32_t header = 0;
  memcpy(&header, image.data() + 0x3C, 4);
  uint32_t offset = static_cast<uint32_t>(image.size() + 16), size = 16;
  memcpy(image.data() + header + 0xA8, &offset, 4);
  memcpy(image.data() + header + 0xAC, &size, 4);
  PayloadReader reader(Write("corrupt.exe", image));
  EXPECT_FALSE(reader.ReadPayload());
  EXPECT_TRUE(reader.is_invalid());
  EXPECT_FALSE(reader.is_read());
  EXPECT_FALSE(reader.ReadPayload());  // a second try fails as the first did
  EXPECT_TRUE(reader.is_invalid());
  EXPECT_EQ(reader.GetPayload(), "");
  EXPECT_FALSE(reader.WritePayloadToFile(scratch_.path() / "out"));
}

TEST_F(PayloadReaderTest, OverridePayloadWins) {
  PayloadReader reader(Write("plain.exe", Trailer("from-file")));
  ASSERT_TRUE(reader.ReadPayload());
  reader.SetOverridePayload("from-command-line");
  EXPECT_EQ(reader.GetPayload(), "from-command-line");

  // Without any payload in the file the override still counts as read.
  PayloadReader bare(FixtureFile("unsigned.exe"));
  bare.SetOverridePayload("partner=9");
  EXPECT_TRUE(bare.ReadPayload());
  EXPECT_FALSE(log_.Contains("Could not find a valid starting position"));
  std::filesystem::path out = scratch_.path() / "server_tracking_data";
  ASSERT_TRUE(bare.WritePayloadToFile(out));
  EXPECT_EQ(ReadFile(out), "partner=9");
}

}  // namespace
}  // namespace norva::installer
