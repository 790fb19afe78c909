#ifndef NORVA_APP_CONTROLLER_COMMON_H_
#define NORVA_APP_CONTROLLER_COMMON_H_

#include <string>

#include "base/task_runner.h"

// What the silent and the interactive controller do alike: hand the package
// over, stop the backend and end the run.
namespace norva::installer {

class InstallerRunner;
class PrefDefaultOverridesFetcher;
class Settings;
class StatsCollector;
class TaskLoop;

// The failure reason a report gives when the backend ended without a report
// of its own (the statistics service knows only its fixed reasons); the log
// says more.
inline constexpr char kUnreportedInstallerError[] = "Unreported installer error.";

// Runs `hand_over` once the preference default overrides for
// `tracking_data` (empty: the installation folder's own) are in the package
// folder. An uninstallation seeds no preferences, and a file fetched into
// the folder it runs from would outlive the folder's removal: it hands over
// at once.
void FetchOverridesThenHandOver(const Settings& settings, const std::string& tracking_data,
                                PrefDefaultOverridesFetcher& fetcher, Closure hand_over);

// Until the backend has ended, the package it runs from is in use and the
// fetcher could not delete it when it goes. One still waiting for the
// package is interrupted; one that reported its end is about to exit.
void StopBackendAndWait(InstallerRunner& runner);

// Records the run's result and quits `loop`, once the statistics report has
// been sent when `send_report` (with every retry when `full_retries`).
void EndRun(StatsCollector& stats, TaskLoop& loop, bool success, bool send_report,
            bool full_retries);

}  // namespace norva::installer

#endif  // NORVA_APP_CONTROLLER_COMMON_H_
