#include "system/admin_only.h"

#include <aclapi.h>
#include <sddl.h>

#include <knownfolders.h>

#include <cwctype>

#include "base/file_util.h"
#include "base/logging.h"
#include "base/strings.h"
#include "system/object_security.h"

namespace norva::installer {
namespace {

// What lets an account put its own content or rights into an object.
constexpr DWORD kChangingRights = FILE_WRITE_DATA | FILE_APPEND_DATA | DELETE | WRITE_DAC |
                                  WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

// NT SERVICE\TrustedInstaller.
constexpr wchar_t kTrustedInstallerSid[] =
    L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

bool IsTrustedSid(PSID sid) {
  if (IsWellKnownSid(sid, WinLocalSystemSid) || IsWellKnownSid(sid, WinBuiltinAdministratorsSid))
    return true;
  PSID installer = nullptr;
  if (!ConvertStringSidToSidW(kTrustedInstallerSid, &installer)) return false;
  bool same = EqualSid(sid, installer);
  LocalFree(installer);
  return same;
}


bool IsFolder(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION info;
  return GetFileInformationByHandle(handle, &info) &&
         (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
}

// "\\?\C:\x" and "\\?\UNC\s\x" back to "C:\x" and "\\s\x", folded.
std::wstring ComparablePath(std::wstring path) {
  if (path.starts_with(L"\\\\?\\UNC\\")) path = L"\\\\" + path.substr(8);
  else if (path.starts_with(L"\\\\?\\")) path = path.substr(4);
  for (wchar_t& c : path) c = c == L'/' ? L'\\' : static_cast<wchar_t>(std::towupper(c));
  while (path.size() > 3 && path.back() == L'\\') path.pop_back();
  return path;
}


std::wstring (*g_descriptor_of)(const std::wstring& path) = nullptr;

std::wstring FinalPath(HANDLE handle) {
  std::wstring final_path(32768, L'\0');
  DWORD length = GetFinalPathNameByHandleW(handle, final_path.data(),
                                           static_cast<DWORD>(final_path.size()), 0);
  final_path.resize(length < final_path.size() ? length : 0);
  return final_path;
}

bool IsAtPath(HANDLE handle, const FilePath& path) {
  std::wstring final_path = FinalPath(handle);
  return !final_path.empty() && ComparablePath(final_path) == ComparablePath(path.native());
}

bool ReadFileSecurity(HANDLE handle, PSECURITY_DESCRIPTOR* descriptor) {
  if (g_descriptor_of) {
    std::wstring sddl = g_descriptor_of(ComparablePath(FinalPath(handle)));
    if (!sddl.empty())
      return ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                                  descriptor, nullptr);
  }
  return GetSecurityInfo(handle, SE_FILE_OBJECT,
                         OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr, nullptr,
                         nullptr, nullptr, descriptor) == ERROR_SUCCESS;
}

// Makes a folder with the Administrators as its owner where the checked
// folders live and reads the owner back. Only a file system that keeps none
// answers with another (a standard user cannot make the folder at all, and
// then the checks stay on).
bool FileSystemKeepsOwners() {
  static const bool keeps = [] {
    FilePath base = GetKnownFolder(FOLDERID_ProgramData);
    PSECURITY_DESCRIPTOR wanted = nullptr;
    if (base.empty() || !ConvertStringSecurityDescriptorToSecurityDescriptorW(
                            kAdminOnlySecurity, SDDL_REVISION_1, &wanted, nullptr))
      return true;
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), wanted, FALSE};
    FilePath probe = base / StringPrintf(L"owner-probe-%lu-%lu", GetCurrentProcessId(), GetTickCount());
    bool kept = true;
    if (CreateDirectoryW(ExtendedLengthPath(probe).c_str(), &attributes)) {
      ScopedHandle handle(CreateFileW(ExtendedLengthPath(probe).c_str(), READ_CONTROL,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                      nullptr));
      PSID owner = nullptr;
      PSECURITY_DESCRIPTOR got = nullptr;
      if (handle && GetSecurityInfo(handle.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION,
                                    &owner, nullptr, nullptr, nullptr, &got) == ERROR_SUCCESS) {
        kept = owner && IsWellKnownSid(owner, WinBuiltinAdministratorsSid);
        LocalFree(got);
      }
      handle.reset();
      RemoveDirectoryW(ExtendedLengthPath(probe).c_str());
    }
    LocalFree(wanted);
    if (!kept) LOG(WARNING) << "This file system keeps no owners: no account can be kept out of its folders";
    return kept;
  }();
  return keeps;
}

}  // namespace

bool IsAdminOnlyDescriptor(PSECURITY_DESCRIPTOR descriptor, bool folder, std::string* why) {
  PSID owner = nullptr;
  PACL dacl = nullptr;
  BOOL defaulted = FALSE, present = FALSE;
  if (!IsValidSecurityDescriptor(descriptor) ||
      !GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) ||
      !GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted)) {
    *why = "its security could not be read";
    return false;
  }
  if (!owner || !IsTrustedSid(owner)) {
    *why = "it is owned by " + (owner ? WideToUtf8(SidText(owner)) : std::string("nobody"));
    return false;
  }
  if (!present || !dacl) {
    *why = "it grants everyone every right";
    return false;
  }
  const DWORD forbidden = kChangingRights | (folder ? FILE_DELETE_CHILD : 0);
  for (DWORD index = 0; index < dacl->AceCount; ++index) {
    ACE_HEADER* header = nullptr;
    if (!GetAce(dacl, index, reinterpret_cast<void**>(&header)) ||
        header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE))
      continue;
    auto* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
    PSID sid = &ace->SidStart;
    if ((ace->Mask & forbidden) && !IsTrustedSid(sid)) {
      *why = "it lets " + WideToUtf8(SidText(sid)) + " change it";
      return false;
    }
  }
  return true;
}

bool IsAdminOnly(HANDLE handle, std::string* why) {
  ScopedLocalMemory<PSECURITY_DESCRIPTOR> descriptor;
  if (!ReadFileSecurity(handle, descriptor.Receive())) {
    *why = "its security could not be read";
    return false;
  }
  if (!g_descriptor_of && !FileSystemKeepsOwners()) return true;
  return IsAdminOnlyDescriptor(descriptor.get(), IsFolder(handle), why);
}

void SetFileSecurityForTesting(std::wstring (*descriptor_of)(const std::wstring& path)) {
  g_descriptor_of = descriptor_of;
}

ScopedHandle OpenWithoutLinks(const FilePath& path, DWORD access, DWORD share, DWORD disposition,
                              DWORD attributes, SECURITY_ATTRIBUTES* security) {
  ScopedHandle handle(CreateFileW(
      ExtendedLengthPath(path).c_str(), access, share, security, disposition,
      attributes | FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!handle) return handle;
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle.get(), &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || !IsAtPath(handle.get(), path)) {
    handle.reset();
    SetLastError(ERROR_CANT_ACCESS_FILE);
  }
  return handle;
}

bool IsAdminOnlyFolder(const FilePath& folder, std::string* why) {
  why->clear();
  ScopedHandle handle = OpenWithoutLinks(folder, READ_CONTROL | FILE_READ_ATTRIBUTES,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
  if (!handle) {
    DWORD error = GetLastError();
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND)
      *why = error == ERROR_CANT_ACCESS_FILE ? "it is a link or is reached through one"
                                             : StringPrintf("it cannot be opened (%lu)", error);
    return false;
  }
  if (!IsFolder(handle.get())) {
    *why = "it is not a folder";
    return false;
  }
  return IsAdminOnly(handle.get(), why);
}

bool MakeAdminOnlyFolder(const FilePath& folder) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kAdminOnlySecurity, SDDL_REVISION_1,
                                                            &descriptor, nullptr))
    return false;
  SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor, FALSE};
  std::string why;
  // Someone who keeps making the folder again gets a few tries, not a loop.
  for (int attempt = 0; attempt < 3 && !IsAdminOnlyFolder(folder, &why); ++attempt) {
    if (!why.empty()) {
      LOG(ERROR) << "Setting aside " << folder << ": " << why;
      if (!SetAsideUntrusted(folder)) break;
    }
    if (!CreateDirectoryW(ExtendedLengthPath(folder).c_str(), &attributes) &&
        GetLastError() != ERROR_ALREADY_EXISTS) {
      PLOG(ERROR) << "Could not make " << folder;
      break;
    }
  }
  bool made = IsAdminOnlyFolder(folder, &why);
  if (!made && !why.empty()) LOG(ERROR) << "Not using " << folder << ": " << why;
  LocalFree(descriptor);
  return made;
}

bool SetAsideUntrusted(const FilePath& path) {
  for (unsigned tries = 0; tries < 100; ++tries) {
    FilePath aside(path.native() + StringPrintf(L".untrusted-%lu", GetTickCount() + tries));
    if (MoveFileExW(ExtendedLengthPath(path).c_str(), ExtendedLengthPath(aside).c_str(), 0))
      return true;
    if (GetLastError() != ERROR_ALREADY_EXISTS) break;
  }
  PLOG(ERROR) << "Could not set aside " << path;
  return false;
}

bool DeleteByHandle(HANDLE handle) {
  FILE_DISPOSITION_INFO dispose = {TRUE};
  return SetFileInformationByHandle(handle, FileDispositionInfo, &dispose, sizeof(dispose));
}

}  // namespace norva::installer
