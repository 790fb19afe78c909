#ifndef NORVA_ENGINE_INSTALLER_H_
#define NORVA_ENGINE_INSTALLER_H_

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base/command_line.h"
#include "base/file_path.h"
#include "base/handle_watcher.h"
#include "base/scoped_handle.h"
#include "base/weak_ptr.h"
#include "engine/elevation.h"
#include "engine/file_steps.h"
#include "engine/folder_access.h"
#include "engine/install_context.h"
#include "engine/installer_observer.h"
#include "engine/package_custody.h"
#include "engine/preferences.h"
#include "engine/registration.h"
#include "engine/uninstallation.h"
#include "system/install_log.h"

namespace norva::installer {

class Settings;
class TaskRunner;

// Installs, upgrades or uninstalls the browser on the thread that made it
// (the installer thread). Run checks the request, settles elevation and the
// folder's rights, then runs a fixed list of steps, each a task that posts the
// next, so that an interruption or a failure takes effect between two steps.
// Every change to files and registry goes through one transaction, which a
// failure or an interruption rolls back as a whole; only the preference
// files and permanent permission grants stay. Observers see the start, the
// progress units and exactly one outcome.
class Installer : public HandleWatcher::Delegate {
 public:
  // `command_line` carries the run's switches (the process's own in the
  // backend). `package_folder` is the unpacked package; empty means the
  // folder of the running executable.
  explicit Installer(CommandLine command_line, FilePath package_folder = {});
  ~Installer() override;
  Installer(const Installer&) = delete;
  Installer& operator=(const Installer&) = delete;

  void AddObserver(InstallerObserver* observer);
  void RemoveObserver(InstallerObserver* observer);

  // Posts Run to the installer thread. `settings` must stay alive until the
  // run ends; it is forgotten then.
  void PostRun(Settings* settings);
  void Run(Settings* settings);

  // The program that hand-overs start as a copy of this installer (the
  // elevated installation, the folder-permission helper); the running
  // executable unless a test names another.
  void SetSelfExecutableForTesting(FilePath executable) {
    elevation_.SetSelfExecutableForTesting(std::move(executable));
  }

  bool HasSucceeded() const { return succeeded_; }
  // The record written to "installation_status.xml" at the end.
  const InstallLog& record() const { return context_.record; }

 private:
  // A step of the run: `units` units of progress, each a task that runs
  // `run` with the unit's index.
  struct Step {
    std::function<StepResult(size_t unit)> run;
    size_t units = 1;
  };

  // Stages of Run; each returns false after failing the run.
  bool CheckRequest();
  bool RecoverAndOpenJournal();
  bool WatchInterruptedEvent();
  bool SettleFolderAndRights(bool* handed_over);
  // An elevated run installs only from a package it has verified itself.
  bool TakePackageIntoCustody();
  bool HandleElevatedResult(ElevationResult result);
  std::vector<Step> BuildSteps();
  void StartSteps();

  // The step machine.
  void PostTask(const char* location, std::function<void()> task);
  void ScheduleNextStep();
  void RunStep(size_t index, size_t unit);
  void NotifyStepCompleted();
  // Ends the run with `failure`; returns its message for the log.
  std::string Fail(const StepFailure& failure);
  // Ends the run with the outcome of its last piece of work.
  void Finish(const StepResult& result);
  void Cancel();
  void Succeed();
  void Reset();
  void OnHandleSignaled(HANDLE handle) override;

  std::shared_ptr<TaskRunner> task_runner_;
  InstallContext context_;
  Registration registration_{context_};
  PreferenceSeeding preferences_{context_};
  FileSteps file_steps_{context_};
  Uninstallation uninstallation_{context_};
  ElevationHandOver elevation_{context_, preferences_,
                               [this](const StepResult& result) { Finish(result); }};
  FolderAccess folder_access_{context_, registration_, elevation_};
  PackageCustody custody_;
  std::vector<Step> steps_;
  size_t cursor_ = 0;
  bool running_ = false;
  bool succeeded_ = false;
  // Tasks posted by an earlier run are dropped once it has ended.
  uint64_t generation_ = 0;
  ScopedHandle interrupted_event_;
  HandleWatcher interrupted_watcher_;
  WeakPtrFactory<Installer> weak_factory_{this};
};

}  // namespace norva::installer

#endif  // NORVA_ENGINE_INSTALLER_H_
