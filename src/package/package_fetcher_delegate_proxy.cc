#include "package/package_fetcher_delegate_proxy.h"

#include <windows.h>

namespace norva::installer {

PackageFetcherDelegateProxy::PackageFetcherDelegateProxy(PackageFetcherDelegate* delegate,
                                                         UICallbackRunner* ui_runner)
    : controller_runner_(ThreadTaskRunnerHandle::Get()), delegate_(delegate), ui_runner_(ui_runner) {}

// Out of line: an inline destructor and its thunks for the second and third
// bases were emitted in every user's object, and link-time optimisation
// under MinGW takes those copies for duplicate definitions.
PackageFetcherDelegateProxy::~PackageFetcherDelegateProxy() = default;

void PackageFetcherDelegateProxy::PostToDelegate(
    std::function<void(PackageFetcherDelegate*)> call) {
  if (!controller_runner_) return;
  // The task keeps the proxy alive and reads the delegate when it runs.
  controller_runner_->PostTask(FROM_HERE, [self = shared_from_this(), call] {
    PackageFetcherDelegate* delegate;
    {
      std::lock_guard<std::mutex> hold(self->lock_);
      delegate = self->delegate_;
    }
    if (delegate) call(delegate);
  });
}

void PackageFetcherDelegateProxy::SetTotalProgress(int total) {
  PostToDelegate([total](PackageFetcherDelegate* d) { d->SetTotalProgress(total); });
}

void PackageFetcherDelegateProxy::SetCurrentProgress(int current) {
  PostToDelegate([current](PackageFetcherDelegate* d) { d->SetCurrentProgress(current); });
}

void PackageFetcherDelegateProxy::NotifyStalled() {
  PostToDelegate([](PackageFetcherDelegate* d) { d->NotifyStalled(); });
}

void PackageFetcherDelegateProxy::NotifyStatusChanged(Status status) {
  PostToDelegate([status](PackageFetcherDelegate* d) { d->NotifyStatusChanged(status); });
}

void PackageFetcherDelegateProxy::NotifyTrackingDataObtained(const std::string& tracking_data) {
  PostToDelegate(
      [tracking_data](PackageFetcherDelegate* d) { d->NotifyTrackingDataObtained(tracking_data); });
}

void PackageFetcherDelegateProxy::RunUICallbackAndPostReply(
    UICallback callback, std::shared_ptr<TaskRunner> reply_runner, Reply reply) {
  // Without a runner to show the dialog the asker would wait for ever; it
  // gets the answer of a dialog that has no window instead.
  auto refuse = [reply_runner, reply] {
    if (reply_runner) reply_runner->PostTask(FROM_HERE, [reply] { reply(ERROR_INVALID_HANDLE); });
  };
  auto ask = [self = shared_from_this(), callback, reply_runner, reply, refuse] {
    UICallbackRunner* runner;
    {
      std::lock_guard<std::mutex> hold(self->lock_);
      runner = self->ui_runner_;
    }
    if (runner)
      runner->RunUICallbackAndPostReply(callback, reply_runner, reply);
    else
      refuse();
  };
  if (!controller_runner_ || !controller_runner_->PostTask(FROM_HERE, ask)) refuse();
}

void PackageFetcherDelegateProxy::Clear() {
  std::lock_guard<std::mutex> hold(lock_);
  delegate_ = nullptr;
  ui_runner_ = nullptr;
}

}  // namespace norva::installer
