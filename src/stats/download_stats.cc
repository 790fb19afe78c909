#include "stats/download_stats.h"

#include "base/strings.h"

namespace norva::installer {

void ChunkStats::ChunkStart(uint32_t offset) {
  std::lock_guard<std::mutex> hold(lock_);
  current_ = parent_.AppendRecord(list_key_);
  current_.SetInteger("chunk_start", offset);
  current_.SetInteger("chunk_number", chunk_number_);
  current_.SetTime("chunk_start_time");
}

StatsNode ChunkStats::Current() {
  std::lock_guard<std::mutex> hold(lock_);
  return current_;
}

void ChunkStats::SetIp(std::string_view ip) {
  if (StatsNode chunk = Current(); chunk.IsValid()) chunk.SetString("ip", ip);
}

void ChunkStats::SetRedirectedUrl(std::wstring_view url) {
  if (StatsNode chunk = Current(); chunk.IsValid())
    chunk.SetString("redirected_url", WideToUtf8(url));
}

void ChunkStats::SetHeader(std::wstring_view name, std::wstring_view value) {
  if (StatsNode chunk = Current(); chunk.IsValid())
    chunk.SetString("headers." + WideToUtf8(name), WideToUtf8(value));
}

void ChunkStats::SetWininetError(DWORD code) {
  if (StatsNode chunk = Current(); chunk.IsValid()) chunk.SetInteger("wininet_error", code);
}

void ChunkStats::SetHttpStatus(DWORD status) {
  if (StatsNode chunk = Current(); chunk.IsValid()) chunk.SetInteger("http_status", status);
}

void ChunkStats::SetRetryCount(int count) {
  if (StatsNode chunk = Current(); chunk.IsValid()) chunk.SetInteger("retry_count", count);
}

void ChunkStats::ChunkEnd(uint32_t offset) {
  std::lock_guard<std::mutex> hold(lock_);
  if (current_.IsValid()) {
    current_.SetInteger("chunk_end", offset);
    current_.SetTime("chunk_end_time");
  }
  ++chunk_number_;
}

void PrefixedDownloadStats::SetWininetError(DWORD code) {
  node_.SetInteger(prefix_ + "wininet_error", code);
}

void PrefixedDownloadStats::SetHttpStatus(DWORD status) {
  node_.SetInteger(prefix_ + "http_status", status);
}

}  // namespace norva::installer
