#include "base/at_exit.h"

#include "base/logging.h"

namespace norva::installer {
namespace {

std::mutex g_top_lock;
AtExitManager* g_top = nullptr;

}  // namespace

AtExitManager::AtExitManager() {
  std::lock_guard<std::mutex> hold(g_top_lock);
  next_ = g_top;
  g_top = this;
}

AtExitManager::~AtExitManager() {
  RunCallbacks();
  std::lock_guard<std::mutex> hold(g_top_lock);
  if (g_top == this) g_top = next_;
}

void AtExitManager::RegisterCallback(Closure callback) {
  std::lock_guard<std::mutex> hold(g_top_lock);
  if (!g_top) {
    LOG(WARNING) << "Exit callback registered without an AtExitManager; ignored";
    return;
  }
  std::lock_guard<std::mutex> hold_callbacks(g_top->lock_);
  g_top->callbacks_.push_back(std::move(callback));
}

void AtExitManager::ProcessCallbacksNow() {
  AtExitManager* manager;
  {
    std::lock_guard<std::mutex> hold(g_top_lock);
    manager = g_top;
  }
  if (manager) manager->RunCallbacks();
}

void AtExitManager::RunCallbacks() {
  // Callbacks may register more; run until none is left.
  for (;;) {
    std::vector<Closure> callbacks;
    {
      std::lock_guard<std::mutex> hold(lock_);
      callbacks.swap(callbacks_);
    }
    if (callbacks.empty()) return;
    for (auto it = callbacks.rbegin(); it != callbacks.rend(); ++it) (*it)();
  }
}

}  // namespace norva::installer
