#include "installer/status_probe.h"

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <mutex>
#include <string>

#include "base/file_util.h"
#include "base/strings.h"
#include "system/shell_integration.h"
#include "system/shortcuts.h"

namespace norva::installer {
namespace {

std::mutex g_probe_lock;
StatusProbe* g_probe = nullptr;  // guarded by g_probe_lock; null: the default

template <typename T>
struct ComRelease {
  T* ptr = nullptr;
  ~ComRelease() {
    if (ptr) ptr->Release();
  }
};

bool SamePath(const std::filesystem::path& a, const std::filesystem::path& b) {
  return EqualsCaseInsensitiveASCII(a.lexically_normal().wstring(),
                                    b.lexically_normal().wstring());
}

}  // namespace

bool GetFileIdentity(const std::filesystem::path& file, FileIdentity* identity) {
  HANDLE handle = CreateFileW(file.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  bool ok = GetFileInformationByHandle(handle, &info) != FALSE;
  CloseHandle(handle);
  if (!ok) return false;
  identity->volume_serial = info.dwVolumeSerialNumber;
  identity->file_index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return true;
}

bool GetShortcutTarget(const std::filesystem::path& shortcut, std::filesystem::path* target) {
  ComRelease<IShellLinkW> link;
  if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                              reinterpret_cast<void**>(&link.ptr)))) {
    return false;
  }
  ComRelease<IPersistFile> file;
  if (FAILED(link.ptr->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file.ptr))) ||
      FAILED(file.ptr->Load(shortcut.c_str(), STGM_READ))) {
    return false;
  }
  std::wstring buffer(MAX_PATH * 2, L'\0');
  if (link.ptr->GetPath(buffer.data(), static_cast<int>(buffer.size()), nullptr, SLGP_RAWPATH) !=
      S_OK) {
    return false;
  }
  buffer.resize(wcslen(buffer.c_str()));
  *target = buffer;
  return !buffer.empty();
}

bool ShortcutStarts(const std::filesystem::path& shortcut, const std::filesystem::path& executable,
                    const FileIdentity* identity) {
  if (shortcut.empty() || !PathExists(shortcut)) return false;
  std::filesystem::path target;
  if (!GetShortcutTarget(shortcut, &target)) return false;
  if (SamePath(target, executable)) return true;
  FileIdentity target_identity;
  return identity && GetFileIdentity(target, &target_identity) && target_identity == *identity;
}

std::filesystem::path FindPinIn(const std::filesystem::path& pins_folder,
                                const std::filesystem::path& executable,
                                const FileIdentity* identity) {
  if (pins_folder.empty()) return {};
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((pins_folder / L"*.lnk").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return {};
  std::filesystem::path pin;
  do {
    std::filesystem::path candidate = pins_folder / found.cFileName;
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
        ShortcutStarts(candidate, executable, identity)) {
      pin = candidate;
    }
  } while (pin.empty() && FindNextFileW(search, &found));
  FindClose(search);
  return pin;
}

StatusProbe DefaultStatusProbe() {
  StatusProbe probe;
  probe.is_http_handled_by = [](const std::filesystem::path& folder,
                                bool match_browser_executable) {
    return ShellIntegration(folder).IsHandledByUs(L"http", match_browser_executable);
  };
  probe.profile_folder = [](const std::filesystem::path& folder, std::filesystem::path* profile) {
    return ShellIntegration(folder).GetProfileFolder(/*for_deletion=*/false, profile);
  };
  probe.start_menu_programs = [] { return GetKnownFolder(FOLDERID_Programs); };
  probe.find_taskbar_pin = [](const std::filesystem::path& executable,
                              const FileIdentity* identity) {
    return FindPinIn(TaskbarPinFolder(), executable, identity);
  };
  return probe;
}

StatusProbe GetStatusProbe() {
  std::lock_guard<std::mutex> hold(g_probe_lock);
  return g_probe ? *g_probe : DefaultStatusProbe();
}

void SetStatusProbe(StatusProbe probe) {
  std::lock_guard<std::mutex> hold(g_probe_lock);
  delete g_probe;
  g_probe = new StatusProbe(std::move(probe));
}

}  // namespace norva::installer
