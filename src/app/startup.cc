#include "app/startup.h"

#include <delayimp.h>
#include <knownfolders.h>
#include <shlobj.h>

#include <vector>

#include "base/command_line.h"
#include "base/file_util.h"
#include "base/logging.h"
#include "base/process.h"
#include "base/registry.h"
#include "base/scoped_handle.h"
#include "base/strings.h"
#include "product/product_info.h"
#include "system/windows_version.h"

namespace norva::installer {
namespace {

constexpr wchar_t kInstallerExe[] = L"installer.exe";
constexpr wchar_t kFilesList[] = L"files_list";
constexpr wchar_t kInternetSettingsKey[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
constexpr wchar_t kSecureProtocolsValue[] = L"SecureProtocols";
constexpr DWORD kTls10Bit = 0x80;
constexpr DWORD kDefaultSecureProtocols = 32;

bool IsFile(const FilePath& path) {
  return PathExists(path) && !DirectoryExists(path);
}

std::wstring InstallerFolderName() {
  return Utf8ToWide(StringPrintf("%s Installer", product::ProductName().c_str()));
}

// Copies this executable into `folder` and runs the copy with "version": a
// folder from which programs may not run is useless for the package.
bool CanRunProgramsFrom(const FilePath& folder,
                        const FilePath& executable_path) {
  FilePath copy = folder / executable_path.filename();
  bool same_file = EqualsCaseInsensitiveASCII(copy.native(), executable_path.native());
  if (!same_file && !::CopyFileW(executable_path.c_str(), copy.c_str(), FALSE)) return false;
  CommandLine test_run(copy);
  test_run.AppendSwitch("version");
  // The copy prints its version to whatever output it inherits: nowhere.
  SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
  ScopedHandle discard(CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   &inheritable, OPEN_EXISTING, 0, nullptr));
  LaunchOptions options;
  if (discard) options.stdout_handle = discard.get();
  DWORD exit_code = 0;
  bool ran = LaunchProcessAndWait(test_run.GetCommandLineString(), &exit_code, options);
  discard.reset();
  if (!same_file) DeleteFileW(copy.c_str());
  // The version's answer ends with 0. A copy that the system stopped before
  // it ran (a DLL it could not load, 0xC0000135; a policy) ends with a code
  // of the system's.
  if (ran && exit_code != 0)
    VLOG(1) << "A copy of the installer in " << folder
            << StringPrintf(" could not run (exit code 0x%08lX)", exit_code);
  return ran && exit_code == 0;
}

bool TryDownloadBase(const FilePath& base,
                     const FilePath& executable_path,
                     FilePath* folder) {
  if (base.empty()) return false;
  FilePath candidate = base / InstallerFolderName();
  if (!DirectoryExists(candidate) && !CreateDirectoryW(candidate.c_str(), nullptr)) return false;
  if (CanRunProgramsFrom(candidate, executable_path)) {
    *folder = candidate;
    return true;
  }
  // Only an empty folder goes: whatever else was in it is not ours to delete.
  RemoveDirectoryW(candidate.c_str());
  return false;
}

}  // namespace

void ClearCallbackExceptionSwallowing() {
  using GetPolicy = BOOL(WINAPI*)(LPDWORD);
  using SetPolicy = BOOL(WINAPI*)(DWORD);
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  auto get_policy = reinterpret_cast<GetPolicy>(
      reinterpret_cast<void*>(GetProcAddress(kernel, "GetProcessUserModeExceptionPolicy")));
  auto set_policy = reinterpret_cast<SetPolicy>(
      reinterpret_cast<void*>(GetProcAddress(kernel, "SetProcessUserModeExceptionPolicy")));
  DWORD flags = 0;
  if (get_policy && set_policy && get_policy(&flags)) set_policy(flags & ~DWORD{1});
}

void RestrictDllSearch() {
  // A look at a drive without its medium (a folder the user types, a search
  // path) fails quietly instead of putting up the system's message box. Set
  // first, before anything searches.
  SetErrorMode(GetErrorMode() | SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  // Drops the current folder where the call below is missing.
  SetDllDirectoryW(L"");
  // Windows 8 and later, and Windows 7 with KB2533623. The executable's own
  // folder stays out: an installer runs from wherever it was downloaded to.
  using SetDefaultDirectories = BOOL(WINAPI*)(DWORD);
  auto set_default_directories = reinterpret_cast<SetDefaultDirectories>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
  if (set_default_directories) set_default_directories(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

HMODULE LoadSystemLibrary(const char* name) {
  // By name, so that the manifest's side-by-side assemblies (common controls
  // 6) still take their place.
  HMODULE module = LoadLibraryExA(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (module || GetLastError() != ERROR_INVALID_PARAMETER) return module;
  // Systems without the search flags.
  ACTCTX_SECTION_KEYED_DATA redirected{sizeof(redirected)};
  if (FindActCtxSectionStringA(0, nullptr, ACTIVATION_CONTEXT_SECTION_DLL_REDIRECTION, name,
                               &redirected))
    return LoadLibraryA(name);
  char folder[MAX_PATH];
  UINT length = GetSystemDirectoryA(folder, MAX_PATH);
  if (!length || length >= MAX_PATH) return nullptr;
  // The folder of a module loaded by its full path is searched first for its
  // own imports.
  return LoadLibraryExA((std::string(folder, length) + "\\" + name).c_str(), nullptr,
                        LOAD_WITH_ALTERED_SEARCH_PATH);
}

FilePath LogFilePathFor(const SYSTEMTIME& start) {
  std::string product = product::ProductName();
  std::wstring file_name = Utf8ToWide(
      StringPrintf("%s_installer", ToLowerASCII(product).c_str()) +
      StringPrintf("_%02d%02d%02d%02d%02d%02d.log", start.wYear, start.wMonth, start.wDay,
                   start.wHour, start.wMinute, start.wSecond));
  FilePath temp = GetRunTempFolder();
  if (temp.empty()) return file_name;
  FilePath folder = temp / InstallerFolderName();
  if (!DirectoryExists(folder) && !CreateDirectoryW(folder.c_str(), nullptr)) return file_name;
  return folder / file_name;
}

void RestartThisProcess() { LaunchProcess(GetCommandLineW()); }

bool EnsureTlsEnabled(const std::function<void()>& restart) {
  VLOG(1) << "Ensuring that TLS 1.0 is enabled";
  int rank = GetWindowsVersionRank();
  if (rank != kWindowsXP && rank != kWindowsServer2003) return true;

  RegKey key;
  if (key.Open(HKEY_CURRENT_USER, kInternetSettingsKey, KEY_QUERY_VALUE) != ERROR_SUCCESS) {
    LOG(WARNING) << "Could not read the list of enabled secure protocols.";
    return true;
  }
  DWORD protocols = kDefaultSecureProtocols;
  LONG read = key.ReadDWORD(kSecureProtocolsValue, &protocols);
  key.Close();
  if (read == ERROR_FILE_NOT_FOUND) {
    protocols = kDefaultSecureProtocols;
  } else if (read != ERROR_SUCCESS) {
    LOG(WARNING) << "Could not read the list of enabled secure protocols.";
    return true;
  }
  if (protocols > 127) {
    VLOG(1) << "TLS 1.0 or above is enabled.";
    return true;
  }
  protocols |= kTls10Bit;
  if (key.Open(HKEY_CURRENT_USER, kInternetSettingsKey, KEY_SET_VALUE) != ERROR_SUCCESS)
    return false;
  LONG written = key.WriteDWORD(kSecureProtocolsValue, protocols);
  key.Close();
  if (written != ERROR_SUCCESS) return false;
  LOG(INFO) << "Restarting process after enabling TLS 1.0";
  restart();
  return false;
}

bool IsInsidePackage(const FilePath& executable_path, bool uninstall) {
  FilePath folder = executable_path.parent_path();
  std::wstring browser = Utf8ToWide(product::FileNameBase()) + L".exe";
  if (!IsFile(folder / browser)) return false;
  if (uninstall) return true;
  return IsFile(folder / kFilesList) &&
         EqualsCaseInsensitiveASCII(executable_path.filename().native(), kInstallerExe);
}

FilePath InstallFolderFromCommandLine(const CommandLine& command_line, bool autoupdate,
                                      bool* silent, bool* run_immediately) {
  if (!command_line.HasSwitch("installfolder")) return {};
  FilePath folder = command_line.GetSwitchValuePath("installfolder");
  if (!folder.empty()) {
    VLOG(1) << "Install folder from command line: " << folder;
    return folder;
  }
  if (!autoupdate) return folder;
  LOG(INFO) << "It looks like we are autoupdating from N12.";
  const std::vector<std::wstring>& args = command_line.GetRawArgs();
  if (!args.empty()) {
    FilePath last(args.back());
    if (IsAbsolutePath(last)) folder = last;
  }
  LOG(INFO) << "Recovered install folder from command line: " << folder;
  if (*silent && !folder.empty()) {
    LOG(INFO) << "Configuring for N12 autoupdate.";
    *silent = false;
    *run_immediately = true;
  }
  return folder;
}

bool ChooseDownloadFolder(const CommandLine& command_line,
                          const FilePath& executable_path,
                          FilePath* folder) {
  if (command_line.HasSwitch("temp-folder")) {
    FilePath given = command_line.GetSwitchValuePath("temp-folder");
    if (IsAbsolutePath(given)) {
      *folder = given;
      return true;
    }
    // Anything else names a folder under the current one, wherever that is.
    LOG(WARNING) << "Ignoring the temp-folder value, which is not an absolute path: \""
                 << given << "\"";
  }
  if (TryDownloadBase(GetRunTempFolder(), executable_path, folder)) return true;
  FilePath downloads = GetKnownFolder(FOLDERID_Downloads, 0);
  if (downloads.empty())
    downloads = GetKnownFolder(FOLDERID_Downloads, KF_FLAG_CREATE | KF_FLAG_INIT);
  if (TryDownloadBase(downloads, executable_path, folder)) return true;
  if (TryDownloadBase(GetKnownFolder(FOLDERID_Profile, 0), executable_path, folder)) return true;
  return TryDownloadBase(executable_path.parent_path(), executable_path, folder);
}

}  // namespace norva::installer

namespace {

FARPROC WINAPI LoadDelayLoadedDll(unsigned notification, PDelayLoadInfo info) {
  if (notification != dliNotePreLoadLibrary) return nullptr;
  return reinterpret_cast<FARPROC>(norva::installer::LoadSystemLibrary(info->szDll));
}

}  // namespace

// The delay-load helper asks here before it loads a DLL by name itself.
PfnDliHook __pfnDliNotifyHook2 = LoadDelayLoadedDll;
