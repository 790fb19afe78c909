#ifndef NORVA_BASE_STRINGS_H_
#define NORVA_BASE_STRINGS_H_

#include <cstdarg>
#include <string>
#include <string_view>
#include <vector>

namespace norva::installer {

// UTF-8 <-> UTF-16. Invalid input is converted with replacement characters,
// never dropped silently to an empty string.
std::wstring Utf8ToWide(std::string_view utf8);
std::string WideToUtf8(std::wstring_view wide);
// Only for text known to be ASCII (switch names, JSON keys).
std::wstring AsciiToWide(std::string_view ascii);

bool IsStringASCII(std::wstring_view text);
std::string ToLowerASCII(std::string_view text);
std::wstring ToLowerASCII(std::wstring_view text);
bool EqualsCaseInsensitiveASCII(std::string_view a, std::string_view b);
bool EqualsCaseInsensitiveASCII(std::wstring_view a, std::wstring_view b);
bool StartsWith(std::string_view text, std::string_view prefix);

std::string TrimWhitespaceASCII(std::string_view text);
std::wstring TrimWhitespace(std::wstring_view text);
// Splits at every separator; empty pieces are kept.
std::vector<std::string> SplitString(std::string_view text, char separator);
std::vector<std::wstring> SplitString(std::wstring_view text, wchar_t separator);
std::string JoinString(const std::vector<std::string>& parts, std::string_view separator);
std::wstring JoinString(const std::vector<std::wstring>& parts, std::wstring_view separator);

// printf-style formatting into a std::string / std::wstring.
std::string StringPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::wstring StringPrintf(const wchar_t* format, ...);

// Replaces "$1" .. "$9" with the matching replacement; "$$" is a dollar sign.
// Placeholders without a replacement are left as they are.
std::wstring ReplaceStringPlaceholders(std::wstring_view format,
                                       const std::vector<std::wstring>& replacements);

// Parses a whole decimal integer (optional sign, no blanks). False on
// overflow or trailing characters.
bool StringToInt(std::wstring_view text, int* value);
bool StringToInt(std::string_view text, int* value);

}  // namespace norva::installer

#endif  // NORVA_BASE_STRINGS_H_
