#include "package/lzma_util.h"

#include <algorithm>
#include <atomic>
#include <optional>

#include "base/file_util.h"
#include "base/logging.h"
#include "package/sevenzip/archive.h"
#include "package/sevenzip/extractor.h"

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

// Writes an entry's content to its file; remembers the first failure.
class LzmaUtil::FileSink : public sz::ByteSink {
 public:
  explicit FileSink(HANDLE file) : file_(file) {}
  bool Write(const uint8_t* data, size_t size) override {
    size_t fits = size;
    if (g_write_limit_set.load()) {
      fits = static_cast<size_t>(std::min<uint64_t>(size, g_write_room.load()));
      g_write_room -= fits;
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
  DWORD error_ = 0;
};

namespace {

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

}  // namespace

LzmaUtil::LzmaUtil() = default;

LzmaUtil::~LzmaUtil() { CloseArchive(); }

DWORD LzmaUtil::OpenArchive(const FilePath& path, uint64_t start, uint64_t size) {
  CloseArchive();
  archive_start_ = start;
  archive_size_ = size;
  file_ = CreateFileW(ExtendedLengthPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  return file_ == INVALID_HANDLE_VALUE ? GetLastError() : 0;
}

void LzmaUtil::CloseArchive() {
  if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
  file_ = INVALID_HANDLE_VALUE;
}

void LzmaUtil::CreateFolderOnce(const FilePath& folder) {
  if (created_folders_.count(folder.native())) return;
  if (CreateDirectories(folder)) created_folders_.insert(folder.native());
}

DWORD LzmaUtil::UnPack(const FilePath& folder) {
  if (file_ == INVALID_HANDLE_VALUE) return ERROR_INVALID_HANDLE;
  created_folders_.clear();
  FileInStream in(file_, archive_start_, archive_size_);
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
  const auto& entries = archive.entries();
  if (progress_) progress_->SetTotalProgress(static_cast<int>(entries.size()));

  sz::Extractor extractor(archive, &in);
  for (size_t i = 0; i < entries.size(); ++i) {
    if (progress_) progress_->SetCurrentProgress(static_cast<int>(i));
    const sz::Entry& entry = entries[i];
    FilePath target = folder / WindowsName(entry.name);
    if (entry.is_dir) {
      CreateFolderOnce(target);
      continue;
    }
    CreateFolderOnce(target.parent_path());
    const std::wstring extended_target = ExtendedLengthPath(target);
    HANDLE file = CreateFileW(extended_target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      DWORD error = GetLastError();
      LOG(ERROR) << "Error returned by CreateFile: " << error;
      return error;
    }
    FileSink sink(file);
    result = extractor.Extract(i, &sink);
    if (result == sz::Result::kWriteError) {
      // Most likely a full disk: leave no partial file taking up space.
      CloseHandle(file);
      DeleteFileW(extended_target.c_str());
      LOG(ERROR) << "Error returned by WriteFile: " << sink.error();
      return sink.error();
    }
    if (result != sz::Result::kOk) {
      // Do not leave a file with content that failed its checks.
      CloseHandle(file);
      DeleteFileW(extended_target.c_str());
      LogReaderError("Error returned by SzExtract: ", result, extractor.error_detail());
      return ERROR_INVALID_HANDLE;
    }
    if (entry.mtime_defined) {
      FILETIME mtime{static_cast<DWORD>(entry.mtime), static_cast<DWORD>(entry.mtime >> 32)};
      if (!SetFileTime(file, nullptr, nullptr, &mtime)) {
        DWORD error = GetLastError();
        CloseHandle(file);
        LOG(ERROR) << "Error returned by SetFileTime: " << error;
        return error;
      }
    }
    if (!CloseHandle(file)) {
      DWORD error = GetLastError();
      LOG(ERROR) << "Error returned by CloseHandle: " << error;
      return error;
    }
  }
  return 0;
}

void SetWriteLimitForTesting(std::optional<uint64_t> bytes) {
  g_write_room.store(bytes.value_or(0));
  g_write_limit_set.store(bytes.has_value());
}

}  // namespace norva::installer
