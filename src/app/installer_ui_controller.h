#ifndef NORVA_APP_INSTALLER_UI_CONTROLLER_H_
#define NORVA_APP_INSTALLER_UI_CONTROLLER_H_

#include <windows.h>

#include <functional>
#include <memory>
#include <string>

#include "base/command_line.h"
#include "base/file_path.h"
#include "base/thread_checker.h"
#include "base/scoped_handle.h"
#include "base/weak_ptr.h"
#include "engine/installer_observer.h"
#include "installer/settings.h"
#include "net/ui_callback_runner.h"
#include "package/package_fetcher_delegate.h"
#include "ui/fetch_state.h"
#include "ui/installer_window.h"

namespace norva::installer {

class InstallerRunner;
class PackageFetcher;
class PrefDefaultOverridesFetcher;
class StatsCollector;
class TaskLoop;

// Drives the interactive installer: one window per download folder, the
// package fetch (retried by itself before the user proceeds), the backend,
// the progress of both on one bar, the error page with its retry and the
// offer to install for the current user when elevation failed. Everything
// runs on the main thread, inside RunUI.
class InstallerUIController : public Settings::Observer,
                              public InstallerWindowObserver,
                              public UICallbackRunner,
                              public PackageFetcherDelegate,
                              public InstallerObserver {
 public:
  // `command_line` holds the switches the fetches and the report read
  // (tests pass their own).
  explicit InstallerUIController(
      const CommandLine& command_line = CommandLine::ForCurrentProcess());
  ~InstallerUIController() override;
  InstallerUIController(const InstallerUIController&) = delete;
  InstallerUIController& operator=(const InstallerUIController&) = delete;

  // Returns once the run has finished; false also when another installer
  // window serves the same download folder (it is brought to the front).
  bool RunUI(Settings& settings, bool inside_package, const FilePath& download_folder,
             bool run_immediately);

  StatsCollector& stats() { return *stats_; }
  // The window while it exists, for tests that drive it.
  InstallerWindow* window() { return window_.get(); }
  // Replaces how the full-package address is opened: `program` is empty when
  // the shell opens the address itself.
  static void SetOpenAddressForTesting(
      std::function<void(const std::wstring& program, const std::wstring& address)> open);

  // Settings::Observer:
  void OnSettingsChanged() override {}
  void OnLanguageChanged() override {}
  void OnInstallFolderStatusChanged() override;

  // InstallerWindowObserver:
  void OnProceed() override;
  void OnCancel() override;
  void OnFullPackage() override;
  void OnOpenWebPage(const std::wstring& address) override;

  // UICallbackRunner:
  void RunUICallbackAndPostReply(UICallback callback, std::shared_ptr<TaskRunner> reply_runner,
                                 Reply reply) override;

  // PackageFetcherDelegate:
  void SetTotalProgress(int total) override;
  void SetCurrentProgress(int current) override;
  void NotifyStalled() override {}
  void NotifyStatusChanged(Status status) override;
  void NotifyTrackingDataObtained(const std::string& tracking_data) override;

  // InstallerObserver:
  void OnInstallationStarted() override {}
  void OnChildProcessStarting(bool) override {}
  void OnChildProcessFinished() override {}
  void SetTotalSteps(int steps) override;
  void OnStepCompleted() override;
  void OnInstallationFailed(int message_id, const std::wstring& detail,
                            const std::string& message) override;
  void OnInstallationSucceeded() override;
  void OnInstallerTerminated(bool success) override;

 private:
  struct PendingError {
    int message_id;
    std::wstring detail;
    std::string message;
  };
  struct DeferredRequest {
    UICallback callback;
    std::shared_ptr<TaskRunner> reply_runner;
    Reply reply;
  };

  // The thread id of the installer window that already serves the folder,
  // or 0 when this one takes the folder.
  DWORD AcquireFolderLock(const FilePath& download_folder);
  void Init();
  void StartFetcher();
  void FetchPrefDefaultOverrides();
  void SetFetchState(FetchState state);
  void OnFetchFailed(Status status);
  void UpdateProgressBar();
  void ShowFailure();
  bool OfferCurrentUserInstallation();
  bool UiStatsEnabled() const;
  void Finish();

  const CommandLine command_line_;
  const std::unique_ptr<StatsCollector> stats_;
  TaskLoop* loop_ = nullptr;
  Settings* settings_ = nullptr;
  std::string tracking_data_;
  std::unique_ptr<DeferredRequest> deferred_request_;
  bool installing_ = false;
  std::unique_ptr<PendingError> pending_error_;
  FetchState fetch_state_ = FetchState::kFetchingUrl;
  bool refetch_needed_ = false;
  int fetch_restarts_ = 0;
  unsigned progress_total_ = 0;
  unsigned progress_current_ = 0;
  bool run_immediately_ = false;
  bool inside_package_ = false;
  bool fetching_download_url_seen_ = false;
  bool failed_before_ = false;
  bool proceed_requested_ = false;
  bool initial_stats_written_ = false;
  bool result_ = false;
  bool finished_ = false;
  ScopedHandle lock_file_;
  std::unique_ptr<InstallerWindow> window_;
  std::unique_ptr<PackageFetcher> fetcher_;
  std::unique_ptr<InstallerRunner> runner_;
  std::unique_ptr<PrefDefaultOverridesFetcher> pref_fetcher_;
  ThreadChecker thread_checker_;
  WeakPtrFactory<InstallerUIController> weak_factory_{this};
};

}  // namespace norva::installer

#endif  // NORVA_APP_INSTALLER_UI_CONTROLLER_H_
