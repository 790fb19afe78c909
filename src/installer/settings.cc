#include "installer/settings.h"

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <winioctl.h>

#include <algorithm>
#include <climits>
#include <utility>

#include "base/file_util.h"
#include "base/logging.h"
#include "base/strings.h"
#include "base/task_runner.h"
#include "base/thread.h"
#include "installer/startup.h"
#include "product/installer_features.h"
#include "product/languages.h"
#include "product/product_info.h"
#include "stats/stats_collector.h"
#include "system/access_rights.h"
#include "system/windows_version.h"

namespace norva::installer {

// Examines one folder on a worker and hands the result to its Settings on
// the thread that made the fetcher, unless it was cancelled by then.
class Settings::StatusFetcher : public std::enable_shared_from_this<StatusFetcher> {
 public:
  using Callback = std::function<void(std::unique_ptr<InstallationStatus>)>;

  StatusFetcher(FilePath folder, bool replace_legacy, Callback callback)
      : folder_(std::move(folder)),
        replace_legacy_(replace_legacy),
        origin_(ThreadTaskRunnerHandle::Get()),
        callback_(std::move(callback)) {}

  const FilePath& folder() const { return folder_; }

  bool FetchStatus(TaskRunner* worker) {
    if (!origin_) return false;
    std::shared_ptr<StatusFetcher> self = shared_from_this();
    return worker->PostTask(FROM_HERE, [self] {
      auto status = std::make_shared<std::unique_ptr<InstallationStatus>>(
          std::make_unique<InstallationStatus>(self->replace_legacy_));
      // The install log is read through COM.
      HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
      (*status)->Initialize(self->folder_);
      if (SUCCEEDED(com)) CoUninitialize();
      self->origin_->PostTask(FROM_HERE, [self, status] { self->Deliver(std::move(*status)); });
    });
  }

  // On the creating thread: the reply will be dropped.
  void Cancel() { callback_ = nullptr; }

 private:
  void Deliver(std::unique_ptr<InstallationStatus> status) {
    if (!callback_) return;
    Callback callback = std::move(callback_);
    callback_ = nullptr;
    callback(std::move(status));
  }

  const FilePath folder_;
  const bool replace_legacy_;
  const std::shared_ptr<TaskRunner> origin_;
  Callback callback_;
};

namespace {

constexpr char kStatusWorkerName[] = "Installer status worker";

const char* OperationName(InstallOperation operation) {
  switch (operation) {
    case kOperationInstall: return "installing";
    case kOperationUpgrade: return "upgrading";
    case kOperationUninstall: return "uninstalling";
    default: return "invalid";
  }
}

bool IsStableStream() { return product::StreamDisplayName() == "Stable"; }

bool ReadRegistryString(HKEY key, const std::wstring& name, std::wstring* value) {
  DWORD size = 0;
  if (RegGetValueW(key, nullptr, name.c_str(), RRF_RT_REG_SZ, nullptr, nullptr, &size) !=
      ERROR_SUCCESS) {
    return false;
  }
  std::wstring buffer(size / sizeof(wchar_t) + 1, L'\0');
  size = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
  if (RegGetValueW(key, nullptr, name.c_str(), RRF_RT_REG_SZ, nullptr, buffer.data(), &size) !=
      ERROR_SUCCESS) {
    return false;
  }
  buffer.resize(wcslen(buffer.c_str()));
  *value = std::move(buffer);
  return true;
}

// Lower numbers win; a drive that needs no medium check is not counted.
int DrivePriority(const std::wstring& root) {
  switch (GetDriveTypeW(root.c_str())) {
    case DRIVE_REMOVABLE: return 0;
    case DRIVE_REMOTE: return 1;
    case DRIVE_FIXED: return 3;
    case DRIVE_RAMDISK: return 4;
    case DRIVE_CDROM: return 5;
    case DRIVE_NO_ROOT_DIR: return 7;
    default: return 6;
  }
}

// Whether the drive's medium is there. CHECK_VERIFY2 is the variant that a
// handle opened only for reading attributes may ask.
bool IsMediumPresent(wchar_t letter) {
  std::wstring device = StringPrintf(L"\\\\.\\%lc:", letter);
  HANDLE volume = CreateFileW(device.c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (volume == INVALID_HANDLE_VALUE) return false;
  DWORD bytes = 0;
  bool ok = DeviceIoControl(volume, IOCTL_STORAGE_CHECK_VERIFY2, nullptr, 0, nullptr, 0, &bytes,
                            nullptr) != FALSE;
  DWORD error = GetLastError();
  CloseHandle(volume);
  return ok || error == ERROR_MEDIA_CHANGED;
}

}  // namespace

FilePath FindStandaloneDrive() {
  DWORD drives = GetLogicalDrives();
  int best_priority = INT_MAX;
  wchar_t best = L'A';
  for (int i = 0; i < 26; ++i) {
    if (!(drives & (1u << i))) continue;
    wchar_t letter = static_cast<wchar_t>(L'A' + i);
    if (!IsMediumPresent(letter)) continue;
    int priority = DrivePriority(StringPrintf(L"%lc:\\", letter));
    if (priority < best_priority) {
      best_priority = priority;
      best = letter;
    }
    if (priority == 0) break;
  }
  return StringPrintf(L"%lc:\\", best);
}

std::vector<std::wstring> LastInstallPathValueNames() {
  std::vector<std::wstring> names = {
      L"Last " + Utf8ToWide(product::InternalStreamName()) + L" Install Path" + L" x64",
      L"Last " + Utf8ToWide(product::StreamDisplayName()) + L" Install Path" + L" x64"};
  if (IsStableStream()) names.push_back(L"Last install path");
  return names;
}

Settings::Settings(bool uninstall, bool silent, bool autoupdate,
                   FilePath install_folder, bool replace_quorel_installation)
    : Settings(uninstall, silent, autoupdate, std::move(install_folder),
               replace_quorel_installation, CommandLine::ForCurrentProcess(), {}) {}

Settings::Settings(bool uninstall, bool silent, bool autoupdate,
                   FilePath install_folder, bool replace_quorel_installation,
                   const CommandLine& command_line, FilePath installation_folder)
    : uninstall_(uninstall),
      silent_(silent),
      autoupdate_(autoupdate),
      status_(std::make_unique<InstallationStatus>(replace_quorel_installation)),
      replace_quorel_installation_(replace_quorel_installation),
      command_line_install_folder_(std::move(install_folder)),
      command_line_(command_line) {
  ReadLastInstallPath();
  standalone_drive_ = FindStandaloneDrive();
  l10n::SetCurrentUiLanguage(static_cast<LANGID>(l10n::ResolveLanguage(&language_)));
  if (uninstall_) {
    delete_profile_ = command_line_.GetSwitchValueBool("deleteuserprofile");
    if (installation_folder.empty())
      installation_folder = FindInstallationFolder(GetExecutablePath().parent_path());
    SetInstallFolder(std::move(installation_folder));
    return;
  }
  if (command_line_.HasSwitch("language")) SetLanguage(command_line_.GetSwitchValue("language"));
  ReadCommandLine();
  SetInstallFolder(GetDefaultInstallFolder(true, true));
}

Settings::~Settings() {
  if (status_fetcher_) status_fetcher_->Cancel();
  weak_factory_.InvalidateWeakPtrs();
  if (status_worker_) status_worker_->Stop();
}

InstallationMode Settings::GetInstallationMode() const {
  if (copy_only_) return kModeStandalone;
  return all_users_ ? kModeAllUsers : kModeCurrentUser;
}

const char* Settings::GetInstallationModeName() const {
  switch (GetInstallationMode()) {
    case kModeStandalone: return "standalone";
    case kModeAllUsers: return "all_users";
    default: return "current_user";
  }
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

bool Settings::BoolSwitch(const char* name, bool current) const {
  return command_line_.HasSwitch(name) ? command_line_.GetSwitchValueBool(name) : current;
}

// A standalone installation touches nothing outside its folder.
void Settings::SetCopyOnlyValue(bool value) {
  copy_only_ = value;
  if (!value) return;
  all_users_ = default_browser_ = false;
  desktop_shortcut_ = start_menu_shortcut_ = quick_launch_shortcut_ = pinned_shortcut_ = false;
}

bool Settings::ApplyFlag(bool allowed, bool* flag, bool value, const char* label) {
  if (!modifiable_ || !allowed) return false;
  if (flag == &copy_only_)
    SetCopyOnlyValue(value);
  else
    *flag = value;
  VLOG(1) << label << value;
  Notify(&Observer::OnSettingsChanged);
  return true;
}

bool Settings::SetCopyOnly(bool value) {
  return ApplyFlag(operation_ != kOperationUpgrade, &copy_only_, value, "copy_only_ set to: ");
}

bool Settings::SetSingleProfile(bool value) {
  return ApplyFlag(operation_ != kOperationUpgrade, &single_profile_, value,
                   "single_profile_ set to: ");
}

bool Settings::SetAllUsers(bool value) {
  return ApplyFlag(operation_ != kOperationUpgrade && !copy_only_, &all_users_, value,
                   "all_users_ set to: ");
}

bool Settings::SetDefaultBrowser(bool value) {
  return ApplyFlag(!copy_only_, &default_browser_, value, "default_browser_ set to: ");
}

bool Settings::SetImportBrowserData(bool value) {
  return ApplyFlag(true, &import_browser_data_, value, "import_browser_data_ set to: ");
}

bool Settings::SetEnableInstallerStats(bool value) {
  return ApplyFlag(true, &enable_installer_stats_, value, "enable_installer_stats_ set to: ");
}

bool Settings::SetEnableNorvaStats(bool value) {
  return ApplyFlag(true, &enable_norva_stats_, value, "enable_norva_stats_ set to: ");
}

bool Settings::SetDeleteProfile(bool value) {
  return ApplyFlag(uninstall_, &delete_profile_, value, "delete_profile_ set to: ");
}

bool Settings::SetInstallationMode(int mode) {
  bool keep_profile_choice = command_line_.HasSwitch("singleprofile");
  switch (mode) {
    case kModeAllUsers:
    case kModeCurrentUser:
      if (!keep_profile_choice) SetSingleProfile(false);
      return SetCopyOnly(false) && SetAllUsers(mode == kModeAllUsers);
    case kModeStandalone:
      if (!keep_profile_choice) SetSingleProfile(true);
      return SetCopyOnly(true);
    default:
      return false;
  }
}

void Settings::SetLanguage(std::wstring language) {
  if (!modifiable_ || language == language_) return;
  language_ = std::move(language);
  l10n::SetCurrentUiLanguage(static_cast<LANGID>(l10n::ResolveLanguage(&language_)));
  Notify(&Observer::OnLanguageChanged);
}

void Settings::SetInstallFolder(FilePath folder) {
  if (!modifiable_) return;
  VLOG(1) << "Setting install folder to: " << folder;
  // A folder typed again while another is being examined must win over it.
  const FilePath& examined =
      status_fetcher_ ? status_fetcher_->folder() : status_->GetPath();
  if (folder == examined) return;
  StartStatusFetch(std::move(folder));
}

void Settings::StartStatusFetch(FilePath folder) {
  if (status_fetcher_) status_fetcher_->Cancel();
  status_fetcher_.reset();
  if (!status_worker_) {
    status_worker_ = std::make_unique<Thread>(kStatusWorkerName);
    if (!status_worker_->Start()) {
      LOG(ERROR) << "Could not start the " << kStatusWorkerName;
      status_worker_.reset();
      return;
    }
  }
  WeakPtr<Settings> weak = weak_factory_.GetWeakPtr();
  auto fetcher = std::make_shared<StatusFetcher>(
      std::move(folder), replace_quorel_installation_,
      [weak](std::unique_ptr<InstallationStatus> status) {
        if (Settings* settings = weak.get()) settings->OnStatusFetched(std::move(status));
      });
  if (!fetcher->FetchStatus(status_worker_->task_runner().get())) {
    LOG(ERROR) << "Could not examine the install folder " << fetcher->folder();
    return;
  }
  status_fetcher_ = std::move(fetcher);
}

void Settings::OnStatusFetched(std::unique_ptr<InstallationStatus> status) {
  status_fetcher_.reset();
  // A frozen record keeps the status its installation was started with.
  if (!modifiable_) return;
  status_ = std::move(status);
  InstallOperation previous = operation_;
  operation_ = kOperationNone;
  VLOG(1) << "Install folder set: " << status_->GetPath();
  bool existing = status_->IsExistingInstallation();
  if (!status_->IsValid() || (uninstall_ && !existing)) {
    VLOG(1) << "Invalid install folder";
    Notify(&Observer::OnInstallFolderStatusChanged);
    return;
  }
  if (first_valid_install_folder_.empty()) first_valid_install_folder_ = status_->GetPath();
  // Choices taken over from a previously examined installation must go.
  if (existing || previous == kOperationUpgrade) ReadCommandLine();
  operation_ = uninstall_ ? kOperationUninstall : existing ? kOperationUpgrade : kOperationInstall;
  VLOG(1) << "Operation: " << static_cast<int>(operation_);
  if (!existing && !status_->IsLegacyInstallation()) {
    if (!uninstall_ && !command_line_.HasSwitch("singleprofile")) {
      single_profile_ = status_->GetSingleProfile().value_or(copy_only_);
    }
  } else {
    AdoptExistingInstallation();
  }
  Dump();
  if (!status_->GetLanguage().empty() && (uninstall_ || !command_line_.HasSwitch("language")))
    SetLanguage(status_->GetLanguage());
  Notify(&Observer::OnInstallFolderStatusChanged);
}

void Settings::AdoptExistingInstallation() {
  VLOG(1) << "Using settings from existing installation";
  const InstallationStatus& status = *status_;
  SetCopyOnlyValue(status.copy_only);
  all_users_ = status.all_users && !copy_only_;
  single_profile_ = status.GetSingleProfile() == 1;
  desktop_shortcut_ = BoolSwitch("desktopshortcut", status.IsDesktopShortcutFound());
  start_menu_shortcut_ = BoolSwitch("startmenushortcut", status.IsStartMenuShortcutFound());
  quick_launch_shortcut_ = BoolSwitch("quicklaunchshortcut", status.IsQuickLaunchShortcutFound());
  pinned_shortcut_ = BoolSwitch("pintotaskbar", !status.GetPinnedShortcut().empty());
  import_browser_data_ = BoolSwitch("import-browser-data", status.GetImportBrowserData() != 0);
  if (!command_line_.HasSwitch("enable-stats")) {
    enable_norva_stats_ = status.GetEnableStats() != 0;
    enable_installer_stats_ = BoolSwitch("enable-installer-stats", enable_norva_stats_);
  }
  if (status.IsLegacyInstallation()) {
    if (autoupdate_ && !replace_quorel_installation_) launch_norva_ = true;
    if ((autoupdate_ || replace_quorel_installation_) && status.IsDefaultBrowser())
      default_browser_ = true;
  }
  // Switches given for the shortcuts do not apply to a standalone copy.
  if (copy_only_) SetCopyOnlyValue(true);
}

void Settings::ReadCommandLine() {
  if (!modifiable_) return;
  VLOG(1) << "Settings from command line";
  bool windows7_or_later = GetWindowsVersionRank() >= kWindows7;
  copy_only_ = false;
  all_users_ = IsUserAdmin(true);
  launch_norva_ = true;
  default_browser_ = IsStableStream() && !autoupdate_;
  import_browser_data_ = enable_norva_stats_ = enable_installer_stats_ = true;
  desktop_shortcut_ = start_menu_shortcut_ = true;
  single_profile_ = false;
  quick_launch_shortcut_ = !windows7_or_later;
  pinned_shortcut_ = windows7_or_later;

  if (command_line_.HasSwitch("launchnorva"))
    launch_norva_ = command_line_.GetSwitchValueBool("launchnorva");
  else
    launch_norva_ = BoolSwitch("launchbrowser", launch_norva_);
  SetCopyOnlyValue(BoolSwitch("copyonly", false));
  import_browser_data_ = BoolSwitch("import-browser-data", import_browser_data_);
  enable_norva_stats_ = enable_installer_stats_ = BoolSwitch("enable-stats", true);
  enable_installer_stats_ = BoolSwitch("enable-installer-stats", enable_installer_stats_);
  if (!copy_only_) {
    all_users_ = BoolSwitch("allusers", all_users_);
    default_browser_ = BoolSwitch("setdefaultbrowser", default_browser_);
    desktop_shortcut_ = BoolSwitch("desktopshortcut", desktop_shortcut_);
    start_menu_shortcut_ = BoolSwitch("startmenushortcut", start_menu_shortcut_);
    quick_launch_shortcut_ = BoolSwitch("quicklaunchshortcut", quick_launch_shortcut_);
    pinned_shortcut_ = BoolSwitch("pintotaskbar", pinned_shortcut_);
  } else {
    single_profile_ = true;
  }
  single_profile_ = BoolSwitch("singleprofile", single_profile_);
  if (command_line_.HasSwitch("profile-folder"))
    profile_folder_ = command_line_.GetSwitchValuePath("profile-folder");
  Dump();
}

void Settings::Dump() const {
  VLOG(1) << "all_users_:" << all_users_;
  VLOG(1) << "copy_only_:" << copy_only_;
  VLOG(1) << "launch_norva_:" << launch_norva_;
  VLOG(1) << "default_browser_:" << default_browser_;
  VLOG(1) << "single_profile_:" << single_profile_;
  VLOG(1) << "desktop_shortcut_:" << desktop_shortcut_;
  VLOG(1) << "start_menu_shortcut_:" << start_menu_shortcut_;
  VLOG(1) << "quick_launch_shortcut_:" << quick_launch_shortcut_;
  VLOG(1) << "pinned_shortcut_:" << pinned_shortcut_;
  VLOG(1) << "language:" << language_;
}

void Settings::ReadLastInstallPath() {
  HKEY key = nullptr;
  std::wstring key_path = L"Software\\" + Utf8ToWide(product::CompanyName());
  if (RegOpenKeyExW(HKEY_CURRENT_USER, key_path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
    return;
  std::vector<std::wstring> names = LastInstallPathValueNames();
  VLOG(1) << "Install folder reg value: " << names.front();
  std::wstring value;
  bool read = false;
  for (const std::wstring& name : names)
    if ((read = ReadRegistryString(key, name, &value))) break;
  RegCloseKey(key);
  FilePath folder(value);
  if (read && IsAbsolutePath(folder) && DirectoryExists(folder)) {
    std::wstring normal = folder.lexically_normal().native();
    while (normal.size() > 3 && (normal.back() == L'\\' || normal.back() == L'/'))
      normal.pop_back();
    last_install_path_ = normal;
  }
  VLOG(1) << "Install folder from reg value: " << last_install_path_;
}

FilePath Settings::GetDefaultInstallFolder(bool use_command_line,
                                           bool use_registry) const {
  LOG(INFO) << "Retrieving default installation folder path" << "Using command line: "
            << use_command_line << "Using the registry: " << use_registry;
  if (use_command_line && !command_line_install_folder_.empty())
    return command_line_install_folder_;
  if (use_registry && !last_install_path_.empty()) return last_install_path_;
  FilePath base;
  if (all_users_) {
    base = GetKnownFolder(FOLDERID_ProgramFiles);
  } else if (copy_only_) {
    base = standalone_drive_;
  } else {
    if (GetWindowsVersionRank() >= kWindows7) {
      base = GetKnownFolder(FOLDERID_UserProgramFiles);
      if (base.empty()) base = GetKnownFolder(FOLDERID_UserProgramFiles, KF_FLAG_CREATE | KF_FLAG_INIT);
    }
    // That known folder is "Programs" in the local application data; some
    // systems do not know it by name.
    if (base.empty()) base = GetKnownFolder(FOLDERID_LocalAppData) / L"Programs";
  }
  FilePath folder = base / Utf8ToWide(product::FullVisibleName());
  VLOG(1) << "Default install folder: " << folder;
  return folder;
}

CommandLine Settings::ToCommandLine(bool never_launch) const {
  CommandLine result{FilePath()};
  auto copy_switch = [&](const char* name) {
    if (command_line_.HasSwitch(name))
      result.AppendSwitchValue(name, command_line_.GetSwitchValue(name));
  };
  auto flag = [&](const char* name, bool value) { result.AppendSwitchValue(name, value ? L"1" : L"0"); };
  result.AppendSwitch("backend");
  if (silent_) result.AppendSwitch("silent");
  copy_switch("initial-pid");
  copy_switch("temp-folder");
  copy_switch("test-kill-after-journal-record");
  copy_switch("test-kill-after-do");
  if (operation_ == kOperationUninstall) {
    result.AppendSwitch("uninstall");
    flag("deleteuserprofile", delete_profile_);
    return result;
  }
  if (operation_ != kOperationInstall && operation_ != kOperationUpgrade) return result;
  result.AppendSwitch("install");
  if (autoupdate_) result.AppendSwitch("autoupdate");
  flag("import-browser-data", import_browser_data_);
  flag("enable-stats", enable_norva_stats_);
  flag("enable-installer-stats", enable_installer_stats_);
  flag("launchnorva", !never_launch && launch_norva_);
  result.AppendSwitchPath("installfolder", status_->GetPath());
  result.AppendSwitchPath("profile-folder", profile_folder_);
  if (!language_.empty()) result.AppendSwitchValue("language", language_);
  if (operation_ == kOperationInstall) {
    flag("singleprofile", single_profile_);
    flag("copyonly", copy_only_);
  }
  if (!copy_only_) {
    if (operation_ == kOperationInstall) flag("allusers", all_users_);
    flag("setdefaultbrowser", default_browser_);
    flag("startmenushortcut", start_menu_shortcut_);
    flag("desktopshortcut", desktop_shortcut_);
    flag("quicklaunchshortcut", quick_launch_shortcut_);
    flag("pintotaskbar", pinned_shortcut_);
    if (replace_quorel_installation_) result.AppendSwitch("replacequorelinstallation");
  }
  copy_switch("server-tracking-data");
  const FeatureRegistry& features = FeatureRegistry::Get();
  for (const FeatureRegistry::Feature& feature : features.features()) {
    result.AppendSwitchValue(std::string(kWithFeatureSwitchPrefix) + feature.name,
                             features.IsEnabled(feature.name) ? L"on" : L"off");
  }
  copy_switch("import-bookmarks");
  copy_switch("import-session");
  copy_switch("import-topsites-to-speeddial");
  return result;
}

void Settings::DumpStats(const StatsNode& node, std::string_view prefix) const {
  auto key = [prefix](const char* name) { return std::string(prefix) + name; };
  node.SetString(key("installation_mode"), GetInstallationModeName());
  node.SetString(key("installation_operation"), OperationName(operation_));
  node.SetInteger(key("autoupdate"), autoupdate_ ? 1 : 0);
  if (!FeatureRegistry::Get().IsEnabled(kUiStats)) return;
  node.SetInteger(key("make_default"), default_browser_ ? 1 : 0);
  bool default_folder = status_->GetPath() == GetDefaultInstallFolder(false, false);
  node.SetInteger(key("using_default_installation_folder"), default_folder ? 1 : 0);
  bool privileged = !IsUserAdmin(false) && (all_users_ || !status_->IsWritable());
  node.SetInteger(key("using_privileged_installation_folder"), privileged ? 1 : 0);
}

}  // namespace norva::installer
