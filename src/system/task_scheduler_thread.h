#ifndef NORVA_SYSTEM_TASK_SCHEDULER_THREAD_H_
#define NORVA_SYSTEM_TASK_SCHEDULER_THREAD_H_

#include <functional>
#include <memory>

#include "base/thread.h"
#include "system/task_scheduler.h"

namespace norva::installer {

// A task scheduler that lives on a thread of its own, in the multithreaded
// apartment. Connecting waits on the scheduler's service, so an installation
// connects as it begins and uses the connection only at its end, while the
// shell is notified.
class TaskSchedulerThread {
 public:
  TaskSchedulerThread();
  // Releases the scheduler and ends COM on the thread, after what was posted.
  ~TaskSchedulerThread();
  TaskSchedulerThread(const TaskSchedulerThread&) = delete;
  TaskSchedulerThread& operator=(const TaskSchedulerThread&) = delete;

  // Starts the thread and begins connecting there; false when the thread
  // could not start.
  bool Connect();
  // Runs `use` on the thread once connected, with the scheduler, or with
  // null when it could not be initialised. False when nothing was posted.
  bool Post(std::function<void(TaskScheduler*)> use);

 private:
  void ConnectOnThread();
  void ReleaseOnThread();

  Thread thread_;
  // Touched on the thread only.
  std::unique_ptr<TaskScheduler> scheduler_;
  bool com_initialized_ = false;
};

}  // namespace norva::installer

#endif  // NORVA_SYSTEM_TASK_SCHEDULER_THREAD_H_
