#include "base/task_runner.h"

#include "base/logging.h"
#include "base/task_loop.h"

namespace norva::installer {

TaskRunner::TaskRunner(TaskLoop* loop) : thread_id_(GetCurrentThreadId()), loop_(loop) {}

TaskRunner::~TaskRunner() = default;

bool TaskRunner::PostTask(const Location& from_here, Closure task) {
  return Enqueue(from_here, std::move(task), std::chrono::milliseconds(0));
}

bool TaskRunner::PostDelayedTask(const Location& from_here, Closure task,
                                 std::chrono::milliseconds delay) {
  return Enqueue(from_here, std::move(task), delay);
}

bool TaskRunner::PostTaskAndReply(const Location& from_here, Closure task, Closure reply) {
  std::shared_ptr<TaskRunner> origin = ThreadTaskRunnerHandle::Get();
  if (!origin) {
    LOG(ERROR) << "No task loop to reply to for the task from " << from_here.file << ":"
               << from_here.line;
    return false;
  }
  if (!task || !reply) return false;
  return PostTask(from_here, [from_here, origin = std::move(origin), task = std::move(task),
                              reply = std::move(reply)]() mutable {
    task();
    task = nullptr;  // whatever the task holds goes here, before the reply runs
    origin->PostTask(from_here, std::move(reply));
  });
}

bool TaskRunner::Enqueue(const Location& from_here, Closure task,
                         std::chrono::milliseconds delay) {
  if (!task) return false;
  // Declared before the lock so that a refused task is destroyed after the
  // lock is released: its destructor may post again.
  internal::PendingTask pending{from_here, std::move(task), {}, 0, delay.count() > 0};
  if (pending.delayed) pending.due = std::chrono::steady_clock::now() + delay;
  TaskLoop* loop = nullptr;
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (loop_) {
      pending.sequence = next_sequence_++;
      incoming_.push_back(std::move(pending));
      loop = loop_;
      ++waking_;
    }
  }
  if (loop) {
    // Woken once the lock is free: a loop woken under it would wake only to
    // wait for it, two more round trips to Wine's server for every task.
    loop->ScheduleWork();
    --waking_;
    return true;
  }
  VLOG(1) << "Task from " << from_here.file << ":" << from_here.line
          << " dropped: its thread has stopped";
  return false;
}

uint64_t TaskRunner::PostCountForTesting() {
  std::lock_guard<std::mutex> hold(lock_);
  return next_sequence_;
}

std::vector<internal::PendingTask> TaskRunner::TakeIncoming() {
  std::vector<internal::PendingTask> taken;
  std::lock_guard<std::mutex> hold(lock_);
  taken.swap(incoming_);
  return taken;
}

std::vector<internal::PendingTask> TaskRunner::DetachLoop() {
  std::vector<internal::PendingTask> taken;
  {
    std::lock_guard<std::mutex> hold(lock_);
    loop_ = nullptr;
    taken = std::move(incoming_);
  }
  // Posters that queued before still wake the loop, which must stay whole
  // until they have: a few instructions each.
  while (waking_.load() != 0) SwitchToThread();
  return taken;
}

bool TaskRunner::PostQuitAndClose() {
  std::lock_guard<std::mutex> hold(lock_);
  if (!loop_) return false;
  TaskLoop* loop = loop_;
  incoming_.push_back({FROM_HERE, [loop] { loop->Quit(); }, {}, next_sequence_++, false});
  loop_->ScheduleWork();
  loop_ = nullptr;
  return true;
}

}  // namespace norva::installer
