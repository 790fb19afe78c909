#ifndef NORVA_BASE_THREAD_CHECKER_H_
#define NORVA_BASE_THREAD_CHECKER_H_

#include <atomic>

namespace norva::installer {

// Tells whether calls come from the one thread an object belongs to. The
// first check binds the checker to its thread, so an object may be made on
// one thread and handed to the one that uses it; DetachFromThread lets the
// next check bind again (a hand-over to another thread).
//
// Checks are written with NORVA_DCHECK_CALLED_ON_VALID_THREAD. The tests and
// the installer are linked from the same library, so no compile definition
// can tell them apart: the check is compiled everywhere, and inert (it does
// not even bind) until a violation handler is installed for the process.
// The test executables install one at start, which fails the running test;
// the shipped installer installs none, so a mistake there costs one atomic
// load per check and never stops an installation halfway.
class ThreadChecker {
 public:
  ThreadChecker() = default;
  ThreadChecker(const ThreadChecker&) = delete;
  ThreadChecker& operator=(const ThreadChecker&) = delete;

  // True on the bound thread, or when unbound (it then binds to the caller).
  bool CalledOnValidThread() const;
  void DetachFromThread();

 private:
  // The id of the bound thread; 0, which no thread has, when unbound.
  mutable std::atomic<unsigned long> thread_id_{0};
};

// Runs on the thread of a failed check, with the place of the check.
using ThreadViolationHandler = void (*)(const char* file, int line);

// Turns the checks on (a handler) or off (nullptr) for the whole process;
// returns the handler it replaces.
ThreadViolationHandler SetThreadViolationHandler(ThreadViolationHandler handler);
bool AreThreadChecksEnabled();
void ReportThreadViolation(const char* file, int line);

}  // namespace norva::installer

#define NORVA_DCHECK_CALLED_ON_VALID_THREAD(checker)                                        \
  do {                                                                                      \
    if (::norva::installer::AreThreadChecksEnabled() && !(checker).CalledOnValidThread()) { \
      ::norva::installer::ReportThreadViolation(__FILE__, __LINE__);                        \
    }                                                                                       \
  } while (0)

#endif  // NORVA_BASE_THREAD_CHECKER_H_
