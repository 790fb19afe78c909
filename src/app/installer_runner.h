#ifndef NORVA_APP_INSTALLER_RUNNER_H_
#define NORVA_APP_INSTALLER_RUNNER_H_

#include <windows.h>

#include <vector>

#include "base/file_path.h"
#include "base/handle_watcher.h"
#include "base/process.h"
#include "base/thread_checker.h"
#include "base/scoped_handle.h"
#include "base/weak_ptr.h"
#include "installer/ipc/ipc_receiver.h"

namespace norva::installer {

class InstallerObserver;
class Settings;

// The frontend's side of an installation: starts the backend process for the
// settings, holds the folder's installer mutex while it runs, and hands every
// event the backend sends over the mailslot to the observers, on the thread
// that made the runner. When the backend process ends, and every message it
// left in the mailslot has been handed on, the observers get
// OnInstallerTerminated: successful only when the backend both exited with 0
// and reported OnInstallationSucceeded. An exit code alone proves nothing: a
// process that is killed can read back 0.
class InstallerRunner : public HandleWatcher::Delegate, public IPCReceiverProxy::Delegate {
 public:
  // `movable_package`: the package folder is this run's own unpacking, so
  // the backend may move its files into place.
  explicit InstallerRunner(FilePath package_folder, bool movable_package = false);
  ~InstallerRunner() override;
  InstallerRunner(const InstallerRunner&) = delete;
  InstallerRunner& operator=(const InstallerRunner&) = delete;

  void AddObserver(InstallerObserver* observer);
  void RemoveObserver(InstallerObserver* observer);

  // `settings` must outlive the installation. Failures are reported to the
  // observers as OnInstallationFailed.
  bool StartInstallation(Settings& settings);
  // The package folder is complete: a backend waiting for it may go on.
  void SetPackageReady();
  // The window an elevation prompt of the backend belongs to.
  void set_owner_window(HWND window) { owner_window_ = window; }
  // Interrupts a running backend and releases everything of the attempt.
  void StopInstallation();

  // Also true while a backend whose end could not be watched still runs.
  bool IsBackendRunning() const;
  // The last start found a journal of an earlier run into the folder, which
  // the backend rolls back before it begins.
  bool FoundInterruptedInstallation() const { return found_interrupted_; }
  // Waits up to `timeout_ms` for a backend that still runs to end; false when
  // it outlived the wait.
  bool WaitForBackendToEnd(DWORD timeout_ms) const;

  // The backend process ended.
  void OnObjectSignaled(HANDLE handle);

  // Makes the watch of the next backends fail after the real call (the
  // system refuses it only when out of resources).
  void SetBackendWatchRefusedForTesting(bool refused) { watch_refused_for_testing_ = refused; }
  IPCReceiverProxy& receiver_for_testing() { return receiver_; }
  // IPCReceiverProxy::Delegate:
  void OnMessageReceived(const InstallerMessage& message) override;

 private:
  // HandleWatcher::Delegate:
  void OnHandleSignaled(HANDLE handle) override;

  bool Fail(int message_id, const char* message);
  void CloseEvents();
  // Once the messages the backend left have been handed on.
  void OnBackendEnded(bool exit_code_zero);

  IPCReceiverProxy receiver_{this};
  const FilePath package_folder_;
  const bool movable_package_;
  HWND owner_window_ = nullptr;
  Process backend_;
  ScopedHandle mutex_;
  HandleWatcher backend_watcher_;
  ScopedHandle package_ready_event_;
  ScopedHandle interrupted_event_;
  Settings* settings_ = nullptr;
  bool package_ready_ = false;
  bool backend_running_ = false;
  // The backend's end could not be watched: whether it still runs is asked
  // of the process itself.
  bool backend_unwatched_ = false;
  bool watch_refused_for_testing_ = false;
  bool found_interrupted_ = false;
  // The current backend reported OnInstallationSucceeded.
  bool success_reported_ = false;
  std::vector<InstallerObserver*> observers_;
  ThreadChecker thread_checker_;
  WeakPtrFactory<InstallerRunner> weak_factory_{this};
};

}  // namespace norva::installer

#endif  // NORVA_APP_INSTALLER_RUNNER_H_
