#include "app/installer_ui_controller.h"

#include <shellapi.h>

#include <chrono>
#include <utility>

#include "app/controller_common.h"
#include "app/installer_runner.h"
#include "app/pref_default_overrides_fetcher.h"
#include "base/file_util.h"
#include "base/location.h"
#include "base/logging.h"
#include "base/strings.h"
#include "base/task_loop.h"
#include "installer/installation_status.h"
#include "product/installer_features.h"
#include "product/languages.h"
#include "product/product_info.h"
#include "product/resource_ids.h"
#include "stats/stats_collector.h"
#include "system/shell_integration.h"
#include "system/windows_version.h"
#include "ui/win32_dialog_dispatcher.h"

namespace norva::installer {
namespace {

constexpr int kStableStreamId = 4;
// Gives a final message of the backend time to arrive before its end decides
// what the window shows.
constexpr std::chrono::milliseconds kTerminationGrace{1000};
std::function<void(const std::wstring&, const std::wstring&)>& OpenAddressOverride() {
  static std::function<void(const std::wstring&, const std::wstring&)> open;
  return open;
}

void OpenAddress(const std::wstring& program, const std::wstring& address) {
  if (OpenAddressOverride()) {
    OpenAddressOverride()(program, address);
    return;
  }
  const wchar_t* file = program.empty() ? address.c_str() : program.c_str();
  const wchar_t* parameters = program.empty() ? nullptr : address.c_str();
  ShellExecuteW(nullptr, L"open", file, parameters, nullptr, SW_SHOWNORMAL);
}

bool UiStatsEnabled() { return FeatureRegistry::Get().IsEnabled(kUiStats); }

}  // namespace

InstallerUIController::InstallerUIController(const CommandLine& command_line)
    : command_line_(command_line),
      stats_(std::make_unique<StatsCollector>(FeatureRegistry::Get().IsEnabled(kUiStats), this,
                                              command_line)) {}

InstallerUIController::~InstallerUIController() {
  if (settings_) settings_->RemoveObserver(this);
  folder_lock_.Release();
}

void InstallerUIController::SetOpenAddressForTesting(
    std::function<void(const std::wstring&, const std::wstring&)> open) {
  OpenAddressOverride() = std::move(open);
}

bool InstallerUIController::RunUI(Settings& settings, bool inside_package,
                                  const FilePath& download_folder,
                                  bool run_immediately) {
  NORVA_DCHECK_CALLED_ON_VALID_THREAD(thread_checker_);
  if (DWORD other = folder_lock_.Acquire(download_folder)) {
    LOG(INFO) << "Another installer window serves this download folder";
    BringThreadWindowToFront(other);
    return false;
  }
  loop_ = TaskLoop::Current();
  settings_ = &settings;
  inside_package_ = inside_package;
  run_immediately_ = run_immediately;
  FilePath package_folder;
  if (inside_package) {
    progress_.SetState(FetchState::kPackageReady);
    package_folder = GetExecutablePath().parent_path();
  } else {
    package_folder = fetch_.CreateFetcher(download_folder, stats_->root(), this, command_line_);
  }
  runner_ = std::make_unique<InstallerRunner>(package_folder, !inside_package);
  pref_fetcher_ =
      std::make_unique<PrefDefaultOverridesFetcher>(package_folder, this, command_line_);
  loop_->SetDialogDispatcher(&Win32DialogDispatcher::Get());
  loop_->task_runner()->PostTask(FROM_HERE, [weak = weak_factory_.GetWeakPtr()] {
    if (weak) weak->Init();
  });
  loop_->Run();
  loop_->SetDialogDispatcher(nullptr);
  runner_->RemoveObserver(this);
  StopBackendAndWait(*runner_);
  settings.RemoveObserver(this);
  settings_ = nullptr;  // the caller's, and it may go first
  weak_factory_.InvalidateWeakPtrs();
  fetch_.DestroyFetcher();
  return result_;
}

void InstallerUIController::Init() {
  settings_->AddObserver(this);
  runner_->AddObserver(this);
  window_ = InstallerWindow::Create(*settings_, stats_->root(), run_immediately_);
  if (!window_) {
    OnInstallationFailed(IDS_GENERAL_FAILURE, L"", "Could not initialize installer window");
    LOG(ERROR) << "Could not initialize installer window";
    Finish();
    return;
  }
  window_->AddObserver(this);
  window_->SetProgressState(progress_.state());
  if (!IsProcessorFeaturePresent(PF_XMMI64_INSTRUCTIONS_AVAILABLE)) {
    LOG(ERROR) << "SSE2 not supported by the computer";
    window_->ShowErrorMessage(l10n::GetLocalizedString(IDS_NO_SSE2));
    return;
  }
  fetch_.Start();
  bool status_pending = settings_->IsStatusFetchPending();
  if (UiStatsEnabled()) {
    if (!status_pending) {
      settings_->DumpStats(stats_->root(), "ui.initial_");
      initial_stats_written_ = true;
    }
    stats_->root().SetInteger("run_immediately", run_immediately_ ? 1 : 0);
  }
  if (run_immediately_ && !status_pending) {
    loop_->task_runner()->PostTask(FROM_HERE, [weak = weak_factory_.GetWeakPtr()] {
      if (weak) weak->OnProceed();
    });
  }
}

void InstallerUIController::OnInstallFolderStatusChanged() {
  NORVA_DCHECK_CALLED_ON_VALID_THREAD(thread_checker_);
  if (progress_.state() == FetchState::kHandedOver && fetch_.tracking_data().empty())
    progress_.SetState(FetchState::kPackageReady);
  if (run_immediately_ || proceed_requested_) {
    proceed_requested_ = false;
    loop_->task_runner()->PostTask(FROM_HERE, [weak = weak_factory_.GetWeakPtr()] {
      if (weak) weak->OnProceed();
    });
  }
  if (!initial_stats_written_ && UiStatsEnabled()) {
    settings_->DumpStats(stats_->root(), "ui.initial_");
    initial_stats_written_ = true;
  }
}

// Proceeding ---------------------------------------------------------------

void InstallerUIController::OnProceed() {
  NORVA_DCHECK_CALLED_ON_VALID_THREAD(thread_checker_);
  if (installing_ || finished_) return;
  if (settings_->IsStatusFetchPending()) {
    proceed_requested_ = true;
    return;
  }
  if (progress_.state() == FetchState::kPackageReady) FetchPrefDefaultOverrides();
  settings_->RemoveObserver(this);
  settings_->DumpStats(stats_->root());
  settings_stats_written_ = true;
  if (GetWindowsVersionRank() < kWindows7) {
    std::wstring full_package =
        l10n::WithoutAccessKey(l10n::GetLocalizedString(IDS_DOWNLOAD_FULL_INSTALLER));
    window_->ShowError(l10n::GetLocalizedString(IDS_OLD_WINDOWS, {full_package}), true,
                       "This version of Norva doesn't support windows versions prior to Windows 7");
    return;
  }
  installing_ = true;
  runner_->set_owner_window(window_->handle());
  bool started = !pending_error_ && runner_->StartInstallation(*settings_);
  if (runner_->FoundInterruptedInstallation())
    stats_->root().SetInteger("interrupted_installation_rolled_back", 1);
  if (!started) {
    ShowFailure();
    return;
  }
  if (deferred_request_) {
    std::unique_ptr<DeferredRequest> request = std::move(deferred_request_);
    int result = request->callback(window_->handle());
    request->reply_runner->PostTask(FROM_HERE, [reply = std::move(request->reply), result] {
      reply(result);
    });
  }
  fetch_.RefetchIfNeeded();
  window_->ShowPage(kPageProgress);
  window_->SetProgressState(progress_.state());
  progress_.Attach(GetDlgItem(window_->handle(), IDC_PROGRESS_BAR));
}

void InstallerUIController::FetchPrefDefaultOverrides() {
  FetchOverridesThenHandOver(*settings_, fetch_.tracking_data(), *pref_fetcher_,
                             [weak = weak_factory_.GetWeakPtr()] {
                               if (!weak) return;
                               weak->progress_.SetState(FetchState::kHandedOver);
                               weak->runner_->SetPackageReady();
                               if (weak->installing_ && weak->window_)
                                 weak->window_->SetProgressState(FetchState::kHandedOver);
                             });
}

void InstallerUIController::RunUICallbackAndPostReply(UICallback callback,
                                                      std::shared_ptr<TaskRunner> reply_runner,
                                                      Reply reply) {
  NORVA_DCHECK_CALLED_ON_VALID_THREAD(thread_checker_);
  if (finished_) {
    reply_runner->PostTask(FROM_HERE, [reply = std::move(reply)] { reply(ERROR_CANCELLED); });
    return;
  }
  if (installing_ && !pending_error_ && window_) {
    int result = callback(window_->handle());
    reply_runner->PostTask(FROM_HERE, [reply = std::move(reply), result] { reply(result); });
    return;
  }
  // Answered when the user starts the installation.
  deferred_request_ = std::make_unique<DeferredRequest>(
      DeferredRequest{std::move(callback), std::move(reply_runner), std::move(reply)});
}

// Progress -----------------------------------------------------------------

void InstallerUIController::SetTotalSteps(int steps) {
  NORVA_DCHECK_CALLED_ON_VALID_THREAD(thread_checker_);
  progress_.SetTotal(static_cast<unsigned>(steps), 1);
}

void InstallerUIController::OnStepCompleted() {
  NORVA_DCHECK_CALLED_ON_VALID_THREAD(thread_checker_);
  progress_.Advance();
}

// Fetch reports --------------------------------------------------------------

void InstallerUIController::OnFetchStateChanged() {
  NORVA_DCHECK_CALLED_ON_VALID_THREAD(thread_checker_);
  if (installing_ && window_) window_->SetProgressState(progress_.state());
}

void InstallerUIController::OnPackageReady() {
  NORVA_DCHECK_CALLED_ON_VALID_THREAD(thread_checker_);
  if (installing_) FetchPrefDefaultOverrides();
}

bool InstallerUIController::OnFetchFailed(PackageFetcherDelegate::Status status) {
  NORVA_DCHECK_CALLED_ON_VALID_THREAD(thread_checker_);
  if (!installing_) return false;
  if (UiStatsEnabled()) stats_->root().SetString("failure_reason", "Fetcher error");
  int message_id =
      status == PackageFetcherDelegate::kUnpackingFailed ? IDS_UNPACK_FAILED : IDS_DOWNLOAD_FAILED;
  pending_error_ = std::make_unique<PendingError>(PendingError{message_id, L"", "Fetcher error"});
  runner_->StopInstallation();
  return true;
}

// Backend reports ------------------------------------------------------------

void InstallerUIController::OnInstallationFailed(int message_id, const std::wstring& detail,
                                                 const std::string& message) {
  NORVA_DCHECK_CALLED_ON_VALID_THREAD(thread_checker_);
  if (UiStatsEnabled()) stats_->root().SetString("failure_reason", message);
  pending_error_ = std::make_unique<PendingError>(PendingError{message_id, detail, message});
  runner_->StopInstallation();
}

void InstallerUIController::OnInstallerTerminated(bool success) {
  NORVA_DCHECK_CALLED_ON_VALID_THREAD(thread_checker_);
  if (finished_) return;
  result_ = success;
  if (success) {
    progress_.Complete();
    Finish();
    return;
  }
  if (!pending_error_) {
    OnInstallationFailed(IDS_GENERAL_FAILURE, L"", kUnreportedInstallerError);
    LOG(ERROR) << kUnreportedInstallerError;
  }
  loop_->task_runner()->PostDelayedTask(
      FROM_HERE,
      [weak = weak_factory_.GetWeakPtr()] {
        if (weak && !weak->finished_) weak->ShowFailure();
      },
      kTerminationGrace);
}

// Failure ------------------------------------------------------------------

void InstallerUIController::ShowFailure() {
  installing_ = false;
  progress_.Detach();
  settings_->SetModifiable(true);
  settings_->AddObserver(this);
  if (!window_) return;
  if (OfferCurrentUserInstallation()) return;
  bool show_full_package =
      failed_before_ && !inside_package_ &&
      (progress_.state() < FetchState::kPartnerContent || fetch_.download_url_seen());
  failed_before_ = true;
  std::unique_ptr<PendingError> error = std::move(pending_error_);
  int message_id = error ? error->message_id : IDS_GENERAL_FAILURE;
  std::wstring detail = error ? error->detail : L"";
  window_->ShowError(l10n::GetLocalizedString(message_id, {detail}), show_full_package,
                     error ? error->message : "");
}

// After elevation failed for a new all-users installation, asks whether to
// install for the current user instead; true when that installation started.
bool InstallerUIController::OfferCurrentUserInstallation() {
  if (!pending_error_ || pending_error_->message_id != IDS_ELEVATION_FAILED) return false;
  const InstallationStatus& status = settings_->GetInstallationStatus();
  bool default_folder = status.GetPath() == settings_->GetDefaultInstallFolder(false, false);
  if (settings_->GetOperation() != kOperationInstall || !settings_->choices().all_users ||
      !(default_folder || status.IsWritable()) || !window_->AskSwitchToCurrentUser()) {
    return false;
  }
  settings_->SetChoice(Settings::Choice::kAllUsers, false);
  if (default_folder) settings_->SetInstallFolder(settings_->GetDefaultInstallFolder(false, false));
  pending_error_.reset();
  OnProceed();
  return true;
}

// Endings ------------------------------------------------------------------

void InstallerUIController::OnCancel() {
  NORVA_DCHECK_CALLED_ON_VALID_THREAD(thread_checker_);
  stats_->root().SetInteger("installation_cancelled", 1);
  Finish();
}

void InstallerUIController::OnOpenWebPage(const std::wstring& address) {
  NORVA_DCHECK_CALLED_ON_VALID_THREAD(thread_checker_);
  OpenAddress(L"", address);
}

void InstallerUIController::OnFullPackage() {
  NORVA_DCHECK_CALLED_ON_VALID_THREAD(thread_checker_);
  std::string address = product::Url("download_full_windows");
  if (product::StreamId() != kStableStreamId) {
    address += StringPrintf("&product=%s%%20%s", product::ProductName().c_str(),
                            product::InternalStreamName().c_str());
  }
  FilePath folder = settings_->GetInstallationStatus().GetPath();
  ShellIntegration shell(folder);
  std::wstring program;
  if (shell.IsHandledByUs(L"http", true) || shell.IsHandledByUs(L"http", false)) {
    // The browser being replaced cannot open the page.
    wchar_t expanded[MAX_PATH] = {};
    if (ExpandEnvironmentStringsW(L"%ProgramFiles%\\Internet Explorer\\iexplore.exe", expanded,
                                  MAX_PATH)) {
      program = expanded;
    }
  }
  OpenAddress(program, Utf8ToWide(address));
  stats_->root().SetInteger("installation_cancelled", 2);
  Finish();
}

void InstallerUIController::Finish() {
  if (finished_) return;
  finished_ = true;
  if (window_) {
    progress_.Detach();
    window_->RemoveObserver(this);
    window_.reset();
  }
  runner_->StopInstallation();
  // A request still waiting for the installation to start will not be
  // shown; its requester must not wait for it.
  if (deferred_request_) {
    std::unique_ptr<DeferredRequest> request = std::move(deferred_request_);
    request->reply_runner->PostTask(FROM_HERE, [reply = std::move(request->reply)] {
      reply(ERROR_CANCELLED);
    });
  }
  folder_lock_.Release();
  // Cancelled before the user proceeded, the run reports the settings it
  // ends with.
  if (!settings_stats_written_) settings_->DumpStats(stats_->root());
  if (result_ && UiStatsEnabled()) stats_->root().Remove("failure_reason");
  EndRun(*stats_, *loop_, result_,
         settings_->choices().enable_installer_stats && !settings_->options().autoupdate,
         fetch_.download_url_seen());
}

}  // namespace norva::installer
