#ifndef NORVA_NET_WININET_RESPONSE_WRITER_H_
#define NORVA_NET_WININET_RESPONSE_WRITER_H_

#include <windows.h>

#include <cstddef>
#include <string>

#include "base/file_path.h"
#include "base/scoped_handle.h"

namespace norva::installer {

// Receives the body of a download block by block. This base writer discards
// it. Write runs on WinINet's notification threads, one call at a time;
// Close runs on the downloader's thread once no Write can follow.
class ResponseWriter {
 public:
  virtual ~ResponseWriter() = default;
  // False stops the download as failed.
  virtual bool Write(const char* data, size_t size);
  // Releases what the writer holds.
  virtual void Close();
};

// Writes the body into a file, replacing what was there.
class FileResponseWriter : public ResponseWriter {
 public:
  FileResponseWriter() = default;
  ~FileResponseWriter() override;
  FileResponseWriter(const FileResponseWriter&) = delete;
  FileResponseWriter& operator=(const FileResponseWriter&) = delete;

  bool Open(const FilePath& path);
  bool Write(const char* data, size_t size) override;
  void Close() override;

 private:
  ScopedHandle file_;
};

// Appends the body to a string owned by the creator, which must outlive the
// download. A body beyond `limit` bytes fails the download: the server
// decides how much it sends, and the text is held in memory.
class StringResponseWriter : public ResponseWriter {
 public:
  static constexpr size_t kDefaultLimit = 1 << 20;

  explicit StringResponseWriter(std::string* output, size_t limit = kDefaultLimit)
      : output_(output), limit_(limit) {}
  bool Write(const char* data, size_t size) override;

 private:
  std::string* output_;
  size_t limit_;
};

}  // namespace norva::installer

#endif  // NORVA_NET_WININET_RESPONSE_WRITER_H_
