#ifndef NORVA_BASE_TRUNCATE_H_
#define NORVA_BASE_TRUNCATE_H_

#include <cstddef>
#include <string>

namespace norva::installer {

// Cut `text` to at most `size` code units, never inside a character: a UTF-8
// sequence or a UTF-16 surrogate pair that the cut would split goes whole.
// Portable (no Windows headers): the fuzzers build it natively.
void TruncateUtf8(std::string* text, size_t size);
void TruncateUtf16(std::wstring* text, size_t size);

}  // namespace norva::installer

#endif  // NORVA_BASE_TRUNCATE_H_
