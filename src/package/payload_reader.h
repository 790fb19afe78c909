#ifndef NORVA_PACKAGE_PAYLOAD_READER_H_
#define NORVA_PACKAGE_PAYLOAD_READER_H_

#include <cstdint>
#include <string>

#include "base/file_path.h"
#include "base/thread_checker.h"
#include "package/mapped_file.h"
#include "package/package_lock.h"

namespace norva::installer {

// Finds the payload that an installer executable carries (a 7z archive or
// opaque server tracking data), hands it out and writes it to a file. The
// file is mapped once, on the first read, and the payload is never copied to
// locate it. Lives on the package fetcher's worker thread.
class PayloadReader {
 public:
  explicit PayloadReader(const FilePath& path);
  PayloadReader(const PayloadReader&) = delete;
  PayloadReader& operator=(const PayloadReader&) = delete;

  // Locates the payload; true at once after a success (or an override).
  bool ReadPayload();
  // The override when set, else a copy of the payload bytes; empty when no
  // payload was located or the file is invalid.
  std::string GetPayload() const;
  // Creates or replaces `path` with the payload. False when nothing was
  // located, the file is invalid, or a byte could not be written. With
  // `hold`, the file is made through it and stays held there afterwards, so
  // nobody can change it between its writing and its reading.
  bool WritePayloadToFile(const FilePath& path, PackageLock* hold = nullptr) const;

  // Hands out `payload` instead of the file's own (a value given on the
  // command line); counts as a located payload.
  void SetOverridePayload(const std::string& payload);

  bool is_read() const { return read_; }
  bool is_archive() const { return archive_; }
  bool is_invalid() const { return invalid_; }
  uint64_t payload_length() const { return payload_length_; }
  uint64_t payload_start() const { return payload_start_; }

 private:
  FilePath path_;
  MappedFile mapping_;
  std::string override_payload_;
  uint64_t payload_length_ = 0;
  uint64_t payload_start_ = 0;
  bool read_ = false;
  bool archive_ = false;
  bool invalid_ = false;
  ThreadChecker thread_checker_;
};

}  // namespace norva::installer

#endif  // NORVA_PACKAGE_PAYLOAD_READER_H_
