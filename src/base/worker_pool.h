#ifndef NORVA_BASE_WORKER_POOL_H_
#define NORVA_BASE_WORKER_POOL_H_

#include <memory>
#include <string>
#include <string_view>

#include "base/thread.h"

namespace norva::installer {

// A named pool of one worker thread for background work that must finish
// before the process ends (preference files, the global storage file).
// Tasks run one at a time in posting order. Shutdown runs every task posted
// before it, then stops the thread; posting afterwards fails.
class WorkerPool {
 public:
  // Starts the pool and makes it known by `name`. While a pool of that name
  // is alive and not shut down, it is returned instead of a new one. Null
  // when the thread cannot start.
  static std::shared_ptr<WorkerPool> Create(std::string name);
  // The live pool of that name, or null.
  static std::shared_ptr<WorkerPool> Get(std::string_view name);

  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  bool PostTask(const Location& from_here, Closure task);
  std::shared_ptr<TaskRunner> task_runner() const { return thread_.task_runner(); }
  const std::string& name() const { return thread_.name(); }
  void Shutdown();

 private:
  explicit WorkerPool(std::string name) : thread_(std::move(name)) {}

  Thread thread_;
};

}  // namespace norva::installer

#endif  // NORVA_BASE_WORKER_POOL_H_
