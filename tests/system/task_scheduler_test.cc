#include "system/task_scheduler.h"

#include <windows.h>
#include <taskschd.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include "base/strings.h"
#include "product/product_info.h"
#include "support/scratch.h"
#include "system/task_scheduler_thread.h"
#include "system/task_scheduler_v2.h"
#include "system/task_triggers.h"

namespace norva::installer {
namespace {

using Microsoft::WRL::ComPtr;

SYSTEMTIME MakeTime(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second) {
  return {.wYear = year, .wMonth = month, .wDay = day, .wHour = hour, .wMinute = minute,
          .wSecond = second};
}

SYSTEMTIME FixedClock() { return MakeTime(2016, 3, 9, 14, 5, 7); }
bool Admin() { return true; }
bool NotAdmin() { return false; }

std::wstring FromBstr(BSTR text) {
  std::wstring result = text ? std::wstring(text, SysStringLen(text)) : L"";
  SysFreeString(text);
  return result;
}

// What a property getter of a scheduler interface gives.
template <typename Interface, typename Value>
Value Query(Interface* object, HRESULT (STDMETHODCALLTYPE Interface::*getter)(Value*)) {
  Value value{};
  EXPECT_HRESULT_SUCCEEDED((object->*getter)(&value));
  return value;
}
template <typename Interface>
std::wstring Text(Interface* object, HRESULT (STDMETHODCALLTYPE Interface::*getter)(BSTR*)) {
  return FromBstr(Query(object, getter));
}

// Reads tasks back through the scheduler's own interfaces, independently of
// the code under test.
class SchedulerReader {
 public:
  SchedulerReader() {
    VARIANT none;
    VariantInit(&none);
    EXPECT_HRESULT_SUCCEEDED(CoCreateInstance(CLSID_TaskScheduler, nullptr,
                                              CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&service_)));
    EXPECT_HRESULT_SUCCEEDED(service_->Connect(none, none, none, none));
    EXPECT_HRESULT_SUCCEEDED(service_->GetFolder(SysAllocString(L"\\"), &root_));
  }

  ComPtr<ITaskDefinition> Definition(const std::wstring& suffix) {
    ComPtr<IRegisteredTask> task = Registered(suffix);
    ComPtr<ITaskDefinition> definition;
    if (!task || FAILED(task->get_Definition(&definition))) return nullptr;
    return definition;
  }

  ComPtr<ITrigger> Trigger(ITaskDefinition* definition, long index, long* count) {
    ComPtr<ITriggerCollection> triggers;
    ComPtr<ITrigger> trigger;
    EXPECT_HRESULT_SUCCEEDED(definition->get_Triggers(&triggers));
    EXPECT_HRESULT_SUCCEEDED(triggers->get_Count(count));
    if (index <= *count) {
      EXPECT_HRESULT_SUCCEEDED(triggers->get_Item(index, &trigger));
    }
    return trigger;
  }

  ComPtr<IRegisteredTask> Registered(const std::wstring& suffix) {
    ComPtr<IRegisteredTask> task;
    root_->GetTask(SysAllocString(ScheduledTaskName(suffix).c_str()), &task);
    return task;
  }

  // What this Task Scheduler can do. Wine's implementation lacks several
  // parts; the cases that need them are skipped there, not faked.
  bool CanCreateTrigger(TASK_TRIGGER_TYPE2 type) {
    ComPtr<ITaskDefinition> definition;
    ComPtr<ITriggerCollection> triggers;
    ComPtr<ITrigger> trigger;
    return SUCCEEDED(service_->NewTask(0, &definition)) &&
           SUCCEEDED(definition->get_Triggers(&triggers)) &&
           SUCCEEDED(triggers->Create(type, &trigger));
  }
  bool CanListTriggers() {
    ComPtr<ITaskDefinition> definition;
    ComPtr<ITriggerCollection> triggers;
    long count;
    return SUCCEEDED(service_->NewTask(0, &definition)) &&
           SUCCEEDED(definition->get_Triggers(&triggers)) &&
           SUCCEEDED(triggers->get_Count(&count));
  }
  bool CanListTasks() {
    ComPtr<IRegisteredTaskCollection> tasks;
    long count;
    return SUCCEEDED(root_->GetTasks(0, &tasks)) && SUCCEEDED(tasks->get_Count(&count));
  }
  bool CanRaiseRunLevel() {
    ComPtr<ITaskDefinition> definition;
    ComPtr<IPrincipal> principal;
    return SUCCEEDED(service_->NewTask(0, &definition)) &&
           SUCCEEDED(definition->get_Principal(&principal)) &&
           SUCCEEDED(principal->put_RunLevel(TASK_RUNLEVEL_HIGHEST));
  }
  // Whether disabling a registered task is kept by the service.
  bool CanDisable(const std::wstring& suffix) {
    ComPtr<IRegisteredTask> task = Registered(suffix);
    TASK_STATE state = TASK_STATE_UNKNOWN;
    bool kept = task && SUCCEEDED(task->put_Enabled(VARIANT_FALSE)) &&
                SUCCEEDED(Registered(suffix)->get_State(&state)) && state == TASK_STATE_DISABLED;
    if (task) task->put_Enabled(VARIANT_TRUE);
    return kept;
  }

  ITaskFolder* root() { return root_.Get(); }

 private:
  ComPtr<ITaskService> service_;
  ComPtr<ITaskFolder> root_;
};

class TaskSchedulerTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_HRESULT_SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    scheduler_ = MakeScheduler(&NotAdmin);
    reader_ = std::make_unique<SchedulerReader>();
    suffix_ = StringPrintf(L"test %lu", GetCurrentProcessId());
    wchar_t system[MAX_PATH];
    GetSystemDirectoryW(system, MAX_PATH);
    // A harmless program in case a real scheduler starts a task.
    program_ = std::filesystem::path(system) / L"cmd.exe";
  }

  void TearDown() override {
    for (const std::wstring& suffix : created_) scheduler_->DeleteTask(suffix);
    reader_.reset();
    scheduler_.reset();
    CoUninitialize();
  }

  std::unique_ptr<TaskSchedulerV2> MakeScheduler(TaskSchedulerV2::AdminCheck is_admin) {
    auto scheduler = std::make_unique<TaskSchedulerV2>(&FixedClock, is_admin);
    EXPECT_TRUE(scheduler->Init());
    return scheduler;
  }

  ScheduledTask Task(const std::wstring& suffix, uint32_t kind) {
    ScheduledTask task(program_);
    task.command_line.AppendArg(L"/c");
    task.command_line.AppendArg(L"exit 0");
    task.name_suffix = suffix;
    task.description = L"Keeps the browser up to date";
    task.trigger_kind = kind;
    created_.push_back(suffix);
    return task;
  }

  std::wstring Description(const std::wstring& suffix) {
    ComPtr<ITaskDefinition> definition = reader_->Definition(suffix);
    ComPtr<IRegistrationInfo> info;
    if (!definition || FAILED(definition->get_RegistrationInfo(&info))) return L"<none>";
    return Text(info.Get(), &IRegistrationInfo::get_Description);
  }

  std::unique_ptr<TaskSchedulerV2> scheduler_;
  std::unique_ptr<SchedulerReader> reader_;
  std::wstring suffix_;
  std::filesystem::path program_;
  std::vector<std::wstring> created_;
};

TEST(TaskSchedulerBoundaryTest, RunOnceEndsThirtySecondsLaterOthersStartNow) {
  const SYSTEMTIME now = FixedClock();
  EXPECT_EQ(L"2016-03-09T14:05:07", TaskSchedulerV2::TriggerBoundary(now, ScheduledTask::kDaily));
  EXPECT_EQ(L"2016-03-09T14:05:07",
            TaskSchedulerV2::TriggerBoundary(now, ScheduledTask::kNoTimeTrigger));
  EXPECT_EQ(L"2016-03-09T14:05:37",
            TaskSchedulerV2::TriggerBoundary(now, ScheduledTask::kRunOnceNow));
  // The 30 seconds carry into the next minute, day and year.
  EXPECT_EQ(L"2017-01-01T00:00:15",
            TaskSchedulerV2::TriggerBoundary(MakeTime(2016, 12, 31, 23, 59, 45),
                                             ScheduledTask::kRunOnceNow));
  EXPECT_EQ(L"2016-03-01T00:00:20",
            TaskSchedulerV2::TriggerBoundary(MakeTime(2016, 2, 29, 23, 59, 50),
                                             ScheduledTask::kRunOnceNow));
}

TEST_F(TaskSchedulerTest, OperationsBeforeInitFail) {
  TaskSchedulerV2 fresh(&FixedClock, &NotAdmin);
  EXPECT_FALSE(fresh.CreateTask(Task(suffix_, ScheduledTask::kDaily)));
  EXPECT_EQ(kTaskMissing, fresh.GetTaskState(suffix_));
  EXPECT_FALSE(fresh.DeleteTask(suffix_));
  fresh.RemoveStaleTasks();
}

TEST_F(TaskSchedulerTest, DailyTaskIsRegisteredAsDescribed) {
  ScheduledTask task = Task(suffix_, ScheduledTask::kDaily);
  task.time_limit = 3600;
  task.network_required = true;
  ASSERT_TRUE(scheduler_->CreateTask(task));
  EXPECT_EQ(kTaskReady, scheduler_->GetTaskState(suffix_));

  ComPtr<ITaskDefinition> definition = reader_->Definition(suffix_);
  ASSERT_TRUE(definition);
  ComPtr<IRegistrationInfo> info;
  ASSERT_HRESULT_SUCCEEDED(definition->get_RegistrationInfo(&info));
  EXPECT_EQ(L"Keeps the browser up to date", Text(info.Get(), &IRegistrationInfo::get_Description));
  // DOMAIN\user
  EXPECT_NE(std::wstring::npos, Text(info.Get(), &IRegistrationInfo::get_Author).find(L'\\'));

  ComPtr<ITaskSettings> settings;
  ASSERT_HRESULT_SUCCEEDED(definition->get_Settings(&settings));
  EXPECT_EQ(L"PT3600S", Text(settings.Get(), &ITaskSettings::get_ExecutionTimeLimit));
  EXPECT_EQ(TASK_INSTANCES_IGNORE_NEW,
            Query(settings.Get(), &ITaskSettings::get_MultipleInstances));
  EXPECT_TRUE(Query(settings.Get(), &ITaskSettings::get_RunOnlyIfNetworkAvailable));
  EXPECT_FALSE(Query(settings.Get(), &ITaskSettings::get_StopIfGoingOnBatteries));
  EXPECT_FALSE(Query(settings.Get(), &ITaskSettings::get_DisallowStartIfOnBatteries));
  EXPECT_TRUE(Query(settings.Get(), &ITaskSettings::get_StartWhenAvailable));

  if (!reader_->CanListTriggers()) GTEST_SKIP() << "triggers and actions cannot be read back here";
  long count = 0;
  ComPtr<ITrigger> trigger = reader_->Trigger(definition.Get(), 1, &count);
  ASSERT_EQ(1, count);
  EXPECT_EQ(TASK_TRIGGER_DAILY, Query(trigger.Get(), &ITrigger::get_Type));
  EXPECT_EQ(L"Daily run", Text(trigger.Get(), &ITrigger::get_Id));
  EXPECT_EQ(L"2016-03-09T14:05:07", Text(trigger.Get(), &ITrigger::get_StartBoundary));
  ComPtr<IDailyTrigger> daily;
  ASSERT_HRESULT_SUCCEEDED(trigger.As(&daily));
  EXPECT_EQ(1, Query(daily.Get(), &IDailyTrigger::get_DaysInterval));

  ComPtr<IActionCollection> actions;
  ComPtr<IAction> action;
  ComPtr<IExecAction> exec;
  ASSERT_HRESULT_SUCCEEDED(definition->get_Actions(&actions));
  ASSERT_EQ(1, Query(actions.Get(), &IActionCollection::get_Count));
  ASSERT_HRESULT_SUCCEEDED(actions->get_Item(1, &action));
  ASSERT_HRESULT_SUCCEEDED(action.As(&exec));
  EXPECT_EQ(program_.wstring(), Text(exec.Get(), &IExecAction::get_Path));
  EXPECT_EQ(L"/c \"exit 0\"", Text(exec.Get(), &IExecAction::get_Arguments));
}

TEST_F(TaskSchedulerTest, CreatingAgainReplacesTheTask) {
  ScheduledTask first = Task(suffix_, ScheduledTask::kDaily);
  first.description = L"first";
  ASSERT_TRUE(scheduler_->CreateTask(first));
  ScheduledTask second = Task(suffix_, ScheduledTask::kNoTimeTrigger);
  second.description = L"second";
  ASSERT_TRUE(scheduler_->CreateTask(second));
  EXPECT_EQ(L"second", Description(suffix_));
  ASSERT_TRUE(scheduler_->DeleteTask(suffix_));
  EXPECT_EQ(kTaskMissing, scheduler_->GetTaskState(suffix_));
  EXPECT_FALSE(scheduler_->DeleteTask(suffix_));
}

TEST_F(TaskSchedulerTest, AdministratorsGetTheHighestRunLevel) {
  auto admin = MakeScheduler(&Admin);
  if (!reader_->CanRaiseRunLevel()) {
    // The definition cannot be completed: nothing may be registered.
    EXPECT_FALSE(admin->CreateTask(Task(suffix_, ScheduledTask::kDaily)));
    EXPECT_EQ(kTaskMissing, admin->GetTaskState(suffix_));
    return;
  }
  ASSERT_TRUE(admin->CreateTask(Task(suffix_, ScheduledTask::kDaily)));
  ComPtr<IPrincipal> principal;
  ASSERT_HRESULT_SUCCEEDED(reader_->Definition(suffix_)->get_Principal(&principal));
  EXPECT_EQ(TASK_RUNLEVEL_HIGHEST, Query(principal.Get(), &IPrincipal::get_RunLevel));
}

TEST_F(TaskSchedulerTest, SystemTaskRegistersEvenWhenItsAccessCannotBeWidened) {
  ScheduledTask task = Task(suffix_, ScheduledTask::kDaily);
  task.run_as_system = true;
  test::LogCapture log;
  ASSERT_TRUE(scheduler_->CreateTask(task));
  EXPECT_EQ(kTaskReady, scheduler_->GetTaskState(suffix_));
  BSTR sddl = nullptr;
  if (SUCCEEDED(reader_->Registered(suffix_)->GetSecurityDescriptor(
          DACL_SECURITY_INFORMATION, &sddl))) {
    EXPECT_NE(std::wstring::npos, FromBstr(sddl).find(L"(A;;GRGX;;;AU)"));
    EXPECT_FALSE(log.Contains("Failed setting SDDL"));
  } else {
    // The service cannot change a task's access (E_NOTIMPL under Wine).
    EXPECT_TRUE(log.Contains(StringPrintf("Failed setting SDDL: %ld", E_NOTIMPL)));
  }
}

TEST_F(TaskSchedulerTest, RunOnceTaskIsGoneAfterCreation) {
  ScheduledTask task = Task(suffix_, ScheduledTask::kRunOnceNow);
  task.time_limit = 120;
  bool created = scheduler_->CreateTask(task);
  // Without registration triggers (Wine) the task cannot be made at all.
  EXPECT_EQ(reader_->CanCreateTrigger(TASK_TRIGGER_REGISTRATION), created);
  EXPECT_EQ(kTaskMissing, scheduler_->GetTaskState(suffix_));
}

TEST_F(TaskSchedulerTest, LogonTriggerDependsOnTheAccount) {
  ScheduledTask system_task = Task(suffix_, ScheduledTask::kNoTimeTrigger);
  system_task.run_as_system = true;
  system_task.at_logon = true;
  ScheduledTask user_task = Task(suffix_ + L" user", ScheduledTask::kDaily);
  user_task.at_logon = true;
  if (!reader_->CanCreateTrigger(TASK_TRIGGER_BOOT) ||
      !reader_->CanCreateTrigger(TASK_TRIGGER_LOGON)) {
    EXPECT_FALSE(scheduler_->CreateTask(system_task));
    EXPECT_FALSE(scheduler_->CreateTask(user_task));
    EXPECT_EQ(kTaskMissing, scheduler_->GetTaskState(suffix_));
    GTEST_SKIP() << "no start-up or logon triggers here";
  }
  ASSERT_TRUE(scheduler_->CreateTask(system_task));
  ASSERT_TRUE(scheduler_->CreateTask(user_task));
  ASSERT_TRUE(reader_->CanListTriggers());
  long count = 0;
  ComPtr<ITrigger> boot = reader_->Trigger(reader_->Definition(suffix_).Get(), 1, &count);
  ASSERT_EQ(1, count);
  EXPECT_EQ(TASK_TRIGGER_BOOT, Query(boot.Get(), &ITrigger::get_Type));
  EXPECT_EQ(L"Logon run", Text(boot.Get(), &ITrigger::get_Id));
  ComPtr<IBootTrigger> boot_trigger;
  ASSERT_HRESULT_SUCCEEDED(boot.As(&boot_trigger));
  EXPECT_EQ(L"PT5M", Text(boot_trigger.Get(), &IBootTrigger::get_Delay));

  ComPtr<ITrigger> logon =
      reader_->Trigger(reader_->Definition(suffix_ + L" user").Get(), 2, &count);
  ASSERT_EQ(2, count);
  EXPECT_EQ(TASK_TRIGGER_LOGON, Query(logon.Get(), &ITrigger::get_Type));
  EXPECT_EQ(L"2016-03-09T14:05:07", Text(logon.Get(), &ITrigger::get_StartBoundary));
}

TEST_F(TaskSchedulerTest, RegistrationFailureIsLogged) {
  test::LogCapture log;
  // Names cannot hold "|": the service refuses the registration.
  EXPECT_FALSE(scheduler_->CreateTask(Task(L"bad|name", ScheduledTask::kDaily)));
  EXPECT_TRUE(log.Contains("Failed task registration: -"));
}

TEST_F(TaskSchedulerTest, StateFollowsEnabling) {
  EXPECT_EQ(kTaskMissing, scheduler_->GetTaskState(suffix_));
  EXPECT_FALSE(scheduler_->SetTaskEnabled(suffix_, false));
  ASSERT_TRUE(scheduler_->CreateTask(Task(suffix_, ScheduledTask::kDaily)));
  EXPECT_EQ(kTaskReady, scheduler_->GetTaskState(suffix_));
  ASSERT_TRUE(scheduler_->CreateTask(Task(suffix_ + L" probe", ScheduledTask::kDaily)));
  if (!reader_->CanDisable(suffix_ + L" probe")) GTEST_SKIP() << "tasks cannot be disabled here";
  EXPECT_TRUE(scheduler_->SetTaskEnabled(suffix_, false));
  EXPECT_EQ(kTaskDisabled, scheduler_->GetTaskState(suffix_));
  EXPECT_TRUE(scheduler_->SetTaskEnabled(suffix_, true));
  EXPECT_EQ(kTaskReady, scheduler_->GetTaskState(suffix_));
}

TEST_F(TaskSchedulerTest, DailyIntervalChangesOnlyDailyTasks) {
  EXPECT_FALSE(scheduler_->SetDailyInterval(suffix_, 3));
  ASSERT_TRUE(scheduler_->CreateTask(Task(suffix_, ScheduledTask::kDaily)));
  ASSERT_TRUE(scheduler_->CreateTask(Task(suffix_ + L" plain", ScheduledTask::kNoTimeTrigger)));
  if (!reader_->CanListTriggers()) {
    // The daily trigger cannot be found again, so nothing is changed.
    EXPECT_FALSE(scheduler_->SetDailyInterval(suffix_, 3));
    GTEST_SKIP() << "triggers cannot be read back here";
  }
  EXPECT_TRUE(scheduler_->SetDailyInterval(suffix_, 3));
  EXPECT_TRUE(scheduler_->SetDailyInterval(suffix_, 3));  // already so
  long count = 0;
  ComPtr<IDailyTrigger> daily;
  ASSERT_HRESULT_SUCCEEDED(
      reader_->Trigger(reader_->Definition(suffix_).Get(), 1, &count).As(&daily));
  EXPECT_EQ(3, Query(daily.Get(), &IDailyTrigger::get_DaysInterval));
  EXPECT_FALSE(scheduler_->SetDailyInterval(suffix_ + L" plain", 3));
}

TEST_F(TaskSchedulerTest, RunAndLastRunTime) {
  EXPECT_FALSE(scheduler_->RunTask(suffix_, {}));
  EXPECT_FALSE(scheduler_->GetLastRunTime(suffix_));
  ASSERT_TRUE(scheduler_->CreateTask(Task(suffix_, ScheduledTask::kNoTimeTrigger)));
  // Never run: the service answers "has not run", which is no time.
  EXPECT_FALSE(scheduler_->GetLastRunTime(suffix_));
  ComPtr<IRunningTask> running;
  VARIANT none;
  VariantInit(&none);
  HRESULT can_run = reader_->Registered(suffix_)->Run(none, &running);
  EXPECT_EQ(SUCCEEDED(can_run), scheduler_->RunTask(suffix_, {L"one", L"two words"}));
}

TEST_F(TaskSchedulerTest, StaleTasksAreThoseWhoseProgramIsGone) {
  test::ScratchFolder scratch;
  ScheduledTask kept = Task(suffix_ + L" kept", ScheduledTask::kDaily);
  ScheduledTask gone = Task(suffix_ + L" gone", ScheduledTask::kDaily);
  gone.command_line = CommandLine(scratch.path() / L"removed.exe");
  ASSERT_TRUE(scheduler_->CreateTask(kept));
  ASSERT_TRUE(scheduler_->CreateTask(gone));
  if (!reader_->CanListTasks()) {
    scheduler_->RemoveStaleTasks();
    GTEST_SKIP() << "the tasks of a folder cannot be listed here";
  }
  scheduler_->RemoveStaleTasks();
  EXPECT_EQ(kTaskReady, scheduler_->GetTaskState(suffix_ + L" kept"));
  EXPECT_EQ(kTaskMissing, scheduler_->GetTaskState(suffix_ + L" gone"));
}

TEST(TaskProgramTest, OnlyDefinitelyMissingProgramsAreGone) {
  test::ScratchFolder scratch;
  test::WriteFile(scratch.path() / L"here.exe", "MZ");
  const std::wstring here = (scratch.path() / L"here.exe").wstring();
  EXPECT_FALSE(TaskProgramIsGone(here));
  EXPECT_FALSE(TaskProgramIsGone(L"\"" + here + L"\""));
  EXPECT_FALSE(TaskProgramIsGone(L"%SystemRoot%\\system32\\cmd.exe"));
  EXPECT_TRUE(TaskProgramIsGone((scratch.path() / L"gone.exe").wstring()));
  EXPECT_TRUE(TaskProgramIsGone((scratch.path() / L"no folder" / L"gone.exe").wstring()));
  EXPECT_TRUE(TaskProgramIsGone(L""));
}

// What a stand-in scheduler shares with its test. A thread left behind may
// keep it after the test, so its events are never closed.
struct StuckService {
  HANDLE entered = CreateEventW(nullptr, TRUE, FALSE, nullptr);  // the stuck call began
  HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);  // it may answer now
  HANDLE went_on = CreateEventW(nullptr, TRUE, FALSE, nullptr);  // a use passed its call
};

// A scheduler whose service stops answering in the call named `stuck_in`.
class StuckScheduler : public TaskScheduler {
 public:
  StuckScheduler(std::shared_ptr<StuckService> service, std::string stuck_in)
      : service_(std::move(service)), stuck_in_(std::move(stuck_in)) {}

  bool Init() override { return Answer("Init"); }
  bool CreateTask(const ScheduledTask&) override { return Answer("CreateTask"); }
  void RemoveStaleTasks() override {}
  bool DeleteTask(const std::wstring&) override { return false; }
  bool SetDailyInterval(const std::wstring&, int) override { return false; }
  bool SetTaskEnabled(const std::wstring&, bool) override { return false; }
  bool RunTask(const std::wstring&, const std::vector<std::wstring>&) override { return false; }
  int GetTaskState(const std::wstring&) override { return kTaskMissing; }
  std::optional<SYSTEMTIME> GetLastRunTime(const std::wstring&) override { return {}; }

 private:
  bool Answer(const char* call) {
    if (stuck_in_ == call) {
      SetEvent(service_->entered);
      WaitForSingleObject(service_->release, INFINITE);
    }
    return true;
  }

  const std::shared_ptr<StuckService> service_;
  const std::string stuck_in_;
};

// A service that does not answer holds the installation only for the join
// limit. The thread left behind never goes back into the use posted to it,
// whose owner may be gone by then, not even once the service answers.
TEST(TaskSchedulerThreadTest, StuckServiceIsLeftBehindAfterTheJoinLimit) {
  const struct {
    const char* stuck_in;
    bool left_behind;
  } kCases[] = {{"", false}, {"Init", true}, {"CreateTask", true}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.stuck_in);
    auto service = std::make_shared<StuckService>();
    test::LogCapture capture;
    {
      TaskSchedulerThread thread([service, stuck_in = std::string(c.stuck_in)] {
        return std::make_unique<StuckScheduler>(service, stuck_in);
      });
      if (c.left_behind) thread.SetJoinLimitForTesting(200);
      ASSERT_TRUE(thread.Connect());
      ASSERT_TRUE(thread.Post([service](TaskScheduler* scheduler) {
        if (scheduler && scheduler->CreateTask(ScheduledTask(FilePath(L"C:\\launcher.exe"))))
          SetEvent(service->went_on);
      }));
      if (c.left_behind) {
        ASSERT_EQ(WaitForSingleObject(service->entered, 60000), WAIT_OBJECT_0);
      }
    }
    EXPECT_EQ(capture.Contains("The task scheduler has not answered within"), c.left_behind);
    EXPECT_EQ(WaitForSingleObject(service->went_on, 0), c.left_behind ? WAIT_TIMEOUT : WAIT_OBJECT_0);
    if (!c.left_behind) continue;
    SetEvent(service->release);
    // A thread that went back would do so at once.
    EXPECT_EQ(WaitForSingleObject(service->went_on, 2000), WAIT_TIMEOUT);
  }
}

}  // namespace
}  // namespace norva::installer
