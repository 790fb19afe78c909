// Where the C++ library would throw (an index or a size out of range, memory
// exhausted, a broken lock), the installer, built without exceptions, ends
// with the reason in its log. The library's own versions build exception
// objects with its old-ABI strings, which cost tens of kilobytes of the
// executable for a process that ends either way. They belong to the
// installer's executables only: the tests link members of the library that
// define some of them too. Defining every one the installer reaches keeps the
// library's members that hold them out of its link; a missing one would make
// that link fail with duplicate definitions.
#include <cstdlib>
#include <string>

#include "base/logging.h"

namespace {

[[noreturn]] void EndWith(const char* kind, const char* what) {
  LOG(ERROR) << "C++ library failure: " << kind << ": " << (what ? what : "");
  std::abort();
}

}  // namespace

namespace std {

void __throw_bad_alloc() { std::abort(); }  // logging would allocate
void __throw_bad_array_new_length() { std::abort(); }
void __throw_bad_cast() { EndWith("bad_cast", nullptr); }
void __throw_bad_typeid() { EndWith("bad_typeid", nullptr); }
void __throw_bad_exception() { EndWith("bad_exception", nullptr); }
void __throw_bad_function_call() { EndWith("bad_function_call", nullptr); }
void __throw_logic_error(const char* what) { EndWith("logic_error", what); }
void __throw_domain_error(const char* what) { EndWith("domain_error", what); }
void __throw_invalid_argument(const char* what) { EndWith("invalid_argument", what); }
void __throw_length_error(const char* what) { EndWith("length_error", what); }
void __throw_out_of_range(const char* what) { EndWith("out_of_range", what); }
void __throw_out_of_range_fmt(const char* format, ...) { EndWith("out_of_range", format); }
void __throw_runtime_error(const char* what) { EndWith("runtime_error", what); }
void __throw_range_error(const char* what) { EndWith("range_error", what); }
void __throw_overflow_error(const char* what) { EndWith("overflow_error", what); }
void __throw_underflow_error(const char* what) { EndWith("underflow_error", what); }
void __throw_system_error(int error) { EndWith("system_error", std::to_string(error).c_str()); }

}  // namespace std
