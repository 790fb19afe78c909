#include "package/checksum_checker.h"

#include <gtest/gtest.h>

#include "base/strings.h"
#include "package/package_test_files.h"
#include "support/scratch.h"

namespace norva::installer {
namespace {

using test::FixtureFile;
using test::WriteFile;

constexpr char kAbcDigest[] = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
constexpr char kEmptyDigest[] =
    "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
constexpr char kMillionADigest[] =
    "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0";

using ChecksumTest = test::ScratchFileTest;

TEST_F(ChecksumTest, KnownDigests) {
  EXPECT_TRUE(ChecksumChecker::VerifyChecksum(Write("abc", "abc"), kAbcDigest));
  EXPECT_TRUE(ChecksumChecker::VerifyChecksum(Write("empty", ""), kEmptyDigest));
  // A million bytes: several pages of the mapping hashed in one go.
  EXPECT_TRUE(
      ChecksumChecker::VerifyChecksum(Write("million", std::string(1000000, 'a')), kMillionADigest));
}

TEST_F(ChecksumTest, TheComparisonIsExact) {
  std::filesystem::path file = Write("abc", "abc");
  std::string upper = ToLowerASCII(kAbcDigest);
  for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  EXPECT_FALSE(ChecksumChecker::VerifyChecksum(file, upper));
  EXPECT_FALSE(ChecksumChecker::VerifyChecksum(file, std::string(kAbcDigest) + "\n"));
  EXPECT_FALSE(ChecksumChecker::VerifyChecksum(file, std::string(kAbcDigest).substr(0, 63)));
  EXPECT_FALSE(ChecksumChecker::VerifyChecksum(file, ""));
  EXPECT_FALSE(ChecksumChecker::VerifyChecksum(file, kEmptyDigest));
}

TEST_F(ChecksumTest, UnreadableFileFails) {
  test::LogCapture log;
  std::filesystem::path missing = scratch_.path() / "missing.exe";
  EXPECT_FALSE(ChecksumChecker::VerifyChecksum(missing, kEmptyDigest));
  EXPECT_TRUE(log.Contains("Unable to read " + WideToUtf8(missing.native())));
}

TEST_F(ChecksumTest, CertificateTablePresence) {
  bool has_table = false;
  ASSERT_TRUE(HasCertificateTable(FixtureFile("signed.exe"), &has_table));
  EXPECT_TRUE(has_table);
  has_table = true;
  ASSERT_TRUE(HasCertificateTable(FixtureFile("unsigned.exe"), &has_table));
  EXPECT_FALSE(has_table);

  // Not PE images: the flag keeps its preset value.
  has_table = true;
  EXPECT_FALSE(HasCertificateTable(Write("text.exe", "just some text, no header at all"),
                                   &has_table));
  EXPECT_FALSE(HasCertificateTable(Write("mz.exe", "MZ" + std::string(0x40, '\x7F')),
                                   &has_table));
  EXPECT_FALSE(HasCertificateTable(Write("empty.exe", ""), &has_table));
  EXPECT_FALSE(HasCertificateTable(scratch_.path() / "missing.exe", &has_table));
  EXPECT_TRUE(has_table);
}

}  // namespace
}  // namespace norva::installer
