#ifndef NORVA_SYSTEM_ADMIN_ONLY_H_
#define NORVA_SYSTEM_ADMIN_ONLY_H_

#include <windows.h>

#include <string>

#include "base/file_path.h"
#include "base/file_util.h"  // kAdminOnlySecurity
#include "base/scoped_handle.h"

// Files and folders that an elevated or SYSTEM run may trust: ones that no
// less privileged account could have made or changed. Such a run checks what
// it reads through a handle, never by a name that a link could redirect
// between the check and the use.
namespace norva::installer {

// Whether a file's or folder's security descriptor has an owner SYSTEM, the
// Administrators or TrustedInstaller, and grants nobody else write, append,
// delete, WRITE_DAC, WRITE_OWNER or, on a folder, the right to delete what
// it holds. `why` says what failed.
bool IsAdminOnlyDescriptor(PSECURITY_DESCRIPTOR descriptor, bool folder, std::string* why);

// The same for the file or folder of `handle` (opened with READ_CONTROL).
// On a file system that keeps no owner we give a folder (FAT; Wine, which
// makes up descriptors from the host's file modes) no account can be kept
// out, and every object passes; that is found out once per process.
bool IsAdminOnly(HANDLE handle, std::string* why);

// Test-only: stands in for the security descriptor of the files and folders
// the checks read (an SDDL text for a path; empty: what the system reports),
// as the test system (Wine) keeps none. Null puts the system back.
void SetFileSecurityForTesting(std::wstring (*descriptor_of)(const std::wstring& path));

// Opens `path` without following a link at its end (a folder with
// FILE_FLAG_BACKUP_SEMANTICS). Fails, with ERROR_CANT_ACCESS_FILE, when it is
// a reparse point or when the handle's final path is not `path` (a link on
// the way).
ScopedHandle OpenWithoutLinks(const FilePath& path, DWORD access, DWORD share,
                              DWORD disposition = OPEN_EXISTING, DWORD attributes = 0,
                              SECURITY_ATTRIBUTES* security = nullptr);

// Whether `folder` exists, is no link, and is admin-only; `why` says why not
// (empty when it does not exist).
bool IsAdminOnlyFolder(const FilePath& folder, std::string* why);

// Makes `folder` (whose parent exists) admin-only: a folder found there that
// fails IsAdminOnlyFolder was made or changed by someone else and is renamed
// out of the way (never re-secured or emptied through its name), and a new
// one is made with kAdminOnlySecurity.
bool MakeAdminOnlyFolder(const FilePath& folder);

// Renames `path` (a link itself, not its target) to "<name>.untrusted-<n>".
bool SetAsideUntrusted(const FilePath& path);

// Deletes the file of `handle`, opened with DELETE: what the handle found,
// not what the name may lead to by now.
bool DeleteByHandle(HANDLE handle);

}  // namespace norva::installer

#endif  // NORVA_SYSTEM_ADMIN_ONLY_H_
