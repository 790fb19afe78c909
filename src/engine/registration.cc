#include "engine/registration.h"

#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/logging.h"
#include "base/registry.h"
#include "base/strings.h"
#include "installer/installation_status.h"
#include "installer/settings.h"
#include "product/installer_features.h"
#include "product/product_info.h"
#include "system/access_rights.h"
#include "system/transactions/change_reg_value_operation.h"
#include "system/transactions/delete_reg_key_operation.h"
#include "system/windows_version.h"

namespace norva::installer {
namespace {

constexpr wchar_t kUninstallRoot[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
constexpr wchar_t kUninstallTemplate[] = L"{Uninstall}";
constexpr char kUninstallFailure[] = "Failed writing uninstallation information";
// Far more installations of one version than any machine holds.
constexpr int kMaxUninstallSuffix = 10000;

#define NORVA_CLASS L"Software\\Classes\\{Product}{Stream}"
#define NORVA_CLIENT L"Software\\Clients\\StartMenuInternet\\{Product}{Stream}"
#define NORVA_CAPABILITIES NORVA_CLIENT L"\\Capabilities"
#define NORVA_LAUNCHER L"\"{InstallFolder}\\Launcher.exe\""
#define NORVA_OPEN_WITH(extension)                                                      \
  {L"Software\\Classes\\" extension L"\\OpenWithProgIDs", L"{Product}{Stream}", REG_NONE, \
   nullptr, nullptr, 0, 1, nullptr, 0, 0}
#define NORVA_CAPABILITY(subkey, name)                                                      \
  {NORVA_CAPABILITIES subkey, name, REG_SZ, L"{Product}{Stream}", nullptr, 0, kWindowsVista, \
   nullptr, 0, 1}
#define NORVA_UNINSTALL_TEXT(name, text) \
  {kUninstallTemplate, name, REG_SZ, text, nullptr, 0, 1, nullptr, 0, 1}
#define NORVA_UNINSTALL_NUMBER(name, number) \
  {kUninstallTemplate, name, REG_DWORD, nullptr, nullptr, number, 1, nullptr, 0, 1}

// Columns: key, value name, type, text, bytes, number, Windows rank, root,
// stream, clean level.
const RegistryEntry kRegistrationRows[] = {
    {NORVA_CLASS, L"FriendlyTypeName", REG_SZ, L"{Product} Web Document", nullptr, 0, 1, nullptr,
     0, 1},
    {NORVA_CLASS, L"URL Protocol", REG_SZ, L"", nullptr, 0, 1, nullptr, 0, 1},
    {NORVA_CLASS L"\\DefaultIcon", nullptr, REG_SZ, L"{InstallFolder}\\Launcher.exe,0", nullptr, 0,
     1, nullptr, 0, 1},
    {NORVA_CLASS L"\\shell\\open\\command", nullptr, REG_SZ,
     NORVA_LAUNCHER L" -noautoupdate -- \"%1\"", nullptr, 0, 1, nullptr, 0, 2},
    {NORVA_CLASS L"\\shell\\open\\ddeexec", nullptr, kDeleteKeyType, nullptr, nullptr, 0, 1,
     HKEY_LOCAL_MACHINE, 0, 0},
    {NORVA_CLASS L"\\shell\\open\\ddeexec", nullptr, REG_SZ, L"", nullptr, 0, 1, HKEY_CURRENT_USER,
     0, 2},
    {NORVA_CLASS L"\\shell\\open\\ddeexec\\Application", nullptr, REG_SZ, L"", nullptr, 0, 1,
     HKEY_CURRENT_USER, 0, 1},
    {NORVA_CLASS L"\\shell\\open\\ddeexec\\Topic", nullptr, REG_SZ, L"", nullptr, 0, 1,
     HKEY_CURRENT_USER, 0, 1},
    {L"Software\\Classes\\.oex", nullptr, REG_SZ, L"{Product}{Stream}.Extension", nullptr, 0, 1,
     nullptr, 0, 1},
    {L"Software\\Classes\\.oex\\OpenWithProgIDs", L"{Product}{Stream}", REG_NONE, nullptr, nullptr,
     0, 1, nullptr, 0, 1},
    NORVA_OPEN_WITH(L".opdownload"),
    NORVA_OPEN_WITH(L".htm"),
    NORVA_OPEN_WITH(L".html"),
    NORVA_OPEN_WITH(L".pdf"),
    NORVA_OPEN_WITH(L".shtml"),
    NORVA_OPEN_WITH(L".xht"),
    NORVA_OPEN_WITH(L".xhtml"),
    {L"Software\\Classes\\Applications\\{Executable}\\shell\\open\\command", nullptr, REG_SZ,
     NORVA_LAUNCHER L" \"%1\"", nullptr, 0, 1, nullptr, 4, 4},
    {L"Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\{Executable}", nullptr, REG_SZ,
     NORVA_LAUNCHER, nullptr, 0, 1, nullptr, 4, 0},
    {L"Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\{Executable}", L"Path", REG_SZ,
     L"\"{InstallFolder}\"", nullptr, 0, 1, nullptr, 4, 0},
    {L"Software\\Microsoft\\Windows NT\\CurrentVersion\\AppCompatFlags\\Compatibility "
     L"Assistant\\Persisted",
     L"{InstallFolder}\\Launcher.exe", REG_DWORD, nullptr, nullptr, 32, kWindowsVista, nullptr, 0,
     0},
    {L"Software\\RegisteredApplications", L"{Product} {Stream}", REG_SZ, NORVA_CAPABILITIES,
     nullptr, 0, kWindowsVista, nullptr, 0, 0},
    {NORVA_CLIENT, nullptr, REG_SZ, L"{Product} {Stream}", nullptr, 0, 1, nullptr, 0, 1},
    {NORVA_CLIENT L"\\DefaultIcon", nullptr, REG_SZ, L"{InstallFolder}\\Launcher.exe,0", nullptr, 0,
     1, nullptr, 0, 1},
    {NORVA_CLIENT L"\\InstallInfo", L"ShowIconsCommand", REG_SZ, NORVA_LAUNCHER L" --showicons",
     nullptr, 0, 1, nullptr, 0, 1},
    {NORVA_CLIENT L"\\InstallInfo", L"HideIconsCommand", REG_SZ, NORVA_LAUNCHER L" --hideicons",
     nullptr, 0, 1, nullptr, 0, 1},
    {NORVA_CLIENT L"\\InstallInfo", L"ReinstallCommand", REG_SZ,
     NORVA_LAUNCHER L" --makedefaultbrowser", nullptr, 0, 1, nullptr, 0, 1},
    {NORVA_CLIENT L"\\InstallInfo", L"IconsVisible", REG_DWORD, nullptr, nullptr, 1, 1, nullptr, 0,
     1},
    {NORVA_CLIENT L"\\shell\\open\\command", nullptr, REG_SZ, NORVA_LAUNCHER, nullptr, 0, 1,
     nullptr, 0, 2},
    {NORVA_CAPABILITIES, L"ApplicationDescription", REG_SZ,
     L"The Best Internet Experience on any device", nullptr, 0, kWindowsVista, nullptr, 0, 1},
    {NORVA_CAPABILITIES, L"ApplicationIcon", REG_SZ, NORVA_LAUNCHER L",0", nullptr, 0,
     kWindowsVista, nullptr, 0, 1},
    {NORVA_CAPABILITIES, L"ApplicationName", REG_SZ, L"{Product} {Stream}", nullptr, 0,
     kWindowsVista, nullptr, 0, 1},
    NORVA_CAPABILITY(L"\\FileAssociations", L".crx"),
    NORVA_CAPABILITY(L"\\FileAssociations", L".htm"),
    NORVA_CAPABILITY(L"\\FileAssociations", L".html"),
    NORVA_CAPABILITY(L"\\FileAssociations", L".nex"),
    NORVA_CAPABILITY(L"\\FileAssociations", L".opdownload"),
    NORVA_CAPABILITY(L"\\FileAssociations", L".pdf"),
    NORVA_CAPABILITY(L"\\FileAssociations", L".shtml"),
    NORVA_CAPABILITY(L"\\FileAssociations", L".xht"),
    NORVA_CAPABILITY(L"\\FileAssociations", L".xhtml"),
    NORVA_CAPABILITY(L"\\Startmenu", L"StartMenuInternet"),
    NORVA_CAPABILITY(L"\\UrlAssociations", L"http"),
    NORVA_CAPABILITY(L"\\UrlAssociations", L"https"),
    NORVA_CAPABILITY(L"\\UrlAssociations", L"ftp"),
    NORVA_CAPABILITY(L"\\UrlAssociations", L"mailto"),
    NORVA_UNINSTALL_TEXT(L"DisplayName", L"{Product} {Stream} {Version}"),
    NORVA_UNINSTALL_TEXT(L"DisplayIcon", NORVA_LAUNCHER L",0"),
    NORVA_UNINSTALL_TEXT(L"DisplayVersion", L"{Version}"),
    NORVA_UNINSTALL_TEXT(L"HelpLink", L"{HelpURL}"),
    NORVA_UNINSTALL_TEXT(L"InstallLocation", L"{InstallFolder}"),
    NORVA_UNINSTALL_NUMBER(L"NoModify", 1),
    NORVA_UNINSTALL_NUMBER(L"NoRepair", 1),
    NORVA_UNINSTALL_TEXT(L"Publisher", L"{Company}"),
    NORVA_UNINSTALL_TEXT(L"UninstallString", NORVA_LAUNCHER L" /uninstall"),
    NORVA_UNINSTALL_TEXT(L"URLInfoAbout", L"{CompanyURL}"),
    NORVA_UNINSTALL_TEXT(L"URLUpdateInfo", L"{DownloadsURL}"),
};

const RegistryEntry kHiddenFromProgramsRow = NORVA_UNINSTALL_NUMBER(L"SystemComponent", 1);

#undef NORVA_CLASS
#undef NORVA_CLIENT
#undef NORVA_CAPABILITIES
#undef NORVA_LAUNCHER
#undef NORVA_OPEN_WITH
#undef NORVA_CAPABILITY
#undef NORVA_UNINSTALL_TEXT
#undef NORVA_UNINSTALL_NUMBER

// Read back by the settings to propose the next installation's folder.
const RegistryEntry kLastInstallPathRow = {
    L"{CompanyRegistryKey}", L"Last {Stream} Install Path x64", REG_SZ, L"{InstallFolder}\\",
    nullptr, 0, 1, nullptr, 0, 0};

// False when the row is refused or its operation fails; a row that does not
// apply under `root` succeeds without writing.
bool ApplyRow(RegistryEntry row, RegistryEntryContext* context, HKEY root,
              Transaction* transaction) {
  row.context = context;
  std::unique_ptr<Operation> operation;
  if (!CreateRegistryOperation(row, root, &operation)) return false;
  return !operation || transaction->Execute(std::move(operation));
}

std::wstring ReplaceAll(std::wstring text, std::wstring_view from, std::wstring_view to) {
  for (size_t at = text.find(from); at != std::wstring::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

const wchar_t* LegacyProductName(int kind) {
  switch (kind) {
    case 0:
      return L"";
    case 1:
      return L"Next";
    case 2:
      return L"Labs";
    default:
      return L"Invalid";
  }
}

// The key `levels` components above `path`; empty when that would be a root.
std::wstring KeyAbove(std::wstring path, int levels) {
  while (!path.empty() && path.back() == L'\\') path.pop_back();
  for (int i = 0; i < levels && !path.empty(); ++i) {
    size_t cut = path.rfind(L'\\');
    path.resize(cut == std::wstring::npos ? 0 : cut);
  }
  return path;
}

// Keys that other programs and Windows keep their entries below.
constexpr const wchar_t* kSharedKeys[] = {
    L"software\\classes\\applications",
    L"software\\clients\\startmenuinternet",
    L"software\\microsoft\\windows\\currentversion\\app paths",
    L"software\\microsoft\\windows\\currentversion\\explorer",
    L"software\\microsoft\\windows\\currentversion\\uninstall",
    L"software\\microsoft\\windows\\shell",
    L"software\\microsoft\\windows nt\\currentversion\\appcompatflags\\compatibility "
    L"assistant\\persisted",
};

// Whether a recorded key may go as a whole: at least three levels deep (so
// never "Software" or "Software\Classes"), and neither a shared key nor above
// one. The log may have been tampered with.
bool MayDeleteKey(const std::wstring& path) {
  std::wstring key = ToLowerASCII(path);
  if (std::count(key.begin(), key.end(), L'\\') < 2) return false;
  for (const wchar_t* shared : kSharedKeys) {
    std::wstring_view text(shared);
    if (text == key || (text.size() > key.size() && text.starts_with(key) &&
                        text[key.size()] == L'\\'))
      return false;
  }
  return true;
}

// How many levels of `path` are missing, from the key itself upwards.
int MissingLevels(HKEY root, std::wstring path) {
  int missing = 0;
  while (!path.empty()) {
    if (RegKey().Open(root, path, KEY_READ) != ERROR_FILE_NOT_FOUND) break;
    ++missing;
    path = KeyAbove(std::move(path), 1);
  }
  return missing;
}

// Whether `path` holds no values but those named in `ours`; `subkeys` is
// given the number of its subkeys.
bool HoldsOnly(HKEY root, const std::wstring& path, const std::vector<std::wstring>& ours,
               DWORD* subkeys) {
  RegKey key;
  if (key.Open(root, path, KEY_READ) != ERROR_SUCCESS) return false;
  DWORD values = 0;
  bool only = RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, subkeys, nullptr, nullptr, &values,
                               nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
  std::vector<wchar_t> name(16384);
  for (DWORD index = 0; only && index < values; ++index) {
    DWORD length = static_cast<DWORD>(name.size());
    only = RegEnumValueW(key.get(), index, name.data(), &length, nullptr, nullptr, nullptr, nullptr) ==
               ERROR_SUCCESS &&
           std::find_if(ours.begin(), ours.end(), [&](const std::wstring& own) {
             return _wcsicmp(own.c_str(), name.data()) == 0;
           }) != ours.end();
  }
  return only;
}

// The key to delete instead of removing the values `ours` from `path`: the
// key itself when nothing else is in it, then up to `levels` - 1 parents that
// hold nothing but it. Empty when the key is used by others.
std::wstring EmptiedKey(HKEY root, const std::wstring& path,
                        const std::vector<std::wstring>& ours, int levels) {
  DWORD subkeys = 0;
  if (!MayDeleteKey(path) || !HoldsOnly(root, path, ours, &subkeys) || subkeys) return {};
  std::wstring emptied = path;
  for (int level = 1; level < levels; ++level) {
    std::wstring parent = KeyAbove(emptied, 1);
    if (!MayDeleteKey(parent) || !HoldsOnly(root, parent, {}, &subkeys) || subkeys != 1) break;
    emptied = parent;
  }
  return emptied;
}

}  // namespace

Registration::Registration(InstallContext& context) : context_(context) {}

void Registration::Reset() { uninstall_key_.clear(); }

std::wstring Registration::GetTemplateValue(const std::wstring& name) {
  if (name == L"InstallFolder") {
    std::wstring folder = context_.install_folder.native();
    while (!folder.empty() && (folder.back() == L'\\' || folder.back() == L'/')) folder.pop_back();
    return folder;
  }
  if (name == L"Version") return Utf8ToWide(product::ProductVersion());
  if (name == L"Executable") return BrowserExecutableName();
  if (name == L"Product") return Utf8ToWide(product::ProductName());
  if (name == L"Company") return Utf8ToWide(product::CompanyName());
  if (name == L"CompanyRegistryKey") return L"Software\\" + Utf8ToWide(product::CompanyName());
  if (name == L"Stream") return Utf8ToWide(product::InternalStreamName());
  if (name == L"Uninstall") return uninstall_key_;
  if (name == L"HelpURL") return Utf8ToWide(product::Url("help"));
  if (name == L"CompanyURL") return Utf8ToWide(product::Url("homepage"));
  if (name == L"DownloadsURL") return Utf8ToWide(product::Url("download"));
  return name;
}

std::vector<InstallLogKey>* Registration::GetInstallLogKeys(HKEY root) {
  if (uninstall_key_.empty()) return nullptr;
  return root == HKEY_LOCAL_MACHINE ? &context_.record.hklm_keys : &context_.record.hkcu_keys;
}

void Registration::WriteLastInstallPath() {
  ApplyRow(kLastInstallPathRow, this, HKEY_CURRENT_USER, &context_.transaction);
}

StepResult Registration::SetUp() {
  if (context_.IsCopyOnly()) return {};
  VLOG(1) << "Setting up the registry";
  // Most rows write under the same few keys.
  ScopedAccessCheckCache access_checks;
  HKEY hive = context_.settings->choices().all_users ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
  std::wstring key = ChooseUninstallKey(hive);
  if (key.empty()) return StepFailure{IDS_GENERAL_FAILURE, L"", kUninstallFailure};
  uninstall_key_ = key;
  VLOG(1) << "Uninstall key: " << key;

  std::vector<RegistryEntry> rows(std::begin(kRegistrationRows), std::end(kRegistrationRows));
  if (FeatureRegistry::Get().IsEnabled(kHideFromProgramsAndFeatures))
    rows.push_back(kHiddenFromProgramsRow);
  // Keys of value-only rows that this installation creates, with the number
  // of levels created.
  std::map<std::string, int> created;
  for (const RegistryEntry& row : rows) {
    std::wstring key;
    if (row.clean_level == 0 && row.type != kDeleteKeyType &&
        ExpandTemplate(row.key_template, this, &key)) {
      created.emplace(ToLowerASCII(WideToUtf8(key)), MissingLevels(hive, key));
    }
    if (ApplyRow(row, this, hive, &context_.transaction) ||
        std::wcscmp(row.key_template, kUninstallTemplate) != 0) {
      continue;
    }
    return StepFailure{IDS_GENERAL_FAILURE, L"", kUninstallFailure};
  }
  // A negative level asks the uninstallation to remove the values and then
  // the keys created here, as far as nothing else has been put in them.
  // Readers that know only levels 0 and up remove the values alone.
  for (InstallLogKey& key : *GetInstallLogKeys(hive)) {
    auto levels = created.find(ToLowerASCII(key.path));
    if (key.clean == 0 && levels != created.end() && levels->second > 0)
      key.clean = -levels->second;
  }
  return {};
}

std::wstring Registration::ChooseUninstallKey(HKEY hive) const {
  const std::wstring base = kUninstallRoot + Utf8ToWide(product::ProductName()) + L" " +
                            Utf8ToWide(product::ProductVersion());
  for (int suffix = 0; suffix < kMaxUninstallSuffix; ++suffix) {
    std::wstring key = suffix ? base + std::to_wstring(suffix) : base;
    LONG result = RegKey().Open(hive, key, KEY_READ);
    // Any other answer (present, access denied) may hide an installation.
    if (result == ERROR_FILE_NOT_FOUND) return key;
  }
  LOG(ERROR) << "No free uninstall key after " << kMaxUninstallSuffix << " candidates: " << base;
  return {};
}

void Registration::RemoveRecordedEntries() {
  // A key's recorded values are removed one at a time.
  ScopedAccessCheckCache access_checks;
  RemoveRecordedKeys(HKEY_CURRENT_USER, context_.status().hkcu_keys);
  RemoveRecordedKeys(HKEY_LOCAL_MACHINE, context_.status().hklm_keys);
}

void Registration::RemoveRecordedKeys(HKEY root, const std::vector<InstallLogKey>& keys) {
  for (const InstallLogKey& key : keys) {
    std::wstring recorded = ExpandLegacyKeyPath(key.path);
    if (key.clean > 0) {
      std::wstring path = KeyAbove(recorded, key.clean - 1);
      if (!MayDeleteKey(path)) {
        LOG(WARNING) << "Not deleting the registry key \"" << path << "\" recorded as \""
                     << key.path << "\" with clean level " << key.clean;
        continue;
      }
      context_.transaction.Execute(std::make_unique<DeleteRegKeyOperation>(root, path));
      continue;
    }
    std::vector<std::wstring> names;
    for (const InstallLogValue& value : key.values) names.push_back(Utf8ToWide(value.name));
    // Deleting the key saves its values, so a rollback brings them back.
    std::wstring emptied = key.clean < 0 ? EmptiedKey(root, recorded, names, -key.clean) : L"";
    if (!emptied.empty()) {
      context_.transaction.Execute(std::make_unique<DeleteRegKeyOperation>(root, emptied));
      continue;
    }
    for (const std::wstring& name : names) {
      context_.transaction.Execute(std::make_unique<ChangeRegValueOperation>(
          root, recorded, name, nullptr, kRemoveValueType, 0));
    }
  }
}

std::wstring Registration::ExpandLegacyKeyPath(const std::string& path) const {
  std::wstring expanded = Utf8ToWide(path);
  if (!context_.status().IsLegacyInstallation()) return expanded;
  std::wstring name =
      LegacyProductName(static_cast<int>(context_.status().GetLegacyProductKind()));
  expanded = ReplaceAll(std::move(expanded), L"{Product}", name);
  return ReplaceAll(std::move(expanded), L"{SPProduct}", L" " + name);
}

}  // namespace norva::installer
