#include <windows.h>

#include <gtest/gtest.h>

#include "package/checksum_checker.h"
#include "package/package_test_files.h"
#include "product/product_info.h"
#include "support/scratch.h"

namespace norva::installer {
namespace {

using test::FixtureFile;

class PackageSignerTest : public testing::Test {
 protected:
  void TearDown() override {
    SetTrustResultForTesting(std::nullopt);
    product::ResetBrandingForTesting();
  }
  test::LogCapture log_;
};

TEST_F(PackageSignerTest, SignedByTheExpectedPublisher) {
  EXPECT_TRUE(VerifyPackageSigner(FixtureFile("signed.exe")));
  // A payload inside the signed part keeps the signature valid.
  EXPECT_TRUE(VerifyPackageSigner(FixtureFile("signed_archive_inside.exe")));
}

TEST_F(PackageSignerTest, OtherPublisherOrNoSignatureFails) {
  EXPECT_FALSE(VerifyPackageSigner(FixtureFile("signed_other.exe")));
  EXPECT_TRUE(log_.Contains("Norva Software Unknown Publisher"));
  EXPECT_FALSE(VerifyPackageSigner(FixtureFile("unsigned.exe")));
  EXPECT_FALSE(VerifyPackageSigner(FixtureFile("no_such_file.exe")));
}

TEST_F(PackageSignerTest, ChangedPayloadBreaksTheSignature) {
  EXPECT_FALSE(VerifyPackageSigner(FixtureFile("signed_archive_tampered.exe")));
  EXPECT_TRUE(log_.Contains("is not valid"));
}

TEST_F(PackageSignerTest, PublisherNameIsCaseSensitive) {
  product::SetBrandingForTesting(R"({"expected_signer": "norva software test signing"})");
  EXPECT_FALSE(VerifyPackageSigner(FixtureFile("signed.exe")));
  product::SetBrandingForTesting(R"({"expected_signer": "Norva Software Test Signing "})");
  EXPECT_FALSE(VerifyPackageSigner(FixtureFile("signed.exe")));
  product::SetBrandingForTesting(R"({"expected_signer": "Norva Software Test Signing"})");
  EXPECT_TRUE(VerifyPackageSigner(FixtureFile("signed.exe")));
}

TEST_F(PackageSignerTest, RejectedChainFails) {
  // Wine trusts the test root; a real machine would not.
  SetTrustResultForTesting(CERT_E_UNTRUSTEDROOT);
  EXPECT_FALSE(VerifyPackageSigner(FixtureFile("signed.exe")));
  SetTrustResultForTesting(std::nullopt);
  EXPECT_TRUE(VerifyPackageSigner(FixtureFile("signed.exe")));
}

// Behind a proxy or offline a revocation lookup can stall for minutes, and a
// machine's policy can ask for one unless the request forbids it.
TEST_F(PackageSignerTest, TheCheckNeverWaitsOnTheNetwork) {
  WINTRUST_FILE_INFO file{};
  WINTRUST_DATA request = PackageTrustRequest(&file);
  EXPECT_EQ(request.fdwRevocationChecks, static_cast<DWORD>(WTD_REVOKE_NONE));
  EXPECT_EQ(request.dwProvFlags & (WTD_REVOCATION_CHECK_NONE | WTD_CACHE_ONLY_URL_RETRIEVAL),
            static_cast<DWORD>(WTD_REVOCATION_CHECK_NONE | WTD_CACHE_ONLY_URL_RETRIEVAL));
  EXPECT_EQ(request.dwProvFlags & (WTD_REVOCATION_CHECK_END_CERT | WTD_REVOCATION_CHECK_CHAIN |
                                   WTD_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT),
            0u);
  EXPECT_EQ(request.dwUIChoice, static_cast<DWORD>(WTD_UI_NONE));
  EXPECT_EQ(request.pFile, &file);
}

}  // namespace
}  // namespace norva::installer
