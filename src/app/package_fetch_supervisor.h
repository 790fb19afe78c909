#ifndef NORVA_APP_PACKAGE_FETCH_SUPERVISOR_H_
#define NORVA_APP_PACKAGE_FETCH_SUPERVISOR_H_

#include <memory>
#include <string>

#include "base/command_line.h"
#include "base/file_path.h"
#include "base/thread_checker.h"
#include "package/package_fetcher_delegate.h"
#include "stats/stats_collector.h"

namespace norva::installer {

class InstallationProgress;
class PackageFetcher;
class UICallbackRunner;

// The window's package fetch. Before the user proceeds, a failed fetch
// starts again by itself, up to three times in the whole run (a fetch the
// user asked for again gets no new ones); once it gave up, or when it failed
// while the installation waited for it, the next proceed fetches anew. Its
// state and its byte counts go to the progress. Main thread only.
class PackageFetchSupervisor : public PackageFetcherDelegate {
 public:
  class Client {
   public:
    virtual ~Client() = default;
    // A report of the fetch was taken in; the progress holds its state.
    virtual void OnFetchStateChanged() = 0;
    virtual void OnPackageReady() = 0;
    // True when an installation waited for the failed fetch: the client
    // ends it with an error and the next proceed fetches again.
    virtual bool OnFetchFailed(Status status) = 0;
  };

  PackageFetchSupervisor(Client& client, InstallationProgress& progress);
  ~PackageFetchSupervisor() override;
  PackageFetchSupervisor(const PackageFetchSupervisor&) = delete;
  PackageFetchSupervisor& operator=(const PackageFetchSupervisor&) = delete;

  // Makes the fetcher, which `Start` starts; returns the folder the package
  // is unpacked to. Without a fetcher the other calls do nothing.
  FilePath CreateFetcher(const FilePath& download_folder, StatsNode stats_root,
                         UICallbackRunner* ui_runner, const CommandLine& command_line);
  void DestroyFetcher();
  void Start();
  // On proceeding: a fetch that gave up, or failed while installing, starts
  // over.
  void RefetchIfNeeded();

  const std::string& tracking_data() const { return tracking_data_; }
  bool download_url_seen() const { return download_url_seen_; }

  // PackageFetcherDelegate:
  void SetTotalProgress(int total) override;
  void SetCurrentProgress(int current) override;
  void NotifyStalled() override {}
  void NotifyStatusChanged(Status status) override;
  void NotifyTrackingDataObtained(const std::string& tracking_data) override;

 private:
  void OnFailed(Status status);

  Client& client_;
  InstallationProgress& progress_;
  std::unique_ptr<PackageFetcher> fetcher_;
  std::string tracking_data_;
  int restarts_ = 0;  // silent restarts so far; never reset
  bool refetch_needed_ = false;
  bool download_url_seen_ = false;
  ThreadChecker thread_checker_;
};

}  // namespace norva::installer

#endif  // NORVA_APP_PACKAGE_FETCH_SUPERVISOR_H_
