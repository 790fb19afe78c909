#include "app/controller_common.h"

#include <windows.h>

#include <utility>

#include "app/installer_runner.h"
#include "app/pref_default_overrides_fetcher.h"
#include "base/logging.h"
#include "base/task_loop.h"
#include "installer/installation_status.h"
#include "installer/settings.h"
#include "stats/stats_collector.h"

namespace norva::installer {
namespace {

// How long a run that has ended waits for its backend to exit.
constexpr DWORD kBackendExitWaitMs = 10000;

}  // namespace

void FetchOverridesThenHandOver(const Settings& settings, const std::string& tracking_data,
                                PrefDefaultOverridesFetcher& fetcher, Closure hand_over) {
  if (settings.options().uninstall) {
    hand_over();
    return;
  }
  std::string body = tracking_data;
  if (body.empty()) body = settings.GetInstallationStatus().GetServerTrackingData();
  fetcher.Fetch(body, std::move(hand_over));
}

void StopBackendAndWait(InstallerRunner& runner) {
  runner.StopInstallation();
  if (!runner.WaitForBackendToEnd(kBackendExitWaitMs))
    LOG(WARNING) << "The installer backend is still running";
}

void EndRun(StatsCollector& stats, TaskLoop& loop, bool success, bool send_report,
            bool full_retries) {
  stats.root().SetInteger("installation_success", success ? 1 : 0);
  if (!send_report) {
    loop.Quit();
    return;
  }
  TaskLoop* quit = &loop;
  stats.SendReport([quit] { quit->Quit(); }, full_retries);
}

}  // namespace norva::installer
