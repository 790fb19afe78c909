#ifndef NORVA_BASE_TASK_LOOP_H_
#define NORVA_BASE_TASK_LOOP_H_

#include <windows.h>

#include <atomic>
#include <deque>
#include <memory>
#include <vector>

#include "base/scoped_handle.h"
#include "base/task_runner.h"
#include "base/thread_checker.h"

namespace norva::installer {

// Sees every window message of a UI loop before it is translated and
// dispatched; returns true when it consumed the message (IsDialogMessage).
class DialogDispatcher {
 public:
  virtual bool Dispatch(MSG* message) = 0;

 protected:
  virtual ~DialogDispatcher() = default;
};

// Receives the completions of a file handle registered with an IO loop.
// `error` is 0 on success, else the system error of the operation.
class IOHandler {
 public:
  virtual void OnIOCompleted(OVERLAPPED* overlapped, DWORD bytes, DWORD error) = 0;

 protected:
  virtual ~IOHandler() = default;
};

// The task loop of one thread: it runs the tasks posted to its TaskRunner,
// immediate ones in posting order and delayed ones by due time (ties in
// posting order). Tasks posted while a task runs wait for the next round, so
// neither kind starves the other. A kUI loop also pumps window messages, a
// kIO loop also waits on an I/O completion port. The loop belongs to the
// thread that made it; only Quit and QuitWhenIdle may be called elsewhere.
//
// Tasks do not run inside modal loops that a task starts (message boxes,
// dialog boxes): they wait until the modal loop returns, so no task ever
// runs nested inside another.
class TaskLoop {
 public:
  enum class Type { kDefault, kUI, kIO };
  using DialogDispatcher = ::norva::installer::DialogDispatcher;
  using IOHandler = ::norva::installer::IOHandler;

  explicit TaskLoop(Type type = Type::kDefault);
  ~TaskLoop();
  TaskLoop(const TaskLoop&) = delete;
  TaskLoop& operator=(const TaskLoop&) = delete;

  // The loop of the calling thread, or null.
  static TaskLoop* Current();

  std::shared_ptr<TaskRunner> task_runner() const { return runner_; }

  // Runs until Quit (a Quit that came before Run makes it return at once).
  void Run();
  // Runs what is ready, including what that posts, and returns when nothing
  // is left but delayed tasks that are not yet due.
  void RunUntilIdle();
  // Run returns after the current task.
  void Quit();
  // Run returns once nothing is ready to run; future delayed tasks are left.
  void QuitWhenIdle();

  // kUI only. Not owned; null removes it.
  void SetDialogDispatcher(DialogDispatcher* dispatcher) { dispatcher_ = dispatcher; }

  // kIO only: the port, and the registration of a handle opened for
  // overlapped I/O whose completions go to `handler` on this thread.
  HANDLE io_completion_port() const { return port_.get(); }
  bool RegisterIOHandler(HANDLE file, IOHandler* handler);

 private:
  friend class TaskRunner;
  friend class Thread;

  // False when the system refused the event or port the loop waits on.
  bool IsValid() const { return wake_event_ || port_; }
  void RunInternal(bool until_idle);
  // Runs one round of ready tasks; true when any ran.
  bool RunReadyTasks();
  void RunTask(internal::PendingTask& task);
  // Handles native work (messages, completions), waiting up to `timeout_ms`
  // for it or for a wake-up; true when some was handled.
  bool DoNativeWork(DWORD timeout_ms);
  bool PumpMessages(DWORD timeout_ms);
  bool WaitForCompletion(DWORD timeout_ms);
  DWORD MillisecondsToNextDelayedTask() const;
  // Called by the runner when a task was posted.
  void ScheduleWork();

  const Type type_;
  std::shared_ptr<TaskRunner> runner_;
  ScopedHandle wake_event_;  // kDefault and kUI
  ScopedHandle port_;        // kIO
  std::atomic<bool> wake_pending_{false};  // a wake-up is on its way
  std::atomic<bool> quit_{false};
  std::atomic<bool> quit_when_idle_{false};
  DialogDispatcher* dispatcher_ = nullptr;
  // Whether this thread is in a task of the innermost Run: what that task
  // posts here is found before the loop waits again, without a wake-up.
  bool running_task_ = false;
  std::deque<internal::PendingTask> ready_;
  std::vector<internal::PendingTask> delayed_;  // heap, earliest due first
  TaskLoop* previous_;
  ThreadChecker thread_checker_;
};

}  // namespace norva::installer

#endif  // NORVA_BASE_TASK_LOOP_H_
