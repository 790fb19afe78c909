#include "base/worker_pool.h"

#include <map>
#include <mutex>

#include "base/logging.h"

namespace norva::installer {
namespace {

struct Registry {
  std::mutex lock;
  std::map<std::string, std::weak_ptr<WorkerPool>, std::less<>> pools;
};

Registry& GetRegistry() {
  static Registry* registry = new Registry;  // never destroyed: pools may outlive main
  return *registry;
}

}  // namespace

std::shared_ptr<WorkerPool> WorkerPool::Create(std::string name) {
  Registry& registry = GetRegistry();
  std::lock_guard<std::mutex> hold(registry.lock);
  std::weak_ptr<WorkerPool>& entry = registry.pools[name];
  if (std::shared_ptr<WorkerPool> existing = entry.lock()) return existing;
  std::shared_ptr<WorkerPool> pool(new WorkerPool(name));
  if (!pool->thread_.Start()) {
    registry.pools.erase(name);
    return nullptr;
  }
  entry = pool;
  return pool;
}

std::shared_ptr<WorkerPool> WorkerPool::Get(std::string_view name) {
  Registry& registry = GetRegistry();
  std::lock_guard<std::mutex> hold(registry.lock);
  auto it = registry.pools.find(name);
  return it == registry.pools.end() ? nullptr : it->second.lock();
}

WorkerPool::~WorkerPool() { Shutdown(); }

bool WorkerPool::PostTask(const Location& from_here, Closure task) {
  std::shared_ptr<TaskRunner> runner = task_runner();
  return runner && runner->PostTask(from_here, std::move(task));
}

void WorkerPool::Shutdown() {
  {
    Registry& registry = GetRegistry();
    std::lock_guard<std::mutex> hold(registry.lock);
    auto it = registry.pools.find(name());
    // Only our own entry: a pool of the same name may have replaced it.
    if (it != registry.pools.end()) {
      std::shared_ptr<WorkerPool> listed = it->second.lock();
      if (!listed || listed.get() == this) registry.pools.erase(it);
    }
  }
  if (thread_.IsRunning()) VLOG(1) << "Draining worker pool \"" << name() << "\"";
  thread_.Stop();
}

}  // namespace norva::installer
