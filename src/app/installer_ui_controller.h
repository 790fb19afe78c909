#ifndef NORVA_APP_INSTALLER_UI_CONTROLLER_H_
#define NORVA_APP_INSTALLER_UI_CONTROLLER_H_

#include <windows.h>

#include <functional>
#include <memory>
#include <string>

#include "app/download_folder_lock.h"
#include "app/installation_progress.h"
#include "app/package_fetch_supervisor.h"
#include "base/command_line.h"
#include "base/file_path.h"
#include "base/thread_checker.h"
#include "base/weak_ptr.h"
#include "engine/installer_observer.h"
#include "installer/settings.h"
#include "net/ui_callback_runner.h"
#include "ui/installer_window.h"

namespace norva::installer {

class InstallerRunner;
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
                              public PackageFetchSupervisor::Client,
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
  // Where the package fetcher reports, for tests that stand in for it.
  PackageFetcherDelegate& fetch_reports() { return fetch_; }
  // Replaces how the full-package address is opened: `program` is empty when
  // the shell opens the address itself.
  static void SetOpenAddressForTesting(
      std::function<void(const std::wstring& program, const std::wstring& address)> open);

  // Settings::Observer:
  void OnInstallFolderStatusChanged() override;

  // InstallerWindowObserver:
  void OnProceed() override;
  void OnCancel() override;
  void OnFullPackage() override;
  void OnOpenWebPage(const std::wstring& address) override;

  // UICallbackRunner:
  void RunUICallbackAndPostReply(UICallback callback, std::shared_ptr<TaskRunner> reply_runner,
                                 Reply reply) override;

  // PackageFetchSupervisor::Client:
  void OnFetchStateChanged() override;
  void OnPackageReady() override;
  bool OnFetchFailed(PackageFetcherDelegate::Status status) override;

  // InstallerObserver: success waits for the backend's end, which the
  // runner reports as OnInstallerTerminated(true).
  void SetTotalSteps(int steps) override;
  void OnStepCompleted() override;
  void OnInstallationFailed(int message_id, const std::wstring& detail,
                            const std::string& message) override;
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

  void Init();
  void FetchPrefDefaultOverrides();
  void ShowFailure();
  bool OfferCurrentUserInstallation();
  void Finish();

  const CommandLine command_line_;
  const std::unique_ptr<StatsCollector> stats_;
  TaskLoop* loop_ = nullptr;
  Settings* settings_ = nullptr;
  std::unique_ptr<DeferredRequest> deferred_request_;
  bool installing_ = false;
  std::unique_ptr<PendingError> pending_error_;
  InstallationProgress progress_;
  PackageFetchSupervisor fetch_{*this, progress_};
  bool run_immediately_ = false;
  bool inside_package_ = false;
  bool failed_before_ = false;
  bool proceed_requested_ = false;
  bool initial_stats_written_ = false;
  bool settings_stats_written_ = false;
  bool result_ = false;
  bool finished_ = false;
  DownloadFolderLock folder_lock_;
  std::unique_ptr<InstallerWindow> window_;
  std::unique_ptr<InstallerRunner> runner_;
  std::unique_ptr<PrefDefaultOverridesFetcher> pref_fetcher_;
  ThreadChecker thread_checker_;
  WeakPtrFactory<InstallerUIController> weak_factory_{this};
};

}  // namespace norva::installer

#endif  // NORVA_APP_INSTALLER_UI_CONTROLLER_H_
