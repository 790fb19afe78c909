#ifndef NORVA_INSTALLER_IPC_IPC_SENDER_H_
#define NORVA_INSTALLER_IPC_IPC_SENDER_H_

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/scoped_handle.h"
#include "base/thread.h"

namespace norva::installer {

// The backend's end of the channel: writes datagrams to the client end of
// "\\.\mailslot\<name>" on its own "Installer IPC thread", one datagram per
// Send, in the order they were sent. Use it from one thread.
class IPCSenderProxy {
 public:
  IPCSenderProxy();
  ~IPCSenderProxy();
  IPCSenderProxy(const IPCSenderProxy&) = delete;
  IPCSenderProxy& operator=(const IPCSenderProxy&) = delete;

  // False when already connected, when the mailslot cannot be opened or the
  // thread cannot start; Send then discards messages.
  bool Connect(const std::wstring& name);
  // Queues `message` for writing; without a connection it is discarded.
  void Send(std::vector<uint8_t> message);
  // Writes what was sent before, then closes the mailslot: the last message
  // of an installation must not be lost when the backend quits right after.
  void Close();

 private:
  std::unique_ptr<Thread> thread_;
  // Used only on the IPC thread until Close has stopped it.
  ScopedHandle mailslot_;
};

}  // namespace norva::installer

#endif  // NORVA_INSTALLER_IPC_IPC_SENDER_H_
