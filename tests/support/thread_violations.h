#ifndef NORVA_TESTS_SUPPORT_THREAD_VIOLATIONS_H_
#define NORVA_TESTS_SUPPORT_THREAD_VIOLATIONS_H_

#include <functional>
#include <string>
#include <vector>

#include "base/thread_checker.h"

namespace norva::installer::test {

// While it lives, thread checks that fail are recorded ("file:line") instead
// of failing the test, so that a test can expect one. One at a time.
class ThreadViolationRecorder {
 public:
  ThreadViolationRecorder();
  ~ThreadViolationRecorder();
  ThreadViolationRecorder(const ThreadViolationRecorder&) = delete;
  ThreadViolationRecorder& operator=(const ThreadViolationRecorder&) = delete;

  std::vector<std::string> violations() const;

 private:
  ThreadViolationHandler previous_;
};

// Runs `call` on a thread of its own and waits for it to end.
void RunOnAnotherThread(const std::function<void()>& call);

}  // namespace norva::installer::test

#endif  // NORVA_TESTS_SUPPORT_THREAD_VIOLATIONS_H_
