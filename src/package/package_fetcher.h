#ifndef NORVA_PACKAGE_PACKAGE_FETCHER_H_
#define NORVA_PACKAGE_PACKAGE_FETCHER_H_

#include <memory>
#include <mutex>
#include <string>

#include "base/command_line.h"
#include "base/file_path.h"
#include "base/task_runner.h"
#include "base/thread.h"
#include "net/ui_callback_runner.h"
#include "package/lzma_util.h"
#include "package/package_fetcher_delegate_proxy.h"
#include "stats/stats_collector.h"

namespace norva::installer {

// Turns what the installer has (its own archive payload, or server tracking
// data and the autoupdate service) into an unpacked package folder. All the
// work runs on the "Package fetcher worker" thread; the delegate hears every
// status and progress value on the thread that made the fetcher.
class PackageFetcher {
 public:
  using Status = PackageFetcherDelegate::Status;

  // `ui_runner` is required; `delegate` may be null. Both must outlive the
  // fetcher. `command_line` gives the switches that steer the fetch.
  PackageFetcher(const FilePath& download_folder, StatsNode stats_root,
                 UICallbackRunner* ui_runner, PackageFetcherDelegate* delegate,
                 const CommandLine& command_line = CommandLine::ForCurrentProcess());
  ~PackageFetcher();
  PackageFetcher(const PackageFetcher&) = delete;
  PackageFetcher& operator=(const PackageFetcher&) = delete;

  // Starts a run; again after a failed run, for a new try.
  void Start();

  // The downloaded package; without its extension it names the extraction
  // folder that holds the unpacked package.
  const FilePath& package_path() const { return package_path_; }
  FilePath extraction_folder() const;

  // The statistics name of a status ("invalid" for those that do not end a
  // run).
  static const char* StatusName(Status status);

 private:
  class ThreadedFetcher;

  const FilePath package_path_;
  std::unique_ptr<ThreadedFetcher> fetcher_;  // used and destroyed on the worker
  Thread worker_{"Package fetcher worker"};
};

}  // namespace norva::installer

#endif  // NORVA_PACKAGE_PACKAGE_FETCHER_H_
