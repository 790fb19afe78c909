#ifndef NORVA_SYSTEM_TASK_SCHEDULER_THREAD_H_
#define NORVA_SYSTEM_TASK_SCHEDULER_THREAD_H_

#include <windows.h>

#include <functional>
#include <memory>

#include "base/thread.h"
#include "system/task_scheduler.h"

namespace norva::installer {

// A task scheduler that lives on a thread of its own, in the multithreaded
// apartment. Connecting waits on the scheduler's service, so an installation
// connects as it begins and uses the connection only at its end, while the
// shell is notified.
//
// A stuck service must not hold the installation for ever: the destructor
// waits a limited time for the thread, then leaves it behind. A thread left
// behind never comes back into the code that posted to it (a use not begun
// is dropped; one inside a scheduler call stays there), so what a use
// touches may be freed once the destructor has returned.
class TaskSchedulerThread {
 public:
  using SchedulerFactory = std::function<std::unique_ptr<TaskScheduler>()>;

  explicit TaskSchedulerThread(SchedulerFactory make_scheduler = CreateTaskScheduler);
  // Releases the scheduler and ends COM on the thread, after what was posted,
  // waiting at most the join limit for it.
  ~TaskSchedulerThread();
  TaskSchedulerThread(const TaskSchedulerThread&) = delete;
  TaskSchedulerThread& operator=(const TaskSchedulerThread&) = delete;

  // Starts the thread and begins connecting there; false when the thread
  // could not start.
  bool Connect();
  // Runs `use` on the thread once connected, with the scheduler, or with
  // null when it could not be initialised. False when nothing was posted.
  // `use` calls the scheduler only while it runs, and should do little else:
  // the destructor waits for it to reach a scheduler call or its end.
  bool Post(std::function<void(TaskScheduler*)> use);

  void SetJoinLimitForTesting(DWORD milliseconds) { join_limit_ms_ = milliseconds; }

 private:
  struct State;
  class GuardedScheduler;

  static void ConnectOnThread(State& state);
  static void ReleaseOnThread(State& state);

  // Shared with the tasks on the thread, so a thread left behind keeps it.
  const std::shared_ptr<State> state_;
  // Leaked rather than destroyed when left behind: destroying it would join.
  std::unique_ptr<Thread> thread_;
  DWORD join_limit_ms_;
};

}  // namespace norva::installer

#endif  // NORVA_SYSTEM_TASK_SCHEDULER_THREAD_H_
