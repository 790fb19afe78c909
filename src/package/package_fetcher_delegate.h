#ifndef NORVA_PACKAGE_PACKAGE_FETCHER_DELEGATE_H_
#define NORVA_PACKAGE_PACKAGE_FETCHER_DELEGATE_H_

#include <string>

#include "net/download_progress.h"

namespace norva::installer {

// How the package fetcher (and the downloader working for it) reports to its
// controller. Called on the fetcher's thread; the controller's proxy moves
// the calls to its own thread.
class PackageFetcherDelegate : public DownloadProgress {
 public:
  enum Status {
    kInitializing = 0,
    kReadingPayload,
    kFetchingDownloadUrl,
    kDownloading,
    kUnpacking,
    kDownloadingPartnerContent,
    kPackageReady,
    kInitializationFailed,
    kDownloadFailed,
    kUnpackingFailed,
  };

  virtual void NotifyStatusChanged(Status status) = 0;
  virtual void NotifyTrackingDataObtained(const std::string& tracking_data) = 0;
};

}  // namespace norva::installer

#endif  // NORVA_PACKAGE_PACKAGE_FETCHER_DELEGATE_H_
