#ifndef NORVA_SYSTEM_TASK_SCHEDULER_H_
#define NORVA_SYSTEM_TASK_SCHEDULER_H_

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/command_line.h"

namespace norva::installer {

// What a scheduled task starts and when. The task is named after the product:
// "<product name> scheduled <name_suffix>", in the scheduler's root folder.
struct ScheduledTask {
  enum TriggerKind : uint32_t {
    kRunOnceNow = 0,      // run at once, then the task is removed
    kDaily = 1,           // every day from now on
    kNoTimeTrigger = 2,   // only the logon trigger, if any
  };

  explicit ScheduledTask(const FilePath& program) : command_line(program) {}

  // The action runs the program with the arguments joined into one string.
  CommandLine command_line;
  std::wstring name_suffix;
  std::wstring description;
  bool run_as_system = false;
  uint32_t time_limit = 0;  // seconds; 0 is no limit
  uint32_t trigger_kind = kDaily;
  // Adds a logon trigger (a start-up trigger for system tasks); ignored for
  // kRunOnceNow.
  bool at_logon = false;
  bool network_required = false;
};

// Codes of TaskScheduler::GetTaskState.
enum TaskState : int {
  kTaskMissing = 0,  // the task could not be opened
  kTaskDisabled = 1,
  kTaskOtherState = 2,  // any other state, or the state could not be read
  kTaskReady = 3,
  kTaskRunning = 4,
  kTaskNotScheduled = 5,  // only from the 1.0 scheduler
};

// The Windows Task Scheduler as the installer uses it. Init must succeed
// before any other call. COM must be initialised on the calling thread.
class TaskScheduler {
 public:
  virtual ~TaskScheduler() = default;

  virtual bool Init() = 0;
  // Replaces any task of the same name.
  virtual bool CreateTask(const ScheduledTask& task) = 0;
  // Deletes our enabled tasks whose program file is gone.
  virtual void RemoveStaleTasks() = 0;
  virtual bool DeleteTask(const std::wstring& name_suffix) = 0;
  virtual bool SetDailyInterval(const std::wstring& name_suffix, int days) = 0;
  virtual bool SetTaskEnabled(const std::wstring& name_suffix, bool enabled) = 0;
  virtual bool RunTask(const std::wstring& name_suffix,
                       const std::vector<std::wstring>& arguments) = 0;
  virtual int GetTaskState(const std::wstring& name_suffix) = 0;
  // Local time of the last run; nothing when the task has not run or cannot
  // be opened.
  virtual std::optional<SYSTEMTIME> GetLastRunTime(const std::wstring& name_suffix) = 0;
};

// "<product name> scheduled <suffix>".
std::wstring ScheduledTaskName(const std::wstring& name_suffix);

// Tests: told each task handed to CreateTask before the scheduler is asked,
// since Wine keeps neither triggers nor actions to read back. Null stops it.
void SetCreateTaskObserverForTesting(std::function<void(const ScheduledTask&)> observer);
void NotifyCreateTaskObserver(const ScheduledTask& task);

// The scheduler for this system. Only systems with Task Scheduler 2.0
// (Vista and later) are supported, so this is always the 2.0 implementation.
std::unique_ptr<TaskScheduler> CreateTaskScheduler();

}  // namespace norva::installer

#endif  // NORVA_SYSTEM_TASK_SCHEDULER_H_
