// The statistics report: the tree of one run, summarised and posted as one
// compact JSON document to the autoupdate service's feedback address.
#include <vector>

#include "base/logging.h"
#include "base/strings.h"
#include "net/service_domains.h"
#include "net/wininet.h"
#include "product/product_info.h"
#include "stats/stats_collector.h"

namespace norva::installer {
namespace {

using json = nlohmann::json;

// Where "local-stats-server" sends the report instead: a collector on this
// machine, for testing the statistics pipeline.
constexpr wchar_t kLocalStatsServer[] = L"http://localhost:3000/";

}  // namespace

void StatsCollector::SummariseDownloads(json& root) {
  auto fetches = root.find("fetches");
  if (fetches == root.end() || !fetches->is_array()) return;
  int64_t chunk_count = 0;
  std::vector<std::string> addresses;
  for (const json& fetch : *fetches) {
    if (!fetch.is_object()) continue;
    auto chunks = fetch.find("download_chunks");
    if (chunks == fetch.end() || !chunks->is_array()) continue;
    chunk_count += static_cast<int64_t>(chunks->size());
    for (const json& chunk : *chunks) {
      if (!chunk.is_object()) continue;
      auto ip = chunk.find("ip");
      if (ip != chunk.end() && ip->is_string()) addresses.push_back(ip->get<std::string>());
    }
  }
  root["wininet_retries"] = chunk_count;
  root["download_ips"] = JoinString(addresses, "; ");
}

std::wstring StatsCollector::ReportUrl() const {
  if (command_line_.HasSwitch("local-stats-server")) return kLocalStatsServer;
  return Utf8ToWide(product::Url("autoupdate")) + L"netinstaller/feedback";
}

bool StatsCollector::SendReport(Closure completion, bool full_retries) {
  WithRoot(&StatsCollector::SummariseDownloads);
  if (!downloader_) {
    LOG(ERROR) << "The statistics report has no downloader";
    if (completion) completion();
    return false;
  }
  std::vector<std::wstring> domains = {kPublicDomainSuffix, L"localhost"};
  std::wstring product_domain = Utf8ToWide(product::Domain());
  if (product_domain != kPublicDomainSuffix) domains.push_back(product_domain);
  downloader_->set_allowed_domains(std::move(domains));
  if (!full_retries) downloader_->set_max_retries(2);
  std::string report = Serialize();
  if (!downloader_->Start(ReportUrl(), std::move(report), completion,
                          std::make_unique<ResponseWriter>(),
                          std::make_unique<NullDownloadStats>())) {
    if (completion) completion();
    return false;
  }
  return true;
}

}  // namespace norva::installer
