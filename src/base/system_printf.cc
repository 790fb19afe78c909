// The toolchain's C99 printf (used by the C++ library's number formatting, the
// JSON writer's escapes and our own StringPrintf) replaced by the system C
// runtime's, which formats everything the installer formats: %d %u %x %X
// with the l and ll sizes, widths and precisions, %s and %ls, %g and %f.
// The toolchain's brings its own floating-point printing code, about 30 KB
// of the executable. Defined here, these are found before the toolchain's in
// every program that links this library; they keep C99's results: the length
// the whole text needs, and a terminated buffer however short.
#include <cstdarg>
#include <cstddef>
#include <cwchar>

extern "C" {

extern int(__cdecl* __imp__vscprintf)(const char*, va_list);
extern int(__cdecl* __imp__vsnprintf)(char*, size_t, const char*, va_list);
extern int(__cdecl* __imp__vscwprintf)(const wchar_t*, va_list);
extern int(__cdecl* __imp__vsnwprintf)(wchar_t*, size_t, const wchar_t*, va_list);

}  // extern "C"

namespace {

template <typename Char>
int FormatC99(Char* buffer, size_t size, const Char* format, va_list args,
              int(__cdecl* measure)(const Char*, va_list),
              int(__cdecl* format_into)(Char*, size_t, const Char*, va_list)) {
  va_list copy;
  va_copy(copy, args);
  int needed = measure(format, copy);
  va_end(copy);
  if (needed < 0 || size == 0) return needed;
  size_t written = static_cast<size_t>(needed) < size ? static_cast<size_t>(needed) : size - 1;
  format_into(buffer, written, format, args);
  buffer[written] = 0;
  return needed;
}

}  // namespace

extern "C" int __cdecl __mingw_vsnprintf(char* buffer, size_t size, const char* format,
                                         va_list args) {
  return FormatC99(buffer, size, format, args, __imp__vscprintf, __imp__vsnprintf);
}

extern "C" int __cdecl __mingw_vsnwprintf(wchar_t* buffer, size_t size, const wchar_t* format,
                                          va_list args) {
  return FormatC99(buffer, size, format, args, __imp__vscwprintf, __imp__vsnwprintf);
}
