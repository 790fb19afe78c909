#include "system/shell_integration.h"

#include <windows.h>
#include <knownfolders.h>
#include <lmcons.h>
#include <shlobj.h>
#include <shobjidl.h>
#include <wrl/client.h>

#include "base/file_util.h"
#include "base/logging.h"
#include "base/strings.h"
#include "product/product_info.h"
#include "system/transactions/change_reg_value_operation.h"
#include "system/transactions/transaction.h"
#include "system/windows_version.h"

namespace norva::installer {
namespace {

using Microsoft::WRL::ComPtr;

constexpr wchar_t kLauncherExe[] = L"launcher.exe";
constexpr wchar_t kStartMenuClient[] = L"StartmenuInternet";
constexpr wchar_t kUserNamePlaceholder[] = L"<USERNAME>";

// {591209C7-767B-42B2-9FBA-44EE4615F2C7}
constexpr CLSID kAssociationRegistrationClsid = {
    0x591209c7, 0x767b, 0x42b2, {0x9f, 0xba, 0x44, 0xee, 0x46, 0x15, 0xf2, 0xc7}};
// {45BA127D-10A8-46EA-8AB7-56EA9078943C}
constexpr CLSID kActivationManagerClsid = {
    0x45ba127d, 0x10a8, 0x46ea, {0x8a, 0xb7, 0x56, 0xea, 0x90, 0x78, 0x94, 0x3c}};

// IApplicationActivationManager (Windows 8), declared here because the SDK
// headers hide it from a build that also runs on Windows 7.
constexpr IID kActivationManagerIid = {
    0x2e941141, 0x7f97, 0x4756, {0xba, 0x1d, 0x9d, 0xec, 0xde, 0x89, 0x4a, 0x3d}};
struct ActivationManager : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE ActivateApplication(LPCWSTR app_user_model_id,
                                                        LPCWSTR arguments, int options,
                                                        DWORD* process_id) = 0;
  virtual HRESULT STDMETHODCALLTYPE ActivateForFile(LPCWSTR, IShellItemArray*, LPCWSTR,
                                                    DWORD*) = 0;
  virtual HRESULT STDMETHODCALLTYPE ActivateForProtocol(LPCWSTR, IShellItemArray*, DWORD*) = 0;
};

#define NORVA_CLASS L"Software\\Classes\\{Product}{Stream}"
#define NORVA_PROTOCOL L"Software\\Classes\\{Protocol}"
#define NORVA_COMMAND L"\"{InstallFolder}\\Launcher.exe\" -noautoupdate -- \"%1\""

const RegistryEntry kDocumentClassRows[] = {
    {NORVA_CLASS, L"FriendlyTypeName", REG_SZ, L"{Product} Web Document", nullptr, 0, 1},
    {NORVA_CLASS, L"URL Protocol", REG_SZ, L"", nullptr, 0, 1},
    {NORVA_CLASS L"\\DefaultIcon", nullptr, REG_SZ, L"{InstallFolder}\\Launcher.exe,0", nullptr, 0,
     1},
    {NORVA_CLASS L"\\shell\\open\\command", nullptr, REG_SZ, NORVA_COMMAND, nullptr, 0, 1},
    {NORVA_CLASS L"\\shell\\open\\ddeexec", nullptr, kDeleteKeyType, nullptr, nullptr, 0, 1,
     HKEY_LOCAL_MACHINE},
    {NORVA_CLASS L"\\shell\\open\\ddeexec", nullptr, REG_SZ, L"", nullptr, 0, 1, HKEY_CURRENT_USER},
    {NORVA_CLASS L"\\shell\\open\\ddeexec\\Application", nullptr, REG_SZ, L"", nullptr, 0, 1,
     HKEY_CURRENT_USER},
    {NORVA_CLASS L"\\shell\\open\\ddeexec\\Topic", nullptr, REG_SZ, L"", nullptr, 0, 1,
     HKEY_CURRENT_USER},
};

// The last row must stay last: the branches that let the system record the
// user's choice leave it out.
const RegistryEntry kProtocolRows[] = {
    {NORVA_PROTOCOL, L"EditFlags", REG_DWORD, nullptr, nullptr, 2, 1},
    {NORVA_PROTOCOL, L"URL Protocol", REG_SZ, L"", nullptr, 0, 1},
    {NORVA_PROTOCOL L"\\DefaultIcon", nullptr, REG_SZ, L"{InstallFolder}\\Launcher.exe,0", nullptr,
     0, 1},
    {NORVA_PROTOCOL L"\\shell\\open\\command", nullptr, REG_SZ,
     L"\"{InstallFolder}\\launcher.exe\" -noautoupdate -- \"%1\"", nullptr, 0, 1},
    {NORVA_PROTOCOL L"\\shell\\open\\ddeexec", nullptr, kDeleteKeyType, nullptr, nullptr, 0, 1,
     HKEY_LOCAL_MACHINE},
    {NORVA_PROTOCOL L"\\shell\\open\\ddeexec", nullptr, REG_SZ, L"", nullptr, 0, 1,
     HKEY_CURRENT_USER},
    {NORVA_PROTOCOL L"\\shell\\open\\ddeexec\\Application", nullptr, REG_SZ, L"", nullptr, 0, 1,
     HKEY_CURRENT_USER},
    {NORVA_PROTOCOL L"\\shell\\open\\ddeexec\\Topic", nullptr, REG_SZ, L"", nullptr, 0, 1,
     HKEY_CURRENT_USER},
    {L"Software\\Microsoft\\Windows\\Shell\\Associations\\UrlAssociations\\{Protocol}\\UserChoice",
     L"Progid", kRemoveValueType, nullptr, nullptr, 0, kWindowsVista, HKEY_CURRENT_USER},
};

const RegistryEntry kExtensionRows[] = {
    {L"Software\\Classes\\{Extension}", nullptr, REG_SZ, L"{Product}{Stream}", nullptr, 0, 1},
    {L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\FileExts\\{Extension}\\UserChoice",
     L"Progid", kRemoveValueType, nullptr, nullptr, 0, kWindowsVista, HKEY_CURRENT_USER},
};

const RegistryEntry kStartMenuClientRow[] = {
    {L"Software\\Clients\\StartMenuInternet", nullptr, REG_SZ, L"{Product}{Stream}", nullptr, 0, 1},
};

#undef NORVA_CLASS
#undef NORVA_PROTOCOL
#undef NORVA_COMMAND

// Registered before Windows 8 besides "http", in this order.
const wchar_t* const kLegacyHandlers[] = {L"https", L"ftp",    L".crx",   L".htm",
                                          L".html", L".nex",   L".opdownload", L".shtml",
                                          L".xht",  L".xhtml"};

ShellServices g_services;

HKEY RootFor(ShellLevel level) {
  return level == ShellLevel::kMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
}

bool IsProtocol(const std::wstring& name) { return name.empty() || name[0] != L'.'; }

LONG ReadString(HKEY root, const std::wstring& key, const wchar_t* name, std::wstring* text) {
  DWORD size = 0;
  LONG result = RegGetValueW(root, key.c_str(), name, RRF_RT_REG_SZ, nullptr, nullptr, &size);
  if (result != ERROR_SUCCESS) return result;
  std::wstring buffer(size / sizeof(wchar_t) + 1, L'\0');
  size = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
  result = RegGetValueW(root, key.c_str(), name, RRF_RT_REG_SZ, nullptr, buffer.data(), &size);
  if (result != ERROR_SUCCESS) return result;
  buffer.resize(wcsnlen(buffer.c_str(), buffer.size()));
  *text = std::move(buffer);
  return ERROR_SUCCESS;
}

// The default value of a classes key: the machine's classes at machine level;
// at user level what HKEY_CLASSES_ROOT shows, the user's classes before the
// machine's. Read from both hives because not every registry (Wine's) merges
// the user's classes into HKEY_CLASSES_ROOT.
LONG ReadClassString(ShellLevel level, const std::wstring& key, std::wstring* text) {
  const std::wstring path = L"Software\\Classes\\" + key;
  if (level == ShellLevel::kUser) {
    LONG result = ReadString(HKEY_CURRENT_USER, path, nullptr, text);
    if (result != ERROR_FILE_NOT_FOUND) return result;
  }
  return ReadString(HKEY_LOCAL_MACHINE, path, nullptr, text);
}

std::wstring ReplaceAll(std::wstring text, std::wstring_view from, std::wstring_view to) {
  for (size_t at = text.find(from); at != std::wstring::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

bool RealQueryAppIsDefault(const std::wstring& name, int type, const std::wstring& application) {
  ComPtr<IApplicationAssociationRegistration> registration;
  BOOL is_default = FALSE;
  HRESULT result = CoCreateInstance(kAssociationRegistrationClsid, nullptr, CLSCTX_INPROC_SERVER,
                                    IID_PPV_ARGS(&registration));
  if (SUCCEEDED(result)) {
    result = registration->QueryAppIsDefault(name.c_str(), static_cast<ASSOCIATIONTYPE>(type),
                                             AL_EFFECTIVE, application.c_str(), &is_default);
  }
  if (FAILED(result))
    LOG(ERROR) << "QueryAppIsDefault failed: " << logging::SystemErrorText(result);
  return SUCCEEDED(result) && is_default;
}

bool RealSetAppAsDefault(const std::wstring& name, int type, const std::wstring& application) {
  ComPtr<IApplicationAssociationRegistration> registration;
  HRESULT result = CoCreateInstance(kAssociationRegistrationClsid, nullptr, CLSCTX_INPROC_SERVER,
                                    IID_PPV_ARGS(&registration));
  if (SUCCEEDED(result)) {
    result = registration->SetAppAsDefault(application.c_str(), name.c_str(),
                                           static_cast<ASSOCIATIONTYPE>(type));
  }
  if (FAILED(result)) {
    LOG(ERROR) << "SetAppAsDefault failed for " << name << ": "
               << logging::SystemErrorText(result);
  }
  return SUCCEEDED(result);
}

bool RealShowOpenWith(const std::wstring& name) {
  // Looked up at run time: the function exists from Vista on only.
  using OpenWithDialog = HRESULT(WINAPI*)(HWND, const OPENASINFO*);
  HMODULE shell32 = GetModuleHandleW(L"shell32.dll");
  auto dialog = reinterpret_cast<OpenWithDialog>(
      reinterpret_cast<void*>(shell32 ? GetProcAddress(shell32, "SHOpenWithDialog") : nullptr));
  if (!dialog) {
    LOG(ERROR) << "The open-with dialog is not available";
    return false;
  }
  OPENASINFO info = {};
  info.pcszFile = name.c_str();
  info.oaifInFlags = OAIF_REGISTER_EXT | OAIF_FORCE_REGISTRATION | OAIF_URL_PROTOCOL;
  HRESULT result = dialog(nullptr, &info);
  if (FAILED(result))
    LOG(ERROR) << "Open-with dialog failed for " << name << ": " << logging::SystemErrorText(result);
  return SUCCEEDED(result);
}

bool RealOpenDefaultAppsSettings() {
  AllowSetForegroundWindow(ASFW_ANY);
  ComPtr<ActivationManager> manager;
  DWORD process_id = 0;
  HRESULT result = CoCreateInstance(kActivationManagerClsid, nullptr, CLSCTX_LOCAL_SERVER,
                                    kActivationManagerIid,
                                    reinterpret_cast<void**>(manager.GetAddressOf()));
  if (SUCCEEDED(result)) {
    result = manager->ActivateApplication(
        L"windows.immersivecontrolpanel_cw5n1h2txyewy!microsoft.windows.immersivecontrolpanel",
        L"page=SettingsPageAppsDefaults", /*AO_NONE*/ 0, &process_id);
  }
  if (FAILED(result)) {
    LOG(ERROR) << "Could not open the default apps settings: "
               << logging::SystemErrorText(result);
  }
  return SUCCEEDED(result);
}

bool QueryAppIsDefault(const std::wstring& name, int type, const std::wstring& application) {
  auto query = g_services.query_app_is_default ? g_services.query_app_is_default
                                               : RealQueryAppIsDefault;
  return query(name, type, application);
}

bool OpenDefaultAppsSettings() {
  return g_services.open_default_apps_settings ? g_services.open_default_apps_settings()
                                               : RealOpenDefaultAppsSettings();
}

std::wstring ComparableFolder(const FilePath& folder) {
  return ToLowerASCII(folder.lexically_normal().native());
}

// Whether `folder` lies below `ancestor` (both comparable forms).
bool IsBelow(const std::wstring& folder, const std::wstring& ancestor) {
  return !ancestor.empty() && folder.size() > ancestor.size() &&
         folder.compare(0, ancestor.size(), ancestor) == 0 &&
         (folder[ancestor.size()] == L'\\' || ancestor.back() == L'\\');
}

std::wstring ComparableKnownFolder(REFKNOWNFOLDERID id) {
  FilePath known = GetKnownFolder(id);
  return known.empty() ? std::wstring() : ComparableFolder(known);
}

bool IsSharedFolder(const FilePath& folder) {
  if (!IsAbsolutePath(folder) || folder.relative_path().empty() || !folder.has_filename())
    return true;
  std::wstring candidate = ComparableFolder(folder);
  for (REFKNOWNFOLDERID id : {FOLDERID_RoamingAppData, FOLDERID_LocalAppData, FOLDERID_Profile,
                              FOLDERID_UserProfiles, FOLDERID_Public, FOLDERID_Windows,
                              FOLDERID_ProgramFiles, FOLDERID_ProgramData}) {
    std::wstring text = ComparableKnownFolder(id);
    // Equal to, or an ancestor of, a folder that holds more than this profile.
    if (!text.empty() && (text == candidate || IsBelow(text, candidate))) return true;
  }
  // The system's own files, and the profiles of the other users.
  std::wstring profiles = ComparableKnownFolder(FOLDERID_UserProfiles);
  return IsBelow(candidate, ComparableKnownFolder(FOLDERID_Windows)) ||
         (IsBelow(candidate, profiles) &&
          !IsBelow(candidate, ComparableKnownFolder(FOLDERID_Profile)));
}

}  // namespace

bool SetAppAsDefault(const std::wstring& name, int type, const std::wstring& application) {
  auto set = g_services.set_app_as_default ? g_services.set_app_as_default : RealSetAppAsDefault;
  return set(name, type, application);
}

bool ShowOpenWith(const std::wstring& name) {
  return g_services.show_open_with ? g_services.show_open_with(name) : RealShowOpenWith(name);
}

void SetShellServicesForTesting(const ShellServices& services) { g_services = services; }

ShellIntegration::ShellIntegration(FilePath folder)
    : folder_(std::move(folder)),
      registered_name_(Utf8ToWide(product::ProductName() + " " + product::InternalStreamName())) {}

ShellIntegration::ShellIntegration(FilePath folder, const InstallLog& log)
    : ShellIntegration(std::move(folder)) {
  log_ = log;
  log_loaded_ = true;
}

ShellIntegration::~ShellIntegration() = default;

ShellIntegration* ShellIntegration::ForRunningInstallation() {
  static ShellIntegration* const instance = [] {
    FilePath folder = GetExecutablePath().parent_path();
    if (!PathExists(folder / kLauncherExe) && PathExists(folder.parent_path() / kLauncherExe))
      folder = folder.parent_path();
    return new ShellIntegration(folder);
  }();
  return instance;
}

JsonPrefStore* ShellIntegration::prefs() {
  NORVA_DCHECK_CALLED_ON_VALID_THREAD(thread_checker_);
  if (!prefs_) {
    prefs_ = std::make_shared<JsonPrefStore>(folder_ / L"installer_prefs.json", nullptr);
    prefs_->Load();
  }
  return prefs_.get();
}

bool ShellIntegration::IsAllUsersInstallation() {
  NORVA_DCHECK_CALLED_ON_VALID_THREAD(thread_checker_);
  if (!log_loaded_) {
    log_loaded_ = true;
    if (!LoadInstallLog(folder_ / L"installation_status.xml", &log_))
      VLOG(1) << "No readable install log in " << folder_;
  }
  return log_.all_users;
}

std::wstring ShellIntegration::DocumentClass() const {
  return Utf8ToWide(product::ProductName() + product::InternalStreamName());
}

std::wstring ShellIntegration::GetTemplateValue(const std::wstring& name) {
  NORVA_DCHECK_CALLED_ON_VALID_THREAD(thread_checker_);
  if (name == L"InstallFolder") return folder_.native();
  if (name == L"Stream") return Utf8ToWide(product::InternalStreamName());
  if (name == L"Product") return Utf8ToWide(product::ProductName());
  if (name == L"Extension" || name == L"Protocol") return current_name_;
  return name;
}

std::vector<InstallLogKey>* ShellIntegration::GetInstallLogKeys(HKEY) { return nullptr; }

bool ShellIntegration::GetHandlerCommand(const std::wstring& name, ShellLevel level,
                                         std::wstring* command) {
  bool protocol = IsProtocol(name);
  std::wstring handler_class;
  if (level == ShellLevel::kUser && GetWindowsVersionRank() >= kWindowsVista) {
    std::wstring choice = std::wstring(L"Software\\Microsoft\\Windows\\") +
                          (protocol ? L"Shell\\Associations\\UrlAssociations\\"
                                    : L"CurrentVersion\\Explorer\\FileExts\\") +
                          name + L"\\UserChoice";
    LONG result = ReadString(HKEY_CURRENT_USER, choice, L"ProgId", &handler_class);
    if (result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND) {
      LOG(ERROR) << "Failed to read the user's choice for " << name << ": "
                 << logging::SystemErrorText(result);
      return false;
    }
  }
  if (handler_class.empty()) {
    if (protocol) {
      handler_class = name;
    } else if (ReadClassString(level, name, &handler_class) != ERROR_SUCCESS) {
      return false;
    }
  }
  return ReadClassString(level, handler_class + L"\\shell\\open\\command", command) ==
         ERROR_SUCCESS;
}

bool ShellIntegration::IsHandledByUs(const std::wstring& name, bool match_executable) {
  std::wstring command;
  if (!GetHandlerCommand(name, ShellLevel::kUser, &command)) return false;
  std::wstring executable =
      match_executable ? Utf8ToWide(product::FileNameBase() + ".exe") : kLauncherExe;
  return ToLowerASCII(command).find(ToLowerASCII((folder_ / executable).native())) !=
         std::wstring::npos;
}

bool ShellIntegration::IsStartMenuClient() {
  if (GetWindowsVersionRank() >= kWindowsVista && IsAllUsersInstallation())
    return QueryAppIsDefault(kStartMenuClient, AT_STARTMENUCLIENT, registered_name_);
  const wchar_t key[] = L"Software\\Clients\\StartMenuInternet";
  std::wstring client;
  if (ReadString(HKEY_CURRENT_USER, key, nullptr, &client) != ERROR_SUCCESS &&
      ReadString(HKEY_LOCAL_MACHINE, key, nullptr, &client) != ERROR_SUCCESS) {
    return false;
  }
  return EqualsCaseInsensitiveASCII(client, DocumentClass());
}

bool ShellIntegration::IsDefaultBrowser() {
  if (!IsHandledByUs(L"http") || !IsHandledByUs(L"https")) return false;
  return GetWindowsVersionRank() >= kWindows8 || IsStartMenuClient();
}

bool ShellIntegration::RememberPreviousDefault(ShellLevel level) {
  if (IsHandledByUs(L"http")) return true;
  std::wstring command;
  if (!GetHandlerCommand(L"http", level, &command)) {
    VLOG(1) << "No previous default browser to remember";
    return false;
  }
  Transaction transaction;
  if (!transaction.Execute(std::make_unique<ChangeRegValueOperation>(
          RootFor(level), Utf8ToWide("Software\\" + product::CompanyName()),
          L"Previous Default Browser", command.c_str(), REG_SZ,
          static_cast<DWORD>((command.size() + 1) * sizeof(wchar_t))))) {
    transaction.Rollback();
    return false;
  }
  return true;
}

bool ShellIntegration::MakeDefaultBrowser(ShellLevel level) {
  if (IsSingleProfile()) {
    LOG(INFO) << "A single-profile installation is not made the default browser";
    return false;
  }
  if (RegisterDocumentClass(level)) {
    RegisterHandler(L"http", level);
    if (GetWindowsVersionRank() < kWindows8) {
      for (const wchar_t* name : kLegacyHandlers) RegisterHandler(name, level);
      SetStartMenuClient(level);
    }
  }
  return IsDefaultBrowser();
}

bool ShellIntegration::ApplyTable(const RegistryEntry* rows, size_t count, HKEY root) {
  Transaction transaction;
  for (size_t i = 0; i < count; ++i) {
    RegistryEntry row = rows[i];
    row.context = this;
    std::unique_ptr<Operation> operation;
    if (!CreateRegistryOperation(row, root, &operation)) {
      LOG(ERROR) << "Invalid registry row " << row.key_template;
      transaction.Rollback();
      return false;
    }
    if (operation && !transaction.Execute(std::move(operation))) {
      transaction.Rollback();
      return false;
    }
  }
  transaction.Commit();
  return true;
}

bool ShellIntegration::RegisterDocumentClass(ShellLevel level) {
  return ApplyTable(kDocumentClassRows, std::size(kDocumentClassRows), RootFor(level));
}

bool ShellIntegration::ApplyHandlerTable(const std::wstring& name, HKEY root, bool skip_last_row) {
  NORVA_DCHECK_CALLED_ON_VALID_THREAD(thread_checker_);
  current_name_ = name;
  bool protocol = IsProtocol(name);
  const RegistryEntry* rows = protocol ? kProtocolRows : kExtensionRows;
  size_t count = protocol ? std::size(kProtocolRows) : std::size(kExtensionRows);
  bool applied = ApplyTable(rows, skip_last_row ? count - 1 : count, root);
  current_name_.clear();
  return applied;
}

bool ShellIntegration::RegisterHandler(const std::wstring& name, ShellLevel level) {
  int rank = GetWindowsVersionRank();
  bool protocol = IsProtocol(name);
  if (rank >= kWindows10) {
    // The system keeps the user's choice to itself; only the user can make it.
    return level == ShellLevel::kMachine || OpenDefaultAppsSettings();
  }
  if (rank >= kWindows8) {
    if (level == ShellLevel::kMachine) return true;
    if (!IsHandledByUs(name)) {
      if (!ShowOpenWith(name)) return false;
      SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST, nullptr, nullptr);
    }
    return ApplyHandlerTable(name, HKEY_CURRENT_USER, true);
  }
  if (rank >= kWindowsVista && level == ShellLevel::kUser && IsAllUsersInstallation()) {
    if (!SetAppAsDefault(name, protocol ? AT_URLPROTOCOL : AT_FILEEXTENSION, registered_name_))
      return false;
    return ApplyHandlerTable(name, HKEY_CURRENT_USER, true);
  }
  return ApplyHandlerTable(name, RootFor(level), false);
}

bool ShellIntegration::SetStartMenuClient(ShellLevel level) {
  int rank = GetWindowsVersionRank();
  if (rank >= kWindows8 && level == ShellLevel::kMachine) return true;
  if (level == ShellLevel::kUser && rank >= kWindowsVista && rank < kWindows8 &&
      IsAllUsersInstallation() &&
      !SetAppAsDefault(kStartMenuClient, AT_STARTMENUCLIENT, registered_name_)) {
    return false;
  }
  return ApplyTable(kStartMenuClientRow, std::size(kStartMenuClientRow), RootFor(level));
}

bool ShellIntegration::IsSingleProfile() { return prefs()->GetBool("single_profile", false); }

bool ShellIntegration::GetProfileFolder(bool for_deletion, FilePath* folder) {
  // Without a folder the preferences would be looked for in the working folder.
  if (folder_.empty()) return false;
  if (IsSingleProfile()) {
    *folder = folder_ / L"profile" / L"data";
    return true;
  }
  std::wstring configured = Utf8ToWide(prefs()->GetString("profile_path"));
  if (configured.empty()) {
    FilePath roaming = GetKnownFolder(FOLDERID_RoamingAppData);
    if (roaming.empty()) return false;
    std::wstring relative =
        ReplaceAll(Utf8ToWide(product::DefaultProfilePathTemplate()), L"{InternalStream}",
                   Utf8ToWide(product::StreamDisplayName()));
    *folder = roaming / ReplaceAll(relative, L"/", L"\\");
    return true;
  }
  if (configured.find(kUserNamePlaceholder) != std::wstring::npos) {
    wchar_t user[UNLEN + 1];
    DWORD size = UNLEN + 1;
    if (!GetUserNameW(user, &size)) {
      PLOG(ERROR) << "Could not read the user name for the profile path";
      return false;
    }
    configured = ReplaceAll(configured, kUserNamePlaceholder, user);
  }
  FilePath resolved(configured);
  // The user's own folder only: deleting above it, or a folder that holds
  // other data, would take what is not ours.
  if (for_deletion && IsSharedFolder(resolved)) {
    LOG(WARNING) << "Not deleting the shared folder " << resolved;
    return false;
  }
  *folder = resolved;
  return true;
}

}  // namespace norva::installer
