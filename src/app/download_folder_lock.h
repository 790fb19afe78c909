#ifndef NORVA_APP_DOWNLOAD_FOLDER_LOCK_H_
#define NORVA_APP_DOWNLOAD_FOLDER_LOCK_H_

#include <windows.h>

#include "base/file_path.h"
#include "base/scoped_handle.h"

namespace norva::installer {

// One installer window serves a download folder: the window that takes the
// folder holds "installer.lck" in it (deleted when closed), which names the
// thread of that window for an installer started later.
class DownloadFolderLock {
 public:
  // Takes `download_folder`; returns the thread of the window that already
  // serves it, or 0 when this one took it.
  DWORD Acquire(const FilePath& download_folder);
  void Release() { file_.reset(); }

 private:
  ScopedHandle file_;
};

// Brings the first enabled, visible window of `thread` to the front.
void BringThreadWindowToFront(DWORD thread);

}  // namespace norva::installer

#endif  // NORVA_APP_DOWNLOAD_FOLDER_LOCK_H_
