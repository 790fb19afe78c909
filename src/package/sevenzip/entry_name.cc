#include "package/sevenzip/entry_name.h"

#include <string>

namespace norva::installer::sevenzip {

namespace {

// `c` as it counts in a device name: ASCII upper-cased, and the superscript
// digits, which Windows also takes for "COM1".."COM3" and "LPT1".."LPT3".
char DeviceNameChar(char16_t c) {
  if (c == u'\u00B9') return '1';
  if (c == u'\u00B2') return '2';
  if (c == u'\u00B3') return '3';
  if (c >= 0x80) return '?';
  return static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
}

}  // namespace

bool IsSafeEntryName(std::u16string_view name) {
  static constexpr const char* kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  if (name.empty()) return false;
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find_first_of(u"/\\", start);
    if (end == std::u16string_view::npos) end = name.size();
    std::u16string_view part = name.substr(start, end - start);
    if (part.empty() || part.find_first_not_of(u". ") == std::u16string_view::npos) return false;
    if (part.find(u':') != std::u16string_view::npos) return false;
    // Device names count with any extension: "nul.txt" is the device too.
    std::u16string_view base = part.substr(0, part.find(u'.'));
    while (!base.empty() && base.back() == u' ') base.remove_suffix(1);
    std::string upper;
    for (char16_t c : base) upper += DeviceNameChar(c);
    for (const char* device : kDevices) {
      if (upper == device) return false;
    }
    if (upper.size() == 4 && (upper.starts_with("COM") || upper.starts_with("LPT")) &&
        upper[3] >= '0' && upper[3] <= '9') {
      return false;
    }
    start = end + 1;
  }
  return true;
}

}  // namespace norva::installer::sevenzip
