#include "installer/settings.h"

#include <windows.h>

#include <algorithm>
#include <utility>

#include "base/file_util.h"
#include "base/logging.h"
#include "installer/installation_folder.h"
#include "product/installer_features.h"
#include "product/languages.h"
#include "stats/stats_collector.h"
#include "system/access_rights.h"

namespace norva::installer {

namespace {

const char* OperationName(InstallOperation operation) {
  switch (operation) {
    case kOperationInstall: return "installing";
    case kOperationUpgrade: return "upgrading";
    case kOperationUninstall: return "uninstalling";
    default: return "invalid";
  }
}

}  // namespace

Settings::Settings(SettingsOptions options, const CommandLine& command_line)
    : options_(std::move(options)),
      command_line_(command_line),
      default_folder_(options_.install_folder),
      status_(std::make_unique<InstallationStatus>(options_.replace_quorel_installation)),
      examiner_(options_.replace_quorel_installation) {
  l10n::SetCurrentUiLanguage(static_cast<LANGID>(l10n::ResolveLanguage(&choices_.language)));
  if (options_.uninstall) {
    choices_.delete_profile = command_line.GetSwitchValueBool("deleteuserprofile");
    FilePath installation_folder = options_.installation_folder;
    if (installation_folder.empty())
      installation_folder = FindInstallationFolder(GetExecutablePath().parent_path());
    SetInstallFolder(std::move(installation_folder));
    return;
  }
  if (command_line_.Has("language")) SetLanguage(command_line_.Value("language"));
  ReadCommandLine();
  SetInstallFolder(GetDefaultInstallFolder(true, true));
}

Settings::~Settings() { weak_factory_.InvalidateWeakPtrs(); }

const char* Settings::GetInstallationModeName() const {
  if (choices_.copy_only) return "standalone";
  return choices_.all_users ? "all_users" : "current_user";
}

void Settings::AddObserver(Observer* observer) { observers_.push_back(observer); }

void Settings::RemoveObserver(Observer* observer) {
  observers_.erase(std::remove(observers_.begin(), observers_.end(), observer), observers_.end());
}

// Observers may remove themselves (or others) while being told.
void Settings::Notify(void (Observer::*method)()) {
  std::vector<Observer*> snapshot = observers_;
  for (Observer* observer : snapshot) {
    if (std::find(observers_.begin(), observers_.end(), observer) != observers_.end())
      (observer->*method)();
  }
}

bool Settings::IsAllowed(Choice choice) const {
  switch (choice) {
    case Choice::kCopyOnly:
    case Choice::kSingleProfile:
      return operation_ != kOperationUpgrade;
    case Choice::kAllUsers:
      return operation_ != kOperationUpgrade && !choices_.copy_only;
    case Choice::kDefaultBrowser:
      return !choices_.copy_only;
    case Choice::kDeleteProfile:
      return options_.uninstall;
    default:
      return true;
  }
}

bool Settings::SetChoice(Choice choice, bool value) {
  struct Flag {
    bool InstallChoices::*member;
    const char* label;
  };
  static constexpr Flag kFlags[] = {
      {&InstallChoices::copy_only, "copy_only_"},
      {&InstallChoices::single_profile, "single_profile_"},
      {&InstallChoices::all_users, "all_users_"},
      {&InstallChoices::default_browser, "default_browser_"},
      {&InstallChoices::import_browser_data, "import_browser_data_"},
      {&InstallChoices::enable_installer_stats, "enable_installer_stats_"},
      {&InstallChoices::enable_norva_stats, "enable_norva_stats_"},
      {&InstallChoices::delete_profile, "delete_profile_"},
  };
  if (!modifiable_ || !IsAllowed(choice)) return false;
  const Flag& flag = kFlags[static_cast<int>(choice)];
  if (choice == Choice::kCopyOnly)
    choices_.SetCopyOnly(value);
  else
    choices_.*flag.member = value;
  VLOG(1) << flag.label << " set to: " << value;
  Notify(&Observer::OnSettingsChanged);
  return true;
}

bool Settings::SetInstallationMode(int mode) {
  bool keep_profile_choice = command_line_.Has("singleprofile");
  switch (mode) {
    case kModeAllUsers:
    case kModeCurrentUser:
      if (!keep_profile_choice) SetChoice(Choice::kSingleProfile, false);
      return SetChoice(Choice::kCopyOnly, false) &&
             SetChoice(Choice::kAllUsers, mode == kModeAllUsers);
    case kModeStandalone:
      if (!keep_profile_choice) SetChoice(Choice::kSingleProfile, true);
      return SetChoice(Choice::kCopyOnly, true);
    default:
      return false;
  }
}

void Settings::SetLanguage(std::wstring language) {
  if (!modifiable_ || language == choices_.language) return;
  choices_.language = std::move(language);
  l10n::SetCurrentUiLanguage(static_cast<LANGID>(l10n::ResolveLanguage(&choices_.language)));
  Notify(&Observer::OnLanguageChanged);
}

void Settings::SetInstallFolder(FilePath folder) {
  if (!modifiable_) return;
  VLOG(1) << "Setting install folder to: " << folder;
  // A folder typed again while another is being examined must win over it.
  const FilePath& examined =
      examiner_.IsPending() ? examiner_.pending_folder() : status_->GetPath();
  if (folder == examined) return;
  WeakPtr<Settings> weak = weak_factory_.GetWeakPtr();
  examiner_.Examine(std::move(folder), [weak](std::unique_ptr<InstallationStatus> status) {
    if (Settings* settings = weak.get()) settings->OnStatusFetched(std::move(status));
  });
}

void Settings::OnStatusFetched(std::unique_ptr<InstallationStatus> status) {
  // A frozen record keeps the status its installation was started with.
  if (!modifiable_) return;
  status_ = std::move(status);
  InstallOperation previous = operation_;
  operation_ = kOperationNone;
  VLOG(1) << "Install folder set: " << status_->GetPath();
  bool existing = status_->IsExistingInstallation();
  bool uninstall = options_.uninstall;
  if (!status_->IsValid() || (uninstall && !existing)) {
    VLOG(1) << "Invalid install folder";
    Notify(&Observer::OnInstallFolderStatusChanged);
    return;
  }
  if (first_valid_install_folder_.empty()) first_valid_install_folder_ = status_->GetPath();
  // Choices taken over from a previously examined installation must go.
  if (existing || previous == kOperationUpgrade) ReadCommandLine();
  operation_ = uninstall ? kOperationUninstall : existing ? kOperationUpgrade : kOperationInstall;
  VLOG(1) << "Operation: " << static_cast<int>(operation_);
  if (!existing && !status_->IsLegacyInstallation()) {
    if (!uninstall && !command_line_.Has("singleprofile")) {
      choices_.single_profile = status_->GetSingleProfile().value_or(choices_.copy_only);
    }
  } else {
    command_line_.ReadInstallationChoices(*status_, options_, &choices_);
  }
  choices_.Log();
  if (!status_->GetLanguage().empty() && (uninstall || !command_line_.Has("language")))
    SetLanguage(status_->GetLanguage());
  Notify(&Observer::OnInstallFolderStatusChanged);
}

void Settings::ReadCommandLine() {
  if (modifiable_) command_line_.ReadChoices(options_.autoupdate, &choices_);
}

FilePath Settings::GetDefaultInstallFolder(bool use_command_line, bool use_registry) const {
  return default_folder_.Get(choices_, use_command_line, use_registry);
}

CommandLine Settings::ToCommandLine(bool never_launch) const {
  return command_line_.ToBackend(options_, operation_, choices_, status_->GetPath(),
                                 never_launch);
}

void Settings::DumpStats(const StatsNode& node, std::string_view prefix) const {
  auto key = [prefix](const char* name) { return std::string(prefix) + name; };
  node.SetString(key("installation_mode"), GetInstallationModeName());
  node.SetString(key("installation_operation"), OperationName(operation_));
  node.SetInteger(key("autoupdate"), options_.autoupdate ? 1 : 0);
  if (!FeatureRegistry::Get().IsEnabled(kUiStats)) return;
  node.SetInteger(key("make_default"), choices_.default_browser ? 1 : 0);
  bool default_folder = status_->GetPath() == GetDefaultInstallFolder(false, false);
  node.SetInteger(key("using_default_installation_folder"), default_folder ? 1 : 0);
  bool privileged = !IsUserAdmin(false) && (choices_.all_users || !status_->IsWritable());
  node.SetInteger(key("using_privileged_installation_folder"), privileged ? 1 : 0);
}

}  // namespace norva::installer
