// The uninstallation steps, the clean-up of replaced versions and the final
// self-removal.
#include <windows.h>
#include <knownfolders.h>
#include <shellapi.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <utility>

#include "base/command_line.h"
#include "base/file_util.h"
#include "base/json_pref_store.h"
#include "base/logging.h"
#include "base/process.h"
#include "base/scoped_handle.h"
#include "base/strings.h"
#include "engine/step_helpers.h"
#include "engine/uninstall_script.h"
#include "engine/uninstallation.h"
#include "installer/folder_permission_mode.h"
#include "installer/installation_status.h"
#include "installer/settings.h"
#include "product/product_info.h"
#include "system/global_storage.h"
#include "system/shell_integration.h"
#include "system/task_scheduler.h"
#include "system/transactions/create_folder_operation.h"
#include "system/transactions/delete_file_operation.h"
#include "system/transactions/move_file_operation.h"
#include "system/windows_version.h"

namespace norva::installer {
namespace {

constexpr wchar_t kStatusFile[] = L"installation_status.xml";
constexpr wchar_t kLegacyStatusFile[] = L"norva_install_log.xml";
constexpr wchar_t kPreservedStatusFolder[] = L"old_status";
constexpr wchar_t kLauncher[] = L"launcher.exe";
constexpr wchar_t kScript[] = L"k.bat";
constexpr wchar_t kIeInstallInfoKey[] =
    L"SOFTWARE\\Clients\\StartMenuInternet\\IEXPLORE.EXE\\InstallInfo";

// Folders of the user that hold more than a browser profile: neither they nor
// a folder above them may go in a recursive deletion.
const KNOWNFOLDERID* const kProtectedFolders[] = {
    &FOLDERID_Profile,         &FOLDERID_RoamingAppData, &FOLDERID_LocalAppData,
    &FOLDERID_LocalAppDataLow, &FOLDERID_Desktop,        &FOLDERID_Documents,
    &FOLDERID_Downloads,       &FOLDERID_Favorites,      &FOLDERID_Music,
    &FOLDERID_Pictures,        &FOLDERID_Videos,         &FOLDERID_StartMenu,
    &FOLDERID_Programs,        &FOLDERID_Startup,        &FOLDERID_SendTo,
    &FOLDERID_Recent,          &FOLDERID_Templates,      &FOLDERID_Cookies,
    &FOLDERID_History,         &FOLDERID_InternetCache,  &FOLDERID_Links,
    &FOLDERID_SavedGames,      &FOLDERID_Contacts,       &FOLDERID_UserProgramFiles};

bool IsSafeSubfolder(const FilePath& subfolder) {
  return subfolder.empty() || IsSafeRelativePath(subfolder);
}

// The files (not folders) directly in `folder` that match `pattern`.
std::vector<FilePath> ListFiles(const FilePath& folder, const wchar_t* pattern) {
  std::vector<FilePath> files;
  WIN32_FIND_DATAW entry;
  HANDLE find = FindFirstFileExW(ExtendedLengthPath(folder / pattern).c_str(), FindExInfoBasic,
                                 &entry, FindExSearchNameMatch, nullptr, 0);
  if (find == INVALID_HANDLE_VALUE) return files;
  do {
    if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
      files.push_back(folder / entry.cFileName);
  } while (FindNextFileW(find, &entry));
  FindClose(find);
  return files;
}

// The reinstall command splits into a quoted program and what follows it
// after one blank.
bool ReadIeReinstallCommand(std::wstring* program, std::wstring* parameters) {
  wchar_t buffer[2048];
  DWORD size = sizeof(buffer);
  LSTATUS result =
      RegGetValueW(HKEY_LOCAL_MACHINE, kIeInstallInfoKey, L"ReinstallCommand",
                   RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, buffer, &size);
  if (result != ERROR_SUCCESS) {
    LOG(WARNING) << "Could not read the reinstall command of Internet Explorer: "
                 << logging::SystemErrorText(result);
    return false;
  }
  std::wstring command(buffer);
  if (!command.empty() && command.front() == L'"') command.erase(0, 1);
  size_t quote = command.find(L'"');
  if (quote == std::wstring::npos) {
    LOG(WARNING) << "Cannot split the reinstall command of Internet Explorer: " << command;
    return false;
  }
  *program = command.substr(0, quote);
  *parameters = quote + 2 < command.size() ? command.substr(quote + 2) : std::wstring();
  return true;
}

bool RunIeReinstallCommand() {
  std::wstring program, parameters;
  if (!ReadIeReinstallCommand(&program, &parameters)) return false;
  SHELLEXECUTEINFOW info = {};
  info.cbSize = sizeof(info);
  info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_DOENVSUBST;
  info.lpFile = program.c_str();
  info.lpParameters = parameters.c_str();
  info.nShow = SW_SHOWNORMAL;
  // A 64-bit process is not subject to the file-system redirection of
  // 32-bit processes, so the system folder needs no switch here.
  if (!ShellExecuteExW(&info)) {
    PLOG(ERROR) << "Could not run " << program;
    return false;
  }
  ScopedHandle process(info.hProcess);
  if (process) WaitForSingleObject(process.get(), INFINITE);
  return true;
}

void ShowOpenWithForHttp() {
  if (ShowOpenWith(L"http")) SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST, nullptr, nullptr);
}

void MakeInternetExplorerDefault() {
  static const struct {
    const wchar_t* name;
    ASSOCIATIONTYPE type;
  } kAssociations[] = {{L".htm", AT_FILEEXTENSION},
                       {L".html", AT_FILEEXTENSION},
                       {L"http", AT_URLPROTOCOL},
                       {L"https", AT_URLPROTOCOL}};
  for (const auto& association : kAssociations)
    SetAppAsDefault(association.name, association.type, L"Internet Explorer");
}

std::wstring NormalFolder(const FilePath& folder) {
  std::wstring text = folder.lexically_normal().native();
  while (text.size() > 3 && text.back() == L'\\') text.pop_back();
  return text;
}

std::wstring ComparableFolder(const FilePath& folder) {
  return folder.empty() ? std::wstring() : ToLowerASCII(NormalFolder(folder));
}

// Whether `folder` lies strictly below `ancestor` (both comparable).
bool IsBelow(const std::wstring& folder, const std::wstring& ancestor) {
  return !ancestor.empty() && folder.size() > ancestor.size() &&
         folder.compare(0, ancestor.size(), ancestor) == 0 &&
         (folder[ancestor.size()] == L'\\' || ancestor.back() == L'\\');
}

// Where `path` really leads, links resolved; empty when it cannot be opened.
FilePath FinalPath(const FilePath& path) {
  if (path.empty()) return {};
  ScopedHandle handle(CreateFileW(ExtendedLengthPath(path).c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!handle) return {};
  std::wstring text(32768, L'\0');
  DWORD length = GetFinalPathNameByHandleW(handle.get(), text.data(),
                                           static_cast<DWORD>(text.size()),
                                           FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  handle.reset();
  if (length == 0 || length >= text.size()) return {};
  text.resize(length);
  if (text.compare(0, 8, L"\\\\?\\UNC\\") == 0) return L"\\\\" + text.substr(8);
  if (text.compare(0, 4, L"\\\\?\\") == 0) return text.substr(4);
  return text;
}

// Strictly inside the user's own profile folder or the product's profile
// folder of the installation (single-profile installations keep theirs
// there), and neither a known folder nor above one. A known folder counts
// both as named and where it leads.
bool IsDeletableProfileFolder(const std::wstring& candidate, const FilePath& install_folder) {
  FilePath profile = GetKnownFolder(FOLDERID_Profile);
  FilePath installation = FinalPath(install_folder);
  if (!IsBelow(candidate, ComparableFolder(profile)) &&
      !IsBelow(candidate, ComparableFolder(FinalPath(profile))) &&
      (installation.empty() || !IsBelow(candidate, ComparableFolder(installation / L"profile"))))
    return false;
  for (const KNOWNFOLDERID* id : kProtectedFolders) {
    FilePath known = GetKnownFolder(*id);
    for (const std::wstring& text : {ComparableFolder(known), ComparableFolder(FinalPath(known))}) {
      if (!text.empty() && (text == candidate || IsBelow(text, candidate))) return false;
    }
  }
  return true;
}

// Deletes a profile folder with everything in it. Links inside are removed
// without touching what they point to; a folder that is not clearly the
// user's own is refused. A missing folder is success.
bool DeleteTreeSafely(const FilePath& folder, const FilePath& install_folder) {
  if (folder.empty() || !IsAbsolutePath(folder)) {
    LOG(WARNING) << "Not deleting the relative path " << folder;
    return false;
  }
  if (!PathExists(folder)) return true;
  FilePath normal = NormalFolder(folder);
  // The folder itself may be a link (removed as such); the folders above it
  // are resolved so that a link among them cannot lead the deletion elsewhere.
  FilePath parent = FinalPath(normal.parent_path());
  if (parent.empty() || !normal.has_filename() ||
      !IsDeletableProfileFolder(ComparableFolder(parent / normal.filename()), install_folder)) {
    LOG(WARNING) << "Not deleting " << folder << ": not a profile folder of this user";
    return false;
  }
  return DeleteTree(normal);
}

// `path` moved from below the known folder `from` to the same place below
// `to`; empty when it does not lie below `from`.
FilePath Rebase(const FilePath& path, REFKNOWNFOLDERID from, REFKNOWNFOLDERID to) {
  FilePath source = GetKnownFolder(from);
  FilePath target = GetKnownFolder(to);
  std::wstring prefix = ComparableFolder(source);
  if (target.empty() || !IsBelow(ComparableFolder(path), prefix)) return {};
  std::wstring relative = NormalFolder(path).substr(prefix.size());
  while (!relative.empty() && relative.front() == L'\\') relative.erase(0, 1);
  return target / relative;
}

// `base` and each folder from it down to `base` joined with `relative`.
void AddFolders(const FilePath& base, const FilePath& relative, std::set<FilePath>* folders) {
  FilePath folder = base;
  folders->insert(folder);
  for (const auto& part : relative) {
    folder /= part;
    folders->insert(folder);
  }
}

std::function<void(const std::wstring&)>& SurveyLaunch() {
  static auto* launch = new std::function<void(const std::wstring&)>;
  return *launch;
}

}  // namespace

Uninstallation::Uninstallation(InstallContext& context) : context_(context) {}

void Uninstallation::SetSurveyLaunchForTesting(
    std::function<void(const std::wstring& command)> launch) {
  SurveyLaunch() = std::move(launch);
}

void Uninstallation::CleanUpPreviousStatus() {
  FilePath folder = context_.install_folder / kPreservedStatusFolder;
  if (!DirectoryExists(folder)) return;
  for (const FilePath& file : ListFiles(folder, L"*.xml.*")) CleanUpPreservedLog(file);
  RemoveDirectoryW(ExtendedLengthPath(folder).c_str());
  FilePath programs = GetKnownFolder(FOLDERID_Programs);
  if (!programs.empty()) {
    for (const FilePath& link : ListFiles(programs, L"Norva*Message Center.lnk"))
      DeleteFileW(link.c_str());
  }
}

void Uninstallation::CleanUpPreservedLog(const FilePath& file) {
  InstallLog log;
  if (!LoadInstallLog(file, &log)) {
    LOG(WARNING) << "Could not read the preserved install log " << file;
    return;
  }
  if (!IsSafeSubfolder(log.subfolder)) {
    LOG(WARNING) << "Ignoring the files of " << file << ": invalid subfolder " << log.subfolder;
    log.files.clear();
  }
  // An uninstallation removes what it can; an upgrade keeps the log of files
  // still in use for the next run.
  const bool uninstalling = context_.operation() == kOperationUninstall;
  Transaction local;
  for (const FilePath& entry : log.files) {
    FilePath path = context_.install_folder / (log.subfolder / entry);
    if (!local.Execute(std::make_unique<DeleteFileOperation>(path, true, true)) && !uninstalling) {
      LOG(WARNING) << "Keeping " << file << ": could not delete " << path;
      local.Rollback();
      return;
    }
  }
  local.Execute(std::make_unique<DeleteFileOperation>(file, false, false));
  local.Commit();
}

void Uninstallation::PreservePreviousStatus() {
  VLOG(1) << "Preserving previous installer status";
  FilePath source = context_.install_folder / kStatusFile;
  if (!PathExists(source)) source = context_.install_folder / kLegacyStatusFile;
  if (!PathExists(source)) return;
  FilePath folder = context_.install_folder / kPreservedStatusFolder;
  if (!DirectoryExists(folder) &&
      !context_.transaction.Execute(std::make_unique<CreateFolderOperation>(folder)))
    return;
  // Two upgrades within one second would otherwise replace the log kept by
  // the first, and the files it lists would never be removed.
  long long seconds = static_cast<long long>(std::time(nullptr));
  FilePath target;
  do {
    target = folder / (std::wstring(kStatusFile) + L"." + std::to_wstring(seconds++));
  } while (PathExists(target));
  context_.transaction.Execute(std::make_unique<MoveFileOperation>(source, target));
}

StepResult Uninstallation::FinalizeUninstallation() {
  VLOG(1) << "Finalizing the uninstallation";
  if (!context_.transaction.Execute(std::make_unique<DeleteFileOperation>(
          context_.install_folder / kStatusFile, false, true))) {
    return StepFailure{IDS_GENERAL_FAILURE, L"", "Failed to remove installation status file"};
  }
  NotifyShellOfClientChange();
  if (!context_.IsCopyOnly()) {
    if (context_.status().IsDefaultBrowser() && GetWindowsVersionRank() >= kWindowsVista)
      HandBackDefaultBrowser();
    OpenUninstallSurvey();
  }
  return {};
}

void Uninstallation::HandBackDefaultBrowser() {
  if (context_.settings->choices().all_users && !RunIeReinstallCommand()) return;
  if (GetWindowsVersionRank() == kWindows8)
    ShowOpenWithForHttp();
  else
    MakeInternetExplorerDefault();
}

void Uninstallation::OpenUninstallSurvey() {
  std::string url = product::Url("uninstall_survey");
  if (url.empty() || context_.command_line.HasSwitch("silent")) return;
  GlobalStorage* storage = GlobalStorage::GetInstance();
  FilePath profile;
  if (ShellIntegration(context_.install_folder).GetProfileFolder(false, &profile))
    storage->Initialize(profile);
  std::string uuid;
  storage->Get("UUID", &uuid);
  std::string address = url + "?version=" + product::ProductVersion() + "&uuid=" + uuid;
  std::vector<std::string> welcome = SplitString(context_.status().GetWelcomeUrl(), '?');
  if (welcome.size() == 2) address += "&" + welcome[1];
  FilePath program_files = GetKnownFolder(FOLDERID_ProgramFiles);
  if (program_files.empty()) return;
  std::wstring command =
      QuoteArgument((program_files / L"Internet Explorer" / L"iexplore.exe").native());
  if (GetWindowsVersionRank() >= kWindows8) command += L" -private";
  command += L" " + Utf8ToWide(address);
  if (SurveyLaunch())
    SurveyLaunch()(command);
  else
    LaunchProcess(command);
}

void Uninstallation::RemoveInstallation() {
  if (!context_.IsCopyOnly()) RemoveAutoupdateTask();
  // Looked up first: the lookup reads the installer's preferences, which go.
  std::vector<FilePath> profile_folders;
  if (context_.settings->choices().delete_profile) profile_folders = FindProfileFolders();
  std::vector<FilePath> remaining;
  std::set<FilePath> folders;
  DeleteInstalledFiles(&remaining, &folders);
  WriteUninstallScript(remaining, folders);
  // Never started by the elevated helper: the script is a file this account
  // wrote. Borrowed rights stay granted until the script ends.
  RunUninstallBatchFile(context_.install_folder);
  for (const FilePath& folder : profile_folders) DeleteTreeSafely(folder, context_.install_folder);
}

void Uninstallation::RemoveAutoupdateTask() {
  std::unique_ptr<TaskScheduler> scheduler = CreateTaskScheduler();
  if (!scheduler->Init()) {
    LOG(ERROR) << "Could not initialize task scheduler";
    return;
  }
  scheduler->RemoveStaleTasks();
  scheduler->DeleteTask(L"Autoupdate " + Utf8ToWide(context_.status().app_id));
}

void Uninstallation::DeleteInstalledFiles(std::vector<FilePath>* remaining,
                                          std::set<FilePath>* folders) {
  const FilePath base = NormalFolder(context_.install_folder);
  const InstallationStatus& existing = context_.status();
  AddFolders(base, {}, folders);
  if (!IsSafeSubfolder(existing.subfolder)) {
    LOG(WARNING) << "Not deleting the files of the invalid subfolder " << existing.subfolder;
  } else {
    for (const FilePath& entry : existing.files) {
      FilePath relative = existing.subfolder / entry;
      FilePath file = base / relative;
      if (!context_.transaction.Execute(std::make_unique<DeleteFileOperation>(file, true, true)))
        remaining->push_back(file);
      AddFolders(base, relative.parent_path(), folders);
    }
  }
  FilePath launcher = base / kLauncher;
  if (!context_.transaction.Execute(std::make_unique<DeleteFileOperation>(launcher, true, true)))
    remaining->push_back(launcher);
  if (!product::WhiteLabeled()) {
    FilePath old = base / BrowserExecutableName();
    old += L".old";
    if (PathExists(old))
      context_.transaction.Execute(std::make_unique<DeleteFileOperation>(old, false, false));
  }
  for (const FilePath& entry : existing.root_files) {
    context_.transaction.Execute(std::make_unique<DeleteFileOperation>(base / entry, true, true));
  }
  // Written by the installation beside the lists: its preferences and what
  // the launcher step copied.
  for (const wchar_t* name :
       {L"installer_prefs.json", L"server_tracking_data", L"pref_default_overrides"}) {
    if (PathExists(base / name))
      context_.transaction.Execute(
          std::make_unique<DeleteFileOperation>(base / name, false, false));
  }
}

void Uninstallation::WriteUninstallScript(const std::vector<FilePath>& files,
                                          const std::set<FilePath>& folders) {
  uint32_t initial_pid = ParseProcessId(context_.command_line.GetSwitchValue("initial-pid"));
  // The console that runs the script reads it in the OEM code page.
  const unsigned code_page = GetOEMCP();
  const FilePath script_path = FilePath(NormalFolder(context_.install_folder)) / kScript;
  std::wstring script = BuildUninstallScript(
      GetCurrentProcessId(), initial_pid, context_.partner_pid, files, folders, script_path,
      [code_page](const FilePath& path) { return ConsoleSpelling(path, code_page); });
  if (!WriteFileAtomically(script_path, EncodeUninstallScript(script, code_page)))
    LOG(ERROR) << "Could not write the uninstall script";
}

std::vector<FilePath> Uninstallation::FindProfileFolders() {
  FilePath profile;
  if (!ShellIntegration(context_.install_folder).GetProfileFolder(true, &profile)) return {};
  std::vector<FilePath> folders = {profile};
  // The default profile keeps its caches below the local application data.
  JsonPrefStore prefs(context_.install_folder / L"installer_prefs.json", nullptr);
  prefs.Load();
  if (!prefs.GetString("profile_path").empty()) return folders;
  FilePath local = Rebase(profile, FOLDERID_RoamingAppData, FOLDERID_LocalAppData);
  if (!local.empty()) folders.push_back(local);
  return folders;
}

}  // namespace norva::installer
