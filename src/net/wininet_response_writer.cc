#include "net/wininet_response_writer.h"

#include "base/file_util.h"
#include "base/logging.h"

namespace norva::installer {

bool ResponseWriter::Write(const char*, size_t) { return true; }

void ResponseWriter::Close() {}

FileResponseWriter::~FileResponseWriter() { Close(); }

bool FileResponseWriter::Open(const FilePath& path) {
  Close();
  file_.reset(CreateOrOverwriteFile(ExtendedLengthPath(path), GENERIC_WRITE, 0));
  if (!file_) {
    LOG(ERROR) << "Could not open download file for writing";
    return false;
  }
  return true;
}

bool FileResponseWriter::Write(const char* data, size_t size) {
  if (!file_) return false;
  DWORD written = 0;
  return WriteFile(file_.get(), data, static_cast<DWORD>(size), &written, nullptr) &&
         written == size;
}

void FileResponseWriter::Close() { file_.reset(); }

bool StringResponseWriter::Write(const char* data, size_t size) {
  if (output_->size() > limit_ || size > limit_ - output_->size()) {
    LOG(ERROR) << "The response is larger than " << static_cast<uint64_t>(limit_) << " bytes";
    return false;
  }
  output_->append(data, size);
  return true;
}

}  // namespace norva::installer
