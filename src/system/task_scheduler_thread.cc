#include "system/task_scheduler_thread.h"

#include <objbase.h>

#include <utility>

#include "base/location.h"

namespace norva::installer {

TaskSchedulerThread::TaskSchedulerThread() : thread_("Task scheduler") {}

TaskSchedulerThread::~TaskSchedulerThread() {
  if (!thread_.IsRunning()) return;
  thread_.task_runner()->PostTask(FROM_HERE, [this] { ReleaseOnThread(); });
  thread_.Stop();
}

bool TaskSchedulerThread::Connect() {
  return thread_.Start() &&
         thread_.task_runner()->PostTask(FROM_HERE, [this] { ConnectOnThread(); });
}

bool TaskSchedulerThread::Post(std::function<void(TaskScheduler*)> use) {
  if (!thread_.IsRunning()) return false;
  return thread_.task_runner()->PostTask(FROM_HERE,
                                         [this, use = std::move(use)] { use(scheduler_.get()); });
}

void TaskSchedulerThread::ConnectOnThread() {
  com_initialized_ = SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
  scheduler_ = CreateTaskScheduler();
  if (!scheduler_->Init()) scheduler_.reset();
}

void TaskSchedulerThread::ReleaseOnThread() {
  scheduler_.reset();
  if (com_initialized_) CoUninitialize();
  com_initialized_ = false;
}

}  // namespace norva::installer
