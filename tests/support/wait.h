#ifndef NORVA_TESTS_SUPPORT_WAIT_H_
#define NORVA_TESTS_SUPPORT_WAIT_H_

#include <windows.h>

#include <chrono>

#include "base/task_loop.h"

namespace norva::installer::test {

// For a condition that nothing signals (a file another process writes, a
// state only a poll can see): checks it until it holds or `timeout` has
// passed and tells whether it held. It returns as soon as the condition
// holds, so a generous timeout costs only the failing case. The pause
// between checks grows from 1 to 50 ms: quick conditions are seen at once,
// and a long wait leaves the processor to the processes it waits for.
template <typename Condition>
bool WaitUntil(Condition condition,
               std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (DWORD pause = 1; !condition(); pause = pause < 50 ? pause * 2 : 50) {
    if (std::chrono::steady_clock::now() >= deadline) return condition();
    Sleep(pause);
  }
  return true;
}

// The same, running what is ready on `loop` before each check, for a
// condition that a task or a reply of that loop brings about.
template <typename Condition>
bool RunLoopUntil(TaskLoop* loop, Condition condition,
                  std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
  return WaitUntil(
      [&] {
        loop->RunUntilIdle();
        return condition();
      },
      timeout);
}

}  // namespace norva::installer::test

#endif  // NORVA_TESTS_SUPPORT_WAIT_H_
