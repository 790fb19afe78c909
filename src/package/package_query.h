#ifndef NORVA_PACKAGE_PACKAGE_QUERY_H_
#define NORVA_PACKAGE_PACKAGE_QUERY_H_

#include <string>
#include <string_view>

#include "base/file_path.h"

namespace norva::installer {

// Starts the package executable with the one switch "--<switch_name>" and
// returns everything it writes to its standard output, as written (no
// trimming). Waits for the package to end. Empty when it cannot be started.
std::string QueryPackage(const FilePath& package, std::string_view switch_name);

}  // namespace norva::installer

#endif  // NORVA_PACKAGE_PACKAGE_QUERY_H_
