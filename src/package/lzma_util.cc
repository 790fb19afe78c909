#include "package/lzma_util.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

#include "base/file_util.h"
#include "base/logging.h"
#include "base/scoped_handle.h"
#include "package/resident_pages.h"
#include "package/sevenzip/archive.h"
#include "package/sevenzip/entry_name.h"
#include "package/sevenzip/extractor.h"
#include "package/sevenzip/folder_decoder.h"

namespace norva::installer {

namespace sz = sevenzip;

namespace {

// Holds the optional room of a volume that fills up during the unpacking.
std::atomic<bool> g_write_limit_set{false};
std::atomic<uint64_t> g_write_room{0};

}  // namespace

// The archive's bytes of the file as the reader's input: positioned reads, no
// shared cursor.
class LzmaUtil::FileInStream : public sz::InStream {
 public:
  FileInStream(HANDLE file, uint64_t start, uint64_t size) : file_(file), start_(start) {
    LARGE_INTEGER file_size{};
    if (GetFileSizeEx(file, &file_size) && static_cast<uint64_t>(file_size.QuadPart) > start)
      size_ = std::min<uint64_t>(size, static_cast<uint64_t>(file_size.QuadPart) - start);
  }
  uint64_t Size() const override { return size_; }
  bool ReadAt(uint64_t offset, void* buffer, size_t size) override {
    if (offset > size_ || size > size_ - offset) return false;
    offset += start_;
    auto* out = static_cast<uint8_t*>(buffer);
    while (size) {
      OVERLAPPED at{};
      at.Offset = static_cast<DWORD>(offset);
      at.OffsetHigh = static_cast<DWORD>(offset >> 32);
      DWORD chunk = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size), read = 0;
      if (!ReadFile(file_, out, chunk, &read, &at) || read == 0) return false;
      out += read;
      offset += read;
      size -= read;
    }
    return true;
  }

 private:
  HANDLE file_;
  uint64_t start_;
  uint64_t size_ = 0;
};

// Writes an entry's content to its file; remembers the first failure. Gives
// up with ERROR_CANCELLED once the unpacking stops.
class LzmaUtil::FileSink : public sz::ByteSink {
 public:
  FileSink(HANDLE file, const std::atomic<bool>& cancelled, const std::atomic<bool>& failed)
      : file_(file), cancelled_(cancelled), failed_(failed) {}
  bool Write(const uint8_t* data, size_t size) override {
    if (cancelled_ || failed_) {
      error_ = ERROR_CANCELLED;
      return false;
    }
    size_t fits = size;
    if (g_write_limit_set.load()) {
      // Blocks write side by side: take the room in one step.
      uint64_t room = g_write_room.load();
      do {
        fits = static_cast<size_t>(std::min<uint64_t>(size, room));
      } while (!g_write_room.compare_exchange_weak(room, room - fits));
    }
    DWORD written = 0;
    if (!WriteFile(file_, data, static_cast<DWORD>(fits), &written, nullptr) || written != fits) {
      error_ = GetLastError();
      if (!error_) error_ = ERROR_WRITE_FAULT;
      return false;
    }
    if (fits < size) {
      error_ = ERROR_DISK_FULL;
      return false;
    }
    return true;
  }
  DWORD error() const { return error_; }

 private:
  HANDLE file_;
  const std::atomic<bool>& cancelled_;
  const std::atomic<bool>& failed_;
  DWORD error_ = 0;
};

namespace {

// How often the calling thread passes on the entries begun.
constexpr std::chrono::milliseconds kProgressInterval{20};

std::wstring WindowsName(const std::u16string& name) {
  std::wstring result(name.begin(), name.end());
  for (wchar_t& c : result) {
    if (c == L'/') c = L'\\';
  }
  return result;
}

// The names are checked all before the first file is written, so a hostile
// archive leaves nothing behind.
bool CheckNames(const sz::Archive& archive) {
  for (const sz::Entry& entry : archive.entries()) {
    if (entry.name.empty()) {
      LOG(ERROR) << "Couldn't get file name";
      return false;
    }
    if (!sz::IsSafeEntryName(entry.name)) {
      LOG(ERROR) << "Refusing unsafe entry name: " << WindowsName(entry.name);
      return false;
    }
  }
  return true;
}

// What the entries declare, saturating: a hostile archive may declare more
// than 64 bits hold.
uint64_t DeclaredSize(const sz::Archive& archive) {
  uint64_t total = 0;
  for (const sz::Entry& entry : archive.entries()) {
    if (!entry.has_stream) continue;
    total = entry.size > UINT64_MAX - total ? UINT64_MAX : total + entry.size;
  }
  return total;
}

// The bytes the caller may still use on the volume of `folder`, asked of its
// nearest existing folder (the target is made later); nullopt when unknown.
std::optional<uint64_t> FreeSpace(FilePath folder) {
  for (;;) {
    ULARGE_INTEGER available{};
    if (GetDiskFreeSpaceExW(ExtendedLengthPath(folder).c_str(), &available, nullptr, nullptr))
      return available.QuadPart;
    DWORD error = GetLastError();
    FilePath parent = folder.parent_path();
    if ((error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) || parent == folder ||
        parent.empty()) {
      LOG(WARNING) << "Could not get the free space for " << folder << ": " << error;
      return std::nullopt;
    }
    folder = parent;
  }
}

void LogReaderError(const char* what, sz::Result result, const std::string& detail) {
  LOG(ERROR) << what << static_cast<int>(result) << " (" << sz::ResultName(result)
             << (detail.empty() ? "" : ": ") << detail << ")";
}

// Windows sees names differing only in case as one file.
std::wstring FoldedName(const std::u16string& name) {
  std::wstring folded = WindowsName(name);
  CharUpperBuffW(folded.data(), static_cast<DWORD>(folded.size()));
  return folded;
}

// Unpacked one after the other, a later entry of the same name would replace
// an earlier one; side by side, only the last of them is written.
std::vector<bool> SupersededEntries(const sz::Archive& archive) {
  const auto& entries = archive.entries();
  std::vector<std::wstring> names;
  std::map<std::wstring, size_t> last;
  for (size_t i = 0; i < entries.size(); ++i) {
    names.push_back(FoldedName(entries[i].name));
    last[names.back()] = i;
  }
  std::vector<bool> superseded(entries.size());
  for (size_t i = 0; i < entries.size(); ++i) superseded[i] = last[names[i]] != i;
  return superseded;
}

// A folder of the archive and the entries it holds, in their order there.
struct Block {
  std::vector<size_t> entries;
  uint64_t memory = 0;
  uint64_t dictionary = 0;  // the largest, part of `memory`
  uint64_t size = 0;
};

std::vector<Block> PlanBlocks(const sz::Archive& archive) {
  const auto& folders = archive.folders();
  std::vector<Block> blocks(folders.size());
  const auto& entries = archive.entries();
  for (size_t i = 0; i < entries.size(); ++i) {
    if (entries[i].has_stream && entries[i].folder < blocks.size())
      blocks[entries[i].folder].entries.push_back(i);
  }
  for (size_t f = 0; f < folders.size(); ++f) {
    blocks[f].memory = sz::FolderMemory(folders[f]) + sz::kExtractorBufferSize;
    blocks[f].dictionary = sz::FolderDictionary(folders[f]);
    blocks[f].size = folders[f].UnpackSize();
  }
  blocks.erase(std::remove_if(blocks.begin(), blocks.end(),
                              [](const Block& block) { return block.entries.empty(); }),
               blocks.end());
  // Largest first, so that the last blocks to start are small ones.
  std::stable_sort(blocks.begin(), blocks.end(),
                   [](const Block& a, const Block& b) { return a.size > b.size; });
  return blocks;
}

std::function<void(size_t)>& ResidentDictionaryObserver() {
  static std::function<void(size_t)> observer;
  return observer;
}

// A new dictionary is made resident before decoding: the decoder writes
// every page of it anyway, and taking one page fault per page cost about a
// twentieth of the unpacking's time. One beyond the unpacking's memory
// budget comes in as it is written: a hostile archive may declare far more
// than it holds, and the one block that runs beyond the budget must not pin
// all of that at once.
bool PrepareDictionary(void* start, size_t size, uint64_t budget) {
  if (size > budget) return false;
  if (ResidentDictionaryObserver()) ResidentDictionaryObserver()(size);
  return MakePagesResident(start, size);
}

int ProcessorCount() {
  SYSTEM_INFO info{};
  GetSystemInfo(&info);
  return std::max<int>(1, static_cast<int>(info.dwNumberOfProcessors));
}

}  // namespace

// One UnPack: makes the folders, writes the entries without content, then
// decodes the blocks on worker threads while the calling thread reports
// progress. Remembers what it wrote, to remove it all when anything fails.
class LzmaUtil::Unpacking {
 public:
  Unpacking(const sz::Archive& archive, const FilePath& folder, const LzmaUtil& util)
      : archive_(archive),
        folder_(folder),
        util_(util),
        superseded_(SupersededEntries(archive)),
        blocks_(PlanBlocks(archive)) {}

  DWORD Run(int max_threads, Stats* stats) {
    const auto& entries = archive_.entries();
    if (util_.progress_) util_.progress_->SetTotalProgress(static_cast<int>(entries.size()));
    MakeFolders();
    // Entries without content: their folders are made; empty files are
    // written here.
    for (size_t i = 0; i < entries.size() && !Stopped(); ++i) {
      if (entries[i].has_stream) continue;
      BeginEntry();
      if (!entries[i].is_dir) {
        if (DWORD error = WriteEntry(nullptr, i)) Fail(error);
      }
    }
    stats->threads = RunWorkers(std::min<int>(max_threads, static_cast<int>(blocks_.size())));
    stats->blocks = blocks_.size();
    stats->peak_memory = peak_memory_;
    DWORD result = error_ ? error_ : util_.cancelled_ ? ERROR_CANCELLED : 0;
    if (result) {
      if (result == ERROR_CANCELLED) LOG(WARNING) << "Unpacking cancelled";
      RemoveWritten();
    }
    return result;
  }

 private:
  bool Stopped() const { return util_.cancelled_ || failed_; }

  void Fail(DWORD error) {
    std::lock_guard<std::mutex> hold(lock_);
    if (!error_) error_ = error;
    failed_ = true;
    changed_.notify_all();
  }

  // Not notified: ReportProgress looks every kProgressInterval.
  void BeginEntry() {
    std::lock_guard<std::mutex> hold(lock_);
    ++entries_begun_;
  }

  // Folder entries and the folders of file entries, made before any file so
  // that the workers only create files.
  void MakeFolders() {
    for (const sz::Entry& entry : archive_.entries()) {
      FilePath target = folder_ / WindowsName(entry.name);
      MakeFolder(entry.is_dir ? target : target.parent_path());
    }
  }

  void MakeFolder(const FilePath& folder) {
    std::vector<FilePath> missing;
    for (FilePath f = folder; !f.empty() && !known_folders_.count(f.native()); f = f.parent_path()) {
      if (GetFileAttributesW(ExtendedLengthPath(f).c_str()) != INVALID_FILE_ATTRIBUTES) break;
      missing.push_back(f);
      if (f.parent_path() == f) break;
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
      // On failure the files below fail to open, with the system's error.
      if (!CreateDirectoryW(ExtendedLengthPath(*it).c_str(), nullptr)) return;
      created_folders_.push_back(ExtendedLengthPath(*it));
    }
    known_folders_.insert(folder.native());
  }

  // Writes entry `index` through `extractor` (null for entries without
  // content). A failed file stays in the list of written ones, to be removed.
  DWORD WriteEntry(sz::Extractor* extractor, size_t index) {
    const sz::Entry& entry = archive_.entries()[index];
    if (superseded_[index]) {
      // Still decoded and checked, but a later entry of its name is written.
      sz::Result result = extractor ? extractor->Extract(index, nullptr) : sz::Result::kOk;
      return result == sz::Result::kOk ? 0 : ReaderFailure(result, *extractor);
    }
    std::wstring target = ExtendedLengthPath(folder_ / WindowsName(entry.name));
    ScopedHandle file(CreateOrOverwriteFile(target, GENERIC_WRITE, 0));
    if (!file) {
      DWORD error = GetLastError();
      LOG(ERROR) << "Error returned by CreateFile: " << error;
      return error;
    }
    {
      std::lock_guard<std::mutex> hold(lock_);
      written_files_.push_back(std::move(target));
    }
    FileSink sink(file.get(), util_.cancelled_, failed_);
    sz::Result result = extractor ? extractor->Extract(index, &sink) : sz::Result::kOk;
    DWORD error = 0;
    if (result == sz::Result::kWriteError) {
      error = sink.error();
      if (error != ERROR_CANCELLED) LOG(ERROR) << "Error returned by WriteFile: " << error;
    } else if (result != sz::Result::kOk) {
      error = ReaderFailure(result, *extractor);
    } else if (entry.mtime_defined) {
      FILETIME mtime{static_cast<DWORD>(entry.mtime), static_cast<DWORD>(entry.mtime >> 32)};
      if (!SetFileTime(file.get(), nullptr, nullptr, &mtime)) {
        error = GetLastError();
        LOG(ERROR) << "Error returned by SetFileTime: " << error;
      }
    }
    if (!file.Close() && !error) {
      error = GetLastError();
      LOG(ERROR) << "Error returned by CloseHandle: " << error;
    }
    return error;
  }

  DWORD ReaderFailure(sz::Result result, const sz::Extractor& extractor) {
    LogReaderError("Error returned by SzExtract: ", result, extractor.error_detail());
    return ERROR_INVALID_HANDLE;
  }

  // Starts `count` workers and reports progress until the last one ends.
  // Returns how many ran.
  int RunWorkers(int count) {
    std::vector<ScopedHandle> threads;
    // Each worker is counted before it starts (it uncounts itself as it
    // ends), so a stop between two starts leaves no worker waited for.
    for (int i = 0; i < count && !Stopped(); ++i) {
      CountWorker(+1);
      ScopedHandle thread(CreateThread(nullptr, 0, &WorkerMain, this, 0, nullptr));
      if (thread)
        threads.push_back(std::move(thread));
      else
        CountWorker(-1);
    }
    if (threads.empty()) {
      // No thread started: decode here, one block after the other.
      CountWorker(+1);
      Work();
    }
    ReportProgress();
    for (ScopedHandle& thread : threads) {
      WaitForSingleObject(thread.get(), INFINITE);
      thread.reset();
    }
    return std::max<int>(1, static_cast<int>(threads.size()));
  }

  static DWORD WINAPI WorkerMain(void* self) {
    static_cast<Unpacking*>(self)->Work();
    return 0;
  }

  // A worker keeps its last block's dictionary for the next one; what it
  // holds counts in the memory in flight.
  struct WorkerMemory {
    explicit WorkerMemory(uint64_t budget)
        : keeper([budget](void* start, size_t size) {
            return PrepareDictionary(start, size, budget);
          }) {}
    sz::DictionaryKeeper keeper;
    uint64_t held = 0;
  };

  void Work() {
    FileInStream in(util_.file_.get(), util_.archive_start_, util_.archive_size_);
    WorkerMemory memory(util_.memory_budget_);
    size_t block;
    while (TakeBlock(&memory, &block)) {
      {
        sz::Extractor extractor(archive_, &in, &memory.keeper);
        for (size_t index : blocks_[block].entries) {
          if (Stopped()) break;
          BeginEntry();
          if (DWORD error = WriteEntry(&extractor, index)) {
            Fail(error);
            break;
          }
        }
      }
      std::lock_guard<std::mutex> hold(lock_);
      memory_in_flight_ -= memory.held - memory.keeper.capacity();
      memory.held = memory.keeper.capacity();
      changed_.notify_all();
    }
    {
      std::lock_guard<std::mutex> hold(lock_);
      GiveUpDictionary(&memory);
    }
    CountWorker(-1);
  }

  void GiveUpDictionary(WorkerMemory* memory) {
    memory->keeper.Release();
    memory_in_flight_ -= memory->held;
    memory->held = 0;
    changed_.notify_all();
  }

  void CountWorker(int change) {
    std::lock_guard<std::mutex> hold(lock_);
    workers_running_ += change;
    changed_.notify_all();
  }

  // The next block, once its memory fits beside the blocks in flight. A
  // kept dictionary large enough serves the block's largest one; a smaller
  // one is freed first, and so is any before the worker waits for memory.
  bool TakeBlock(WorkerMemory* memory, size_t* block) {
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
      if (Stopped() || next_block_ == blocks_.size()) return false;
      const Block& next = blocks_[next_block_];
      bool reuse = memory->keeper.capacity() >= next.dictionary;
      uint64_t need = reuse ? memory->held + next.memory - next.dictionary : next.memory;
      uint64_t others = memory_in_flight_ - memory->held;
      if (!others || others + need <= util_.memory_budget_) {
        memory->keeper.PrepareFor(next.dictionary);
        memory_in_flight_ = others + need;
        memory->held = need;
        break;
      }
      if (memory->held)
        GiveUpDictionary(memory);
      else
        changed_.wait(hold);
    }
    peak_memory_ = std::max(peak_memory_, memory_in_flight_);
    *block = next_block_++;
    return true;
  }

  // Hands the sink 0, 1, 2... as the workers begin entries, from this thread,
  // a few dozen times a second: waking it for every entry cost the workers'
  // cores two round trips to Wine's server each.
  void ReportProgress() {
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
      changed_.wait_for(hold, kProgressInterval, [this] { return !workers_running_; });
      size_t begun = entries_begun_;
      bool done = !workers_running_;
      hold.unlock();
      for (; reported_ < begun; ++reported_) {
        if (util_.progress_) util_.progress_->SetCurrentProgress(static_cast<int>(reported_));
      }
      hold.lock();
      if (done && reported_ == entries_begun_) return;
    }
  }

  void RemoveWritten() {
    for (const std::wstring& file : written_files_) DeleteFileW(file.c_str());
    for (auto it = created_folders_.rbegin(); it != created_folders_.rend(); ++it)
      RemoveDirectoryW(it->c_str());
  }

  const sz::Archive& archive_;
  const FilePath folder_;
  const LzmaUtil& util_;
  const std::vector<bool> superseded_;
  const std::vector<Block> blocks_;
  // Used by the calling thread only, before the workers start.
  std::set<std::wstring> known_folders_;
  std::vector<std::wstring> created_folders_;

  std::mutex lock_;
  std::condition_variable changed_;
  std::atomic<bool> failed_{false};
  DWORD error_ = 0;
  std::vector<std::wstring> written_files_;
  size_t next_block_ = 0;
  uint64_t memory_in_flight_ = 0;
  uint64_t peak_memory_ = 0;
  int workers_running_ = 0;
  size_t entries_begun_ = 0;
  size_t reported_ = 0;
};

LzmaUtil::LzmaUtil() = default;

LzmaUtil::~LzmaUtil() { CloseArchive(); }

DWORD LzmaUtil::OpenArchive(const FilePath& path, uint64_t start, uint64_t size) {
  CloseArchive();
  archive_start_ = start;
  archive_size_ = size;
  file_.reset(CreateFileW(ExtendedLengthPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN,
                          nullptr));
  return file_ ? 0 : GetLastError();
}

DWORD LzmaUtil::OpenArchive(HANDLE file, uint64_t start, uint64_t size) {
  CloseArchive();
  archive_start_ = start;
  archive_size_ = size;
  // INVALID_HANDLE_VALUE is also the process's own pseudo handle, which
  // would duplicate.
  if (file == INVALID_HANDLE_VALUE || !file) return ERROR_INVALID_HANDLE;
  if (!DuplicateHandle(GetCurrentProcess(), file, GetCurrentProcess(), file_.Receive(), 0, FALSE,
                       DUPLICATE_SAME_ACCESS)) {
    file_.release();  // no handle to close
    return GetLastError();
  }
  return 0;
}

void LzmaUtil::CloseArchive() { file_.reset(); }

DWORD LzmaUtil::UnPack(const FilePath& folder) {
  stats_ = Stats();
  if (!file_) return ERROR_INVALID_HANDLE;
  FileInStream in(file_.get(), archive_start_, archive_size_);
  sz::Archive archive;
  sz::Result result = archive.Open(&in);
  if (result != sz::Result::kOk) {
    LogReaderError("Error returned by SzArchiveOpen: ", result, archive.error_detail());
    return ERROR_INVALID_HANDLE;
  }
  if (!CheckNames(archive)) return ERROR_INVALID_HANDLE;
  // Refused before the first write, so an archive that cannot fit does not
  // fill the disk first.
  uint64_t needed = DeclaredSize(archive);
  std::optional<uint64_t> available = FreeSpace(folder);
  if (available && needed > *available) {
    LOG(ERROR) << "Not enough disk space to unpack: " << needed << " bytes needed, " << *available
               << " available";
    return ERROR_DISK_FULL;
  }
  Unpacking unpacking(archive, folder, *this);
  return unpacking.Run(max_threads_ > 0 ? max_threads_ : ProcessorCount(), &stats_);
}

void SetWriteLimitForTesting(std::optional<uint64_t> bytes) {
  g_write_room.store(bytes.value_or(0));
  g_write_limit_set.store(bytes.has_value());
}

void SetResidentDictionaryObserverForTesting(std::function<void(size_t size)> observer) {
  ResidentDictionaryObserver() = std::move(observer);
}

}  // namespace norva::installer
