#ifndef NORVA_PACKAGE_PACKAGE_LOCK_H_
#define NORVA_PACKAGE_PACKAGE_LOCK_H_

#include <windows.h>

#include "base/file_path.h"
#include "base/scoped_handle.h"

namespace norva::installer {

// Keeps a downloaded package as it is from its first check to the end of its
// unpacking, so what is unpacked is what was verified (and an offline
// installer's archive file from its writing on). Holds the file open
// for reading and shares it for reading only: others may still read and run
// it (the package queries do), but no process can write, rename or delete it
// until Release.
class PackageLock {
 public:
  PackageLock() = default;
  ~PackageLock();
  PackageLock(const PackageLock&) = delete;
  PackageLock& operator=(const PackageLock&) = delete;

  // Releases a previous hold. False, with the system's error kept, when the
  // file cannot be opened so, for example while it is open for writing.
  bool Acquire(const FilePath& path);
  // The same hold on a file made when missing: a process's claim on what it
  // keeps in a shared folder. Nobody else can delete the file while the
  // claim is held, and the system lets go of it when the process dies, so a
  // claim file that can be deleted has no living owner.
  bool Create(const FilePath& path);
  // A new file, replacing one of that name, held from its creation on and
  // open for writing through this hold alone: what is written through
  // handle() is what a reader of handle() sees.
  bool CreateForWriting(const FilePath& path);
  void Release();
  bool held() const { return file_.is_valid(); }
  // Read access, and write access after CreateForWriting.
  HANDLE handle() const { return file_.get(); }

 private:
  bool Open(const FilePath& path, DWORD access, DWORD disposition);

  ScopedHandle file_;
};

}  // namespace norva::installer

#endif  // NORVA_PACKAGE_PACKAGE_LOCK_H_
