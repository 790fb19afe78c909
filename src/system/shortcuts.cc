#include "system/shortcuts.h"

#include <windows.h>
#include <knownfolders.h>
#include <objbase.h>
#include <propkeydef.h>
#include <propsys.h>
#include <propvarutil.h>
#include <shellapi.h>
#include <shlobj.h>
#include <wrl/client.h>

#include "base/file_util.h"
#include "base/logging.h"
#include "base/scoped_handle.h"
#include "base/strings.h"
#include "product/product_info.h"
#include "system/link_file.h"

namespace norva::installer {
namespace {

using Microsoft::WRL::ComPtr;

// {9F4C2855-9F79-4B39-A8D0-E1D42DE1D5F3}, 5: System.AppUserModel.ID.
constexpr PROPERTYKEY kAppUserModelIdKey = {
    {0x9f4c2855, 0x9f79, 0x4b39, {0xa8, 0xd0, 0xe1, 0xd4, 0x2d, 0xe1, 0xd5, 0xf3}}, 5};

PinVerbFunction g_pin_verb_for_testing = nullptr;

bool InvokePinVerb(const FilePath& link, bool pin) {
  SHELLEXECUTEINFOW info = {sizeof(info)};
  info.fMask = SEE_MASK_INVOKEIDLIST | SEE_MASK_FLAG_NO_UI;
  info.lpVerb = pin ? L"taskbarpin" : L"taskbarunpin";
  info.lpFile = link.c_str();
  info.nShow = SW_HIDE;
  return ShellExecuteExW(&info) != FALSE;
}

bool RunPinVerb(const FilePath& link, bool pin) {
  bool done = g_pin_verb_for_testing ? g_pin_verb_for_testing(link, pin) : InvokePinVerb(link, pin);
  if (!done) PLOG(ERROR) << (pin ? "Pinning " : "Unpinning ") << link << " failed";
  return done;
}

bool SetAppUserModelId(IShellLinkW* link, const std::wstring& id) {
  ComPtr<IPropertyStore> store;
  if (FAILED(link->QueryInterface(IID_PPV_ARGS(&store)))) return false;
  PROPVARIANT value;
  if (FAILED(InitPropVariantFromString(id.c_str(), &value))) return false;
  HRESULT result = store->SetValue(kAppUserModelIdKey, value);
  PropVariantClear(&value);
  return SUCCEEDED(result) && SUCCEEDED(store->Commit());
}

// Some shells accept the property but never write it; the taskbar would then
// not group the browser's windows with the shortcut. Add it to the file.
bool EnsureAppUserModelIdInFile(const FilePath& link, const std::wstring& id) {
  std::string bytes;
  std::wstring stored;
  if (!ReadFileToString(link, &bytes)) return false;
  if (FindLinkAppUserModelId(bytes, &stored)) {
    if (stored == id) return true;
    LOG(ERROR) << "The shell stored another AppUserModelID in " << link << ": " << stored;
    return false;
  }
  VLOG(1) << "Adding the AppUserModelID to " << link;
  if (!AddLinkAppUserModelId(&bytes, id) || !WriteFileAtomically(link, bytes)) {
    LOG(ERROR) << "Could not add the AppUserModelID to " << link;
    return false;
  }
  return true;
}

bool GetFileIdentity(const FilePath& path, BY_HANDLE_FILE_INFORMATION* info) {
  ScopedHandle file(CreateFileW(path.c_str(), 0,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  return file && GetFileInformationByHandle(file.get(), info);
}

bool SameFile(const FilePath& a, const FilePath& b) {
  if (EqualsCaseInsensitiveASCII(a.native(), b.native())) return true;
  BY_HANDLE_FILE_INFORMATION first, second;
  return GetFileIdentity(a, &first) && GetFileIdentity(b, &second) &&
         first.dwVolumeSerialNumber == second.dwVolumeSerialNumber &&
         first.nFileIndexHigh == second.nFileIndexHigh &&
         first.nFileIndexLow == second.nFileIndexLow;
}

}  // namespace

std::wstring ShortcutName(bool with_version) {
  std::string name = product::FullVisibleName();
  if (with_version) {
    name += ' ';
    name += std::to_string(product::ProductMajorVersion());
  }
  return Utf8ToWide(name + product::ShortcutSuffix()) + L".lnk";
}

std::wstring AppUserModelIdFor(const std::string& app_id) {
  return L"NorvaSoftware.NorvaWebBrowser." + Utf8ToWide(app_id);
}

bool CreateShortcut(const FilePath& link, const ShortcutProperties& properties) {
  ComPtr<IShellLinkW> shell_link;
  HRESULT result = CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER,
                                    IID_PPV_ARGS(&shell_link));
  if (FAILED(result)) {
    LOG(ERROR) << "Could not create a shell link: " << logging::SystemErrorText(result);
    return false;
  }
  shell_link->SetPath(properties.target.c_str());
  shell_link->SetWorkingDirectory(properties.working_folder.c_str());
  const std::wstring& id = properties.app_user_model_id;
  if (!id.empty() && !SetAppUserModelId(shell_link.Get(), id))
    VLOG(1) << "The shell link refused the AppUserModelID of " << link;
  ComPtr<IPersistFile> file;
  if (FAILED(shell_link.As(&file))) return false;
  // A read-only file left by an earlier run must not stop the replacement.
  SetFileAttributesW(link.c_str(), FILE_ATTRIBUTE_NORMAL);
  result = file->Save(link.c_str(), TRUE);
  if (FAILED(result)) {
    LOG(ERROR) << "Could not save " << link << ": " << logging::SystemErrorText(result);
    return false;
  }
  return id.empty() || EnsureAppUserModelIdInFile(link, id);
}

bool ReadShortcut(const FilePath& link, ShortcutProperties* properties) {
  ComPtr<IShellLinkW> shell_link;
  ComPtr<IPersistFile> file;
  if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER,
                              IID_PPV_ARGS(&shell_link))) ||
      FAILED(shell_link.As(&file)) || FAILED(file->Load(link.c_str(), STGM_READ))) {
    return false;
  }
  wchar_t buffer[MAX_PATH] = {};
  if (FAILED(shell_link->GetPath(buffer, MAX_PATH, nullptr, SLGP_RAWPATH))) return false;
  properties->target = buffer;
  buffer[0] = L'\0';
  shell_link->GetWorkingDirectory(buffer, MAX_PATH);
  properties->working_folder = buffer;
  // What is in the file counts, not what the shell object remembers.
  std::string bytes;
  properties->app_user_model_id.clear();
  if (!ReadFileToString(link, &bytes) ||
      !FindLinkAppUserModelId(bytes, &properties->app_user_model_id)) {
    properties->app_user_model_id.clear();
  }
  return true;
}

bool ShortcutStartsExecutable(const FilePath& link,
                              const FilePath& executable) {
  ShortcutProperties properties;
  return PathExists(link) && ReadShortcut(link, &properties) && !properties.target.empty() &&
         SameFile(properties.target, executable);
}

FilePath TaskbarPinFolder() {
  FilePath roaming = GetKnownFolder(FOLDERID_RoamingAppData);
  if (roaming.empty()) return {};
  return roaming / L"Microsoft\\Internet Explorer\\Quick Launch\\User Pinned\\TaskBar";
}

bool FindTaskbarPin(const FilePath& executable, FilePath* pin) {
  return FindPinIn(TaskbarPinFolder(), executable, pin);
}

bool FindPinIn(const FilePath& folder, const FilePath& executable,
               FilePath* pin) {
  if (folder.empty()) return false;
  WIN32_FIND_DATAW data;
  ScopedFindHandle find(FindFirstFileW((folder / L"*.lnk").c_str(), &data));
  if (!find) return false;
  bool found = false;
  do {
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    FilePath candidate = folder / data.cFileName;
    if (ShortcutStartsExecutable(candidate, executable)) {
      *pin = candidate;
      found = true;
    }
  } while (!found && FindNextFileW(find.get(), &data));
  return found;
}

bool PinToTaskbar(const FilePath& link) { return RunPinVerb(link, true); }

bool UnpinFromTaskbar(const FilePath& link) { return RunPinVerb(link, false); }

void SetPinVerbForTesting(PinVerbFunction function) { g_pin_verb_for_testing = function; }

}  // namespace norva::installer
