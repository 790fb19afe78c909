#ifndef NORVA_ENGINE_FOLDER_ACCESS_H_
#define NORVA_ENGINE_FOLDER_ACCESS_H_

#include "engine/install_context.h"

namespace norva::installer {

class ElevationHandOver;
class Registration;

// Makes the installation folder ready for the run: creates it where this
// user may, and obtains write access to it, from its own rights or from an
// elevated helper. An installation for all users by a user who is not an
// administrator, or one that only an administrator's rights can write, goes
// as a whole to an elevated copy of the installer instead.
class FolderAccess {
 public:
  FolderAccess(InstallContext& context, Registration& registration, ElevationHandOver& elevation);
  FolderAccess(const FolderAccess&) = delete;
  FolderAccess& operator=(const FolderAccess&) = delete;

  // Sets `elevate_run` when the run must go to an elevated copy.
  StepResult Settle(bool* elevate_run);

 private:
  StepResult ObtainWriteAccess(bool admin, bool* elevate_run);
  StepResult CreateFolder();

  InstallContext& context_;
  Registration& registration_;
  ElevationHandOver& elevation_;
};

}  // namespace norva::installer

#endif  // NORVA_ENGINE_FOLDER_ACCESS_H_
