#ifndef NORVA_PACKAGE_LZMA_UTIL_H_
#define NORVA_PACKAGE_LZMA_UTIL_H_

#include <windows.h>

#include <cstdint>
#include <optional>
#include <set>
#include <string>

#include "base/file_path.h"

namespace norva::installer {

// Unpacks a 7z archive file into a folder, entry by entry, reporting
// progress. Each folder of the archive is decoded once and streamed into its
// files, so memory stays at the dictionary plus a fixed buffer. Entry names
// that could escape the target folder are refused before anything is written.
class LzmaUtil {
 public:
  // Receives the number of entries, then the index of each entry begun.
  class ProgressSink {
   public:
    virtual ~ProgressSink() = default;
    virtual void SetTotalProgress(int total) = 0;
    virtual void SetCurrentProgress(int current) = 0;
  };

  LzmaUtil();
  ~LzmaUtil();
  LzmaUtil(const LzmaUtil&) = delete;
  LzmaUtil& operator=(const LzmaUtil&) = delete;

  // 0, or the Windows error of the failed open. Closes a previous archive.
  // The archive is the `size` bytes of the file from `start` (a payload), or
  // the whole file.
  DWORD OpenArchive(const FilePath& path, uint64_t start = 0,
                    uint64_t size = UINT64_MAX);
  // 0 on success; ERROR_INVALID_HANDLE (6) when the archive is not open,
  // unreadable, undecodable or names an unsafe entry; ERROR_DISK_FULL (112)
  // before anything is written when the entries declare more than the
  // folder's volume has free; otherwise the Windows error of the failed file
  // operation (a file whose writing failed is removed).
  DWORD UnPack(const FilePath& folder);
  void CloseArchive();

  void set_progress_sink(ProgressSink* sink) { progress_ = sink; }

 private:
  class FileInStream;
  class FileSink;

  // Creates `folder` and its parents once per unpacking.
  void CreateFolderOnce(const FilePath& folder);

  HANDLE file_ = INVALID_HANDLE_VALUE;
  uint64_t archive_start_ = 0;
  uint64_t archive_size_ = UINT64_MAX;
  std::set<std::wstring> created_folders_;
  ProgressSink* progress_ = nullptr;
};

// Test seam: Wine cannot fill a disk, so a test lets writes of unpacked files
// fail with ERROR_DISK_FULL once `bytes` more have been written (what fits
// still goes through the real WriteFile). std::nullopt restores real writes.
void SetWriteLimitForTesting(std::optional<uint64_t> bytes);

}  // namespace norva::installer

#endif  // NORVA_PACKAGE_LZMA_UTIL_H_
