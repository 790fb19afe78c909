#ifndef NORVA_INSTALLER_INSTALLATION_STATUS_H_
#define NORVA_INSTALLER_INSTALLATION_STATUS_H_

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/file_path.h"
#include "system/install_log.h"
#include "system/shortcut_steps.h"

namespace norva::installer {

// Whether `path` can name a folder for the Win32 file functions: 1 to 247
// characters, an optional drive or UNC prefix, and components free of
// reserved characters, trailing full stops or blanks and device names.
bool IsValidWin32Path(std::wstring_view path);

// The product a legacy installation's ini file names. The values are the
// ini's own; kNoLegacyIni when the folder has no such file.
enum class LegacyProductKind : int {
  kNoLegacyIni = -1,
  kNorva = 0,  // also any value the ini should not hold
  kNext = 1,
  kLabs = 2,
};

// What is known of one candidate installation folder: whether an
// installation may go there, whether one (of this product or of the legacy
// generation) already lives there, and what it chose. When the folder holds
// an installation its install log is read into the inherited record.
//
// Initialize blocks on the file system, the registry and the shell; it runs
// on a background worker with COM initialised, never on a window's thread.
class InstallationStatus : public InstallLog {
 public:
  explicit InstallationStatus(bool replace_legacy = false);

  // Examines `path`. Every finding is logged; an unusable folder leaves
  // IsValid false.
  void Initialize(FilePath path);

  // The recorded shortcuts that start this installation.
  const FoundShortcuts& shortcuts() const { return shortcuts_; }
  bool IsWritable() const { return writable_; }
  bool IsDefaultBrowser() const { return default_browser_; }
  // Empty when the installation did not record the choice.
  std::optional<bool> GetImportBrowserData() const { return import_browser_data_; }
  std::optional<bool> GetEnableStats() const { return enable_stats_; }
  std::optional<bool> GetSingleProfile() const { return single_profile_; }
  const std::wstring& GetLanguage() const { return language_; }
  const std::string& GetWelcomeUrl() const { return welcome_url_; }
  const std::string& GetServerTrackingData() const { return server_tracking_data_; }
  LegacyProductKind GetLegacyProductKind() const { return legacy_product_kind_; }
  const FilePath& GetProfileFolder() const { return profile_folder_; }
  // The state of an experiment as that installation had it: the build's
  // default, overridden by the recorded list.
  bool IsInstalledExperimentEnabled(std::string_view name) const;
  // The examined folder, as given.
  const FilePath& GetPath() const { return path_; }
  const FilePath& GetExistingFolder() const { return existing_folder_; }
  bool IsValid() const { return valid_; }
  bool IsExistingInstallation() const { return existing_installation_; }
  bool IsLegacyInstallation() const { return legacy_installation_; }
  bool HasLauncher() const { return has_launcher_; }

 private:
  // Steps of Initialize; false ends the examination.
  bool CheckPathForm();
  bool LookAtFolder();
  void LookAtMissingFolder();
  void ReconcileLogFlags();
  void ReadFolderDetails();
  bool ReadInstallerPrefs();
  void ReadLocalState();
  void ReadLegacyIni(bool installer_prefs_read);

  FoundShortcuts shortcuts_;
  bool writable_ = false;
  bool default_browser_ = false;
  std::optional<bool> import_browser_data_;
  std::optional<bool> enable_stats_;
  std::wstring language_;
  std::string welcome_url_;
  std::string server_tracking_data_;
  std::optional<bool> single_profile_;
  LegacyProductKind legacy_product_kind_ = LegacyProductKind::kNoLegacyIni;
  FilePath profile_folder_;
  // The experiment list the installation recorded ("name@1", "name@2").
  std::vector<std::string> installed_experiments_;
  FilePath path_;
  FilePath existing_folder_;
  bool valid_ = false;
  bool existing_installation_ = false;
  bool legacy_installation_ = false;
  bool has_launcher_ = false;
  bool replace_legacy_ = false;
};

}  // namespace norva::installer

#endif  // NORVA_INSTALLER_INSTALLATION_STATUS_H_
