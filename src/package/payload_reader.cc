#include "package/payload_reader.h"

#include <windows.h>

#include <memory>

#include "base/file_util.h"
#include "base/logging.h"
#include "base/scoped_handle.h"
#include "package/payload_trailer.h"

namespace norva::installer {
namespace {

void LogFailedAttempt(TrailerAttempt attempt) {
  if (attempt == TrailerAttempt::kNoRoom)
    LOG(ERROR) << "Could not find a valid starting position";
  else if (attempt == TrailerAttempt::kBadMarker)
    LOG(ERROR) << "Payload data invalid";
}

// Writes all of `size` bytes, in pieces a single WriteFile call accepts.
bool WriteAll(HANDLE file, const uint8_t* data, uint64_t size) {
  constexpr DWORD kMaxPiece = 1u << 30;
  while (size > 0) {
    DWORD piece = size > kMaxPiece ? kMaxPiece : static_cast<DWORD>(size);
    DWORD written = 0;
    if (!::WriteFile(file, data, piece, &written, nullptr) || written != piece) return false;
    data += piece;
    size -= piece;
  }
  return true;
}

// Copies `size` bytes of `from` at offset `start` to `to`, through a buffer:
// writing straight from a mapping of `from` faults its pages in one at a time
// inside the write, which under Wine took four times as long for a package.
bool CopyRange(HANDLE from, uint64_t start, uint64_t size, HANDLE to) {
  constexpr DWORD kPiece = 1u << 20;
  std::unique_ptr<uint8_t[]> buffer(new uint8_t[kPiece]);
  while (size > 0) {
    DWORD piece = size > kPiece ? kPiece : static_cast<DWORD>(size);
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(start);
    at.OffsetHigh = static_cast<DWORD>(start >> 32);
    DWORD read = 0;
    if (!::ReadFile(from, buffer.get(), piece, &read, &at) || read != piece) return false;
    if (!WriteAll(to, buffer.get(), piece)) return false;
    start += piece;
    size -= piece;
  }
  return true;
}

}  // namespace

PayloadReader::PayloadReader(const FilePath& path) : path_(path) {}

bool PayloadReader::ReadPayload() {
  NORVA_DCHECK_CALLED_ON_VALID_THREAD(thread_checker_);
  if (read_) return true;
  LOG(INFO) << "Reading Payload";
  if (!mapping_.IsValid() && !mapping_.Initialize(path_)) {
    LOG(ERROR) << "Could not initialize memory mapped file";
    return false;
  }
  PayloadLocation location = LocatePayload(mapping_.data(), mapping_.length());
  for (int i = 0; i < location.failure_count; ++i) LogFailedAttempt(location.failures[i]);
  payload_length_ = location.length;
  switch (location.status) {
    case PayloadStatus::kInvalidFile:
      // Not read: every later attempt has to report the corruption again.
      invalid_ = true;
      return false;
    case PayloadStatus::kNotFound:
    case PayloadStatus::kArchiveAfterSignature:
      return false;
    case PayloadStatus::kFound:
      break;
  }
  payload_start_ = location.start;
  archive_ = location.archive;
  read_ = true;
  return true;
}

std::string PayloadReader::GetPayload() const {
  NORVA_DCHECK_CALLED_ON_VALID_THREAD(thread_checker_);
  if (!read_ || invalid_) return std::string();
  if (!override_payload_.empty()) return override_payload_;
  if (!mapping_.IsValid()) return std::string();
  return std::string(reinterpret_cast<const char*>(mapping_.data()) + payload_start_,
                     static_cast<size_t>(payload_length_));
}

bool PayloadReader::WritePayloadToFile(const FilePath& path, PackageLock* hold) const {
  NORVA_DCHECK_CALLED_ON_VALID_THREAD(thread_checker_);
  if (invalid_ || !read_) return false;
  LOG(INFO) << "Writing payload to file " << path;
  ScopedHandle own_file;  // the file when no hold owns it
  HANDLE file = nullptr;
  if (!hold) {
    own_file.reset(CreateOrOverwriteFile(ExtendedLengthPath(path), GENERIC_WRITE, 0));
    if (own_file) file = own_file.get();
  } else if (hold->CreateForWriting(path)) {
    file = hold->handle();
  }
  if (!file) {
    PLOG(ERROR) << "Could not create " << path;
    return false;
  }
  bool written;
  if (archive_ && mapping_.IsValid()) {
    // The mapping stays for locating the payload; its file is read instead.
    written = CopyRange(mapping_.file(), payload_start_, payload_length_, file);
  } else {
    std::string payload = GetPayload();
    written = WriteAll(file, reinterpret_cast<const uint8_t*>(payload.data()), payload.size());
  }
  if (!written) PLOG(ERROR) << "Could not write " << path;
  if (!hold && !own_file.Close()) written = false;
  return written;
}

void PayloadReader::SetOverridePayload(const std::string& payload) {
  NORVA_DCHECK_CALLED_ON_VALID_THREAD(thread_checker_);
  override_payload_ = payload;
  read_ = true;
}

}  // namespace norva::installer
