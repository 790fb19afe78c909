#ifndef NORVA_PACKAGE_LZMA_UTIL_H_
#define NORVA_PACKAGE_LZMA_UTIL_H_

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>

#include "base/file_path.h"
#include "base/scoped_handle.h"

namespace norva::installer {

// Unpacks a 7z archive file into a folder, reporting progress. The archive's
// folders (solid blocks) are independent, so they are decoded side by side on
// a few threads, each streaming into its files, with no more than a memory
// budget of dictionaries and buffers in use at once. Entry names that could
// escape the target folder are refused before anything is written; a failure
// or a cancellation stops every block and removes what this unpacking wrote.
class LzmaUtil {
 public:
  // Receives the number of entries, then 0, 1, 2... as entries are begun,
  // always on the thread that called UnPack.
  class ProgressSink {
   public:
    virtual ~ProgressSink() = default;
    virtual void SetTotalProgress(int total) = 0;
    virtual void SetCurrentProgress(int current) = 0;
  };

  // What the last UnPack did, for benchmarks and tests.
  struct Stats {
    int threads = 0;
    size_t blocks = 0;
    // The most the blocks in flight at one time could allocate.
    uint64_t peak_memory = 0;
  };

  static constexpr uint64_t kDefaultMemoryBudget = 64ull << 20;

  LzmaUtil();
  ~LzmaUtil();
  LzmaUtil(const LzmaUtil&) = delete;
  LzmaUtil& operator=(const LzmaUtil&) = delete;

  // 0, or the Windows error of the failed open. Closes a previous archive.
  // The archive is the `size` bytes of the file from `start` (a payload), or
  // the whole file.
  DWORD OpenArchive(const FilePath& path, uint64_t start = 0,
                    uint64_t size = UINT64_MAX);
  // The same through a duplicate of `file` (which must allow reading): the
  // archive read is the file the caller holds, whatever its name leads to.
  DWORD OpenArchive(HANDLE file, uint64_t start = 0, uint64_t size = UINT64_MAX);
  // A path as a string would turn into a handle above: say FilePath.
  DWORD OpenArchive(const wchar_t* path, uint64_t start = 0, uint64_t size = UINT64_MAX) = delete;
  // 0 on success; ERROR_INVALID_HANDLE (6) when the archive is not open,
  // unreadable, undecodable or names an unsafe entry; ERROR_DISK_FULL (112)
  // before anything is written when the entries declare more than the
  // folder's volume has free; ERROR_CANCELLED (1223) after Cancel; otherwise
  // the Windows error of the failed file operation. On failure the files and
  // folders this call made are removed.
  DWORD UnPack(const FilePath& folder);
  void CloseArchive();
  // Stops the running UnPack and refuses later ones; safe from any thread.
  void Cancel() { cancelled_ = true; }

  void set_progress_sink(ProgressSink* sink) { progress_ = sink; }
  // At most this many threads (0: one per processor).
  void set_max_threads(int threads) { max_threads_ = threads; }
  // Blocks start only while the memory of those in flight fits the budget;
  // one block always runs, whatever it needs. Only dictionaries within the
  // budget are made resident before decoding.
  void set_memory_budget(uint64_t bytes) { memory_budget_ = bytes; }
  const Stats& last_stats() const { return stats_; }

 private:
  class FileInStream;
  class FileSink;
  class Unpacking;

  ScopedHandle file_;
  uint64_t archive_start_ = 0;
  uint64_t archive_size_ = UINT64_MAX;
  ProgressSink* progress_ = nullptr;
  std::atomic<bool> cancelled_{false};
  int max_threads_ = 0;
  uint64_t memory_budget_ = kDefaultMemoryBudget;
  Stats stats_;
};

// Test seam: Wine cannot fill a disk, so a test lets writes of unpacked files
// fail with ERROR_DISK_FULL once `bytes` more have been written (what fits
// still goes through the real WriteFile). std::nullopt restores real writes.
void SetWriteLimitForTesting(std::optional<uint64_t> bytes);

// Test seam: told the size of each new dictionary that an unpacking makes
// resident, before the system is asked (it may still refuse). Set it while
// no unpacking runs; an empty function stops it.
void SetResidentDictionaryObserverForTesting(std::function<void(size_t size)> observer);

}  // namespace norva::installer

#endif  // NORVA_PACKAGE_LZMA_UTIL_H_
