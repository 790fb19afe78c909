#ifndef NORVA_STATS_DOWNLOAD_STATS_H_
#define NORVA_STATS_DOWNLOAD_STATS_H_

#include <windows.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

#include "net/download_stats.h"
#include "stats/stats_collector.h"

namespace norva::installer {

// Records every chunk of a download as one dictionary in the list `list_key`
// of `parent`: where it started and ended, when, the server's address and
// headers, and how the request ended.
class ChunkStats : public DownloadStats {
 public:
  ChunkStats(StatsNode parent, std::string list_key)
      : parent_(parent), list_key_(std::move(list_key)) {}

  void ChunkStart(uint32_t offset) override;
  void SetIp(std::string_view ip) override;
  void SetRedirectedUrl(std::wstring_view url) override;
  void SetHeader(std::wstring_view name, std::wstring_view value) override;
  void SetWininetError(DWORD code) override;
  void SetHttpStatus(DWORD status) override;
  void SetRetryCount(int count) override;
  void ChunkEnd(uint32_t offset) override;

 private:
  StatsNode Current();

  const StatsNode parent_;
  const std::string list_key_;
  std::mutex lock_;  // guards current_ and chunk_number_
  StatsNode current_;
  int chunk_number_ = 0;
};

// Records only how the request ended, as prefix + "wininet_error" and
// prefix + "http_status" in one dictionary.
class PrefixedDownloadStats : public DownloadStats {
 public:
  PrefixedDownloadStats(StatsNode node, std::string prefix)
      : node_(node), prefix_(std::move(prefix)) {}

  void SetWininetError(DWORD code) override;
  void SetHttpStatus(DWORD status) override;

 private:
  const StatsNode node_;
  const std::string prefix_;
};

}  // namespace norva::installer

#endif  // NORVA_STATS_DOWNLOAD_STATS_H_
