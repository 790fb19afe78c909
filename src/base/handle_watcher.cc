#include "base/handle_watcher.h"

#include "base/logging.h"

namespace norva::installer {

// The wait itself runs in the system's thread pool (RegisterWaitForSingleObject),
// so any kind of task loop can watch any number of handles; the pool thread
// only posts to the owner's loop through a weak pointer. StopWatching first
// unregisters and waits for a callback in flight, then invalidates the weak
// pointers, so a notice already posted finds nobody to call.
struct HandleWatcher::Context {
  std::shared_ptr<TaskRunner> runner;
  WeakPtr<HandleWatcher> watcher;
};

HandleWatcher::HandleWatcher() = default;

HandleWatcher::~HandleWatcher() { StopWatching(); }

bool HandleWatcher::StartWatching(HANDLE handle, Delegate* delegate) {
  if (wait_) {
    LOG(ERROR) << "Handle watcher already watches a handle";
    return false;
  }
  std::shared_ptr<TaskRunner> runner = ThreadTaskRunnerHandle::Get();
  if (!runner || !handle || !delegate) {
    LOG(ERROR) << "Cannot watch a handle without a task loop, a handle and a delegate";
    return false;
  }
  context_.reset(new Context{std::move(runner), weak_factory_.GetWeakPtr()});
  if (!RegisterWaitForSingleObject(&wait_, handle, &HandleWatcher::OnWaitCompleted,
                                   context_.get(), INFINITE,
                                   WT_EXECUTEONLYONCE | WT_EXECUTEINWAITTHREAD)) {
    PLOG(ERROR) << "Could not watch a handle";
    wait_ = nullptr;
    context_.reset();
    weak_factory_.InvalidateWeakPtrs();
    return false;
  }
  handle_ = handle;
  delegate_ = delegate;
  return true;
}

void HandleWatcher::StopWatching() {
  if (!wait_) return;
  // INVALID_HANDLE_VALUE: returns only once a running callback has finished.
  if (!UnregisterWaitEx(wait_, INVALID_HANDLE_VALUE)) PLOG(ERROR) << "Could not stop a wait";
  wait_ = nullptr;
  context_.reset();
  weak_factory_.InvalidateWeakPtrs();
  handle_ = nullptr;
  delegate_ = nullptr;
}

void CALLBACK HandleWatcher::OnWaitCompleted(void* context, BOOLEAN timed_out) {
  auto* wait = static_cast<Context*>(context);
  wait->runner->PostTask(FROM_HERE, [watcher = wait->watcher] {
    if (HandleWatcher* self = watcher.get()) self->OnSignaled();
  });
}

void HandleWatcher::OnSignaled() {
  HANDLE handle = handle_;
  Delegate* delegate = delegate_;
  // Reset first: the delegate may watch again or destroy this watcher.
  StopWatching();
  delegate->OnHandleSignaled(handle);
}

}  // namespace norva::installer
