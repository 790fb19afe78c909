#include "system/task_scheduler_thread.h"

#include <objbase.h>

#include <mutex>
#include <utility>

#include "base/location.h"
#include "base/logging.h"
#include "base/scoped_handle.h"
#include "base/task_loop.h"

namespace norva::installer {
namespace {

// Long enough for a busy service; a stuck one does not answer at all.
constexpr DWORD kJoinLimitMs = 60000;

}  // namespace

struct TaskSchedulerThread::State {
  explicit State(SchedulerFactory factory) : make_scheduler(std::move(factory)) {}

  const SchedulerFactory make_scheduler;
  // Touched on the thread only.
  std::unique_ptr<TaskScheduler> scheduler;
  bool com_initialized = false;
  // Held by the thread while it runs a use, except inside scheduler calls:
  // the owner marks the thread left behind only while it is in none.
  std::mutex lock;
  bool left_behind = false;
  // Signalled once the scheduler has been released.
  ScopedHandle released{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
};

// What a use calls: the scheduler's calls, after which a thread left behind
// stays where it is instead of going back into its use.
class TaskSchedulerThread::GuardedScheduler : public TaskScheduler {
 public:
  GuardedScheduler(State& state, TaskScheduler& scheduler) : state_(state), scheduler_(scheduler) {}

  bool Init() override {
    return Call([&] { return scheduler_.Init(); });
  }
  bool CreateTask(const ScheduledTask& task) override {
    return Call([&] { return scheduler_.CreateTask(task); });
  }
  void RemoveStaleTasks() override {
    Call([&] {
      scheduler_.RemoveStaleTasks();
      return true;
    });
  }
  bool DeleteTask(const std::wstring& name_suffix) override {
    return Call([&] { return scheduler_.DeleteTask(name_suffix); });
  }
  bool SetDailyInterval(const std::wstring& name_suffix, int days) override {
    return Call([&] { return scheduler_.SetDailyInterval(name_suffix, days); });
  }
  bool SetTaskEnabled(const std::wstring& name_suffix, bool enabled) override {
    return Call([&] { return scheduler_.SetTaskEnabled(name_suffix, enabled); });
  }
  bool RunTask(const std::wstring& name_suffix,
               const std::vector<std::wstring>& arguments) override {
    return Call([&] { return scheduler_.RunTask(name_suffix, arguments); });
  }
  int GetTaskState(const std::wstring& name_suffix) override {
    return Call([&] { return scheduler_.GetTaskState(name_suffix); });
  }
  std::optional<SYSTEMTIME> GetLastRunTime(const std::wstring& name_suffix) override {
    return Call([&] { return scheduler_.GetLastRunTime(name_suffix); });
  }

 private:
  template <typename Function>
  auto Call(Function function) -> decltype(function()) {
    state_.lock.unlock();
    auto result = function();
    state_.lock.lock();
    if (state_.left_behind) {
      state_.lock.unlock();
      // The use's owner may be gone: wait here for the process's end.
      for (;;) Sleep(INFINITE);
    }
    return result;
  }

  State& state_;
  TaskScheduler& scheduler_;
};

TaskSchedulerThread::TaskSchedulerThread(SchedulerFactory make_scheduler)
    : state_(std::make_shared<State>(std::move(make_scheduler))),
      thread_(std::make_unique<Thread>("Task scheduler")),
      join_limit_ms_(kJoinLimitMs) {}

TaskSchedulerThread::~TaskSchedulerThread() {
  if (!thread_->IsRunning()) return;
  if (state_->released) {
    thread_->task_runner()->PostTask(FROM_HERE, [state = state_] {
      ReleaseOnThread(*state);
      std::lock_guard<std::mutex> hold(state->lock);
      // Nobody stops the loop of a thread left behind.
      if (state->left_behind) TaskLoop::Current()->Quit();
      SetEvent(state->released.get());
    });
    if (WaitForSingleObject(state_->released.get(), join_limit_ms_) != WAIT_OBJECT_0) {
      {
        std::lock_guard<std::mutex> hold(state_->lock);
        state_->left_behind = true;
      }
      if (WaitForSingleObject(state_->released.get(), 0) != WAIT_OBJECT_0) {
        LOG(ERROR) << "The task scheduler has not answered within " << join_limit_ms_
                   << " ms; going on without it";
        // Destroying the thread would join it.
        static_cast<void>(thread_.release());
        return;
      }
    }
  } else {
    thread_->task_runner()->PostTask(FROM_HERE, [state = state_] { ReleaseOnThread(*state); });
  }
  thread_->Stop();
}

bool TaskSchedulerThread::Connect() {
  return thread_->Start() &&
         thread_->task_runner()->PostTask(FROM_HERE,
                                          [state = state_] { ConnectOnThread(*state); });
}

bool TaskSchedulerThread::Post(std::function<void(TaskScheduler*)> use) {
  if (!thread_->IsRunning()) return false;
  return thread_->task_runner()->PostTask(FROM_HERE, [state = state_, use = std::move(use)] {
    std::unique_lock<std::mutex> hold(state->lock);
    if (state->left_behind) return;
    if (!state->scheduler) {
      use(nullptr);
      return;
    }
    GuardedScheduler scheduler(*state, *state->scheduler);
    use(&scheduler);
  });
}

void TaskSchedulerThread::ConnectOnThread(State& state) {
  state.com_initialized = SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
  state.scheduler = state.make_scheduler();
  if (state.scheduler && !state.scheduler->Init()) state.scheduler.reset();
}

void TaskSchedulerThread::ReleaseOnThread(State& state) {
  state.scheduler.reset();
  if (state.com_initialized) CoUninitialize();
  state.com_initialized = false;
}

}  // namespace norva::installer
