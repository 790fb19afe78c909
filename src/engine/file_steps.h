#ifndef NORVA_ENGINE_FILE_STEPS_H_
#define NORVA_ENGINE_FILE_STEPS_H_

#include <cstddef>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "engine/install_context.h"

namespace norva::installer {

class TaskScheduler;
class TaskSchedulerThread;

// The installation's files and shortcuts: the package's files lists, the
// copies (or, from the run's own package, moves) into a new versioned
// subfolder and the installation folder, the launcher, the shortcuts, and the
// finishing status file, default browser and autoupdate task. Each change goes into the context's
// transaction and its record.
class FileSteps {
 public:
  explicit FileSteps(InstallContext& context);
  ~FileSteps();
  FileSteps(const FileSteps&) = delete;
  FileSteps& operator=(const FileSteps&) = delete;

  // Starts the record of the installation from the request and, unless this
  // is a new installation, from the existing one.
  void StartRecord();
  // Before the steps: an uninstallation deletes the browser executable
  // (failing while the browser runs); the others read the package's files
  // lists, create the versioned subfolder the files go into and begin
  // connecting to the task scheduler.
  StepResult Prepare();
  // The entries of the files list, or of the root files list.
  size_t FileCount(bool root_files) const;
  // Copies entry `index` of a list; an empty root files list copies nothing.
  StepResult CopyEntry(size_t index, bool root_files);
  StepResult InstallLauncher();
  void InstallShortcuts();
  void UpdateShortcuts();
  void RemoveRecordedShortcuts();
  void DeletePreviousRootFiles();
  // Writes the status file, then makes the browser the default and creates
  // its autoupdate task as asked. A user's task is left out while
  // `folder_rights_borrowed`: those rights end with this run.
  StepResult FinalizeInstallation(bool folder_rights_borrowed);

 private:
  StepResult ReadFilesLists();
  void FindMovableFiles();
  bool RecordMovesFromPackage();
  StepResult CreateSubfolder();
  StepResult DeleteBrowserExecutable();
  void CopyLauncherExtras();
  void SetDefaultBrowser();
  // Logs an error and makes nothing without a scheduler.
  void CreateAutoupdateTask(TaskScheduler* scheduler);

  InstallContext& context_;
  std::vector<std::string> files_;
  std::vector<std::string> root_files_;
  // Folded entries of the lists that are moved rather than copied.
  std::unordered_set<std::string> movable_;
  bool moves_recorded_ = false;
  // From Prepare to the end of FinalizeInstallation.
  std::unique_ptr<TaskSchedulerThread> scheduler_thread_;
};

}  // namespace norva::installer

#endif  // NORVA_ENGINE_FILE_STEPS_H_
