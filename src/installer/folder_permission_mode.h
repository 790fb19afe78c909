#ifndef NORVA_INSTALLER_FOLDER_PERMISSION_MODE_H_
#define NORVA_INSTALLER_FOLDER_PERMISSION_MODE_H_

#include "base/file_path.h"

namespace norva::installer {

class CommandLine;

// The elevated helper role ("set-folder-permission"): grants a user (named by
// the SID "permissions-for-user") full access to a folder for the duration of
// an installation, or waits for the package and starts the package's
// installer. With "run-uninstall-bat" the requester is an uninstallation: the
// grant lasts until the clean-up script it started has ended. Failures end
// the role quietly.
void RunFolderPermissionMode(const CommandLine& command_line);

// The system folder's cmd.exe; empty when the system folder is not known.
FilePath CommandInterpreterPath();

// Starts the installation's uninstall clean-up script "k.bat", hidden, without
// waiting for it.
void RunUninstallBatchFile(const FilePath& installation_folder);

}  // namespace norva::installer

#endif  // NORVA_INSTALLER_FOLDER_PERMISSION_MODE_H_
