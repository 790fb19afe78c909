#include "installer/default_install_folder.h"

#include <windows.h>
#include <shlobj.h>
#include <winioctl.h>

#include <climits>
#include <string>
#include <utility>
#include <vector>

#include "base/file_util.h"
#include "base/logging.h"
#include "base/registry.h"
#include "base/scoped_handle.h"
#include "base/strings.h"
#include "product/product_info.h"
#include "system/windows_version.h"

namespace norva::installer {

namespace {

bool IsStableStream() { return product::StreamDisplayName() == "Stable"; }

// The registry value names tried for the last install path, in order.
std::vector<std::wstring> LastInstallPathValueNames() {
  std::vector<std::wstring> names = {
      L"Last " + Utf8ToWide(product::InternalStreamName()) + L" Install Path" + L" x64",
      L"Last " + Utf8ToWide(product::StreamDisplayName()) + L" Install Path" + L" x64"};
  if (IsStableStream()) names.push_back(L"Last install path");
  return names;
}

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

FilePath ReadLastInstallPath() {
  RegKey key;
  std::wstring key_path = L"Software\\" + Utf8ToWide(product::CompanyName());
  FilePath result;
  if (key.Open(HKEY_CURRENT_USER, key_path, KEY_READ) != ERROR_SUCCESS) return result;
  std::vector<std::wstring> names = LastInstallPathValueNames();
  VLOG(1) << "Install folder reg value: " << names.front();
  std::wstring value;
  bool read = false;
  for (const std::wstring& name : names)
    if ((read = ReadRegistryString(key.get(), name, &value))) break;
  key.Close();
  FilePath folder(value);
  if (read && IsAbsolutePath(folder) && DirectoryExists(folder)) {
    std::wstring normal = folder.lexically_normal().native();
    while (normal.size() > 3 && (normal.back() == L'\\' || normal.back() == L'/'))
      normal.pop_back();
    result = normal;
  }
  VLOG(1) << "Install folder from reg value: " << result;
  return result;
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
  ScopedHandle volume(CreateFileW(device.c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                  nullptr));
  if (!volume) return false;
  DWORD bytes = 0;
  bool ok = DeviceIoControl(volume.get(), IOCTL_STORAGE_CHECK_VERIFY2, nullptr, 0, nullptr, 0,
                            &bytes, nullptr) != FALSE;
  DWORD error = GetLastError();
  return ok || error == ERROR_MEDIA_CHANGED;
}

// Removable first, then remote, fixed, RAM disk, CD-ROM.
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

FilePath PerUserProgramsFolder() {
  FilePath base;
  if (GetWindowsVersionRank() >= kWindows7) {
    base = GetKnownFolder(FOLDERID_UserProgramFiles);
    if (base.empty()) base = GetKnownFolder(FOLDERID_UserProgramFiles, KF_FLAG_CREATE | KF_FLAG_INIT);
  }
  // That known folder is "Programs" in the local application data; some
  // systems do not know it by name.
  if (base.empty()) base = GetKnownFolder(FOLDERID_LocalAppData) / L"Programs";
  return base;
}

}  // namespace

DefaultInstallFolder::DefaultInstallFolder(FilePath command_line_folder)
    : command_line_folder_(std::move(command_line_folder)),
      last_install_path_(ReadLastInstallPath()),
      standalone_drive_(FindStandaloneDrive()) {}

FilePath DefaultInstallFolder::Get(const InstallChoices& choices, bool use_command_line,
                                   bool use_registry) const {
  LOG(INFO) << "Retrieving default installation folder path" << "Using command line: "
            << use_command_line << "Using the registry: " << use_registry;
  if (use_command_line && !command_line_folder_.empty()) return command_line_folder_;
  if (use_registry && !last_install_path_.empty()) return last_install_path_;
  FilePath base = choices.all_users   ? GetKnownFolder(FOLDERID_ProgramFiles)
                  : choices.copy_only ? standalone_drive_
                                      : PerUserProgramsFolder();
  FilePath folder = base / Utf8ToWide(product::FullVisibleName());
  VLOG(1) << "Default install folder: " << folder;
  return folder;
}

}  // namespace norva::installer
