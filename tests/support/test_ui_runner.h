#ifndef NORVA_TESTS_SUPPORT_TEST_UI_RUNNER_H_
#define NORVA_TESTS_SUPPORT_TEST_UI_RUNNER_H_

#include <wininet.h>

#include <memory>

#include "base/location.h"
#include "net/ui_callback_runner.h"

namespace norva::installer::test {

// Answers every dialog request (a proxy's credentials) with a fixed result
// instead of showing the dialog, and counts the requests.
class ScriptedUIRunner : public UICallbackRunner {
 public:
  void RunUICallbackAndPostReply(UICallback, std::shared_ptr<TaskRunner> reply_runner,
                                 Reply reply) override {
    ++calls_;
    reply_runner->PostTask(FROM_HERE, [reply, result = result_] { reply(result); });
  }

  int result_ = ERROR_INTERNET_FORCE_RETRY;
  int calls_ = 0;
};

}  // namespace norva::installer::test

#endif  // NORVA_TESTS_SUPPORT_TEST_UI_RUNNER_H_
