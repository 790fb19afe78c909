#include "system/transactions/file_helpers.h"

#include <windows.h>

#include <algorithm>

#include "base/file_util.h"
#include "base/logging.h"

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

// Tries until `deadline` (a GetTickCount64 value); see RetryOnSharing.
bool RetryUntil(const std::function<bool()>& attempt, ULONGLONG deadline) {
  DWORD pause = kSharingRetryFirstPauseMs;
  for (;;) {
    if (attempt()) return true;
    const DWORD error = GetLastError();
    const ULONGLONG now = GetTickCount64();
    if (!IsSharingError(error) || now >= deadline) return false;
    Sleep(static_cast<DWORD>(std::min<ULONGLONG>(pause, deadline - now)));
    pause = std::min(pause * 2, kSharingRetryLongestPauseMs);
    SetLastError(error);
  }
}

}  // namespace

bool IsSharingError(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED;
}

bool RetryOnSharing(const std::function<bool()>& attempt, DWORD budget_ms) {
  return RetryUntil(attempt, GetTickCount64() + budget_ms);
}

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
  const std::wstring source = ExtendedLengthPath(from);
  const std::wstring target = ExtendedLengthPath(to);
  if (!RetryOnSharing([&] { return ::CopyFileW(source.c_str(), target.c_str(), FALSE) != FALSE; }))
    return false;
  ClearReadOnly(to);
  return true;
}

bool MovePath(const FilePath& from, const FilePath& to) {
  if (RenamePath(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED)) return true;
  if (!installer::DirectoryExists(from)) return false;
  bool existed = installer::PathExists(to);
  if (!CopyTree(from, to)) {
    if (!existed) DeleteRecursively(to);
    return false;
  }
  DeleteRecursively(from);
  return true;
}

bool RenamePath(const FilePath& from, const FilePath& to, DWORD flags) {
  const std::wstring source = ExtendedLengthPath(from);
  const std::wstring target = ExtendedLengthPath(to);
  return RetryOnSharing(
      [&] { return MoveFileExW(source.c_str(), target.c_str(), flags) != FALSE; });
}

bool DeleteOneFile(const FilePath& path) {
  const std::wstring extended = ExtendedLengthPath(path);
  return RetryOnSharing([&] { return DeleteFileW(extended.c_str()) != FALSE; });
}

bool CreateNewFolder(const FilePath& path) {
  return CreateDirectoryW(ExtendedLengthPath(path).c_str(), nullptr) != FALSE;
}

bool RemoveEmptyFolder(const FilePath& path) {
  const std::wstring extended = ExtendedLengthPath(path);
  return RetryOnSharing([&] { return RemoveDirectoryW(extended.c_str()) != FALSE; });
}

bool DeleteRecursively(const FilePath& path) {
  // The whole tree shares one budget.
  const ULONGLONG deadline = GetTickCount64() + kSharingRetryBudgetMs;
  return DeleteTree(path, [deadline](const std::function<bool()>& remove) {
    return RetryUntil(remove, deadline);
  });
}

bool IsLink(const FilePath& path) {
  DWORD attributes = GetFileAttributesW(ExtendedLengthPath(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

FilePath ParentOf(const FilePath& path) {
  FilePath parent = path.parent_path();
  return parent == path ? FilePath() : parent;
}

}  // namespace norva::installer::file_helpers
