#ifndef NORVA_PACKAGE_MAPPED_FILE_H_
#define NORVA_PACKAGE_MAPPED_FILE_H_

#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "base/file_path.h"
#include "base/scoped_handle.h"

namespace norva::installer {

// A read-only memory mapping of a whole file. An empty file is a valid,
// empty mapping (Windows cannot map zero bytes, but an empty file still has
// contents to hash and search).
class MappedFile {
 public:
  MappedFile() = default;
  ~MappedFile();
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  // False with the system's last error kept when the file cannot be mapped.
  bool Initialize(const FilePath& path);
  bool IsValid() const { return valid_; }
  const uint8_t* data() const { return data_; }
  size_t length() const { return length_; }
  HANDLE file() const { return file_.get(); }

 private:
  void Close();

  ScopedHandle file_;
  ScopedHandle mapping_;
  const uint8_t* data_ = nullptr;
  size_t length_ = 0;
  bool valid_ = false;
};

}  // namespace norva::installer

#endif  // NORVA_PACKAGE_MAPPED_FILE_H_
