#include "app/download_folder_lock.h"

#include <string>

#include "base/strings.h"
#include "product/product_info.h"

namespace norva::installer {
namespace {

constexpr DWORD kUiLockWaitMs = 30000;

BOOL CALLBACK BringToFront(HWND window, LPARAM) {
  if (!IsWindowEnabled(window) || !IsWindowVisible(window)) return TRUE;
  if (IsIconic(window)) ShowWindow(window, SW_RESTORE);
  SetForegroundWindow(window);
  return FALSE;
}

}  // namespace

DWORD DownloadFolderLock::Acquire(const FilePath& download_folder) {
  std::wstring name = L"Local\\" + Utf8ToWide(product::ProductName()) + L"/Installer/UI_lock";
  ScopedHandle mutex(CreateMutexW(nullptr, FALSE, name.c_str()));
  // Held only for the few calls below; a holder that dies abandons it, one
  // that hangs is not waited for beyond the limit.
  DWORD wait = mutex ? WaitForSingleObject(mutex.get(), kUiLockWaitMs) : WAIT_FAILED;
  bool locked = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
  FilePath lock_path = download_folder / L"installer.lck";
  DWORD owner = 0;
  file_.reset(CreateFileW(lock_path.c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr,
                          CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr));
  if (file_) {
    owner = GetCurrentThreadId();
    DWORD written = 0;
    WriteFile(file_.get(), &owner, sizeof(owner), &written, nullptr);
  } else {
    ScopedHandle other(CreateFileW(lock_path.c_str(), GENERIC_READ,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, 0, nullptr));
    DWORD read = 0;
    if (!other || !ReadFile(other.get(), &owner, sizeof(owner), &read, nullptr) ||
        read != sizeof(owner)) {
      owner = 0;
    }
  }
  if (locked) ReleaseMutex(mutex.get());  // released before the handle closes
  return owner == GetCurrentThreadId() ? 0 : owner;
}

void BringThreadWindowToFront(DWORD thread) { EnumThreadWindows(thread, BringToFront, 0); }

}  // namespace norva::installer
