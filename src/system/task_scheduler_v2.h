#ifndef NORVA_SYSTEM_TASK_SCHEDULER_V2_H_
#define NORVA_SYSTEM_TASK_SCHEDULER_V2_H_

#include <windows.h>
#include <taskschd.h>
#include <wrl/client.h>

#include <string>

#include "system/task_scheduler.h"

namespace norva::installer {

// TaskScheduler over the Task Scheduler 2.0 COM interfaces. All tasks live
// in the root folder, which is opened by Init and held until destruction.
class TaskSchedulerV2 : public TaskScheduler {
 public:
  // Local wall-clock time, for the trigger boundaries.
  using LocalClock = SYSTEMTIME (*)();
  // Whether the process token belongs to the Administrators group.
  using AdminCheck = bool (*)();

  TaskSchedulerV2();
  // Tests pass a fixed clock and the administrator answer; null keeps the
  // real one.
  TaskSchedulerV2(LocalClock clock, AdminCheck is_admin);
  ~TaskSchedulerV2() override;

  bool Init() override;
  bool CreateTask(const ScheduledTask& task) override;
  void RemoveStaleTasks() override;
  bool DeleteTask(const std::wstring& name_suffix) override;
  bool SetDailyInterval(const std::wstring& name_suffix, int days) override;
  bool SetTaskEnabled(const std::wstring& name_suffix, bool enabled) override;
  bool RunTask(const std::wstring& name_suffix,
               const std::vector<std::wstring>& arguments) override;
  int GetTaskState(const std::wstring& name_suffix) override;
  std::optional<SYSTEMTIME> GetLastRunTime(const std::wstring& name_suffix) override;

  // The boundary of the triggers of a task of `trigger_kind` created at the
  // local time `now`, as "2016-03-09T14:05:07": the end of a run-once
  // trigger 30 seconds later, otherwise the start of the others at `now`.
  static std::wstring TriggerBoundary(const SYSTEMTIME& now, uint32_t trigger_kind);

 private:
  Microsoft::WRL::ComPtr<IRegisteredTask> OpenTask(const std::wstring& name_suffix);
  bool FillDefinition(const ScheduledTask& task, const std::wstring& account,
                      ITaskDefinition* definition);
  bool AddTriggers(const ScheduledTask& task, const std::wstring& account,
                   ITaskDefinition* definition);
  bool Register(const ScheduledTask& task, const std::wstring& name,
                const std::wstring& account, ITaskDefinition* definition);
  bool IsStale(IRegisteredTask* task);

  LocalClock clock_;
  AdminCheck is_admin_;
  Microsoft::WRL::ComPtr<ITaskService> service_;
  Microsoft::WRL::ComPtr<ITaskFolder> root_;
};

// Whether the program of a task's action (quoted or not, with environment
// variables) is definitely missing, which makes the task stale.
bool TaskProgramIsGone(const std::wstring& path);

}  // namespace norva::installer

#endif  // NORVA_SYSTEM_TASK_SCHEDULER_V2_H_
