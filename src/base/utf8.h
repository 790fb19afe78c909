// Code points as UTF-8, in a header of its own: the native fuzzing builds
// the JSON reader without the rest of the base library.
#ifndef NORVA_BASE_UTF8_H_
#define NORVA_BASE_UTF8_H_

#include <cstdint>
#include <string>

namespace norva::installer {

// Appends code point `code` (at most U+10FFFF, no surrogate) as UTF-8.
inline void AppendUtf8(uint32_t code, std::string* out) {
  if (code < 0x80) {
    out->push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (code >> 6)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (code >> 12)));
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (code >> 18)));
    out->push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

}  // namespace norva::installer

#endif  // NORVA_BASE_UTF8_H_
