#include "base/strings.h"

#include <windows.h>

#include <algorithm>
#include <climits>
#include <cwchar>

namespace norva::installer {

std::wstring Utf8ToWide(std::string_view utf8) {
  if (utf8.empty()) return {};
  int size = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()),
                                 nullptr, 0);
  std::wstring wide(size, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(),
                      size);
  return wide;
}

std::string WideToUtf8(std::wstring_view wide) {
  if (wide.empty()) return {};
  int size = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                 nullptr, 0, nullptr, nullptr);
  std::string utf8(size, '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), utf8.data(),
                      size, nullptr, nullptr);
  return utf8;
}

std::wstring AsciiToWide(std::string_view ascii) {
  return std::wstring(ascii.begin(), ascii.end());
}

bool IsStringASCII(std::wstring_view text) {
  return std::all_of(text.begin(), text.end(), [](wchar_t c) { return c < 0x80; });
}

namespace {
template <typename Char>
Char LowerASCII(Char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<Char>(c - 'A' + 'a') : c;
}

template <typename Char>
std::basic_string<Char> ToLower(std::basic_string_view<Char> text) {
  std::basic_string<Char> out(text);
  for (auto& c : out) c = LowerASCII(c);
  return out;
}

template <typename Char>
bool EqualsNoCase(std::basic_string_view<Char> a, std::basic_string_view<Char> b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (LowerASCII(a[i]) != LowerASCII(b[i])) return false;
  return true;
}

template <typename Char>
bool IsBlank(Char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

template <typename Char>
std::basic_string<Char> Trim(std::basic_string_view<Char> text) {
  size_t begin = 0, end = text.size();
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  return std::basic_string<Char>(text.substr(begin, end - begin));
}

template <typename Char>
std::vector<std::basic_string<Char>> Split(std::basic_string_view<Char> text, Char sep) {
  std::vector<std::basic_string<Char>> parts;
  size_t start = 0;
  for (;;) {
    size_t pos = text.find(sep, start);
    if (pos == text.npos) {
      parts.emplace_back(text.substr(start));
      return parts;
    }
    parts.emplace_back(text.substr(start, pos - start));
    start = pos + 1;
  }
}

template <typename Char>
std::basic_string<Char> Join(const std::vector<std::basic_string<Char>>& parts,
                             std::basic_string_view<Char> sep) {
  std::basic_string<Char> out;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i) out += sep;
    out += parts[i];
  }
  return out;
}

template <typename Char>
bool ParseInt(std::basic_string_view<Char> text, int* value) {
  if (text.empty()) return false;
  size_t i = 0;
  bool negative = false;
  if (text[0] == '-' || text[0] == '+') {
    negative = text[0] == '-';
    i = 1;
  }
  if (i == text.size()) return false;
  long long result = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    result = result * 10 + (text[i] - '0');
    if (result > static_cast<long long>(INT_MAX) + 1) return false;
  }
  if (negative) result = -result;
  if (result > INT_MAX || result < INT_MIN) return false;
  *value = static_cast<int>(result);
  return true;
}
}  // namespace

std::string ToLowerASCII(std::string_view text) { return ToLower(text); }
std::wstring ToLowerASCII(std::wstring_view text) { return ToLower(text); }
bool EqualsCaseInsensitiveASCII(std::string_view a, std::string_view b) {
  return EqualsNoCase(a, b);
}
bool EqualsCaseInsensitiveASCII(std::wstring_view a, std::wstring_view b) {
  return EqualsNoCase(a, b);
}
bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

std::string TrimWhitespaceASCII(std::string_view text) { return Trim(text); }
std::wstring TrimWhitespace(std::wstring_view text) { return Trim(text); }
std::vector<std::string> SplitString(std::string_view text, char separator) {
  return Split(text, separator);
}
std::vector<std::wstring> SplitString(std::wstring_view text, wchar_t separator) {
  return Split(text, separator);
}
std::string JoinString(const std::vector<std::string>& parts, std::string_view separator) {
  return Join(parts, separator);
}
std::wstring JoinString(const std::vector<std::wstring>& parts, std::wstring_view separator) {
  return Join(parts, separator);
}
bool StringToInt(std::wstring_view text, int* value) { return ParseInt(text, value); }
bool StringToInt(std::string_view text, int* value) { return ParseInt(text, value); }

std::string StringPrintf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  int size = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string out;
  if (size > 0) {
    out.resize(size + 1);
    std::vsnprintf(out.data(), out.size(), format, args);
    out.resize(size);
  }
  va_end(args);
  return out;
}

std::wstring StringPrintf(const wchar_t* format, ...) {
  std::wstring out(256, L'\0');
  for (;;) {
    va_list args;
    va_start(args, format);
    int size = _vsnwprintf(out.data(), out.size(), format, args);
    va_end(args);
    if (size >= 0 && static_cast<size_t>(size) < out.size()) {
      out.resize(size);
      return out;
    }
    if (out.size() > (1u << 24)) return {};
    out.resize(out.size() * 2);
  }
}

std::wstring ReplaceStringPlaceholders(std::wstring_view format,
                                       const std::vector<std::wstring>& replacements) {
  std::wstring out;
  out.reserve(format.size());
  for (size_t i = 0; i < format.size(); ++i) {
    if (format[i] == L'$' && i + 1 < format.size()) {
      wchar_t next = format[i + 1];
      if (next == L'$') {
        out += L'$';
        ++i;
        continue;
      }
      if (next >= L'1' && next <= L'9') {
        size_t index = next - L'1';
        if (index < replacements.size()) {
          out += replacements[index];
          ++i;
          continue;
        }
      }
    }
    out += format[i];
  }
  return out;
}

}  // namespace norva::installer
