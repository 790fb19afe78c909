#ifndef NORVA_BASE_THREAD_H_
#define NORVA_BASE_THREAD_H_

#include <windows.h>

#include <memory>
#include <string>

#include "base/scoped_handle.h"
#include "base/task_loop.h"

namespace norva::installer {

// A thread running a TaskLoop, named for debuggers.
//
// Stop (also run by the destructor) lets the loop run every task posted
// before it, then quits and joins the thread. From the moment Stop is called
// posting to the thread fails, so tasks that those last tasks post are
// dropped, and delayed tasks that are not due by then never run.
class Thread {
 public:
  explicit Thread(std::string name);
  ~Thread();
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Returns once the loop is ready to take tasks; false when the thread could
  // not start or was started before.
  bool Start(TaskLoop::Type type = TaskLoop::Type::kDefault);
  void Stop();
  bool IsRunning() const { return handle_.is_valid(); }

  const std::string& name() const { return name_; }
  // Null before Start; after Stop it refuses every task.
  std::shared_ptr<TaskRunner> task_runner() const { return runner_; }
  DWORD thread_id() const { return thread_id_; }

 private:
  struct StartUp;
  static DWORD WINAPI ThreadMain(void* start_up);

  const std::string name_;
  ScopedHandle handle_;
  DWORD thread_id_ = 0;
  std::shared_ptr<TaskRunner> runner_;
};

}  // namespace norva::installer

#endif  // NORVA_BASE_THREAD_H_
