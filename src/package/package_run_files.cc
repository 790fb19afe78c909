#include "package/package_run_files.h"

#include <windows.h>

#include <atomic>
#include <vector>

#include "base/file_util.h"
#include "base/logging.h"
#include "base/scoped_handle.h"
#include "base/strings.h"

namespace norva::installer {
namespace {

constexpr wchar_t kPackagePrefix[] = L"norva_installer_";
constexpr wchar_t kOwnerLockExtension[] = L".lock";

}  // namespace

FilePath NewPackagePathIn(const FilePath& download_folder) {
  // The time alone names two fetchers started in the same second alike,
  // which would then share (and delete) each other's files. Processes alive
  // together never share an id, and the count keeps one process's fetchers
  // apart; no dot may enter the name, whose extension is replaced.
  static std::atomic<unsigned> count{0};
  SYSTEMTIME now;
  GetLocalTime(&now);
  return download_folder /
         StringPrintf(L"%ls%02d%02d%02d%02d%02d%02d_%lu_%u.exe", kPackagePrefix, now.wYear,
                      now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond,
                      static_cast<unsigned long>(GetCurrentProcessId()), count++);
}

FilePath WithoutExtension(const FilePath& path) {
  FilePath result = path;
  return result.replace_extension();
}

bool DeleteFileIfPresent(const FilePath& path) {
  if (DeleteFileW(ExtendedLengthPath(path).c_str())) return true;
  DWORD error = GetLastError();
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

FilePath OwnerLockPath(const FilePath& package_path) {
  return FilePath(package_path).replace_extension(kOwnerLockExtension);
}

FilePath OwnerLockOfExtractionFolder(const FilePath& extraction_folder) {
  return FilePath(extraction_folder.native() + kOwnerLockExtension);
}

void RemoveFilesOfDeadRuns(const FilePath& download_folder, const FilePath& own_lock) {
  std::vector<FilePath> locks;
  ForEachEntry(download_folder, [&](const WIN32_FIND_DATAW& entry) {
    const std::wstring name = entry.cFileName;
    if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && name.starts_with(kPackagePrefix) &&
        name.ends_with(kOwnerLockExtension))
      locks.push_back(download_folder / name);
  });
  for (const FilePath& lock : locks) {
    if (lock == own_lock) continue;
    ScopedHandle claim(CreateFileW(ExtendedLengthPath(lock).c_str(), GENERIC_READ | DELETE,
                                   FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                   nullptr));
    if (!claim) continue;  // its owner lives
    const FilePath stem = WithoutExtension(lock);
    LOG(INFO) << "Removing the files of an earlier installer run: " << stem;
    bool removed = DeleteTree(stem) && DeleteFileIfPresent(FilePath(stem).replace_extension(L"exe")) &&
                   DeleteFileIfPresent(FilePath(stem).replace_extension(L"7z"));
    if (removed) {
      FILE_DISPOSITION_INFO dispose = {TRUE};
      SetFileInformationByHandle(claim.get(), FileDispositionInfo, &dispose, sizeof(dispose));
    }
  }
}

}  // namespace norva::installer
