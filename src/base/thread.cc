#include "base/thread.h"

#include "base/logging.h"
#include "base/strings.h"

namespace norva::installer {
namespace {

// SetThreadDescription exists from Windows 10 1607 on; Windows 7 lacks it.
void NameCurrentThread(const std::string& name) {
  using SetThreadDescriptionFunction = HRESULT(WINAPI*)(HANDLE, PCWSTR);
  static const auto set_description = reinterpret_cast<SetThreadDescriptionFunction>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"),
                                             "SetThreadDescription")));
  if (set_description) set_description(GetCurrentThread(), Utf8ToWide(name).c_str());
}

}  // namespace

// Lives on the stack of Start until the new thread has published its loop.
struct Thread::StartUp {
  const std::string* name;
  TaskLoop::Type type;
  ScopedHandle ready;
  std::shared_ptr<TaskRunner> runner;
};

Thread::Thread(std::string name) : name_(std::move(name)) {}

Thread::~Thread() { Stop(); }

bool Thread::Start(TaskLoop::Type type) {
  if (handle_ || runner_) {
    LOG(ERROR) << "Thread \"" << name_ << "\" was started before";
    return false;
  }
  StartUp start_up{&name_, type, ScopedHandle(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
                   nullptr};
  if (!start_up.ready) {
    PLOG(ERROR) << "Could not start thread \"" << name_ << "\"";
    return false;
  }
  handle_.reset(CreateThread(nullptr, 0, &Thread::ThreadMain, &start_up, 0, &thread_id_));
  if (!handle_) {
    PLOG(ERROR) << "Could not start thread \"" << name_ << "\"";
    return false;
  }
  WaitForSingleObject(start_up.ready.get(), INFINITE);
  start_up.ready.reset();
  if (!start_up.runner) {
    LOG(ERROR) << "Could not start the task loop of thread \"" << name_ << "\"";
    WaitForSingleObject(handle_.get(), INFINITE);
    handle_.reset();
    return false;
  }
  runner_ = std::move(start_up.runner);
  return true;
}

void Thread::Stop() {
  if (!handle_) return;
  runner_->PostQuitAndClose();
  if (GetCurrentThreadId() == thread_id_) {
    // Stopped from one of its own tasks: the loop ends after that task, but
    // a thread cannot wait for itself.
    LOG(WARNING) << "Thread \"" << name_ << "\" stopped from itself; not joined";
  } else {
    WaitForSingleObject(handle_.get(), INFINITE);
  }
  handle_.reset();
}

DWORD WINAPI Thread::ThreadMain(void* parameter) {
  auto* start_up = static_cast<StartUp*>(parameter);
  NameCurrentThread(*start_up->name);
  TaskLoop loop(start_up->type);
  if (!loop.IsValid()) {
    SetEvent(start_up->ready.get());  // no runner: Start fails
    return 1;
  }
  start_up->runner = loop.task_runner();
  // From here on `start_up` and the Thread object are not touched: the Thread
  // may be gone before the loop ends.
  SetEvent(start_up->ready.get());
  loop.Run();
  return 0;
}

}  // namespace norva::installer
