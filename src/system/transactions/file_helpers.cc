#include "system/transactions/file_helpers.h"

#include <windows.h>

#include "base/file_util.h"

namespace norva::installer::file_helpers {
namespace {

bool HasParentReference(const FilePath& path) {
  for (const FilePath& part : path)
    if (part == L"..") return true;
  return false;
}

bool CopyTree(const FilePath& from, const FilePath& to) {
  if (!installer::DirectoryExists(from)) return CopyOneFile(from, to);
  if (!CreateDirectories(to)) return false;
  bool copied = true;
  ForEachEntry(from, [&](const WIN32_FIND_DATAW& entry) {
    copied = copied && CopyTree(from / entry.cFileName, to / entry.cFileName);
  });
  return copied;
}

}  // namespace

bool PathExists(const FilePath& path) { return installer::PathExists(path); }

bool DirectoryExists(const FilePath& path) { return installer::DirectoryExists(path); }

bool ClearReadOnly(const FilePath& path) {
  const std::wstring extended = ExtendedLengthPath(path);
  DWORD attributes = GetFileAttributesW(extended.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_READONLY))
    return true;
  DWORD cleared = attributes == INVALID_FILE_ATTRIBUTES ? 0 : attributes & ~FILE_ATTRIBUTE_READONLY;
  return SetFileAttributesW(extended.c_str(), cleared ? cleared : FILE_ATTRIBUTE_NORMAL) != FALSE;
}

bool CopyOneFile(const FilePath& from, const FilePath& to) {
  if (HasParentReference(from) || HasParentReference(to)) return false;
  if (!::CopyFileW(ExtendedLengthPath(from).c_str(), ExtendedLengthPath(to).c_str(), FALSE))
    return false;
  ClearReadOnly(to);
  return true;
}

bool MovePath(const FilePath& from, const FilePath& to) {
  if (MoveFileExW(ExtendedLengthPath(from).c_str(), ExtendedLengthPath(to).c_str(),
                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED))
    return true;
  if (!installer::DirectoryExists(from)) return false;
  bool existed = installer::PathExists(to);
  if (!CopyTree(from, to)) {
    if (!existed) DeleteRecursively(to);
    return false;
  }
  DeleteRecursively(from);
  return true;
}

bool DeleteRecursively(const FilePath& path) { return DeleteTree(path); }

FilePath ParentOf(const FilePath& path) {
  FilePath parent = path.parent_path();
  return parent == path ? FilePath() : parent;
}

}  // namespace norva::installer::file_helpers
