#ifndef NORVA_SYSTEM_TRANSACTIONS_FILE_HELPERS_H_
#define NORVA_SYSTEM_TRANSACTIONS_FILE_HELPERS_H_

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "base/file_path.h"

// File-system steps shared by the file operations. None of them throws.
//
// A file that a virus scanner, an indexer or a backup tool has open is
// usually released within moments, so copies, moves and deletions that fail
// for such a passing cause are tried again for a while (RetryOnSharing)
// before they count as failures. A file still held after that is logged
// with the programs holding it.
namespace norva::installer::file_helpers {

// How long a step keeps trying, and its first and longest pause.
constexpr DWORD kSharingRetryBudgetMs = 10000;
constexpr DWORD kSharingRetryFirstPauseMs = 50;
constexpr DWORD kSharingRetryLongestPauseMs = 1000;

// Whether a step that failed with `error` (and, beneath it, `nt_status`) may
// succeed once another program lets go of the file: a sharing or lock
// violation, or a denied access whose cause is a deletion still pending (the
// name goes with the last handle). Any other denied access (a read-only file,
// an access list, a protected folder) is final.
bool IsPassingFailure(DWORD error, LONG nt_status);

// The programs that hold any of `paths` open, as "name (process id)" joined
// with ", "; empty when none is known or the system cannot tell.
std::wstring ProgramsHolding(const std::vector<FilePath>& paths);

// The budget the steps use: kSharingRetryBudgetMs, unless a test that holds
// a file on purpose shortened it.
DWORD SharingRetryBudget();
void SetSharingRetryBudgetForTesting(DWORD budget_ms);

// Runs `attempt` (which returns false with the system's last error set on
// failure) until it succeeds, fails for a cause that does not pass,
// or `budget_ms` have passed; the pauses grow from the first to the longest.
// The last error of the final attempt is kept.
bool RetryOnSharing(const std::function<bool()>& attempt,
                    DWORD budget_ms = SharingRetryBudget());

bool PathExists(const FilePath& path);
bool DirectoryExists(const FilePath& path);

// Clears the read-only bit (an unreadable attribute set counts as having it).
// True when there was nothing to clear.
bool ClearReadOnly(const FilePath& path);

// Copies one file, overwriting, and clears the copy's read-only bit. Refuses
// paths with a ".." component.
bool CopyOneFile(const FilePath& from, const FilePath& to);

// Copies a file or a folder tree. A link anywhere in it (a junction, a
// symbolic link) fails the copy: what it names is not the tree's.
bool CopyTree(const FilePath& from, const FilePath& to);

// Renames, replacing the destination and copying across volumes; a folder
// that cannot be renamed is copied recursively and its source removed.
bool MovePath(const FilePath& from, const FilePath& to);

// MoveFileEx with `flags`, in extended-length form, retried as above.
bool RenamePath(const FilePath& from, const FilePath& to, DWORD flags);

// Deletes one file (not a folder); retried as above. A missing file fails
// with ERROR_FILE_NOT_FOUND.
bool DeleteOneFile(const FilePath& path);

// Makes one folder whose parent exists. Fails (ERROR_ALREADY_EXISTS) when
// anything stands at the name, a folder included: one that someone else
// made is never taken for a new one.
bool CreateNewFolder(const FilePath& path);

// Removes an empty folder; retried as above.
bool RemoveEmptyFolder(const FilePath& path);

// Removes a file or a whole folder tree, read-only entries included; links
// inside are removed without following them. Nothing there counts as
// success. Entries held by others get one shared retry budget.
bool DeleteRecursively(const FilePath& path);

// Whether `path` is a junction, a link or another reparse point.
bool IsLink(const FilePath& path);

// The parent, or an empty path when `path` has none left.
FilePath ParentOf(const FilePath& path);

}  // namespace norva::installer::file_helpers

#endif  // NORVA_SYSTEM_TRANSACTIONS_FILE_HELPERS_H_
