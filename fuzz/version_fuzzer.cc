// Fuzzes the dotted version parser: a valid version must print back to a
// version that compares equal to it, and comparison must be antisymmetric.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "package/version.h"

using norva::installer::Version;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  size_t split = text.find('|');
  Version first(text.substr(0, split));
  if (!first.IsValid()) return 0;
  Version again(first.ToString());
  if (!again.IsValid() || again.CompareTo(first) != 0) std::abort();
  if (split == std::string_view::npos) return 0;
  Version second(text.substr(split + 1));
  if (second.IsValid() && first.CompareTo(second) != -second.CompareTo(first)) std::abort();
  return 0;
}
