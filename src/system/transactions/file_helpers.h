#ifndef NORVA_SYSTEM_TRANSACTIONS_FILE_HELPERS_H_
#define NORVA_SYSTEM_TRANSACTIONS_FILE_HELPERS_H_

#include <filesystem>

// File-system steps shared by the file operations. None of them throws.
namespace norva::installer::file_helpers {

bool PathExists(const std::filesystem::path& path);
bool DirectoryExists(const std::filesystem::path& path);

// Clears the read-only bit (an unreadable attribute set counts as having it).
// True when there was nothing to clear.
bool ClearReadOnly(const std::filesystem::path& path);

// Copies one file, overwriting, and clears the copy's read-only bit. Refuses
// paths with a ".." component.
bool CopyOneFile(const std::filesystem::path& from, const std::filesystem::path& to);

// Renames, replacing the destination and copying across volumes; a folder
// that cannot be renamed is copied recursively and its source removed.
bool MovePath(const std::filesystem::path& from, const std::filesystem::path& to);

// Removes a file or a whole folder tree, read-only entries included. Nothing
// there counts as success.
bool DeleteRecursively(const std::filesystem::path& path);

// The parent, or an empty path when `path` has none left.
std::filesystem::path ParentOf(const std::filesystem::path& path);

}  // namespace norva::installer::file_helpers

#endif  // NORVA_SYSTEM_TRANSACTIONS_FILE_HELPERS_H_
