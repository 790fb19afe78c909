#ifndef NORVA_ENGINE_INSTALLER_OBSERVER_H_
#define NORVA_ENGINE_INSTALLER_OBSERVER_H_

#include <string>

#include "product/resource_ids.h"  // the message ids (IDS_*) of failures

namespace norva::installer {

// What an installation reports while it runs, in the order the backend
// forwards it to its frontend. Exactly one outcome ends a run: success, or
// failure (OnInstallationFailed then OnInstallerTerminated), or an
// interruption (OnInstallerTerminated alone). An observer overrides the
// reports it needs; the others do nothing.
class InstallerObserver {
 public:
  virtual ~InstallerObserver() = default;
  virtual void OnInstallationStarted() {}
  virtual void OnChildProcessStarting(bool /*elevated*/) {}
  virtual void OnChildProcessFinished() {}
  virtual void SetTotalSteps(int steps) = 0;
  virtual void OnStepCompleted() = 0;
  virtual void OnInstallationFailed(int message_id, const std::wstring& detail,
                                    const std::string& message) = 0;
  virtual void OnInstallationSucceeded() {}
  virtual void OnInstallerTerminated(bool success) = 0;
};

}  // namespace norva::installer

#endif  // NORVA_ENGINE_INSTALLER_OBSERVER_H_
