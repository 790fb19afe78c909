#include "package/package_lock.h"

#include "base/file_util.h"

namespace norva::installer {

PackageLock::~PackageLock() { Release(); }

bool PackageLock::Acquire(const FilePath& path) { return Open(path, OPEN_EXISTING); }

bool PackageLock::Create(const FilePath& path) { return Open(path, OPEN_ALWAYS); }

bool PackageLock::Open(const FilePath& path, DWORD disposition) {
  Release();
  // Only handles with read, write or delete access take part in sharing
  // checks, so the hold needs read access.
  file_ = CreateFileW(ExtendedLengthPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                      disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  return held();
}

void PackageLock::Release() {
  if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
  file_ = INVALID_HANDLE_VALUE;
}

}  // namespace norva::installer
