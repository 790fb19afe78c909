#include "net/download_progress_relay.h"

#include "net/download_progress.h"

namespace norva::installer {
namespace {

constexpr ULONGLONG kProgressIntervalMs = 50;

}  // namespace

DownloadProgressRelay::DownloadProgressRelay(DownloadProgress* delegate) : delegate_(delegate) {
  weak_this_ = weak_factory_.GetWeakPtr();
}

void DownloadProgressRelay::StartSession(std::shared_ptr<TaskRunner> owner_runner) {
  owner_runner_ = std::move(owner_runner);
  progress_ = 0;
  progress_posted_ = false;
  last_progress_post_ = 0;
}

void DownloadProgressRelay::EndSession() {
  weak_factory_.InvalidateWeakPtrs();
  weak_this_ = weak_factory_.GetWeakPtr();
}

void DownloadProgressRelay::ReportTotal(uint32_t total) {
  PostToOwner(BindWeak(weak_this_, &DownloadProgressRelay::NotifyTotal, total));
}

void DownloadProgressRelay::ReportCurrent(uint32_t current, bool force) {
  // A task per 1 KB block would cost more than the transfer itself (every
  // post may wake the owner thread), so the count goes out at most every
  // kProgressIntervalMs, and always when the body stops; one task at a time,
  // reading the latest count when it runs.
  progress_ = current;
  ULONGLONG now = GetTickCount64();
  if (!force && now - last_progress_post_ < kProgressIntervalMs) return;
  last_progress_post_ = now;
  if (!progress_posted_.exchange(true))
    PostToOwner(BindWeak(weak_this_, &DownloadProgressRelay::NotifyCurrent));
}

void DownloadProgressRelay::ReportStalled() {
  PostToOwner(BindWeak(weak_this_, &DownloadProgressRelay::NotifyStalled));
}

void DownloadProgressRelay::PostToOwner(Closure task) {
  if (owner_runner_) owner_runner_->PostTask(FROM_HERE, std::move(task));
}

// Owner thread ----------------------------------------------------------------

void DownloadProgressRelay::NotifyTotal(uint32_t total) {
  NORVA_DCHECK_CALLED_ON_VALID_THREAD(thread_checker_);
  if (delegate_) delegate_->SetTotalProgress(static_cast<int>(total));
}

void DownloadProgressRelay::NotifyCurrent() {
  NORVA_DCHECK_CALLED_ON_VALID_THREAD(thread_checker_);
  progress_posted_ = false;
  if (delegate_) delegate_->SetCurrentProgress(static_cast<int>(progress_.load()));
}

void DownloadProgressRelay::NotifyStalled() {
  NORVA_DCHECK_CALLED_ON_VALID_THREAD(thread_checker_);
  if (delegate_) delegate_->NotifyStalled();
}

}  // namespace norva::installer
