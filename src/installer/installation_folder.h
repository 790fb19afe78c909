#ifndef NORVA_INSTALLER_INSTALLATION_FOLDER_H_
#define NORVA_INSTALLER_INSTALLATION_FOLDER_H_

#include "base/file_path.h"

namespace norva::installer {

// The installation this installer file belongs to: its own folder, or the
// parent when only the parent holds the launcher.
FilePath FindInstallationFolder(const FilePath& executable_folder);

}  // namespace norva::installer

#endif  // NORVA_INSTALLER_INSTALLATION_FOLDER_H_
