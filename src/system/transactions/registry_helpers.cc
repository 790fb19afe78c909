#include "system/transactions/registry_helpers.h"

#include <cstdint>

#include "base/strings.h"

namespace norva::installer::registry_helpers {

std::string RootText(HKEY root) {
  return StringPrintf("%016llX",
                      static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(root)));
}

std::wstring ParentKeyPath(const std::wstring& path) {
  size_t separator = path.find_last_of(L'\\');
  return separator == std::wstring::npos ? std::wstring() : path.substr(0, separator);
}

}  // namespace norva::installer::registry_helpers
