#include "installer/installation_folder.h"

#include "base/file_util.h"

namespace norva::installer {
namespace {

constexpr wchar_t kLauncherExe[] = L"launcher.exe";

bool IsFile(const FilePath& path) {
  return PathExists(path) && !DirectoryExists(path);
}

}  // namespace

FilePath FindInstallationFolder(const FilePath& executable_folder) {
  FilePath parent = executable_folder.parent_path();
  if (!IsFile(executable_folder / kLauncherExe) && parent != executable_folder &&
      IsFile(parent / kLauncherExe))
    return parent;
  return executable_folder;
}

}  // namespace norva::installer
