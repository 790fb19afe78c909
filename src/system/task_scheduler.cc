#include "system/task_scheduler.h"

#include <utility>

#include "base/strings.h"
#include "product/product_info.h"
#include "system/task_scheduler_v2.h"

namespace norva::installer {
namespace {

std::function<void(const ScheduledTask&)>& CreateTaskObserver() {
  static auto* observer = new std::function<void(const ScheduledTask&)>;
  return *observer;
}

}  // namespace

void SetCreateTaskObserverForTesting(std::function<void(const ScheduledTask&)> observer) {
  CreateTaskObserver() = std::move(observer);
}

void NotifyCreateTaskObserver(const ScheduledTask& task) {
  if (CreateTaskObserver()) CreateTaskObserver()(task);
}

std::wstring ScheduledTaskName(const std::wstring& name_suffix) {
  return Utf8ToWide(product::ProductName()) + L" scheduled " + name_suffix;
}

std::unique_ptr<TaskScheduler> CreateTaskScheduler() {
  return std::make_unique<TaskSchedulerV2>();
}

}  // namespace norva::installer
