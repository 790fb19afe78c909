#include "package/mapped_file.h"

#include "base/file_util.h"

namespace norva::installer {

MappedFile::~MappedFile() { Close(); }

bool MappedFile::Initialize(const FilePath& path) {
  Close();
  file_.reset(CreateFileW(ExtendedLengthPath(path).c_str(), GENERIC_READ,
                          FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file_) return false;
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file_.get(), &size)) {
    Close();
    return false;
  }
  if (static_cast<uint64_t>(size.QuadPart) > SIZE_MAX) {
    Close();
    SetLastError(ERROR_FILE_TOO_LARGE);
    return false;
  }
  length_ = static_cast<size_t>(size.QuadPart);
  if (length_ != 0) {
    mapping_.reset(CreateFileMappingW(file_.get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
    if (!mapping_) {
      Close();
      return false;
    }
    data_ = static_cast<const uint8_t*>(MapViewOfFile(mapping_.get(), FILE_MAP_READ, 0, 0, 0));
    if (!data_) {
      Close();
      return false;
    }
  }
  valid_ = true;
  return true;
}

void MappedFile::Close() {
  DWORD error = GetLastError();
  if (data_) UnmapViewOfFile(data_);
  mapping_.reset();
  file_.reset();
  data_ = nullptr;
  length_ = 0;
  valid_ = false;
  SetLastError(error);
}

}  // namespace norva::installer
