#include "base/truncate.h"

namespace norva::installer {

void TruncateUtf8(std::string* text, size_t size) {
  if (text->size() <= size) return;
  // A cut before a continuation byte moves back to its lead byte; a
  // character has three continuation bytes at most.
  for (int i = 0; i < 3 && size > 0 && (static_cast<unsigned char>((*text)[size]) & 0xC0) == 0x80;
       ++i)
    --size;
  text->resize(size);
}

void TruncateUtf16(std::wstring* text, size_t size) {
  if (text->size() <= size) return;
  auto high = [](wchar_t c) { return c >= 0xD800 && c <= 0xDBFF; };
  auto low = [](wchar_t c) { return c >= 0xDC00 && c <= 0xDFFF; };
  if (size > 0 && high((*text)[size - 1]) && low((*text)[size])) --size;
  text->resize(size);
}

}  // namespace norva::installer
