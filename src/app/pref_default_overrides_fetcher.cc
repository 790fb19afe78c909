#include "app/pref_default_overrides_fetcher.h"

#include <windows.h>

#include <utility>
#include <vector>

#include "base/file_util.h"
#include "base/logging.h"
#include "base/strings.h"
#include "net/download_stats.h"
#include "net/service_domains.h"
#include "net/wininet.h"
#include "net/wininet_response_writer.h"
#include "product/installer_features.h"
#include "product/product_info.h"

namespace norva::installer {
namespace {

constexpr char kLocalServerSwitch[] = "local-pref-default-overrides-server";
constexpr wchar_t kLocalServer[] = L"http://127.0.0.1:3001/";

std::wstring RequestPath() {
  return L"api/prefs/?product=" + Utf8ToWide(product::ProductName()) +
         L"&version=" + Utf8ToWide(product::ProductVersion());
}

std::vector<std::wstring> AllowedDomains() {
  std::vector<std::wstring> domains = {kPublicDomainSuffix, kInternalDomainSuffix, L"localhost",
                                       L"127.0.0.1"};
  std::wstring product_domain = Utf8ToWide(product::Domain());
  if (product_domain != kPublicDomainSuffix) domains.push_back(product_domain);
  return domains;
}

}  // namespace

PrefDefaultOverridesFetcher::PrefDefaultOverridesFetcher(
    const FilePath& package_folder, UICallbackRunner* ui_runner,
    const CommandLine& command_line)
    : target_file_(package_folder / kFileName), ui_runner_(ui_runner),
      command_line_(command_line) {}

PrefDefaultOverridesFetcher::~PrefDefaultOverridesFetcher() {
  if (!downloading_) return;
  // Nobody was handed what the unfinished download wrote.
  downloader_->Stop();
  DeleteFileW(ExtendedLengthPath(target_file_).c_str());
}

std::wstring PrefDefaultOverridesFetcher::Url() const {
  std::wstring server = command_line_.GetSwitchValue(kLocalServerSwitch);
  if (!server.empty()) return server;
  if (command_line_.HasSwitch(kLocalServerSwitch)) return kLocalServer + RequestPath();
  return Utf8ToWide(product::Url("autoupdate")) + RequestPath();
}

void PrefDefaultOverridesFetcher::Fetch(const std::string& tracking_data, Closure done) {
  if (!FeatureRegistry::Get().IsEnabled(kPrefDefaultOverridesSupport)) {
    done();
    return;
  }
  waiting_.push_back(std::move(done));
  if (downloading_) {
    // Its tracking data may be another folder's; the file is written anew.
    LOG(INFO) << "Fetching the pref default overrides again";
    downloader_->Stop();
  }
  downloading_ = true;
  auto writer = std::make_unique<FileResponseWriter>();
  if (!writer->Open(target_file_)) {
    LOG(ERROR) << "Could not create the pref default overrides file";
    OnDownloadEnded(false);
    return;
  }
  if (!downloader_) {
    downloader_ = std::make_unique<Wininet>(ui_runner_, nullptr);
    downloader_->set_allowed_domains(AllowedDomains());
  }
  auto ended = [this] { OnDownloadEnded(downloader_->state() == Wininet::kCompleted); };
  if (!downloader_->Start(Url(), tracking_data, ended, std::move(writer),
                          std::make_unique<NullDownloadStats>())) {
    LOG(ERROR) << "Could not start downloading the pref default overrides";
    OnDownloadEnded(false);
  }
}

void PrefDefaultOverridesFetcher::OnDownloadEnded(bool completed) {
  downloading_ = false;
  if (!completed) {
    LOG(WARNING) << "The pref default overrides were not downloaded";
    DeleteFileW(ExtendedLengthPath(target_file_).c_str());
  }
  std::vector<Closure> waiting = std::move(waiting_);
  waiting_.clear();
  // A `done` may fetch again; that Fetch waits for its own download.
  for (Closure& done : waiting) done();
}

}  // namespace norva::installer
