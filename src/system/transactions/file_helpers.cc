#include "system/transactions/file_helpers.h"

#include <windows.h>
#include <restartmanager.h>

#include <algorithm>
#include <atomic>
#include <memory>

#include "base/file_util.h"
#include "base/logging.h"

namespace norva::installer::file_helpers {
namespace {

bool HasParentReference(const FilePath& path) {
  for (const FilePath& part : path)
    if (part == L"..") return true;
  return false;
}

// A link met on the way: the copy would take in whatever it names.
constexpr DWORD kErrorReparsePointEncountered = 4395;

bool RefuseLink(const FilePath& path) {
  LOG(ERROR) << "Not copying the link " << path;
  SetLastError(kErrorReparsePointEncountered);
  return false;
}

bool CopyEntries(const FilePath& from, const FilePath& to) {
  if (!CreateDirectories(to)) return false;
  bool copied = true;
  DWORD error = ERROR_SUCCESS;
  ForEachEntry(from, [&](const WIN32_FIND_DATAW& entry) {
    if (!copied) return;
    const FilePath source = from / entry.cFileName, target = to / entry.cFileName;
    if (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
      copied = RefuseLink(source);
    else if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
      copied = CopyEntries(source, target);
    else
      copied = CopyOneFile(source, target);
    if (!copied) error = GetLastError();
  });
  // The listing's end sets an error of its own.
  if (!copied) SetLastError(error);
  return copied;
}

}  // namespace

bool CopyTree(const FilePath& from, const FilePath& to) {
  if (IsLink(from)) return RefuseLink(from);
  if (!installer::DirectoryExists(from)) return CopyOneFile(from, to);
  return CopyEntries(from, to);
}

namespace {

// Tries until `deadline` (a GetTickCount64 value); see RetryOnSharing.
bool RetryUntil(const std::function<bool()>& attempt, ULONGLONG deadline) {
  DWORD pause = kSharingRetryFirstPauseMs;
  for (;;) {
    if (attempt()) return true;
    const DWORD error = GetLastError();
    const LONG status = LastNtStatus();
    const ULONGLONG now = GetTickCount64();
    if (!IsPassingFailure(error, status) || now >= deadline) return false;
    Sleep(static_cast<DWORD>(std::min<ULONGLONG>(pause, deadline - now)));
    pause = std::min(pause * 2, kSharingRetryLongestPauseMs);
    SetLastError(error);
  }
}

// Whether another program has `path` open in a way that keeps it from being
// replaced.
bool IsHeld(const std::wstring& path) {
  HANDLE handle = CreateFileW(path.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle != INVALID_HANDLE_VALUE) {
    CloseHandle(handle);
    return false;
  }
  return GetLastError() == ERROR_SHARING_VIOLATION;
}

// Finishes a retried step on `paths`: a failure that is still a sharing one
// names the programs holding them. The last error is kept.
bool LogHolders(bool done, const std::vector<FilePath>& paths) {
  if (done) return true;
  const DWORD error = GetLastError();
  if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION) {
    std::wstring holders = ProgramsHolding(paths);
    if (!holders.empty()) LOG(ERROR) << paths.front() << " is in use by " << holders;
  }
  SetLastError(error);
  return false;
}

// The restart manager is not among the libraries Windows always takes from
// its own folder, so it is loaded from there by name when needed.
struct RestartManager {
  decltype(&RmStartSession) start = nullptr;
  decltype(&RmRegisterResources) register_resources = nullptr;
  decltype(&RmGetList) get_list = nullptr;
  decltype(&RmEndSession) end = nullptr;
};

template <typename Function>
void Bind(HMODULE module, const char* name, Function* function) {
  *function = reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

const RestartManager* LoadRestartManager() {
  static const RestartManager* loaded = [] {
    static RestartManager manager;
    HMODULE module = LoadLibraryExW(L"rstrtmgr.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!module) return static_cast<RestartManager*>(nullptr);
    Bind(module, "RmStartSession", &manager.start);
    Bind(module, "RmRegisterResources", &manager.register_resources);
    Bind(module, "RmGetList", &manager.get_list);
    Bind(module, "RmEndSession", &manager.end);
    bool complete = manager.start && manager.register_resources && manager.get_list && manager.end;
    return complete ? &manager : nullptr;
  }();
  return loaded;
}

std::vector<RM_PROCESS_INFO> ListHolders(const RestartManager& manager, DWORD session,
                                         const std::vector<FilePath>& paths) {
  std::vector<LPCWSTR> names;
  for (const FilePath& path : paths) names.push_back(path.c_str());
  if (manager.register_resources(session, static_cast<UINT>(names.size()), names.data(), 0,
                                 nullptr, 0, nullptr) != ERROR_SUCCESS)
    return {};
  std::vector<RM_PROCESS_INFO> holders(4);
  for (int tries = 0; tries < 3; ++tries) {
    UINT needed = 0;
    UINT count = static_cast<UINT>(holders.size());
    DWORD reasons = 0;
    DWORD result = manager.get_list(session, &needed, &count, holders.data(), &reasons);
    if (result == ERROR_SUCCESS) {
      holders.resize(std::min<size_t>(count, holders.size()));
      return holders;
    }
    if (result != ERROR_MORE_DATA) break;
    holders.resize(needed);
  }
  return {};
}

}  // namespace

bool IsPassingFailure(DWORD error, LONG nt_status) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
         (error == ERROR_ACCESS_DENIED && nt_status == kStatusDeletePending);
}

std::wstring ProgramsHolding(const std::vector<FilePath>& paths) {
  const RestartManager* manager = paths.empty() ? nullptr : LoadRestartManager();
  DWORD session = 0;
  WCHAR key[CCH_RM_SESSION_KEY + 1] = {};
  if (!manager || manager->start(&session, 0, key) != ERROR_SUCCESS) return {};
  std::wstring text;
  for (const RM_PROCESS_INFO& holder : ListHolders(*manager, session, paths)) {
    if (!text.empty()) text += L", ";
    text += holder.strAppName[0] ? holder.strAppName : L"?";
    text += L" (" + std::to_wstring(holder.Process.dwProcessId) + L")";
  }
  manager->end(session);
  return text;
}

namespace {
std::atomic<DWORD> g_sharing_retry_budget_ms{kSharingRetryBudgetMs};
}  // namespace

DWORD SharingRetryBudget() { return g_sharing_retry_budget_ms; }

void SetSharingRetryBudgetForTesting(DWORD budget_ms) { g_sharing_retry_budget_ms = budget_ms; }

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
  if (!LogHolders(RetryOnSharing([&] {
                    return ::CopyFileW(source.c_str(), target.c_str(), FALSE) != FALSE;
                  }),
                  {to, from}))
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
  return LogHolders(RetryOnSharing([&] {
                      if (MoveFileExW(source.c_str(), target.c_str(), flags)) return true;
                      // Windows denies the replacement of a file another
                      // program has open; only that denial passes.
                      if (GetLastError() == ERROR_ACCESS_DENIED &&
                          (flags & MOVEFILE_REPLACE_EXISTING) && IsHeld(target))
                        SetLastError(ERROR_SHARING_VIOLATION);
                      return false;
                    }),
                    {from, to});
}

bool DeleteOneFile(const FilePath& path) {
  const std::wstring extended = ExtendedLengthPath(path);
  return LogHolders(RetryOnSharing([&] { return DeleteFileW(extended.c_str()) != FALSE; }),
                    {path});
}

bool CreateNewFolder(const FilePath& path) {
  return CreateDirectoryW(ExtendedLengthPath(path).c_str(), nullptr) != FALSE;
}

bool RemoveEmptyFolder(const FilePath& path) {
  return RetryOnSharing([&] { return RemoveFolder(path); });
}

bool DeleteRecursively(const FilePath& path) {
  // The whole tree shares one budget.
  const ULONGLONG deadline = GetTickCount64() + SharingRetryBudget();
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
