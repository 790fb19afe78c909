#ifndef NORVA_BASE_FILE_UTIL_H_
#define NORVA_BASE_FILE_UTIL_H_

#include <windows.h>
#include <shtypes.h>

#include <cstddef>
#include <functional>
#include <limits>
#include <string>
#include <string_view>

#include "base/file_path.h"

// File and folder helpers on UTF-16 paths. None of them throws; failures are
// logged where the caller could not tell why from the result alone.
//
// <windows.h> maps CopyFile to CopyFileW; it is included here so that every
// user of this header sees the same name for our CopyFile.

namespace norva::installer {

// Owner Administrators, full control for SYSTEM and the administrators only,
// nothing inherited: what no less privileged account can have made or changed.
inline constexpr wchar_t kAdminOnlySecurity[] = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

// The process's temporary folder: GetTempPath2 where the system has it
// (for SYSTEM "C:\Windows\SystemTemp", which only SYSTEM and the
// administrators may use; for anyone else the same as GetTempPath), else
// GetTempPath. Empty on failure.
FilePath GetTempFolder();
// Whether the process token's user is LocalSystem.
bool IsRunningAsSystem();
// The folder this run keeps its temporary files in: GetTempFolder(), except
// for SYSTEM where the system lacks GetTempPath2. SYSTEM's temporary folder
// is then "C:\Windows\Temp", where any user may make folders and files
// first, so the run makes a folder of its own there: a new random name only
// SYSTEM and the administrators may use, made on the first call (the same
// folder for later calls) and removed by RemoveRunTempFolder. Empty on failure.
FilePath GetRunTempFolder();
// Removes the folder GetRunTempFolder made, with everything in it (the log
// file is closed first when it is in there); does nothing when it made none.
// True when nothing of it is left.
bool RemoveRunTempFolder();
// Test-only: answers "the process is SYSTEM" and "the system lacks
// GetTempPath2" for GetRunTempFolder's choice, in place of the token and
// kernel32; nullptr puts the real answers back. The folder calls stay real
// (GetTempPath2 itself is called only where the system has it).
struct TempFolderConditions {
  bool as_system = false;
  bool temp_path2_missing = false;
};
void SetTempFolderConditionsForTesting(const TempFolderConditions* conditions);
// A known folder (SHGetKnownFolderPath with `flags`); empty on failure.
FilePath GetKnownFolder(REFKNOWNFOLDERID id, DWORD flags = 0);
// The full path of the running executable.
FilePath GetExecutablePath();

bool PathExists(const FilePath& path);
bool DirectoryExists(const FilePath& path);
// True when the folder exists afterwards.
bool CreateDirectories(const FilePath& path);
// Deletes a file or a folder with everything in it, read-only files
// included. Links inside (junctions, symbolic links) are removed without
// touching what they point to. True when nothing is left; a missing path is
// success. `attempt`, when given, runs each single deletion (to retry it).
using DeleteAttempt = std::function<bool(const std::function<bool()>& remove)>;
bool DeleteTree(const FilePath& path, const DeleteAttempt& attempt = nullptr);

// The NT status beneath the calling thread's last error: it tells causes
// apart that share an error code.
LONG LastNtStatus();
// Under ERROR_ACCESS_DENIED: the file was deleted and another program still
// holds it open.
inline constexpr LONG kStatusDeletePending = static_cast<LONG>(0xC0000056);

// Removes an empty folder. One whose last entries are files pending deletion
// (deleted while another program held them open) fails as in use,
// ERROR_SHARING_VIOLATION, a cause that passes, rather than as not empty.
bool RemoveFolder(const FilePath& path);

// Calls `visit` for each entry of `folder` but "." and "..", links included
// as they are.
void ForEachEntry(const FilePath& folder,
                  const std::function<void(const WIN32_FIND_DATAW&)>& visit);

// Reads the whole file. A file larger than `max_size` fails, with the first
// `max_size` bytes in `contents`.
bool ReadFileToString(const FilePath& path, std::string* contents,
                      size_t max_size = std::numeric_limits<size_t>::max());
// Writes a temporary file beside `path`, flushes it to disk and moves it over
// `path`, so readers see the old or the new content, never a mix. The folder
// must exist.
bool WriteFileAtomically(const FilePath& path, std::string_view bytes);
// Copies a file, replacing an existing destination.
bool CopyFile(const FilePath& from, const FilePath& to);
// CreateFileW with CREATE_ALWAYS, for a path in the form CreateFileW takes,
// except that a file not there yet is created as new. Wine opens a file for
// overwriting by truncating it, and ext4 writes a file truncated to nothing
// out to disk as soon as it is closed: the next flush of any file, such as
// the journal's first, then waited for all of them to reach the disk.
HANDLE CreateOrOverwriteFile(const std::wstring& path, DWORD access, DWORD share);

// The extended-length form of an absolute path, for the file functions of
// the system, which take it beyond MAX_PATH characters: "C:\x" becomes
// "\\?\C:\x" and "\\server\share\x" becomes "\\?\UNC\server\share\x". The
// system does not normalise such a path, so "/" becomes "\", empty and "."
// components go and ".." takes the previous one away (never the drive or the
// share). Relative paths, paths without a share and paths already in a
// device form ("\\?\", "\\.\") come back unchanged. Every path handed to a
// file function of the system goes through here.
std::wstring ExtendedLengthPath(const FilePath& path);

// A drive path ("C:\x") or a UNC path ("\\server\share"); "C:x" and "\x"
// are relative.
bool IsAbsolutePath(const FilePath& path);
// Whether a path read from a files list or an install log stays inside the
// folder it is joined to: relative, no drive, no empty, "." or ".."
// component. Whoever can write the installation folder can edit its log.
bool IsSafeRelativePath(const FilePath& path);
// Makes a new, empty folder with a unique name inside `base`; empty on
// failure.
FilePath CreateUniqueTempFolderUnder(const FilePath& base);
// Makes a new folder inside `base` that only SYSTEM and the administrators
// may use, owned by the administrators, with no entry inherited from `base`.
// The access list is given at creation, so the folder is never open to
// others, and an existing name (folder, file or link) is never taken:
// another name is tried. `next_name` gives the names, by default random ones
// from the system's generator. Empty on failure.
FilePath CreatePrivateFolderUnder(const FilePath& base,
                                  const std::function<std::wstring()>& next_name = nullptr);

}  // namespace norva::installer

#endif  // NORVA_BASE_FILE_UTIL_H_
