#ifndef NORVA_APP_SILENT_INSTALLER_CONTROLLER_H_
#define NORVA_APP_SILENT_INSTALLER_CONTROLLER_H_

#include <memory>
#include <string>

#include "base/command_line.h"
#include "base/file_path.h"
#include "base/thread_checker.h"
#include "base/weak_ptr.h"
#include "engine/installer_observer.h"
#include "installer/settings.h"
#include "net/ui_callback_runner.h"
#include "package/package_fetcher_delegate.h"

namespace norva::installer {

class InstallerRunner;
class PackageFetcher;
class PrefDefaultOverridesFetcher;
class StatsCollector;
class TaskLoop;

// Drives an installation that shows no window: obtains the package (the
// folder it runs in, or a fetch), waits for the folder's status, runs the
// backend and sends the run's statistics. Everything happens on the main
// thread, inside Run.
class SilentInstallerController : public Settings::Observer,
                                  public UICallbackRunner,
                                  public PackageFetcherDelegate,
                                  public InstallerObserver {
 public:
  // Starts the run's statistics collector. `command_line` holds the switches
  // the fetches and the report read (tests pass their own).
  explicit SilentInstallerController(
      const CommandLine& command_line = CommandLine::ForCurrentProcess());
  ~SilentInstallerController() override;
  SilentInstallerController(const SilentInstallerController&) = delete;
  SilentInstallerController& operator=(const SilentInstallerController&) = delete;

  // Returns once the installation has ended and its report has been sent;
  // true when the installation succeeded.
  bool Run(Settings& settings, bool inside_package, const FilePath& download_folder);

  StatsCollector& stats() { return *stats_; }

  // Settings::Observer:
  void OnInstallFolderStatusChanged() override;

  // UICallbackRunner: there is no one to ask.
  void RunUICallbackAndPostReply(UICallback callback, std::shared_ptr<TaskRunner> reply_runner,
                                 Reply reply) override;

  // PackageFetcherDelegate:
  void SetTotalProgress(int) override {}
  void SetCurrentProgress(int) override {}
  void NotifyStalled() override {}
  void NotifyStatusChanged(Status status) override;
  void NotifyTrackingDataObtained(const std::string& tracking_data) override;

  // InstallerObserver:
  void SetTotalSteps(int) override {}
  void OnStepCompleted() override {}
  void OnInstallationFailed(int message_id, const std::wstring& detail,
                            const std::string& message) override;
  void OnInstallationSucceeded() override;
  void OnInstallerTerminated(bool success) override;

 private:
  void StartInstallationAttempt();
  bool BackendStartsEarly() const;
  void StartBackend();
  void FetchPrefDefaultOverrides();
  void WriteSettingsStats();
  void SetFailureReason(const std::string& reason);
  void Finish();

  const CommandLine command_line_;
  const std::unique_ptr<StatsCollector> stats_;
  TaskLoop* loop_ = nullptr;
  Settings* settings_ = nullptr;
  bool result_ = false;
  bool finished_ = false;
  bool fetching_download_url_seen_ = false;
  bool package_ready_ = false;
  bool attempt_started_ = false;
  bool settings_stats_written_ = false;
  std::string tracking_data_;
  std::unique_ptr<PackageFetcher> fetcher_;
  std::unique_ptr<InstallerRunner> runner_;
  std::unique_ptr<PrefDefaultOverridesFetcher> pref_fetcher_;
  ThreadChecker thread_checker_;
  WeakPtrFactory<SilentInstallerController> weak_factory_{this};
};

}  // namespace norva::installer

#endif  // NORVA_APP_SILENT_INSTALLER_CONTROLLER_H_
