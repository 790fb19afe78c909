#ifndef NORVA_PACKAGE_SEVENZIP_ENTRY_NAME_H_
#define NORVA_PACKAGE_SEVENZIP_ENTRY_NAME_H_

#include <string_view>

namespace norva::installer::sevenzip {

// Whether `name` may be joined to an extraction folder: a relative path
// whose components are not empty, "." or "..", carry no drive or stream
// (":"), and are no DOS device ("CON", "NUL", "COM1"...). Both "/" and "\"
// separate components.
bool IsSafeEntryName(std::u16string_view name);

}  // namespace norva::installer::sevenzip

#endif  // NORVA_PACKAGE_SEVENZIP_ENTRY_NAME_H_
