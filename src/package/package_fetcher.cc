#include "package/package_fetcher.h"

#include <windows.h>

#include <vector>

#include "base/file_util.h"
#include "base/json.h"
#include "base/json_pref_store.h"
#include "base/logging.h"
#include "base/scoped_handle.h"
#include "base/strings.h"
#include "base/weak_ptr.h"
#include "net/service_domains.h"
#include "net/wininet.h"
#include "package/checksum_checker.h"
#include "package/files_list.h"
#include "package/package_lock.h"
#include "package/package_query.h"
#include "package/package_run_files.h"
#include "package/payload_reader.h"
#include "package/version.h"
#include "product/product_info.h"
#include "stats/download_stats.h"

namespace norva::installer {
namespace {

using json = nlohmann::json;
using Status = PackageFetcherDelegate::Status;

constexpr char kInitializationFailedText[] =
    "Unable to obtain or clean the download/extraction path";
constexpr char kCorruptedPayloadText[] = "Corrupted payload";
constexpr char kFetchUrlFailedText[] = "Failed fetching the download URL";
constexpr char kBadReplyText[] = "Failed parsing json reply";
constexpr char kDestinationText[] = "Failed initializing the file to use as download destination";
constexpr char kPackageDownloadFailedText[] = "Failed downloading the Norva package";
constexpr char kChecksumText[] = "Checksum incorrect for the downloaded package";
constexpr char kSignatureText[] = "Signature incorrect for the downloaded package";
constexpr char kOlderText[] = "Downloaded package is older than the installer";
constexpr char kStreamText[] = "Downloaded package is of a different stream than the installer";
constexpr char kNoArchiveText[] = "Could not find 7z payload in full package";
constexpr char kUnpackFailedText[] = "Archive unpacking failed";
constexpr char kPartnerFailedText[] = "Failed downloading partner content";

constexpr wchar_t kPartnerDownloadFile[] = L"partner_content.tmp";
constexpr wchar_t kTrackingDataFile[] = L"server_tracking_data";
constexpr wchar_t kWelcomePrefsFile[] = L"installer_prefs_include.json";
// A partner file is tried this many times more after its first failure.
constexpr int kMaxPartnerRetries = 3;

// Packages print their answers as console programs do, with a line end.
bool HasStrings(const json& value, std::initializer_list<const char*> keys) {
  if (!value.is_object()) return false;
  for (const char* key : keys) {
    auto found = value.find(key);
    if (found == value.end() || !found->is_string()) return false;
  }
  return true;
}

// The service names partner files; a name that is not a plain file name
// could place a file outside the package.
bool IsPlainFileName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of("\\/:") == std::string::npos;
}

}  // namespace

// ThreadedFetcher -------------------------------------------------------------

class PackageFetcher::ThreadedFetcher {
 public:
  ThreadedFetcher(const FilePath& download_folder,
                  const FilePath& package_path, StatsNode stats_root,
                  std::shared_ptr<PackageFetcherDelegateProxy> proxy, CommandLine command_line);
  ~ThreadedFetcher();

  // Claims this fetcher's files in the download folder and removes those of
  // earlier runs whose owner died. The first task on the worker.
  void ClaimDownloadFolder();
  void Start();
  // Ends a run that no worker could take; called on the controller's thread.
  void FailWithoutWorker();
  // Stops an unpacking in progress (or about to start) early; from any thread.
  void CancelUnpacking() { unpacker_.Cancel(); }

 private:
  void StartRecord();
  bool CleanDownloadLocation();
  // False when the run failed or moved on to unpacking.
  bool ReadOwnPayload();
  void FetchDownloadUrl();
  void OnDownloadUrlFetched();
  void ExtractArchive(const std::string& checksum);
  bool CheckPackage(const std::string& checksum);
  // Unpacks the `size` bytes from `start` of the file held by the package
  // lock.
  void UnpackArchive(uint64_t start, uint64_t size);
  void OnUnpacked(bool success);
  void DownloadPartnerFile();
  void OnPartnerDownloaded(const std::string& file_name, const std::string& checksum);
  // `given_up`: a partner file failed every try; the package is then reported
  // ready without recording it as ready in the statistics.
  void EndPartnerPhase(bool given_up = false);
  void PackageReady();

  // Logs `reason`, records it and ends the run with `status`.
  void Fail(Status status, const char* reason);
  void Report(Status status) { proxy_->NotifyStatusChanged(status); }
  void PostTask(Closure task);
  std::vector<std::wstring> AllowedDomains() const;
  std::wstring DownloadUrlQuery() const;

  FilePath archive_path() const {
    return FilePath(package_path_).replace_extension(L"7z");
  }
  FilePath extraction_folder() const { return WithoutExtension(package_path_); }

  const std::shared_ptr<PackageFetcherDelegateProxy> proxy_;
  const CommandLine command_line_;
  int try_number_ = 0;
  int partner_try_ = 0;
  const FilePath download_folder_;
  const FilePath package_path_;
  std::unique_ptr<PayloadReader> payload_reader_;
  // Held from the package's first check (or the archive file's creation) to
  // the end of its unpacking.
  PackageLock package_lock_;
  // Held for the fetcher's whole life: the files named after the package
  // path are this process's while it lives.
  PackageLock owner_lock_;
  LzmaUtil unpacker_;
  std::unique_ptr<Wininet> downloader_;
  std::string reply_text_;
  json reply_;
  json partner_list_ = json::array();
  size_t partner_position_ = 0;
  std::vector<std::string> partner_files_;
  StatsNode stats_root_;
  StatsNode fetch_record_;
  StatsNode partner_record_;
  StatsNode partner_try_record_;
  WeakPtrFactory<ThreadedFetcher> weak_factory_{this};
};

PackageFetcher::ThreadedFetcher::ThreadedFetcher(
    const FilePath& download_folder, const FilePath& package_path,
    StatsNode stats_root, std::shared_ptr<PackageFetcherDelegateProxy> proxy,
    CommandLine command_line)
    : proxy_(std::move(proxy)),
      command_line_(std::move(command_line)),
      download_folder_(download_folder),
      package_path_(package_path),
      downloader_(std::make_unique<Wininet>(proxy_.get(), proxy_.get())),
      stats_root_(stats_root) {}

PackageFetcher::ThreadedFetcher::~ThreadedFetcher() {
  LOG(INFO) << "Terminating the package fetcher";
  proxy_->Clear();
  if (downloader_->state() != Wininet::kFailed) downloader_->Stop();
  package_lock_.Release();
  // The unpacked package lives only as long as its fetcher.
  bool removed = DeleteFileIfPresent(package_path_);
  removed = DeleteFileIfPresent(archive_path()) && removed;
  removed = DeleteTree(extraction_folder()) && removed;
  // What could not go (a backend may still run from the package) is left to
  // the sweep of a later run, which needs the lock to find it.
  owner_lock_.Release();
  if (removed) DeleteFileIfPresent(OwnerLockPath(package_path_));
  downloader_.reset();
  payload_reader_.reset();
}

void PackageFetcher::ThreadedFetcher::PostTask(Closure task) {
  ThreadTaskRunnerHandle::Get()->PostTask(FROM_HERE, std::move(task));
}

void PackageFetcher::ThreadedFetcher::Fail(Status status, const char* reason) {
  LOG(ERROR) << reason;
  fetch_record_.SetString("failure_reason", reason);
  ++try_number_;
  stats_root_.SetInteger("fetcher_restarts", try_number_);
  fetch_record_.SetString("result", PackageFetcher::StatusName(status));
  Report(status);
}

void PackageFetcher::ThreadedFetcher::StartRecord() {
  fetch_record_ = stats_root_.AppendRecord("fetches");
  fetch_record_.SetInteger("try_number", try_number_);
  fetch_record_.SetTime("start_time");
}

void PackageFetcher::ThreadedFetcher::FailWithoutWorker() {
  LOG(ERROR) << "The package fetcher has no worker";
  StartRecord();
  Fail(PackageFetcherDelegate::kInitializationFailed, kInitializationFailedText);
}

void PackageFetcher::ThreadedFetcher::ClaimDownloadFolder() {
  const FilePath lock = OwnerLockPath(package_path_);
  if (!owner_lock_.Create(lock)) PLOG(WARNING) << "Could not create " << lock;
  RemoveFilesOfDeadRuns(download_folder_, lock);
}

void PackageFetcher::ThreadedFetcher::Start() {
  StartRecord();
  partner_list_ = json::array();
  partner_files_.clear();
  reply_ = json();
  package_lock_.Release();
  Report(PackageFetcherDelegate::kInitializing);
  if (!CleanDownloadLocation()) {
    Fail(PackageFetcherDelegate::kInitializationFailed, kInitializationFailedText);
    return;
  }
  Report(PackageFetcherDelegate::kReadingPayload);
  if (!ReadOwnPayload()) return;
  PostTask(BindWeak(weak_factory_.GetWeakPtr(), &ThreadedFetcher::FetchDownloadUrl));
}

bool PackageFetcher::ThreadedFetcher::CleanDownloadLocation() {
  return DeleteFileIfPresent(package_path_) && DeleteTree(extraction_folder());
}

bool PackageFetcher::ThreadedFetcher::ReadOwnPayload() {
  if (!payload_reader_) payload_reader_ = std::make_unique<PayloadReader>(GetExecutablePath());
  std::string tracking_data;
  if (payload_reader_->ReadPayload()) {
    if (payload_reader_->is_archive()) {
      // An offline installer carries the whole package. Its archive file is
      // held from its creation to the end of the unpacking, which reads it
      // through that hold: closed in between, it could be replaced.
      Report(PackageFetcherDelegate::kUnpacking);
      if (!payload_reader_->WritePayloadToFile(archive_path(), &package_lock_))
        package_lock_.Release();
      PostTask(BindWeak(weak_factory_.GetWeakPtr(), &ThreadedFetcher::UnpackArchive, uint64_t{0},
                        UINT64_MAX));
      return false;
    }
    tracking_data = payload_reader_->GetPayload();
  } else {
    LOG(WARNING) << "Failed reading payload";
    if (payload_reader_->is_invalid()) {
      Fail(PackageFetcherDelegate::kUnpackingFailed, kCorruptedPayloadText);
      return false;
    }
    if (command_line_.HasSwitch("server-tracking-blob")) {
      tracking_data = command_line_.GetSwitchValueASCII("server-tracking-blob");
      stats_root_.SetString("tracking_data", tracking_data);
      if (!tracking_data.empty()) payload_reader_->SetOverridePayload(tracking_data);
    }
  }
  if (!tracking_data.empty()) {
    stats_root_.SetString("tracking_data", tracking_data);
    proxy_->NotifyTrackingDataObtained(tracking_data);
  }
  return true;
}

std::vector<std::wstring> PackageFetcher::ThreadedFetcher::AllowedDomains() const {
  std::vector<std::wstring> domains;
  std::wstring product_domain = Utf8ToWide(product::Domain());
  if (product_domain != kPublicDomainSuffix) domains.push_back(product_domain);
  domains.insert(domains.end(), {kPublicDomainSuffix, kInternalDomainSuffix, L"localhost",
                                 L"127.0.0.1"});
  return domains;
}

std::wstring PackageFetcher::ThreadedFetcher::DownloadUrlQuery() const {
  std::wstring server = command_line_.GetSwitchValue("internal-package-server");
  if (!server.empty()) return server;
  std::wstring base = command_line_.HasSwitch("internal-package-server")
                          ? std::wstring(kInternalUpdateServer)
                          : Utf8ToWide(product::Url("autoupdate"));
  return base + L"netinstaller/" + Utf8ToWide(product::InternalStreamName());
}

void PackageFetcher::ThreadedFetcher::FetchDownloadUrl() {
  LOG(INFO) << "Preparing to fetch the download URL";
  Report(PackageFetcherDelegate::kFetchingDownloadUrl);
  downloader_->set_allowed_domains(AllowedDomains());
  std::wstring url = DownloadUrlQuery();
  LOG(INFO) << "Fetching the download URL";
  fetch_record_.SetTime("fetch_download_url_start_time");
  reply_text_.clear();
  // With tracking data the query is a POST of it, otherwise a GET.
  if (!downloader_->Start(url, payload_reader_->GetPayload(),
                          BindWeak(weak_factory_.GetWeakPtr(),
                                   &ThreadedFetcher::OnDownloadUrlFetched),
                          std::make_unique<StringResponseWriter>(&reply_text_),
                          std::make_unique<PrefixedDownloadStats>(fetch_record_,
                                                                  "fetch_download_url_"))) {
    Fail(PackageFetcherDelegate::kDownloadFailed, kFetchUrlFailedText);
  }
}

void PackageFetcher::ThreadedFetcher::OnDownloadUrlFetched() {
  if (downloader_->state() != Wininet::kCompleted) {
    Fail(PackageFetcherDelegate::kDownloadFailed, kFetchUrlFailedText);
    return;
  }
  Report(PackageFetcherDelegate::kDownloading);
  VLOG(1) << "Parsing the fetched URL";
  if (!ParseJson(reply_text_, &reply_) || !HasStrings(reply_, {"installer", "installer_checksum"})) {
    Fail(PackageFetcherDelegate::kDownloadFailed, kBadReplyText);
    return;
  }
  std::string url = reply_["installer"].get<std::string>();
  std::string checksum = reply_["installer_checksum"].get<std::string>();
  fetch_record_.SetString("download_url", url);
  stats_root_.SetString("download_url", url);
  LOG(INFO) << "Preparing to fetch the installer";
  auto writer = std::make_unique<FileResponseWriter>();
  if (!writer->Open(package_path_)) {
    Fail(PackageFetcherDelegate::kDownloadFailed, kDestinationText);
    return;
  }
  auto partners = reply_.find("partner_content");
  if (partners != reply_.end() && partners->is_array()) partner_list_ = *partners;
  fetch_record_.SetTime("download_start_time");
  stats_root_.SetTimestamp("installation_start_download_time");
  // The package and the partner files may come from any host.
  downloader_->set_allowed_domains({});
  if (!downloader_->Start(Utf8ToWide(url), {},
                          BindWeak(weak_factory_.GetWeakPtr(), &ThreadedFetcher::ExtractArchive,
                                   checksum),
                          std::move(writer),
                          std::make_unique<ChunkStats>(fetch_record_, "download_chunks"))) {
    Fail(PackageFetcherDelegate::kDownloadFailed, kPackageDownloadFailedText);
  }
}

void PackageFetcher::ThreadedFetcher::ExtractArchive(const std::string& checksum) {
  fetch_record_.SetTime("download_end_time");
  if (!CheckPackage(checksum)) return;
  fetch_record_.SetTime("extract_start_time");
  Report(PackageFetcherDelegate::kUnpacking);
  PayloadReader package(package_path_);
  if (!package.ReadPayload() || !package.is_archive()) {
    package_lock_.Release();
    Fail(PackageFetcherDelegate::kDownloadFailed, kNoArchiveText);
    return;
  }
  // Unpacked straight from the held package: a copy of the archive could be
  // replaced before it is read.
  PostTask(BindWeak(weak_factory_.GetWeakPtr(), &ThreadedFetcher::UnpackArchive,
                    package.payload_start(), package.payload_length()));
}

bool PackageFetcher::ThreadedFetcher::CheckPackage(const std::string& checksum) {
  const char* failure = nullptr;
  if (downloader_->state() != Wininet::kCompleted) {
    failure = kPackageDownloadFailedText;
  } else if (!package_lock_.Acquire(package_path_)) {
    PLOG(ERROR) << "Could not hold " << package_path_ << " for its checks";
    failure = kChecksumText;
  } else if (!ChecksumChecker::VerifyChecksum(package_path_, checksum)) {
    failure = kChecksumText;
  } else {
    // Only an unsigned installer (a development build) accepts an unsigned
    // package; one that cannot even be read as an image does not.
    bool has_table = true;
    bool unsigned_installer = HasCertificateTable(GetExecutablePath(), &has_table) && !has_table;
    if (!unsigned_installer && !VerifyPackageSigner(package_path_)) failure = kSignatureText;
  }
  if (!failure) {
    PackageIdentity identity;
    const PackageFit fit = CheckPackageIdentity(package_path_, &identity);
    fetch_record_.SetString("internal_version", identity.version);
    if (fit == PackageFit::kOlder) failure = kOlderText;
    if (fit != PackageFit::kOlder) fetch_record_.SetString("stream", identity.stream);
    if (fit == PackageFit::kOtherStream) failure = kStreamText;
  }
  if (failure) {
    package_lock_.Release();
    Fail(PackageFetcherDelegate::kDownloadFailed, failure);
  }
  return !failure;
}

void PackageFetcher::ThreadedFetcher::UnpackArchive(uint64_t start, uint64_t size) {
  LOG(INFO) << "Unpacking files from archive";
  fetch_record_.SetTime("unpack_start_time");
  stats_root_.SetTimestamp("installation_start_unpacking_time");
  bool success = false;
  if (CreateDirectories(extraction_folder())) {
    unpacker_.set_progress_sink(proxy_.get());
    success = unpacker_.OpenArchive(package_lock_.handle(), start, size) == 0 &&
              unpacker_.UnPack(extraction_folder()) == 0;
    unpacker_.CloseArchive();
  }
  package_lock_.Release();
  if (!payload_reader_->is_archive() && !payload_reader_->GetPayload().empty())
    payload_reader_->WritePayloadToFile(extraction_folder() / kTrackingDataFile);
  PostTask(BindWeak(weak_factory_.GetWeakPtr(), &ThreadedFetcher::OnUnpacked, success));
  DeleteFileIfPresent(archive_path());
}

void PackageFetcher::ThreadedFetcher::OnUnpacked(bool success) {
  fetch_record_.SetTime("unpack_end_time");
  stats_root_.SetTimestamp("installation_unpack_complete_time");
  auto welcome = reply_.is_object() ? reply_.find("url_welcome") : reply_.end();
  if (reply_.is_object() && welcome != reply_.end() && welcome->is_string()) {
    JsonPrefStore prefs(extraction_folder() / kWelcomePrefsFile, nullptr);
    prefs.Load();
    prefs.SetValue("welcome-url", *welcome);
    prefs.CommitPendingWrite();
  }
  if (!success) {
    Fail(PackageFetcherDelegate::kUnpackingFailed, kUnpackFailedText);
    return;
  }
  if (partner_list_.empty()) {
    PackageReady();
    return;
  }
  LOG(INFO) << "We have extra partner content";
  partner_position_ = 0;
  partner_try_ = 0;
  partner_record_ = fetch_record_.AppendRecord("addtional_files");
  Report(PackageFetcherDelegate::kDownloadingPartnerContent);
  DownloadPartnerFile();
}

void PackageFetcher::ThreadedFetcher::DownloadPartnerFile() {
  LOG(INFO) << "Preparing to download a partner content file";
  const json& entry = partner_list_[partner_position_];
  if (!HasStrings(entry, {"href", "filename", "checksum"}) ||
      !IsPlainFileName(entry["filename"].get<std::string>())) {
    LOG(ERROR) << "Failed parsing partner content part of JSON reply";
    EndPartnerPhase();
    return;
  }
  std::string href = entry["href"].get<std::string>();
  partner_record_.SetString("download_url", href);
  partner_record_.SetInteger("download_succeeded", 0);
  partner_try_record_ = partner_record_.AppendRecord("download_tries");
  partner_try_record_.SetTime("download_start_time");
  partner_try_record_.SetInteger("try_number", partner_try_);
  auto writer = std::make_unique<FileResponseWriter>();
  if (!writer->Open(download_folder_ / kPartnerDownloadFile)) {
    LOG(ERROR) << kDestinationText;
    EndPartnerPhase();
    return;
  }
  if (!downloader_->Start(Utf8ToWide(href), {},
                          BindWeak(weak_factory_.GetWeakPtr(),
                                   &ThreadedFetcher::OnPartnerDownloaded,
                                   entry["filename"].get<std::string>(),
                                   entry["checksum"].get<std::string>()),
                          std::move(writer),
                          std::make_unique<PrefixedDownloadStats>(partner_try_record_, ""))) {
    LOG(ERROR) << kPartnerFailedText;
    EndPartnerPhase();
  }
}

void PackageFetcher::ThreadedFetcher::OnPartnerDownloaded(const std::string& file_name,
                                                          const std::string& checksum) {
  partner_try_record_.SetTime("download_end_time");
  FilePath download = download_folder_ / kPartnerDownloadFile;
  if (downloader_->state() != Wininet::kCompleted ||
      !ChecksumChecker::VerifyChecksum(download, checksum)) {
    LOG(ERROR) << kPartnerFailedText;
    DeleteFileIfPresent(download);
    // A download that already needed the downloader's own retries is not
    // worth another round of them.
    if (partner_try_ >= kMaxPartnerRetries || downloader_->retry_count() != 0) {
      LOG(INFO) << "Giving up on partner content download";
      EndPartnerPhase(/*given_up=*/true);
      return;
    }
    LOG(INFO) << "Retrying partner content download";
    ++partner_try_;
    DownloadPartnerFile();
    return;
  }
  // Never over a file already there: partner files are not signed, the
  // package's own files are.
  if (!MoveFileExW(ExtendedLengthPath(download).c_str(),
                   ExtendedLengthPath(extraction_folder() / Utf8ToWide(file_name)).c_str(),
                   MOVEFILE_COPY_ALLOWED)) {
    PLOG(ERROR) << "Failed moving partner content into place";
    DeleteFileIfPresent(download);
    EndPartnerPhase();
    return;
  }
  partner_record_.SetInteger("download_succeeded", 1);
  partner_try_ = 0;
  partner_files_.push_back(file_name);
  if (++partner_position_ >= partner_list_.size()) {
    EndPartnerPhase();
    return;
  }
  partner_record_ = fetch_record_.AppendRecord("addtional_files");
  DownloadPartnerFile();
}

void PackageFetcher::ThreadedFetcher::EndPartnerPhase(bool given_up) {
  // The package's list gains every partner file that made it into the
  // package, also when a later entry could not be had. Partner content is
  // optional: without it the package alone is installed.
  if (!partner_files_.empty() && !AddToFilesList(extraction_folder(), partner_files_))
    LOG(ERROR) << "Could not list the partner content; installing the package without it";
  if (given_up) {
    Report(PackageFetcherDelegate::kPackageReady);
    return;
  }
  PackageReady();
}

void PackageFetcher::ThreadedFetcher::PackageReady() {
  fetch_record_.SetTime("package_ready_time");
  stats_root_.SetTimestamp("package_ready_time");
  fetch_record_.SetString("result", PackageFetcher::StatusName(PackageFetcherDelegate::kPackageReady));
  Report(PackageFetcherDelegate::kPackageReady);
}

// PackageFetcher --------------------------------------------------------------

PackageFetcher::PackageFetcher(const FilePath& download_folder, StatsNode stats_root,
                               UICallbackRunner* ui_runner, PackageFetcherDelegate* delegate,
                               const CommandLine& command_line)
    : package_path_(NewPackagePathIn(download_folder)) {
  auto proxy = std::make_shared<PackageFetcherDelegateProxy>(delegate, ui_runner);
  fetcher_ = std::make_unique<ThreadedFetcher>(download_folder, package_path_, stats_root,
                                               std::move(proxy), command_line);
  worker_.Start();
  // Sweeping can take a while (a whole unpacked package), so never here on
  // the controller's thread.
  if (auto runner = worker_.task_runner()) {
    ThreadedFetcher* fetcher = fetcher_.get();
    runner->PostTask(FROM_HERE, [fetcher] { fetcher->ClaimDownloadFolder(); });
  }
}

PackageFetcher::~PackageFetcher() {
  // The worker finishes its current task before deleting the fetcher: an
  // unpacking then stops within a block's next write instead of running on.
  fetcher_->CancelUnpacking();
  if (auto runner = worker_.task_runner()) {
    ThreadedFetcher* fetcher = fetcher_.release();
    if (!runner->PostTask(FROM_HERE, [fetcher] { delete fetcher; })) delete fetcher;
  }
  worker_.Stop();
}

void PackageFetcher::Start() {
  ThreadedFetcher* fetcher = fetcher_.get();
  std::shared_ptr<TaskRunner> runner = worker_.task_runner();
  if (runner && runner->PostTask(FROM_HERE, [fetcher] { fetcher->Start(); })) return;
  // No worker runs the fetcher (it never started or its loop is gone), so
  // the run fails on this thread rather than never reporting.
  fetcher->FailWithoutWorker();
}

FilePath PackageFetcher::extraction_folder() const {
  return WithoutExtension(package_path_);
}

const char* PackageFetcher::StatusName(Status status) {
  switch (status) {
    case PackageFetcherDelegate::kPackageReady:
      return "package_ready";
    case PackageFetcherDelegate::kInitializationFailed:
      return "initialization_failed";
    case PackageFetcherDelegate::kDownloadFailed:
      return "download_failed";
    case PackageFetcherDelegate::kUnpackingFailed:
      return "unpacking_failed";
    default:
      return "invalid";
  }
}

}  // namespace norva::installer
