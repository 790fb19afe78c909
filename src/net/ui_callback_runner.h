#ifndef NORVA_NET_UI_CALLBACK_RUNNER_H_
#define NORVA_NET_UI_CALLBACK_RUNNER_H_

#include <windows.h>

#include <functional>
#include <memory>

#include "base/task_runner.h"

namespace norva::installer {

// Runs a closure on the user-interface thread, with the installer window as
// its owner (null when there is no window), and posts the closure's result
// to `reply_runner`, where `reply` runs with it. Implemented by the
// controllers; workers use it for the rare dialog they need (proxy
// credentials).
class UICallbackRunner {
 public:
  using UICallback = std::function<int(HWND window)>;
  using Reply = std::function<void(int result)>;

  virtual void RunUICallbackAndPostReply(UICallback callback,
                                         std::shared_ptr<TaskRunner> reply_runner,
                                         Reply reply) = 0;

 protected:
  virtual ~UICallbackRunner() = default;
};

}  // namespace norva::installer

#endif  // NORVA_NET_UI_CALLBACK_RUNNER_H_
