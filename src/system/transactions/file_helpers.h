#ifndef NORVA_SYSTEM_TRANSACTIONS_FILE_HELPERS_H_
#define NORVA_SYSTEM_TRANSACTIONS_FILE_HELPERS_H_

#include "base/file_path.h"

// File-system steps shared by the file operations. None of them throws.
namespace norva::installer::file_helpers {

bool PathExists(const FilePath& path);
bool DirectoryExists(const FilePath& path);

// Clears the read-only bit (an unreadable attribute set counts as having it).
// True when there was nothing to clear.
bool ClearReadOnly(const FilePath& path);

// Copies one file, overwriting, and clears the copy's read-only bit. Refuses
// paths with a ".." component.
bool CopyOneFile(const FilePath& from, const FilePath& to);

// Renames, replacing the destination and copying across volumes; a folder
// that cannot be renamed is copied recursively and its source removed.
bool MovePath(const FilePath& from, const FilePath& to);

// Removes a file or a whole folder tree, read-only entries included. Nothing
// there counts as success.
bool DeleteRecursively(const FilePath& path);

// The parent, or an empty path when `path` has none left.
FilePath ParentOf(const FilePath& path);

}  // namespace norva::installer::file_helpers

#endif  // NORVA_SYSTEM_TRANSACTIONS_FILE_HELPERS_H_
