#include "package/package_lock.h"

#include "base/file_util.h"

namespace norva::installer {

PackageLock::~PackageLock() { Release(); }

bool PackageLock::Acquire(const FilePath& path) { return Open(path, GENERIC_READ, OPEN_EXISTING); }

bool PackageLock::Create(const FilePath& path) { return Open(path, GENERIC_READ, OPEN_ALWAYS); }

bool PackageLock::CreateForWriting(const FilePath& path) {
  // Replacing fails while another handle may write or delete the old file,
  // so no such handle outlives the creation either.
  return Open(path, GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS);
}

bool PackageLock::Open(const FilePath& path, DWORD access, DWORD disposition) {
  Release();
  // Only handles with read, write or delete access take part in sharing
  // checks, so the hold needs read access.
  std::wstring extended = ExtendedLengthPath(path);
  file_.reset(disposition == CREATE_ALWAYS
                  ? CreateOrOverwriteFile(extended, access, FILE_SHARE_READ)
                  : CreateFileW(extended.c_str(), access, FILE_SHARE_READ, nullptr, disposition,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  return held();
}

void PackageLock::Release() { file_.reset(); }

}  // namespace norva::installer
