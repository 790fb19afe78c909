#include "system/task_scheduler_v2.h"

#include <oleauto.h>

#include <string_view>
#include <utility>

#include "base/logging.h"
#include "base/scoped_handle.h"
#include "base/com_types.h"
#include "system/access_rights.h"
#include "base/strings.h"
#include "system/task_triggers.h"

namespace norva::installer {

namespace {

using Microsoft::WRL::ComPtr;

// Authenticated users may read and start tasks that run as the system.
constexpr wchar_t kSystemTaskSddl[] = L"D:(A;;GRGX;;;AU)";

SYSTEMTIME LocalNow() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  return now;
}

bool ProcessIsAdmin() { return IsUserAdmin(/*consider_linked_token=*/false); }

// "DOMAIN\user" of the process token; empty on failure.
std::wstring CurrentAccountName() {
  ScopedHandle token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.Receive())) return {};
  std::wstring account;
  DWORD size = 0;
  GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
  std::string buffer(size, '\0');
  if (size && GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size)) {
    PSID sid = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
    wchar_t name[256], domain[256];
    DWORD name_size = 256, domain_size = 256;
    SID_NAME_USE use;
    if (LookupAccountSidW(nullptr, sid, name, &name_size, domain, &domain_size, &use))
      account = std::wstring(domain) + L"\\" + name;
  }
  return account;
}

SYSTEMTIME AddSeconds(const SYSTEMTIME& time, int seconds) {
  FILETIME file_time;
  SystemTimeToFileTime(&time, &file_time);
  ULARGE_INTEGER value;
  value.LowPart = file_time.dwLowDateTime;
  value.HighPart = file_time.dwHighDateTime;
  value.QuadPart += static_cast<ULONGLONG>(seconds) * 10000000ULL;
  file_time.dwLowDateTime = value.LowPart;
  file_time.dwHighDateTime = value.HighPart;
  SYSTEMTIME result = time;
  FileTimeToSystemTime(&file_time, &result);
  return result;
}

VARIANT_BOOL ToVariantBool(bool value) { return value ? VARIANT_TRUE : VARIANT_FALSE; }

// Property values are not checked one by one: the service validates the
// whole definition when it is registered, and that result is what counts.
bool FillSettings(const ScheduledTask& task, ITaskDefinition* definition) {
  ComPtr<ITaskSettings> settings;
  if (FAILED(definition->get_Settings(&settings))) return false;
  settings->put_ExecutionTimeLimit(Bstr(StringPrintf(L"PT%uS", task.time_limit)).get());
  settings->put_MultipleInstances(TASK_INSTANCES_IGNORE_NEW);
  settings->put_RunOnlyIfNetworkAvailable(ToVariantBool(task.network_required));
  settings->put_StopIfGoingOnBatteries(VARIANT_FALSE);
  settings->put_DisallowStartIfOnBatteries(VARIANT_FALSE);
  settings->put_StartWhenAvailable(VARIANT_TRUE);
  if (task.trigger_kind == ScheduledTask::kRunOnceNow)
    settings->put_DeleteExpiredTaskAfter(Bstr(L"PT0S").get());
  return true;
}

// Creates a trigger of `type` with its identifier and returns it as `T`.
template <typename T>
ComPtr<T> NewTrigger(ITriggerCollection* triggers, TASK_TRIGGER_TYPE2 type, const wchar_t* id) {
  ComPtr<ITrigger> trigger;
  ComPtr<T> typed;
  if (FAILED(triggers->Create(type, &trigger)) || FAILED(trigger.As(&typed))) return nullptr;
  trigger->put_Id(Bstr(id).get());
  return typed;
}

bool AddLogonTrigger(const ScheduledTask& task, const std::wstring& account,
                     const Bstr& boundary, ITriggerCollection* triggers) {
  Bstr delay(L"PT5M");
  // The system account never logs on; it starts with the machine.
  if (task.run_as_system) {
    auto boot = NewTrigger<IBootTrigger>(triggers, TASK_TRIGGER_BOOT, L"Logon run");
    if (!boot) return false;
    boot->put_StartBoundary(boundary.get());
    boot->put_Delay(delay.get());
    return true;
  }
  auto logon = NewTrigger<ILogonTrigger>(triggers, TASK_TRIGGER_LOGON, L"Logon run");
  if (!logon) return false;
  logon->put_StartBoundary(boundary.get());
  logon->put_Delay(delay.get());
  logon->put_UserId(Bstr(account).get());
  return true;
}

bool FillAction(const ScheduledTask& task, ITaskDefinition* definition) {
  ComPtr<IActionCollection> actions;
  ComPtr<IAction> action;
  ComPtr<IExecAction> exec;
  if (FAILED(definition->get_Actions(&actions)) ||
      FAILED(actions->Create(TASK_ACTION_EXEC, &action)) || FAILED(action.As(&exec)))
    return false;
  exec->put_Path(Bstr(task.command_line.GetProgram().wstring()).get());
  exec->put_Arguments(Bstr(task.command_line.GetArgumentsString()).get());
  return true;
}

// The program of a task's action, as a file name we can look for.
std::wstring ExpandProgramPath(const std::wstring& path) {
  std::wstring text = TrimWhitespace(path);
  if (text.size() >= 2 && text.front() == L'"' && text.back() == L'"')
    text = text.substr(1, text.size() - 2);
  wchar_t expanded[MAX_PATH * 2];
  DWORD length = ExpandEnvironmentStringsW(text.c_str(), expanded, MAX_PATH * 2);
  if (length == 0 || length > MAX_PATH * 2) return text;
  return expanded;
}

}  // namespace

bool TaskProgramIsGone(const std::wstring& path) {
  std::wstring program = ExpandProgramPath(path);
  if (program.empty()) return true;
  if (GetFileAttributesW(program.c_str()) != INVALID_FILE_ATTRIBUTES) return false;
  // Only a definite "not there" counts; an unreachable share keeps the task.
  DWORD error = GetLastError();
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

TaskSchedulerV2::TaskSchedulerV2() : TaskSchedulerV2(nullptr, nullptr) {}

TaskSchedulerV2::TaskSchedulerV2(LocalClock clock, AdminCheck is_admin)
    : clock_(clock ? clock : &LocalNow), is_admin_(is_admin ? is_admin : &ProcessIsAdmin) {}

TaskSchedulerV2::~TaskSchedulerV2() = default;

std::wstring TaskSchedulerV2::TriggerBoundary(const SYSTEMTIME& now, uint32_t trigger_kind) {
  SYSTEMTIME t = trigger_kind == ScheduledTask::kRunOnceNow ? AddSeconds(now, 30) : now;
  return StringPrintf(L"%02d-%02d-%02dT%02d:%02d:%02d", t.wYear, t.wMonth, t.wDay, t.wHour,
                      t.wMinute, t.wSecond);
}

bool TaskSchedulerV2::Init() {
  ComPtr<ITaskService> service;
  if (FAILED(CoCreateInstance(CLSID_TaskScheduler, nullptr, CLSCTX_INPROC_SERVER,
                              IID_PPV_ARGS(&service))))
    return false;
  Variant none;
  if (FAILED(service->Connect(none.get(), none.get(), none.get(), none.get()))) return false;
  ComPtr<ITaskFolder> root;
  if (FAILED(service->GetFolder(Bstr(L"\\").get(), &root))) return false;
  service_ = std::move(service);
  root_ = std::move(root);
  return true;
}

bool TaskSchedulerV2::CreateTask(const ScheduledTask& task) {
  NotifyCreateTaskObserver(task);
  if (!root_) return false;
  std::wstring account = CurrentAccountName();
  if (account.empty()) return false;
  std::wstring name = ScheduledTaskName(task.name_suffix);
  root_->DeleteTask(Bstr(name).get(), 0);

  ComPtr<ITaskDefinition> definition;
  if (FAILED(service_->NewTask(0, &definition)) ||
      !FillDefinition(task, account, definition.Get()) ||
      !Register(task, name, account, definition.Get()))
    return false;
  // The registration trigger has started the program already; a run-once
  // task must not linger in the scheduler.
  if (task.trigger_kind == ScheduledTask::kRunOnceNow) root_->DeleteTask(Bstr(name).get(), 0);
  return true;
}

bool TaskSchedulerV2::FillDefinition(const ScheduledTask& task, const std::wstring& account,
                                     ITaskDefinition* definition) {
  ComPtr<IRegistrationInfo> info;
  if (FAILED(definition->get_RegistrationInfo(&info))) return false;
  info->put_Author(Bstr(account).get());
  info->put_Description(Bstr(task.description).get());
  if (!FillSettings(task, definition) || !AddTriggers(task, account, definition) ||
      !FillAction(task, definition))
    return false;
  if (!is_admin_()) return true;
  ComPtr<IPrincipal> principal;
  return SUCCEEDED(definition->get_Principal(&principal)) &&
         SUCCEEDED(principal->put_RunLevel(TASK_RUNLEVEL_HIGHEST));
}

bool TaskSchedulerV2::AddTriggers(const ScheduledTask& task, const std::wstring& account,
                                  ITaskDefinition* definition) {
  ComPtr<ITriggerCollection> triggers;
  if (FAILED(definition->get_Triggers(&triggers))) return false;
  Bstr boundary(TriggerBoundary(clock_(), task.trigger_kind));
  if (task.trigger_kind == ScheduledTask::kRunOnceNow) {
    auto once = NewTrigger<IRegistrationTrigger>(triggers.Get(), TASK_TRIGGER_REGISTRATION,
                                                 L"Run once");
    if (!once) return false;
    once->put_EndBoundary(boundary.get());
    return true;
  }
  if (task.trigger_kind == ScheduledTask::kDaily) {
    auto daily = NewTrigger<IDailyTrigger>(triggers.Get(), TASK_TRIGGER_DAILY, L"Daily run");
    if (!daily) return false;
    daily->put_StartBoundary(boundary.get());
    daily->put_DaysInterval(1);
  }
  return !task.at_logon || AddLogonTrigger(task, account, boundary, triggers.Get());
}

bool TaskSchedulerV2::Register(const ScheduledTask& task, const std::wstring& name,
                               const std::wstring& account, ITaskDefinition* definition) {
  Variant user(task.run_as_system ? std::wstring(L"SYSTEM") : account);
  Variant password, sddl;
  TASK_LOGON_TYPE logon =
      task.run_as_system ? TASK_LOGON_SERVICE_ACCOUNT : TASK_LOGON_INTERACTIVE_TOKEN;
  ComPtr<IRegisteredTask> registered;
  HRESULT hr = root_->RegisterTaskDefinition(Bstr(name).get(), definition,
                                             TASK_CREATE_OR_UPDATE, user.get(), password.get(),
                                             logon, sddl.get(), &registered);
  if (FAILED(hr)) {
    LOG(ERROR) << "Failed task registration: " << static_cast<long>(hr);
    return false;
  }
  if (task.run_as_system) {
    hr = registered->SetSecurityDescriptor(Bstr(kSystemTaskSddl).get(), 0);
    if (FAILED(hr)) LOG(ERROR) << "Failed setting SDDL: " << static_cast<long>(hr);
  }
  return true;
}

ComPtr<IRegisteredTask> TaskSchedulerV2::OpenTask(const std::wstring& name_suffix) {
  ComPtr<IRegisteredTask> task;
  if (!root_ || FAILED(root_->GetTask(Bstr(ScheduledTaskName(name_suffix)).get(), &task)))
    return nullptr;
  return task;
}

void TaskSchedulerV2::RemoveStaleTasks() {
  ComPtr<IRegisteredTaskCollection> tasks;
  long count = 0;
  if (!root_ || FAILED(root_->GetTasks(TASK_ENUM_HIDDEN, &tasks)) ||
      FAILED(tasks->get_Count(&count)))
    return;
  // Only tasks named the way this product names them.
  const std::wstring prefix = ScheduledTaskName(L"");
  std::vector<std::wstring> stale;
  for (long i = 1; i <= count; ++i) {
    ComPtr<IRegisteredTask> task;
    Bstr name;
    if (FAILED(tasks->get_Item(Variant(i).get(), &task)) || FAILED(task->get_Name(name.Receive())))
      continue;
    std::wstring text = name.str();
    if (text.size() >= prefix.size() &&
        EqualsCaseInsensitiveASCII(std::wstring_view(text).substr(0, prefix.size()), prefix) &&
        IsStale(task.Get()))
      stale.push_back(std::move(text));
  }
  for (const std::wstring& name : stale) root_->DeleteTask(Bstr(name).get(), 0);
}

bool TaskSchedulerV2::IsStale(IRegisteredTask* task) {
  VARIANT_BOOL enabled = VARIANT_FALSE;
  ComPtr<ITaskDefinition> definition;
  ComPtr<IActionCollection> actions;
  long count = 0;
  if (FAILED(task->get_Enabled(&enabled)) || !enabled ||
      FAILED(task->get_Definition(&definition)) || FAILED(definition->get_Actions(&actions)) ||
      FAILED(actions->get_Count(&count)) || count != 1)
    return false;
  ComPtr<IAction> action;
  TASK_ACTION_TYPE type;
  ComPtr<IExecAction> exec;
  Bstr path;
  if (FAILED(actions->get_Item(1, &action)) || FAILED(action->get_Type(&type)) ||
      type != TASK_ACTION_EXEC || FAILED(action.As(&exec)) ||
      FAILED(exec->get_Path(path.Receive())))
    return false;
  return TaskProgramIsGone(path.str());
}

bool TaskSchedulerV2::DeleteTask(const std::wstring& name_suffix) {
  return root_ && SUCCEEDED(root_->DeleteTask(Bstr(ScheduledTaskName(name_suffix)).get(), 0));
}

bool TaskSchedulerV2::SetDailyInterval(const std::wstring& name_suffix, int days) {
  auto task = OpenTask(name_suffix);
  ComPtr<ITaskDefinition> definition;
  ComPtr<ITriggerCollection> triggers;
  long count = 0;
  if (!task || FAILED(task->get_Definition(&definition)) ||
      FAILED(definition->get_Triggers(&triggers)) || FAILED(triggers->get_Count(&count)))
    return false;
  for (long i = 1; i <= count; ++i) {
    ComPtr<ITrigger> trigger;
    TASK_TRIGGER_TYPE2 type;
    if (FAILED(triggers->get_Item(i, &trigger)) || FAILED(trigger->get_Type(&type)) ||
        type != TASK_TRIGGER_DAILY)
      continue;
    ComPtr<IDailyTrigger> daily;
    short interval = 0;
    if (FAILED(trigger.As(&daily)) || FAILED(daily->get_DaysInterval(&interval))) return false;
    if (interval == days) return true;
    if (FAILED(daily->put_DaysInterval(static_cast<short>(days)))) return false;
    Variant none;
    ComPtr<IRegisteredTask> registered;
    return SUCCEEDED(root_->RegisterTaskDefinition(
        Bstr(ScheduledTaskName(name_suffix)).get(), definition.Get(), TASK_UPDATE, none.get(),
        none.get(), TASK_LOGON_NONE, none.get(), &registered));
  }
  return false;
}

bool TaskSchedulerV2::SetTaskEnabled(const std::wstring& name_suffix, bool enabled) {
  auto task = OpenTask(name_suffix);
  return task && SUCCEEDED(task->put_Enabled(ToVariantBool(enabled)));
}

bool TaskSchedulerV2::RunTask(const std::wstring& name_suffix,
                              const std::vector<std::wstring>& arguments) {
  auto task = OpenTask(name_suffix);
  if (!task) return false;
  Variant parameters;
  if (!arguments.empty()) {
    SAFEARRAY* array = SafeArrayCreateVector(VT_BSTR, 0, static_cast<ULONG>(arguments.size()));
    if (!array) return false;
    for (LONG i = 0; i < static_cast<LONG>(arguments.size()); ++i) {
      Bstr argument(arguments[i]);
      SafeArrayPutElement(array, &i, argument.get());  // copies the string
    }
    parameters.ptr()->vt = VT_ARRAY | VT_BSTR;
    parameters.ptr()->parray = array;
  }
  ComPtr<IRunningTask> running;
  return SUCCEEDED(task->Run(parameters.get(), &running));
}

int TaskSchedulerV2::GetTaskState(const std::wstring& name_suffix) {
  auto task = OpenTask(name_suffix);
  if (!task) return kTaskMissing;
  TASK_STATE state;
  if (FAILED(task->get_State(&state))) return kTaskOtherState;
  switch (state) {
    case TASK_STATE_DISABLED:
      return kTaskDisabled;
    case TASK_STATE_QUEUED:
    case TASK_STATE_READY:
      return kTaskReady;
    case TASK_STATE_RUNNING:
      return kTaskRunning;
    default:
      return kTaskOtherState;
  }
}

std::optional<SYSTEMTIME> TaskSchedulerV2::GetLastRunTime(const std::wstring& name_suffix) {
  auto task = OpenTask(name_suffix);
  DATE date = 0;
  if (!task) return std::nullopt;
  HRESULT hr = task->get_LastRunTime(&date);
  SYSTEMTIME time;
  if (FAILED(hr) || hr == SCHED_S_TASK_HAS_NOT_RUN || !VariantTimeToSystemTime(date, &time))
    return std::nullopt;
  return time;
}

}  // namespace norva::installer
