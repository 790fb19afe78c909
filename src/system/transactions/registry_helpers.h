#ifndef NORVA_SYSTEM_TRANSACTIONS_REGISTRY_HELPERS_H_
#define NORVA_SYSTEM_TRANSACTIONS_REGISTRY_HELPERS_H_

#include <windows.h>

#include <string>

namespace norva::installer::registry_helpers {

// A root key as the registry log lines show it: its handle value in 16
// upper-case hexadecimal digits.
std::string RootText(HKEY root);

// The key path without its last component ("" for a single component).
std::wstring ParentKeyPath(const std::wstring& path);

}  // namespace norva::installer::registry_helpers

#endif  // NORVA_SYSTEM_TRANSACTIONS_REGISTRY_HELPERS_H_
