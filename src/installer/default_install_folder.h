#ifndef NORVA_INSTALLER_DEFAULT_INSTALL_FOLDER_H_
#define NORVA_INSTALLER_DEFAULT_INSTALL_FOLDER_H_

#include "base/file_path.h"
#include "installer/install_choices.h"

namespace norva::installer {

// Where an installation goes unless the user picks a folder: the folder the
// command line names, else the one the last installation of this stream
// used (remembered in the user's registry), else the product's folder under
// the base its mode calls for.
class DefaultInstallFolder {
 public:
  // Reads the remembered folder and looks for the standalone drive.
  explicit DefaultInstallFolder(FilePath command_line_folder);

  FilePath Get(const InstallChoices& choices, bool use_command_line, bool use_registry) const;
  // Empty when none is remembered or it is gone.
  const FilePath& last_install_path() const { return last_install_path_; }
  // The root of the drive a standalone installation goes to.
  const FilePath& standalone_drive() const { return standalone_drive_; }

 private:
  const FilePath command_line_folder_;
  const FilePath last_install_path_;
  const FilePath standalone_drive_;
};

}  // namespace norva::installer

#endif  // NORVA_INSTALLER_DEFAULT_INSTALL_FOLDER_H_
