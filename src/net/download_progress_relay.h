#ifndef NORVA_NET_DOWNLOAD_PROGRESS_RELAY_H_
#define NORVA_NET_DOWNLOAD_PROGRESS_RELAY_H_

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>

#include "base/task_runner.h"
#include "base/thread_checker.h"
#include "base/weak_ptr.h"

namespace norva::installer {

class DownloadProgress;

// Carries the downloader's progress from WinINet's notification threads to
// the delegate, which hears it on the owner thread.
//
// The Report methods run on notification threads, one at a time under the
// downloader's callback lock; EndSession runs on the owner thread under the
// same lock, which is what lets both touch `weak_this_`.
class DownloadProgressRelay {
 public:
  // `delegate` may be null; it must outlive the relay.
  explicit DownloadProgressRelay(DownloadProgress* delegate);
  DownloadProgressRelay(const DownloadProgressRelay&) = delete;
  DownloadProgressRelay& operator=(const DownloadProgressRelay&) = delete;

  // Owner thread, before the session's first notification: reports go to
  // `owner_runner` and the count starts again.
  void StartSession(std::shared_ptr<TaskRunner> owner_runner);
  // Owner thread: what the ended session posted and has not run yet never
  // reaches the delegate, so it cannot be taken for the next session's.
  void EndSession();

  void ReportTotal(uint32_t total);
  // `current` reaches the delegate at most every kProgressIntervalMs unless
  // `force`d.
  void ReportCurrent(uint32_t current, bool force);
  void ReportStalled();

 private:
  void PostToOwner(Closure task);
  // Steps run on the owner thread.
  void NotifyTotal(uint32_t total);
  void NotifyCurrent();
  void NotifyStalled();

  DownloadProgress* const delegate_;
  std::shared_ptr<TaskRunner> owner_runner_;
  std::atomic<uint32_t> progress_{0};         // latest count for the delegate
  std::atomic<bool> progress_posted_{false};  // a progress task is queued
  ULONGLONG last_progress_post_ = 0;          // notification threads only
  ThreadChecker thread_checker_;

  WeakPtr<DownloadProgressRelay> weak_this_;  // copied on any thread, used on the owner's
  WeakPtrFactory<DownloadProgressRelay> weak_factory_{this};
};

}  // namespace norva::installer

#endif  // NORVA_NET_DOWNLOAD_PROGRESS_RELAY_H_
