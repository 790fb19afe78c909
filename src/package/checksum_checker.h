#ifndef NORVA_PACKAGE_CHECKSUM_CHECKER_H_
#define NORVA_PACKAGE_CHECKSUM_CHECKER_H_

#include <windows.h>
#include <wintrust.h>

#include <optional>
#include <string>
#include <string_view>

#include "base/file_path.h"

namespace norva::installer {

// Checks that a downloaded package is the file the autoupdate service
// announced.
class ChecksumChecker {
 public:
  // True when the SHA-256 digest of the file, as 64 lower-case hexadecimal
  // digits, equals `expected` exactly (so an upper-case digest never
  // matches).
  static bool VerifyChecksum(const FilePath& path, std::string_view expected);
  // The digest as lower-case hexadecimal digits; empty when the file cannot
  // be read.
  static std::string ComputeSha256(const FilePath& path);
};

// False when the file is not a PE image; otherwise `has_table` tells whether
// it carries an Authenticode certificate table.
bool HasCertificateTable(const FilePath& path, bool* has_table);

// True when the file's Authenticode signature is valid and its signer's
// display name is exactly the product's expected publisher.
bool VerifyPackageSigner(const FilePath& path);

// The request the signature check makes: no prompt, and no revocation or
// certificate lookup over the network, so that it never waits on one.
WINTRUST_DATA PackageTrustRequest(WINTRUST_FILE_INFO* file);

// Test seam: Wine accepts any well-formed signature chain, so a test that
// needs a rejected one replaces WinVerifyTrust's result (the call itself
// still runs). std::nullopt restores the real result.
void SetTrustResultForTesting(std::optional<LONG> result);

}  // namespace norva::installer

#endif  // NORVA_PACKAGE_CHECKSUM_CHECKER_H_
