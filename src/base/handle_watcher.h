#ifndef NORVA_BASE_HANDLE_WATCHER_H_
#define NORVA_BASE_HANDLE_WATCHER_H_

#include <windows.h>

#include <memory>

#include "base/weak_ptr.h"

namespace norva::installer {

// Tells its delegate, once, when a kernel handle (process, event, mutex...)
// is signalled. The delegate is called on the thread that started watching,
// through that thread's task loop. After StopWatching, or once the watcher
// is gone, the delegate is never called. The handle must stay open while it
// is watched.
class HandleWatcher {
 public:
  class Delegate {
   public:
    virtual void OnHandleSignaled(HANDLE handle) = 0;

   protected:
    virtual ~Delegate() = default;
  };

  HandleWatcher();
  ~HandleWatcher();
  HandleWatcher(const HandleWatcher&) = delete;
  HandleWatcher& operator=(const HandleWatcher&) = delete;

  // False when already watching, when the thread has no task loop, or when
  // the system refuses the wait.
  bool StartWatching(HANDLE handle, Delegate* delegate);
  void StopWatching();
  bool IsWatching() const { return wait_ != nullptr; }

 private:
  struct Context;
  static void CALLBACK OnWaitCompleted(void* context, BOOLEAN timed_out);
  void OnSignaled();

  HANDLE handle_ = nullptr;
  HANDLE wait_ = nullptr;
  Delegate* delegate_ = nullptr;
  std::unique_ptr<Context> context_;
  WeakPtrFactory<HandleWatcher> weak_factory_{this};
};

}  // namespace norva::installer

#endif  // NORVA_BASE_HANDLE_WATCHER_H_
