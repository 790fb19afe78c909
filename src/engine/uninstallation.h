#ifndef NORVA_ENGINE_UNINSTALLATION_H_
#define NORVA_ENGINE_UNINSTALLATION_H_

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "base/file_path.h"
#include "engine/install_context.h"

namespace norva::installer {

// The removal of an installation: the status file, the default-browser
// hand-back and the survey, then the files, with "k.bat" left to delete what
// is still in use once this process has ended. Also clears away what
// replaced versions left behind and keeps the log of the version an upgrade
// replaces.
class Uninstallation {
 public:
  explicit Uninstallation(InstallContext& context);
  Uninstallation(const Uninstallation&) = delete;
  Uninstallation& operator=(const Uninstallation&) = delete;

  // Tests: told the command line that would open the uninstall survey, which
  // is then not started (it opens Internet Explorer). Null starts it again.
  static void SetSurveyLaunchForTesting(std::function<void(const std::wstring& command)> launch);

  // Deletes the files of replaced versions listed in the preserved logs.
  void CleanUpPreviousStatus();
  // Keeps the status of the version being replaced for a later clean-up.
  void PreservePreviousStatus();
  StepResult FinalizeUninstallation();
  // Deletes the installation and the profiles the user asked to delete, and
  // starts "k.bat" for what is still in use.
  void RemoveInstallation();

 private:
  void CleanUpPreservedLog(const FilePath& file);
  void HandBackDefaultBrowser();
  void OpenUninstallSurvey();
  void RemoveAutoupdateTask();
  // Deletes the installed files in the transaction; what could not be
  // deleted, and the folders that may become empty, are left to "k.bat".
  void DeleteInstalledFiles(std::vector<FilePath>* remaining, std::set<FilePath>* folders);
  void WriteUninstallScript(const std::vector<FilePath>& files, const std::set<FilePath>& folders);
  // The profile folders the user asked to delete with the installation.
  std::vector<FilePath> FindProfileFolders();

  InstallContext& context_;
};

}  // namespace norva::installer

#endif  // NORVA_ENGINE_UNINSTALLATION_H_
