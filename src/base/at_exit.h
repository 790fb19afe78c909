#ifndef NORVA_BASE_AT_EXIT_H_
#define NORVA_BASE_AT_EXIT_H_

#include <mutex>
#include <vector>

#include "base/task_runner.h"

namespace norva::installer {

// The exit-time registry: callbacks registered while a manager lives run in
// reverse order of registration when it is destroyed. A manager made while
// another lives shadows it until it goes (tests use this for a clean
// registry). Registering with no manager is ignored with a warning.
class AtExitManager {
 public:
  AtExitManager();
  ~AtExitManager();
  AtExitManager(const AtExitManager&) = delete;
  AtExitManager& operator=(const AtExitManager&) = delete;

  // May be called from any thread.
  static void RegisterCallback(Closure callback);
  // Runs and forgets the callbacks registered so far.
  static void ProcessCallbacksNow();

 private:
  void RunCallbacks();

  std::mutex lock_;
  std::vector<Closure> callbacks_;
  AtExitManager* next_;  // the manager this one shadows
};

}  // namespace norva::installer

#endif  // NORVA_BASE_AT_EXIT_H_
