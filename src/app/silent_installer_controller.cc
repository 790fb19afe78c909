#include "app/silent_installer_controller.h"

#include <windows.h>

#include <chrono>
#include <utility>

#include "app/controller_common.h"
#include "app/installer_runner.h"
#include "app/pref_default_overrides_fetcher.h"
#include "base/file_util.h"
#include "base/location.h"
#include "base/logging.h"
#include "base/task_loop.h"
#include "package/package_fetcher.h"
#include "product/installer_features.h"
#include "stats/stats_collector.h"
#include "system/access_rights.h"
#include "system/windows_version.h"

namespace norva::installer {
namespace {

// A backend that has reported success quits at once; one that does not end
// within this time is stuck, and the run must not wait for it for ever.
constexpr std::chrono::milliseconds kEndAfterSuccessReport{30000};

}  // namespace

SilentInstallerController::SilentInstallerController(const CommandLine& command_line)
    : command_line_(command_line),
      stats_(std::make_unique<StatsCollector>(FeatureRegistry::Get().IsEnabled(kUiStats), this,
                                              command_line)) {}

SilentInstallerController::~SilentInstallerController() {
  if (settings_) settings_->RemoveObserver(this);
}

bool SilentInstallerController::Run(Settings& settings, bool inside_package,
                                    const FilePath& download_folder) {
  NORVA_DCHECK_CALLED_ON_VALID_THREAD(thread_checker_);
  loop_ = TaskLoop::Current();
  settings_ = &settings;
  settings.AddObserver(this);
  FilePath package_folder;
  if (inside_package) {
    package_folder = GetExecutablePath().parent_path();
    package_ready_ = true;
  } else {
    fetcher_ = std::make_unique<PackageFetcher>(download_folder, stats_->root(), this, this,
                                                command_line_);
    fetcher_->Start();
    package_folder = fetcher_->extraction_folder();
  }
  runner_ = std::make_unique<InstallerRunner>(package_folder, !inside_package);
  pref_fetcher_ =
      std::make_unique<PrefDefaultOverridesFetcher>(package_folder, this, command_line_);
  runner_->AddObserver(this);
  if (!settings.IsStatusFetchPending()) {
    loop_->task_runner()->PostTask(FROM_HERE, [weak = weak_factory_.GetWeakPtr()] {
      if (weak) weak->StartInstallationAttempt();
    });
  }
  loop_->Run();
  runner_->RemoveObserver(this);
  StopBackendAndWait(*runner_);
  settings.RemoveObserver(this);
  // Reports still queued for this controller must find nothing to call.
  weak_factory_.InvalidateWeakPtrs();
  fetcher_.reset();
  return result_;
}

void SilentInstallerController::OnInstallFolderStatusChanged() {
  NORVA_DCHECK_CALLED_ON_VALID_THREAD(thread_checker_);
  StartInstallationAttempt();
}

void SilentInstallerController::StartInstallationAttempt() {
  if (attempt_started_ || finished_) return;
  // A backend that does not start early is the package's own installer,
  // started once the package is ready (NotifyStatusChanged).
  if (!package_ready_ && !BackendStartsEarly()) return;
  attempt_started_ = true;
  WriteSettingsStats();
  if (GetWindowsVersionRank() < kWindows7) {
    LOG(ERROR) << "This version of Norva doesn't support windows versions "
               << "prior to Windows 7";
    Finish();
    return;
  }
  if (!IsProcessorFeaturePresent(PF_XMMI64_INSTRUCTIONS_AVAILABLE)) {
    LOG(ERROR) << "SSE2 not supported by the computer";
    Finish();
    return;
  }
  if (!package_ready_) {
    StartBackend();
    return;
  }
  FetchOverridesThenHandOver(*settings_, tracking_data_, *pref_fetcher_,
                             [weak = weak_factory_.GetWeakPtr()] {
                               if (!weak || weak->finished_) return;
                               weak->runner_->SetPackageReady();
                               weak->StartBackend();
                             });
}

// A backend started before the package is ready only waits for it, sharing
// the processor with the unpacking. It is worth starting early when it must
// elevate (the prompt shows meanwhile) or when the package is downloaded
// (a refusal, such as another run into the same folder, then comes before
// the download).
bool SilentInstallerController::BackendStartsEarly() const {
  if (fetching_download_url_seen_) return true;
  if (settings_->choices().all_users) return !IsUserAdmin(false);
  return !settings_->GetInstallationStatus().IsWritable();
}

void SilentInstallerController::StartBackend() {
  bool started = runner_->StartInstallation(*settings_);
  if (runner_->FoundInterruptedInstallation())
    stats_->root().SetInteger("interrupted_installation_rolled_back", 1);
  if (!started) Finish();
}

void SilentInstallerController::FetchPrefDefaultOverrides() {
  FetchOverridesThenHandOver(*settings_, tracking_data_, *pref_fetcher_,
                             [weak = weak_factory_.GetWeakPtr()] {
                               if (weak) weak->runner_->SetPackageReady();
                             });
}

void SilentInstallerController::RunUICallbackAndPostReply(UICallback,
                                                          std::shared_ptr<TaskRunner> reply_runner,
                                                          Reply reply) {
  NORVA_DCHECK_CALLED_ON_VALID_THREAD(thread_checker_);
  LOG(ERROR) << "Cannot display UI requested by fetcher when running silently";
  reply_runner->PostTask(FROM_HERE, [reply = std::move(reply)] { reply(0); });
}

void SilentInstallerController::NotifyStatusChanged(Status status) {
  NORVA_DCHECK_CALLED_ON_VALID_THREAD(thread_checker_);
  switch (status) {
    case kFetchingDownloadUrl:
      fetching_download_url_seen_ = true;
      if (!settings_->IsStatusFetchPending()) StartInstallationAttempt();
      break;
    case kPackageReady:
      package_ready_ = true;
      if (!attempt_started_) {
        if (!settings_->IsStatusFetchPending()) StartInstallationAttempt();
      } else if (!finished_) {
        FetchPrefDefaultOverrides();
      }
      break;
    case kInitializationFailed:
    case kDownloadFailed:
    case kUnpackingFailed:
      SetFailureReason("Fetcher error");
      Finish();
      break;
    default:
      break;
  }
}

void SilentInstallerController::NotifyTrackingDataObtained(const std::string& tracking_data) {
  NORVA_DCHECK_CALLED_ON_VALID_THREAD(thread_checker_);
  tracking_data_ = tracking_data;
}

void SilentInstallerController::OnInstallationFailed(int, const std::wstring&,
                                                     const std::string& message) {
  NORVA_DCHECK_CALLED_ON_VALID_THREAD(thread_checker_);
  LOG(ERROR) << "Installation failed: " << message;
  SetFailureReason(message);
  Finish();
}

void SilentInstallerController::OnInstallationSucceeded() {
  NORVA_DCHECK_CALLED_ON_VALID_THREAD(thread_checker_);
  LOG(INFO) << "Installation succeeded";
  // The run succeeds only when the backend also ends well (the runner
  // decides); the report alone could come from a backend that dies after it.
  loop_->task_runner()->PostDelayedTask(
      FROM_HERE,
      [weak = weak_factory_.GetWeakPtr()] {
        if (!weak || weak->finished_) return;
        LOG(ERROR) << "The installer backend did not end after reporting success";
        weak->SetFailureReason(kUnreportedInstallerError);
        weak->Finish();
      },
      kEndAfterSuccessReport);
}

void SilentInstallerController::OnInstallerTerminated(bool success) {
  NORVA_DCHECK_CALLED_ON_VALID_THREAD(thread_checker_);
  LOG(INFO) << "The installer backend ended " << (success ? "successfully" : "with a failure");
  if (finished_) return;
  result_ = success;
  if (!success) SetFailureReason(kUnreportedInstallerError);
  Finish();
}

void SilentInstallerController::WriteSettingsStats() {
  settings_->DumpStats(stats_->root());
  settings_stats_written_ = true;
}

void SilentInstallerController::SetFailureReason(const std::string& reason) {
  if (FeatureRegistry::Get().IsEnabled(kUiStats)) stats_->root().SetString("failure_reason", reason);
}

void SilentInstallerController::Finish() {
  if (finished_) return;
  finished_ = true;
  // A run that ends before its installation attempt (a package that could
  // not be obtained) reports the settings all the same.
  if (!settings_stats_written_) WriteSettingsStats();
  bool successful_autoupdate = result_ && settings_->options().autoupdate;
  EndRun(*stats_, *loop_, result_,
         settings_->choices().enable_installer_stats && !successful_autoupdate,
         fetching_download_url_seen_);
}

}  // namespace norva::installer
