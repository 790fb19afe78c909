#ifndef NORVA_PACKAGE_PACKAGE_FETCHER_DELEGATE_PROXY_H_
#define NORVA_PACKAGE_PACKAGE_FETCHER_DELEGATE_PROXY_H_

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "base/task_runner.h"
#include "net/ui_callback_runner.h"
#include "package/lzma_util.h"
#include "package/package_fetcher_delegate.h"

namespace norva::installer {

// Carries the fetcher's reports from its worker thread to the controller's
// thread. Each call posts a task there that reaches the delegate (or the UI
// callback runner) only if it is still set when the task runs; the fetcher
// clears both when it goes, so nothing arrives after that. A dialog request
// that finds no UI callback runner is answered as refused.
class PackageFetcherDelegateProxy : public PackageFetcherDelegate,
                                    public UICallbackRunner,
                                    public LzmaUtil::ProgressSink,
                                    public std::enable_shared_from_this<PackageFetcherDelegateProxy> {
 public:
  // Captures the calling thread's task runner as the controller's. Made
  // with std::make_shared: posted reports hold a reference.
  PackageFetcherDelegateProxy(PackageFetcherDelegate* delegate, UICallbackRunner* ui_runner);
  ~PackageFetcherDelegateProxy() override;

  void SetTotalProgress(int total) override;
  void SetCurrentProgress(int current) override;
  void NotifyStalled() override;
  void NotifyStatusChanged(Status status) override;
  void NotifyTrackingDataObtained(const std::string& tracking_data) override;
  void RunUICallbackAndPostReply(UICallback callback, std::shared_ptr<TaskRunner> reply_runner,
                                 Reply reply) override;

  // Any thread; later reports are dropped.
  void Clear();

 private:
  // Posts `call` to the controller's thread, to run there with the delegate
  // if it is still set then.
  void PostToDelegate(std::function<void(PackageFetcherDelegate*)> call);

  const std::shared_ptr<TaskRunner> controller_runner_;
  std::mutex lock_;  // guards the two pointers
  PackageFetcherDelegate* delegate_;
  UICallbackRunner* ui_runner_;
};

}  // namespace norva::installer

#endif  // NORVA_PACKAGE_PACKAGE_FETCHER_DELEGATE_PROXY_H_
