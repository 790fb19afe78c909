#include "engine/folder_access.h"

#include <windows.h>

#include <memory>

#include "base/file_util.h"
#include "base/logging.h"
#include "engine/elevation.h"
#include "engine/registration.h"
#include "installer/installation_status.h"
#include "installer/settings.h"
#include "system/access_rights.h"
#include "system/transactions/create_folder_operation.h"

namespace norva::installer {
namespace {

// Read, write and execute access to the installation folder.
constexpr DWORD kFolderAccessMask = 0x1201bf;

}  // namespace

FolderAccess::FolderAccess(InstallContext& context, Registration& registration,
                           ElevationHandOver& elevation)
    : context_(context), registration_(registration), elevation_(elevation) {}

StepResult FolderAccess::Settle(bool* elevate_run) {
  const Settings& settings = *context_.settings;
  const InstallationStatus& status = context_.status();
  const FilePath& folder = context_.install_folder;
  const bool admin = IsUserAdmin(false);
  const bool all_users = settings.choices().all_users;
  if (all_users && settings.options().silent && !admin) {
    return StepFailure{IDS_GENERAL_FAILURE, L"",
                       "Installation requires elevation, but cannot elevate when silent"};
  }
  const bool existed = DirectoryExists(folder);
  const bool may_create = !all_users || admin;
  if (!existed && may_create && status.IsWritable()) {
    if (StepResult failure = CreateFolder()) return failure;
  }
  if (context_.operation() != kOperationUninstall && !context_.IsCopyOnly() &&
      !context_.IsAutoupdate())
    registration_.WriteLastInstallPath();
  bool writable = !(!existed && may_create && !status.IsWritable()) &&
                  CheckAccess(folder.native(), kFileObjectType, kFolderAccessMask);
  const bool single_profile_grant = context_.operation() == kOperationInstall &&
                                    settings.choices().single_profile &&
                                    status.GetSingleProfile() != true;
  if (!writable && single_profile_grant) {
    return StepFailure{IDS_NO_WRITE_ACCESS, L"",
                       "Single profile installations are only allowed to locations where the "
                       "user has write access"};
  }
  if (all_users && !admin) {
    *elevate_run = true;
    return {};
  }
  if (single_profile_grant && admin) {
    // Every user of a single-profile installation writes into its folder.
    std::unique_ptr<SavedPermissions> unused;
    ObtainPermissions(folder.native(), kFileObjectType, GENERIC_ALL, true, &unused);
  }
  VLOG(1) << "Write privileges for install folder: " << writable;
  if (!writable) {
    if (StepResult failure = ObtainWriteAccess(admin, elevate_run)) return failure;
    if (*elevate_run) return {};
  }
  return CreateFolder();
}

StepResult FolderAccess::ObtainWriteAccess(bool admin, bool* elevate_run) {
  const std::wstring folder = context_.install_folder.native();
  std::unique_ptr<SavedPermissions> unused;
  if (ObtainPermissions(folder, kFileObjectType, kFolderAccessMask, true, &unused)) return {};
  if (admin) {
    return StepFailure{IDS_NO_WRITE_ACCESS, L"",
                       "Could not obtain write permissions to installation folder"};
  }
  if (IsUserAdmin(true)) {
    *elevate_run = true;
    return {};
  }
  switch (elevation_.GrantFolderRights(context_.install_folder, false)) {
    case ElevationResult::kDone:
      break;
    case ElevationResult::kNotStarted:
      return StepFailure{IDS_ELEVATION_FAILED, L"",
                         "Failed to elevate the process to give us write permissions to "
                         "installation folder"};
    case ElevationResult::kChildFailed:
      return StepFailure{IDS_GENERAL_FAILURE, L"",
                         "The process for giving us write permission to the installer folder "
                         "didn't complete successfully"};
    case ElevationResult::kSetUpError:
      return StepFailure{IDS_GENERAL_FAILURE, L"",
                         "Error when setting up the process to give us write permissions to "
                         "installation folder"};
  }
  if (!CheckAccess(folder, kFileObjectType, kFolderAccessMask)) {
    return StepFailure{IDS_NO_WRITE_ACCESS, L"",
                       "No write access to installation folder after attempting to get it via "
                       "elevated process"};
  }
  return {};
}

StepResult FolderAccess::CreateFolder() {
  const FilePath& folder = context_.install_folder;
  if (!context_.transaction.Execute(std::make_unique<CreateFolderOperation>(folder))) {
    return StepFailure{IDS_FOLDER_NOT_CREATED, folder.native(),
                       "Could not create installation folder"};
  }
  return {};
}

}  // namespace norva::installer
