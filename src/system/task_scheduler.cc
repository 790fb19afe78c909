#include "system/task_scheduler.h"

#include "base/strings.h"
#include "product/product_info.h"
#include "system/task_scheduler_v2.h"

namespace norva::installer {

std::wstring ScheduledTaskName(const std::wstring& name_suffix) {
  return Utf8ToWide(product::ProductName()) + L" scheduled " + name_suffix;
}

std::unique_ptr<TaskScheduler> CreateTaskScheduler() {
  return std::make_unique<TaskSchedulerV2>();
}

}  // namespace norva::installer
