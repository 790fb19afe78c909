#ifndef NORVA_ENGINE_INSTALLER_OBSERVER_H_
#define NORVA_ENGINE_INSTALLER_OBSERVER_H_

#include <string>

namespace norva::installer {

// Identifiers of the host's localised failure messages.
enum InstallerMessageId : int {
  kMessageAutoupdateTaskDescription = 37047,
  kMessageGeneralFailure = 37050,
  kMessageMutexFailure = 37052,
  kMessageInvalidOperation = 37053,
  kMessageFolderNotCreated = 37054,
  kMessageNoWriteAccess = 37055,
  kMessageElevationFailed = 37056,
  kMessageCopyFailed = 37057,
  kMessageBrowserInUse = 37058,
};

// What an installation reports while it runs, in the order the backend
// forwards it to its frontend. Exactly one outcome ends a run: success, or
// failure (OnInstallationFailed then OnInstallerTerminated), or an
// interruption (OnInstallerTerminated alone).
class InstallerObserver {
 public:
  virtual ~InstallerObserver() = default;
  virtual void OnInstallationStarted() = 0;
  virtual void OnChildProcessStarting(bool elevated) = 0;
  virtual void OnChildProcessFinished() = 0;
  virtual void SetTotalSteps(int steps) = 0;
  virtual void OnStepCompleted() = 0;
  virtual void OnInstallationFailed(int message_id, const std::wstring& detail,
                                    const std::string& message) = 0;
  virtual void OnInstallationSucceeded() = 0;
  virtual void OnInstallerTerminated(bool success) = 0;
};

}  // namespace norva::installer

#endif  // NORVA_ENGINE_INSTALLER_OBSERVER_H_
