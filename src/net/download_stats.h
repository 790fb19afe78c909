#ifndef NORVA_NET_DOWNLOAD_STATS_H_
#define NORVA_NET_DOWNLOAD_STATS_H_

#include <windows.h>

#include <cstdint>
#include <string_view>

namespace norva::installer {

// What a download tells the statistics tree. The downloader calls it from
// its own thread and from WinINet's notification threads, one at a time.
// This base records nothing.
class DownloadStats {
 public:
  virtual ~DownloadStats() = default;
  virtual void ChunkStart(uint32_t offset) {}
  virtual void SetIp(std::string_view ip) {}
  virtual void SetRedirectedUrl(std::wstring_view url) {}
  virtual void SetHeader(std::wstring_view name, std::wstring_view value) {}
  virtual void SetWininetError(DWORD code) {}
  virtual void SetHttpStatus(DWORD status) {}
  virtual void SetRetryCount(int count) {}
  virtual void ChunkEnd(uint32_t offset) {}
};

// Records nothing, for requests whose details nobody reads.
class NullDownloadStats final : public DownloadStats {};

}  // namespace norva::installer

#endif  // NORVA_NET_DOWNLOAD_STATS_H_
