#include <cstdlib>
#include <exception>

// Replaces the C++ library's default terminate handler, which prints the
// demangled type of an uncaught exception to stderr before aborting. The
// installer has no console to print to, and the demangler it links costs
// about 45 KB of the executable. norva_lib makes every executable that links
// it take this definition (see base/CMakeLists.txt).
namespace __gnu_cxx {

void __verbose_terminate_handler() { std::abort(); }

}  // namespace __gnu_cxx
