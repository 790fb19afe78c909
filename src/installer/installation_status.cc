#include "installer/installation_status.h"

#include <windows.h>

#include <array>
#include <utility>

#include "base/file_util.h"
#include "base/json_pref_store.h"
#include "base/logging.h"
#include "base/scoped_handle.h"
#include "base/strings.h"
#include "installer/status_probe.h"
#include "product/installer_features.h"
#include "product/product_info.h"
#include "system/access_rights.h"
#include "system/shortcuts.h"
#include "system/windows_version.h"

namespace norva::installer {
namespace {

constexpr size_t kMaxWin32PathLength = 247;
constexpr wchar_t kStatusFile[] = L"installation_status.xml";
constexpr wchar_t kLegacyLogFile[] = L"norva_install_log.xml";
constexpr wchar_t kLauncher[] = L"launcher.exe";
constexpr wchar_t kInstallerPrefsFile[] = L"installer_prefs.json";
constexpr wchar_t kServerTrackingDataFile[] = L"server_tracking_data";
// Tracking data is a short opaque string; a larger file is not ours to hold.
constexpr size_t kMaxServerTrackingDataSize = 1 << 20;
constexpr wchar_t kLegacyIniFile[] = L"norvaprefs_default.ini";
constexpr wchar_t kCompanyStartMenuFolder[] = L"Norva Software";
// Read, write and execute on the folder itself.
constexpr DWORD kFolderWriteAccess = 0x1201BF;
// FILE_ADD_SUBDIRECTORY on an ancestor that the installation would go under.
constexpr DWORD kAddSubfolderAccess = 0x4;
constexpr DWORD kMaxLanguageDirectory = 260;

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

// The device names Windows keeps in every folder: alone, before an
// extension ("nul.txt") and, on Windows 11, with a superscript 1, 2 or 3 as
// the port number.
bool IsReservedDeviceName(std::wstring_view stem) {
  static constexpr std::array<const wchar_t*, 4> kNames = {L"CON", L"PRN", L"AUX", L"NUL"};
  for (const wchar_t* name : kNames)
    if (EqualsCaseInsensitiveASCII(stem, name)) return true;
  if (stem.size() != 4) return false;
  const std::wstring_view port = stem.substr(0, 3);
  if (!EqualsCaseInsensitiveASCII(port, L"COM") && !EqualsCaseInsensitiveASCII(port, L"LPT"))
    return false;
  const wchar_t number = stem[3];
  return (number >= L'1' && number <= L'9') || number == L'\u00b9' || number == L'\u00b2' ||
         number == L'\u00b3';
}

bool IsValidComponent(std::wstring_view component) {
  for (wchar_t c : component) {
    if (c < 32 || wcschr(L"?\"<>*|:", c)) return false;
  }
  // Windows drops a trailing full stop or blank from every form of a path but
  // the extended-length one: such a folder could be made, but opened nowhere.
  if (!component.empty() && (component.back() == L'.' || component.back() == L' ')) return false;
  std::wstring_view stem = component.substr(0, component.find(L'.'));
  // "CON .txt" is the console too.
  while (!stem.empty() && stem.back() == L' ') stem.remove_suffix(1);
  return !IsReservedDeviceName(stem);
}

// Consumes "\\server\share" at the start of `rest`; false when malformed.
bool SkipUncPrefix(std::wstring_view* rest) {
  std::wstring_view text = rest->substr(2);
  size_t server_end = 0;
  while (server_end < text.size() && !IsSeparator(text[server_end])) ++server_end;
  if (server_end == 0 || server_end == text.size()) return false;
  std::wstring_view after = text.substr(server_end + 1);
  size_t share_end = 0;
  while (share_end < after.size() && !IsSeparator(after[share_end])) ++share_end;
  if (share_end == 0) return false;
  if (!IsValidComponent(text.substr(0, server_end)) ||
      !IsValidComponent(after.substr(0, share_end))) {
    return false;
  }
  *rest = after.substr(share_end);
  return true;
}

// Nullopt when the value is missing or not a boolean.
std::optional<bool> RecordedChoice(const JsonPrefStore& prefs, std::string_view key) {
  const nlohmann::json* value = prefs.GetValue(key);
  if (!value || !value->is_boolean()) return std::nullopt;
  return value->get<bool>();
}

FilePath WithoutTrailingSeparators(FilePath path) {
  std::wstring text = path.wstring();
  while (text.size() > 1 && IsSeparator(text.back()) && text[text.size() - 2] != L':')
    text.pop_back();
  return text;
}

std::wstring BrowserExecutableName() { return Utf8ToWide(product::FileNameBase()) + L".exe"; }

// Looks for the recorded shortcuts that start `executable`, keeping what
// an earlier look found. Links that start the browser directly bypass the
// launcher's updates, so they need replacing.
void FindShortcuts(const InstallLog& log, const FilePath& executable, bool launcher,
                   FoundShortcuts* found) {
  const FilePath* recorded[kShortcutKinds] = {&log.desktop_shortcut, &log.menu_shortcut,
                                              &log.quick_launch_shortcut};
  for (int kind = 0; kind < kShortcutKinds; ++kind) {
    if (found->found[kind]) continue;
    found->found[kind] = ShortcutStartsExecutable(*recorded[kind], executable);
    if (found->found[kind] && !launcher) found->needs_update[kind] = true;
    // Start-menu links of older installers lack what Windows 8 needs.
    if (kind == kStartMenuShortcut && GetWindowsVersionRank() >= kWindows8)
      found->needs_update[kind] = true;
  }
  StatusProbe probe = GetStatusProbe();
  if (found->company_menu_folder.empty()) {
    FilePath programs = probe.start_menu_programs();
    if (!programs.empty() && DirectoryExists(programs / kCompanyStartMenuFolder))
      found->company_menu_folder = programs / kCompanyStartMenuFolder;
  }
  if (found->pinned.empty() && GetWindowsVersionRank() >= kWindows7) {
    found->pinned = probe.find_taskbar_pin(executable);
    if (!found->pinned.empty() && !launcher) found->pin_needs_update = true;
  }
}

}  // namespace

bool IsValidWin32Path(std::wstring_view path) {
  if (path.empty() || path.size() > kMaxWin32PathLength) return false;
  std::wstring_view rest = path;
  if (path.size() >= 2 && path[1] == L':') {
    rest = path.substr(2);
  } else if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
    if (!SkipUncPrefix(&rest)) return false;
  }
  size_t start = 0;
  while (start <= rest.size()) {
    size_t end = start;
    while (end < rest.size() && !IsSeparator(rest[end])) ++end;
    if (!IsValidComponent(rest.substr(start, end - start))) return false;
    start = end + 1;
  }
  return true;
}

InstallationStatus::InstallationStatus(bool replace_legacy) : replace_legacy_(replace_legacy) {}

bool InstallationStatus::IsInstalledExperimentEnabled(std::string_view name) const {
  for (const FeatureRegistry::Feature& feature : FeatureRegistry::Get().features()) {
    if (feature.name != name) continue;
    bool enabled = feature.enabled_by_default;
    if (!feature.overridable) return enabled;
    for (const std::string& entry : installed_experiments_) {
      if (entry == feature.name + "@1") enabled = true;
      if (entry == feature.name + "@2") enabled = false;
    }
    return enabled;
  }
  return false;
}

void InstallationStatus::Initialize(FilePath path) {
  VLOG(1) << "Initializing status: " << path;
  path_ = std::move(path);
  valid_ = existing_installation_ = legacy_installation_ = has_launcher_ = false;
  if (!CheckPathForm()) return;
  bool is_folder = DirectoryExists(path_);
  if (!is_folder && PathExists(path_)) {
    VLOG(1) << "Path is a file path";
    return;
  }
  if (!LookAtFolder()) return;
  if (!existing_installation_) {
    if (!is_folder) {
      LookAtMissingFolder();
      return;
    }
    VLOG(1) << "Path is not an existing installation";
    has_launcher_ = PathExists(path_ / kLauncher);
    ReadFolderDetails();
    return;
  }
  VLOG(1) << "Path is a existing installation";
  ReconcileLogFlags();
  ReadFolderDetails();
  // A legacy installation is only upgraded when the run replaces it.
  if (legacy_installation_) existing_installation_ = replace_legacy_;
}

bool InstallationStatus::CheckPathForm() {
  if (path_.empty()) {
    VLOG(1) << "Path is empty";
    return false;
  }
  if (!IsValidWin32Path(path_.wstring())) {
    VLOG(1) << "Path is not a valid Win32 path";
    return false;
  }
  if (!IsAbsolutePath(path_)) {
    VLOG(1) << "Path is relative";
    return false;
  }
  return true;
}

// The CD-ROM test and, for an existing folder, its install log.
bool InstallationStatus::LookAtFolder() {
  bool opened =
      ScopedHandle(CreateFileW(ExtendedLengthPath(path_).c_str(), GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr))
          .is_valid();
  if (!opened && GetDriveTypeW(path_.wstring().substr(0, 3).c_str()) == DRIVE_CDROM) {
    VLOG(1) << "Path is to a non-writable CD-ROM";
    return false;
  }
  if (!DirectoryExists(path_)) return true;
  VLOG(1) << "Path is a folder";
  existing_folder_ = path_;
  valid_ = true;
  if (PathExists(path_ / kStatusFile)) {
    existing_installation_ = LoadInstallLog(path_ / kStatusFile, this);
  } else if (PathExists(path_ / kLegacyLogFile) && LoadInstallLog(path_ / kLegacyLogFile, this)) {
    existing_installation_ = legacy_installation_ = true;
  }
  return true;
}

// A folder that does not exist yet is usable when its nearest existing
// ancestor is a folder.
void InstallationStatus::LookAtMissingFolder() {
  FilePath current = WithoutTrailingSeparators(path_);
  for (;;) {
    FilePath parent = current.parent_path();
    if (parent.empty() || parent == current) {
      VLOG(1) << "Path is a root folder that's not valid" << "(probably invalid drive letter)";
      return;
    }
    if (DirectoryExists(parent)) {
      VLOG(1) << "Path is valid";
      existing_folder_ = parent;
      valid_ = true;
      ReadFolderDetails();
      return;
    }
    if (PathExists(parent)) {
      VLOG(1) << "Path is child of a file (invalid)";
      return;
    }
    current = parent;
  }
}

// Logs written by some older installers carry flags that contradict what
// they recorded; what was written to the machine decides.
void InstallationStatus::ReconcileLogFlags() {
  copy_only = copy_only && hklm_keys.empty() && hkcu_keys.empty() && desktop_shortcut.empty() &&
              menu_shortcut.empty() && quick_launch_shortcut.empty();
  all_users = !copy_only && (all_users || !hklm_keys.empty());
}

void InstallationStatus::ReadFolderDetails() {
  if (existing_installation_) {
    VLOG(1) << "Testing shortcuts";
    std::wstring browser = BrowserExecutableName();
    FindShortcuts(*this, path_ / kLauncher, true, &shortcuts_);
    FindShortcuts(*this, path_ / browser, false, &shortcuts_);
    FindShortcuts(*this, path_ / subfolder / browser, false, &shortcuts_);
  }
  if (valid_) {
    writable_ = CheckAccess(existing_folder_.wstring(), kFileObjectType,
                            existing_folder_ == path_ ? kFolderWriteAccess : kAddSubfolderAccess);
  }
  bool prefs_read = false;
  if (existing_installation_) {
    StatusProbe probe = GetStatusProbe();
    default_browser_ = probe.is_http_handled_by(path_, legacy_installation_);
    std::string tracking;
    if (ReadFileToString(path_ / kServerTrackingDataFile, &tracking, kMaxServerTrackingDataSize))
      server_tracking_data_ = std::move(tracking);
    else if (tracking.size() == kMaxServerTrackingDataSize)
      LOG(WARNING) << "Ignoring server tracking data larger than " << kMaxServerTrackingDataSize
                   << " bytes";
    if (!legacy_installation_) prefs_read = ReadInstallerPrefs();
    FilePath profile;
    if (probe.profile_folder(path_, &profile)) {
      profile_folder_ = std::move(profile);
      ReadLocalState();
    }
  }
  if (legacy_installation_ || !prefs_read) ReadLegacyIni(prefs_read);
}

bool InstallationStatus::ReadInstallerPrefs() {
  FilePath file = path_ / kInstallerPrefsFile;
  if (!PathExists(file)) return false;
  JsonPrefStore prefs(file, nullptr);
  if (!prefs.Load()) return false;
  single_profile_ = RecordedChoice(prefs, "single_profile");
  import_browser_data_ = RecordedChoice(prefs, "import_browser_data");
  enable_stats_ = RecordedChoice(prefs, "enable_stats");
  std::string language = prefs.GetString("language");
  if (!language.empty()) language_ = Utf8ToWide(language);
  welcome_url_ = prefs.GetString("welcome-url");
  installed_experiments_.clear();
  for (const nlohmann::json& entry : prefs.GetList("all-installer-experiments"))
    if (entry.is_string()) installed_experiments_.push_back(entry.get<std::string>());
  if (IsInstalledExperimentEnabled(kExperimentTest))
    LOG(INFO) << "Test experiment was enabled in install folder.";
  return true;
}

void InstallationStatus::ReadLocalState() {
  JsonPrefStore local_state(profile_folder_ / L"Local State", nullptr);
  if (!local_state.Load()) return;
  const nlohmann::json* locale = local_state.GetValue("intl.app_locale");
  if (locale && locale->is_string()) language_ = Utf8ToWide(locale->get<std::string>());
}

void InstallationStatus::ReadLegacyIni(bool installer_prefs_read) {
  std::wstring ini = (path_ / kLegacyIniFile).wstring();
  if (!PathExists(ini)) return;
  UINT kind = GetPrivateProfileIntW(L"System", L"Norva Product", 0, ini.c_str());
  legacy_product_kind_ = kind == 1   ? LegacyProductKind::kNext
                         : kind == 2 ? LegacyProductKind::kLabs
                                     : LegacyProductKind::kNorva;
  if (installer_prefs_read) return;
  wchar_t value[MAX_PATH] = {};
  // A default that no real value can have tells "absent" from "empty".
  constexpr wchar_t kAbsent[] = L"\x01";
  GetPrivateProfileStringW(L"System", L"Multi User", kAbsent, value, MAX_PATH, ini.c_str());
  int multi_user = 0;
  if (wcscmp(value, kAbsent) != 0) {
    StringToInt(std::wstring_view(value), &multi_user);
    single_profile_ = multi_user == 0;
  }
  // Room for one character more than a usable value, to tell a cut one.
  wchar_t directory[kMaxLanguageDirectory + 2] = {};
  DWORD length = GetPrivateProfileStringW(L"User Prefs", L"Language Files Directory", L"",
                                          directory, kMaxLanguageDirectory + 2, ini.c_str());
  if (length == 0 || length > kMaxLanguageDirectory) return;
  FilePath folder = WithoutTrailingSeparators(FilePath(directory));
  if (!folder.filename().empty()) language_ = folder.filename().wstring();
}

}  // namespace norva::installer
