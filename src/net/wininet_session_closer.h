#ifndef NORVA_NET_WININET_SESSION_CLOSER_H_
#define NORVA_NET_WININET_SESSION_CLOSER_H_

#include <windows.h>
#include <wininet.h>

#include <atomic>
#include <memory>

#include "base/scoped_handle.h"
#include "base/thread.h"

namespace norva::installer {

struct InternetHandleTraits {
  using Handle = HINTERNET;
  static HINTERNET Null() { return nullptr; }
  static bool IsValid(HINTERNET handle) { return handle != nullptr; }
  static bool Close(HINTERNET handle) { return InternetCloseHandle(handle) != FALSE; }
};
using ScopedInternetHandle = ScopedGeneric<InternetHandleTraits>;

// Closes the root handles of torn-down WinINet sessions on the "Wininet
// Termination" thread, one session at a time. A root handle closed while its
// connection still notifies would leave WinINet calling into a downloader
// that may be gone.
class WininetSessionCloser {
 public:
  // One per session (root handle). `set` is raised when the connection is
  // torn down; from then on notifications only acknowledge, and the closing
  // of the connection handle, the last notification that reaches the
  // downloader, signals `event`. Only then may the "Wininet Termination"
  // thread close the root handle. Shared with that thread and with late
  // notifications, so it outlives the downloader when it must.
  struct ClosingFlag {
    ClosingFlag();
    // Answers a notification that arrives once `set` is up, without touching
    // the downloader, which may be gone as soon as `event` is signalled.
    void Acknowledge(HINTERNET handle, DWORD status) const;

    std::atomic<int> set{0};
    HINTERNET root = nullptr;
    HINTERNET connection = nullptr;
    ScopedHandle event;  // manual reset
  };

  // Takes `root` and closes it once `closing` says that its connection is
  // quiet; first waits for the session closed before, if any.
  void CloseRootWhenQuiet(ScopedInternetHandle root, std::shared_ptr<ClosingFlag> closing);
  // Returns once the root handle being closed, if any, is closed.
  void Join();

 private:
  std::unique_ptr<Thread> termination_thread_;
};

}  // namespace norva::installer

#endif  // NORVA_NET_WININET_SESSION_CLOSER_H_
