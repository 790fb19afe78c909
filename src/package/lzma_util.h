#ifndef NORVA_PACKAGE_LZMA_UTIL_H_
#define NORVA_PACKAGE_LZMA_UTIL_H_

#include <windows.h>

#include <filesystem>
#include <set>
#include <string>

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
  DWORD OpenArchive(const std::filesystem::path& path);
  // 0 on success; ERROR_INVALID_HANDLE (6) when the archive is not open,
  // unreadable, undecodable or names an unsafe entry; otherwise the Windows
  // error of the failed file operation.
  DWORD UnPack(const std::filesystem::path& folder);
  void CloseArchive();

  void set_progress_sink(ProgressSink* sink) { progress_ = sink; }

 private:
  class FileInStream;
  class FileSink;

  // Creates `folder` and its parents once per unpacking.
  void CreateFolderOnce(const std::filesystem::path& folder);

  HANDLE file_ = INVALID_HANDLE_VALUE;
  std::set<std::wstring> created_folders_;
  ProgressSink* progress_ = nullptr;
};

}  // namespace norva::installer

#endif  // NORVA_PACKAGE_LZMA_UTIL_H_
