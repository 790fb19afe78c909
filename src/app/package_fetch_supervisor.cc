#include "app/package_fetch_supervisor.h"

#include "app/installation_progress.h"
#include "base/logging.h"
#include "package/package_fetcher.h"

namespace norva::installer {
namespace {

constexpr int kMaxFetchRestarts = 3;

}  // namespace

PackageFetchSupervisor::PackageFetchSupervisor(Client& client, InstallationProgress& progress)
    : client_(client), progress_(progress) {}

PackageFetchSupervisor::~PackageFetchSupervisor() = default;

FilePath PackageFetchSupervisor::CreateFetcher(const FilePath& download_folder,
                                               StatsNode stats_root, UICallbackRunner* ui_runner,
                                               const CommandLine& command_line) {
  fetcher_ =
      std::make_unique<PackageFetcher>(download_folder, stats_root, ui_runner, this, command_line);
  return fetcher_->extraction_folder();
}

void PackageFetchSupervisor::DestroyFetcher() { fetcher_.reset(); }

void PackageFetchSupervisor::Start() {
  if (fetcher_) fetcher_->Start();
}

void PackageFetchSupervisor::RefetchIfNeeded() {
  if (!refetch_needed_) return;
  refetch_needed_ = false;
  progress_.SetState(FetchState::kFetchingUrl);
  Start();
}

void PackageFetchSupervisor::SetTotalProgress(int total) {
  NORVA_DCHECK_CALLED_ON_VALID_THREAD(thread_checker_);
  bool counted = progress_.state() != FetchState::kPartnerContent;
  progress_.SetTotal(counted ? static_cast<unsigned>(total) : 0, 0);
}

void PackageFetchSupervisor::SetCurrentProgress(int current) {
  NORVA_DCHECK_CALLED_ON_VALID_THREAD(thread_checker_);
  progress_.SetCurrent(static_cast<unsigned>(current));
}

void PackageFetchSupervisor::NotifyStatusChanged(Status status) {
  NORVA_DCHECK_CALLED_ON_VALID_THREAD(thread_checker_);
  switch (status) {
    case kFetchingDownloadUrl:
      download_url_seen_ = true;
      progress_.SetState(FetchState::kFetchingUrl);
      break;
    case kDownloading:
      progress_.SetState(FetchState::kDownloading);
      break;
    case kUnpacking:
      progress_.SetState(FetchState::kUnpacking);
      break;
    case kDownloadingPartnerContent:
      progress_.SetState(FetchState::kPartnerContent);
      break;
    case kPackageReady:
      progress_.SetState(FetchState::kPackageReady);
      client_.OnPackageReady();
      break;
    case kInitializationFailed:
    case kDownloadFailed:
    case kUnpackingFailed:
      OnFailed(status);
      break;
    default:
      break;
  }
  client_.OnFetchStateChanged();
}

void PackageFetchSupervisor::OnFailed(Status status) {
  if (client_.OnFetchFailed(status)) {
    refetch_needed_ = true;
    return;
  }
  if (restarts_ < kMaxFetchRestarts) {
    ++restarts_;
    LOG(INFO) << "Restarting package fetching, " << restarts_ << " of " << kMaxFetchRestarts;
    progress_.SetState(FetchState::kFetchingUrl);
    Start();
    return;
  }
  LOG(WARNING) << "Exceeded maximum number of fetcher retries,"
               << " we won't retry until user decides to.";
  refetch_needed_ = true;
}

void PackageFetchSupervisor::NotifyTrackingDataObtained(const std::string& tracking_data) {
  NORVA_DCHECK_CALLED_ON_VALID_THREAD(thread_checker_);
  tracking_data_ = tracking_data;
}

}  // namespace norva::installer
