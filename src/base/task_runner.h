#ifndef NORVA_BASE_TASK_RUNNER_H_
#define NORVA_BASE_TASK_RUNNER_H_

#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "base/location.h"

namespace norva::installer {

using Closure = std::function<void()>;

class TaskLoop;

namespace internal {

struct PendingTask {
  Location from_here;
  Closure task;
  std::chrono::steady_clock::time_point due;  // only for delayed tasks
  uint64_t sequence = 0;                      // posting order, breaks ties
  bool delayed = false;
};

}  // namespace internal

// The queue of one thread's TaskLoop, as seen by the threads that post to it.
// It may outlive its loop: posting to a loop that has gone (or a thread that
// is stopping) returns false and drops the task. Every method may be called
// from any thread.
class TaskRunner {
 public:
  ~TaskRunner();
  TaskRunner(const TaskRunner&) = delete;
  TaskRunner& operator=(const TaskRunner&) = delete;

  bool PostTask(const Location& from_here, Closure task);
  bool PostDelayedTask(const Location& from_here, Closure task, std::chrono::milliseconds delay);
  // Runs `task` here, then `reply` on the task loop of the calling thread
  // (which must have one). Either is dropped if its loop has gone.
  bool PostTaskAndReply(const Location& from_here, Closure task, Closure reply);
  // As PostTaskAndReply, handing the task's result to the reply.
  template <typename TaskFn, typename ReplyFn>
  bool PostTaskAndReplyWithResult(const Location& from_here, TaskFn task, ReplyFn reply);

  bool RunsTasksOnCurrentThread() const { return GetCurrentThreadId() == thread_id_; }

  // How many tasks were ever queued here: a test waits with it for a task
  // that another thread posts.
  uint64_t PostCountForTesting();

 private:
  friend class TaskLoop;
  friend class Thread;
  explicit TaskRunner(TaskLoop* loop);

  bool Enqueue(const Location& from_here, Closure task, std::chrono::milliseconds delay);
  // For the loop: the tasks posted since the last call.
  std::vector<internal::PendingTask> TakeIncoming();
  // The loop is going: later posts fail; returns what was still queued.
  std::vector<internal::PendingTask> DetachLoop();
  // Queues a task that quits the loop and refuses every later post, so the
  // loop runs what was posted before and then stops.
  bool PostQuitAndClose();

  const DWORD thread_id_;
  std::mutex lock_;
  TaskLoop* loop_;  // guarded by lock_; null once gone or closed
  std::atomic<int> waking_{0};  // posters between queuing and waking the loop
  std::vector<internal::PendingTask> incoming_;
  uint64_t next_sequence_ = 0;
};

// The task runner of the calling thread's TaskLoop, or null without one.
class ThreadTaskRunnerHandle {
 public:
  static std::shared_ptr<TaskRunner> Get();
  static bool IsSet();
};

template <typename TaskFn, typename ReplyFn>
bool TaskRunner::PostTaskAndReplyWithResult(const Location& from_here, TaskFn task,
                                            ReplyFn reply) {
  using Result = std::decay_t<std::invoke_result_t<TaskFn&>>;
  auto result = std::make_shared<std::optional<Result>>();
  return PostTaskAndReply(
      from_here, [result, task = std::move(task)]() mutable { result->emplace(task()); },
      [result, reply = std::move(reply)]() mutable {
        if (result->has_value()) reply(std::move(**result));
      });
}

}  // namespace norva::installer

#endif  // NORVA_BASE_TASK_RUNNER_H_
