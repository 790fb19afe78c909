#ifndef NORVA_NET_DOWNLOAD_PROGRESS_H_
#define NORVA_NET_DOWNLOAD_PROGRESS_H_

namespace norva::installer {

// How the downloader reports its progress to whoever waits for the download.
// Called on the downloader's threads.
class DownloadProgress {
 public:
  virtual ~DownloadProgress() = default;
  virtual void SetTotalProgress(int total) = 0;
  virtual void SetCurrentProgress(int current) = 0;
  virtual void NotifyStalled() = 0;
};

}  // namespace norva::installer

#endif  // NORVA_NET_DOWNLOAD_PROGRESS_H_
