#include "base/task_loop.h"

#include <algorithm>

#include "base/logging.h"

namespace norva::installer {
namespace {

thread_local TaskLoop* g_current_loop = nullptr;

// Completion key of the packets that only wake an IO loop up.
constexpr ULONG_PTR kWakeUpKey = 0;

// Heap order: the earliest due time on top, ties in posting order.
bool RunsLater(const internal::PendingTask& a, const internal::PendingTask& b) {
  if (a.due != b.due) return a.due > b.due;
  return a.sequence > b.sequence;
}

}  // namespace

TaskLoop::TaskLoop(Type type)
    : type_(type), runner_(new TaskRunner(this)), previous_(g_current_loop) {
  if (type_ == Type::kIO) {
    port_.reset(CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1));
    if (!port_) PLOG(ERROR) << "Could not create an I/O completion port";
  } else {
    wake_event_.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!wake_event_) PLOG(ERROR) << "Could not create the wake-up event of a task loop";
  }
  g_current_loop = this;
}

TaskLoop::~TaskLoop() {
  // Tasks that never ran are destroyed here, on the loop's thread; whatever
  // they post while going is refused.
  runner_->DetachLoop().clear();
  ready_.clear();
  delayed_.clear();
  g_current_loop = previous_;
}

TaskLoop* TaskLoop::Current() { return g_current_loop; }

void TaskLoop::Run() { RunInternal(false); }

void TaskLoop::RunUntilIdle() { RunInternal(true); }

void TaskLoop::Quit() {
  quit_ = true;
  ScheduleWork();
}

void TaskLoop::QuitWhenIdle() {
  quit_when_idle_ = true;
  ScheduleWork();
}

bool TaskLoop::RegisterIOHandler(HANDLE file, IOHandler* handler) {
  NORVA_DCHECK_CALLED_ON_VALID_THREAD(thread_checker_);
  if (type_ != Type::kIO || !port_ || !handler) return false;
  if (CreateIoCompletionPort(file, port_.get(), reinterpret_cast<ULONG_PTR>(handler), 1) !=
      port_.get()) {
    PLOG(ERROR) << "Could not register a handle with the I/O completion port";
    return false;
  }
  return true;
}

void TaskLoop::RunInternal(bool until_idle) {
  NORVA_DCHECK_CALLED_ON_VALID_THREAD(thread_checker_);
  // A Run inside a task waits on its own: what is posted here from now on,
  // by a message it dispatches for one, must wake it.
  bool outer_task = running_task_;
  running_task_ = false;
  while (!quit_) {
    bool did_work = RunReadyTasks();
    if (quit_) break;
    did_work |= DoNativeWork(0);
    if (quit_ || did_work) continue;
    if (until_idle || quit_when_idle_) break;
    DoNativeWork(MillisecondsToNextDelayedTask());
  }
  quit_ = false;
  quit_when_idle_ = false;
  running_task_ = outer_task;
}

bool TaskLoop::RunReadyTasks() {
  // Before the queue is taken: a post after this wakes the loop again. (An
  // I/O loop clears it when the wake-up leaves its port.)
  if (type_ != Type::kIO) wake_pending_ = false;
  for (internal::PendingTask& task : runner_->TakeIncoming()) {
    if (task.delayed) {
      delayed_.push_back(std::move(task));
      std::push_heap(delayed_.begin(), delayed_.end(), RunsLater);
    } else {
      ready_.push_back(std::move(task));
    }
  }
  bool ran = false;
  // Only this round's tasks: what they post waits for the next round.
  for (size_t count = ready_.size(); count > 0 && !quit_; --count) {
    internal::PendingTask task = std::move(ready_.front());
    ready_.pop_front();
    RunTask(task);
    ran = true;
  }
  const auto now = std::chrono::steady_clock::now();
  while (!quit_ && !delayed_.empty() && delayed_.front().due <= now) {
    std::pop_heap(delayed_.begin(), delayed_.end(), RunsLater);
    internal::PendingTask task = std::move(delayed_.back());
    delayed_.pop_back();
    RunTask(task);
    ran = true;
  }
  return ran;
}

void TaskLoop::RunTask(internal::PendingTask& task) {
  running_task_ = true;
  task.task();
  running_task_ = false;
  task.task = nullptr;
}

DWORD TaskLoop::MillisecondsToNextDelayedTask() const {
  if (delayed_.empty()) return INFINITE;
  auto wait = std::chrono::ceil<std::chrono::milliseconds>(delayed_.front().due -
                                                           std::chrono::steady_clock::now());
  if (wait.count() <= 0) return 0;
  return static_cast<DWORD>(std::min<long long>(wait.count(), INFINITE - 1));
}

void TaskLoop::ScheduleWork() {
  // RunReadyTasks reports the task it ran, and Run looks at the queue again.
  if (runner_->RunsTasksOnCurrentThread() && running_task_) return;
  // One wake-up serves every post until the loop next takes its queue.
  if (wake_pending_.exchange(true)) return;
  if (type_ != Type::kIO)
    SetEvent(wake_event_.get());
  else
    PostQueuedCompletionStatus(port_.get(), 0, kWakeUpKey, nullptr);
}

bool TaskLoop::DoNativeWork(DWORD timeout_ms) {
  switch (type_) {
    case Type::kUI:
      return PumpMessages(timeout_ms);
    case Type::kIO:
      return WaitForCompletion(timeout_ms);
    case Type::kDefault:
      if (timeout_ms) WaitForSingleObject(wake_event_.get(), timeout_ms);
      return false;
  }
  return false;
}

bool TaskLoop::PumpMessages(DWORD timeout_ms) {
  if (timeout_ms) {
    HANDLE wake_event = wake_event_.get();
    MsgWaitForMultipleObjectsEx(1, &wake_event, timeout_ms, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  }
  // One message at a time, so a flood of messages cannot starve the tasks.
  MSG message;
  if (!PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) return false;
  if (message.message == WM_QUIT) {
    quit_ = true;
  } else if (!dispatcher_ || !dispatcher_->Dispatch(&message)) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return true;
}

bool TaskLoop::WaitForCompletion(DWORD timeout_ms) {
  DWORD bytes = 0;
  ULONG_PTR key = 0;
  OVERLAPPED* overlapped = nullptr;
  BOOL ok = GetQueuedCompletionStatus(port_.get(), &bytes, &key, &overlapped, timeout_ms);
  DWORD error = ok ? 0 : GetLastError();
  if (!overlapped) {
    if (!ok || key != kWakeUpKey) return false;
    // Tasks may have come with the wake-up: have the caller look again.
    wake_pending_ = false;
    return true;
  }
  reinterpret_cast<IOHandler*>(key)->OnIOCompleted(overlapped, bytes, error);
  return true;
}

std::shared_ptr<TaskRunner> ThreadTaskRunnerHandle::Get() {
  TaskLoop* loop = TaskLoop::Current();
  return loop ? loop->task_runner() : nullptr;
}

bool ThreadTaskRunnerHandle::IsSet() { return TaskLoop::Current() != nullptr; }

}  // namespace norva::installer
