#ifndef NORVA_PACKAGE_PACKAGE_QUERY_H_
#define NORVA_PACKAGE_PACKAGE_QUERY_H_

#include <windows.h>

#include <string>
#include <string_view>

#include "base/file_path.h"

namespace norva::installer {

// Starts the package executable with the one switch "--<switch_name>" and
// returns everything it writes to its standard output, as written (no
// trimming). Waits for the package to end, at most `limit_ms`: a package
// that has not ended by then is ended, and the answer is empty, as it is
// when the package cannot be started.
constexpr DWORD kPackageQueryLimitMs = 60000;
std::string QueryPackage(const FilePath& package, std::string_view switch_name,
                         DWORD limit_ms = kPackageQueryLimitMs);

// What a package says of itself when asked, as it wrote it: its
// "internal-version" and its "stream" (empty when not asked).
struct PackageIdentity {
  std::string version;
  std::string stream;
};

// Whether `package` may be installed by this build: its version is valid and
// not older than this build's, and it is of this build's stream. The stream
// is asked only of a package whose version fits.
enum class PackageFit { kFits, kOlder, kOtherStream };
PackageFit CheckPackageIdentity(const FilePath& package, PackageIdentity* identity);

}  // namespace norva::installer

#endif  // NORVA_PACKAGE_PACKAGE_QUERY_H_
