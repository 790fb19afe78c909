#ifndef NORVA_ENGINE_ELEVATION_H_
#define NORVA_ENGINE_ELEVATION_H_

#include <windows.h>

#include <functional>
#include <optional>

#include "base/file_path.h"
#include "base/handle_watcher.h"
#include "base/scoped_handle.h"
#include "engine/install_context.h"

namespace norva::installer {

class PreferenceSeeding;

// How a hand-over to an elevated process ended.
enum class ElevationResult {
  kDone,
  // Elevation is impossible (UAC is switched off) or the process did not
  // start.
  kNotStarted,
  // The other process failed, or ended without proving its success.
  kChildFailed,
  // This process could not prepare the hand-over.
  kSetUpError,
};

// The window an elevation prompt belongs to: the frontend's, named by
// kOwnerWindowSwitch, while it exists; null otherwise.
HWND PromptOwnerWindow(const CommandLine& command_line);

// Hand-overs to other processes: an elevated copy of the installer that runs
// the whole installation, the elevated helper that grants this process
// rights to the installation folder, and the installer of a package that
// another process unpacks. A process that takes over runs the transaction
// itself, so this one rolls back its own first.
class ElevationHandOver : public HandleWatcher::Delegate {
 public:
  // `end_run` is told the outcome of the package's installer, or why
  // waiting for the package failed.
  ElevationHandOver(InstallContext& context, PreferenceSeeding& preferences,
                    std::function<void(const StepResult&)> end_run);
  ~ElevationHandOver() override;
  ElevationHandOver(const ElevationHandOver&) = delete;
  ElevationHandOver& operator=(const ElevationHandOver&) = delete;

  // The program that hand-overs start as a copy of this installer; the
  // running executable unless a test names another, or none (an empty path)
  // as when the executable's own path cannot be read.
  void SetSelfExecutableForTesting(FilePath executable) {
    self_executable_ = std::move(executable);
  }

  // Runs the installation in an elevated copy of this installer, then what
  // it leaves to this user, or waits for the package.
  ElevationResult RunElevated();
  // Has an elevated helper grant this process rights to `folder`; unless
  // `permanent`, the helper takes them back when this run ends.
  ElevationResult GrantFolderRights(const FilePath& folder, bool permanent);
  bool HoldsFolderRights() const { return undo_event_.is_valid(); }
  // Waits for the package, then runs its installer. False once a failure
  // has gone to `end_run`.
  bool WaitForPackage(bool post_elevated);
  bool IsWaitingForPackage() const { return package_ready_watcher_.IsWatching(); }
  // What an elevated installation leaves to this user: the default browser
  // or the document class, and the profile's preferences.
  void RunPostElevationTasks();
  // Hands back the folder's rights and stops waiting for the package.
  void Reset();

 private:
  // HandleWatcher::Delegate:
  void OnHandleSignaled(HANDLE handle) override;

  void RunPackageInstaller();
  StepResult LaunchPackageInstaller();
  void HandOverTransaction();
  void ReturnFolderRights();
  FilePath SelfExecutable() const;

  InstallContext& context_;
  PreferenceSeeding& preferences_;
  const std::function<void(const StepResult&)> end_run_;
  std::optional<FilePath> self_executable_;
  bool post_elevated_ = false;
  ScopedHandle package_ready_event_;
  // Set by the folder-rights helper; takes the rights back.
  ScopedHandle undo_event_;
  HandleWatcher package_ready_watcher_;
};

}  // namespace norva::installer

#endif  // NORVA_ENGINE_ELEVATION_H_
