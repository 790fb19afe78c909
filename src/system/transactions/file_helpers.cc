#include "system/transactions/file_helpers.h"

#include <windows.h>

#include <system_error>

namespace norva::installer::file_helpers {
namespace {

bool IsAcceptedPath(const std::filesystem::path& path) {
  if (path.native().size() >= MAX_PATH) return false;
  for (const std::filesystem::path& part : path)
    if (part == L"..") return false;
  return true;
}

bool CopyTree(const std::filesystem::path& from, const std::filesystem::path& to) {
  std::error_code error;
  std::filesystem::copy(from, to,
                        std::filesystem::copy_options::recursive |
                            std::filesystem::copy_options::overwrite_existing,
                        error);
  return !error;
}

}  // namespace

bool PathExists(const std::filesystem::path& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool DirectoryExists(const std::filesystem::path& path) {
  DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool ClearReadOnly(const std::filesystem::path& path) {
  DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_READONLY))
    return true;
  DWORD cleared = attributes == INVALID_FILE_ATTRIBUTES ? 0 : attributes & ~FILE_ATTRIBUTE_READONLY;
  return SetFileAttributesW(path.c_str(), cleared ? cleared : FILE_ATTRIBUTE_NORMAL) != FALSE;
}

bool CopyOneFile(const std::filesystem::path& from, const std::filesystem::path& to) {
  if (!IsAcceptedPath(from) || !IsAcceptedPath(to)) return false;
  if (!CopyFileW(from.c_str(), to.c_str(), FALSE)) return false;
  ClearReadOnly(to);
  return true;
}

bool MovePath(const std::filesystem::path& from, const std::filesystem::path& to) {
  if (from.native().size() >= MAX_PATH || to.native().size() >= MAX_PATH) return false;
  if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED))
    return true;
  if (!DirectoryExists(from)) return false;
  bool existed = PathExists(to);
  if (!CopyTree(from, to)) {
    if (!existed) DeleteRecursively(to);
    return false;
  }
  DeleteRecursively(from);
  return true;
}

bool DeleteRecursively(const std::filesystem::path& path) {
  DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return true;
  if (attributes & FILE_ATTRIBUTE_READONLY)
    SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY) || (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? RemoveDirectoryW(path.c_str())
                                                   : DeleteFileW(path.c_str());
  }
  bool all_removed = true;
  std::error_code error;
  for (std::filesystem::directory_iterator it(path, error), end; !error && it != end;
       it.increment(error)) {
    all_removed = DeleteRecursively(it->path()) && all_removed;
  }
  return !error && all_removed && RemoveDirectoryW(path.c_str());
}

std::filesystem::path ParentOf(const std::filesystem::path& path) {
  std::filesystem::path parent = path.parent_path();
  return parent == path ? std::filesystem::path() : parent;
}

}  // namespace norva::installer::file_helpers
