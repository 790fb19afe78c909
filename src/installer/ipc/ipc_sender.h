#ifndef NORVA_INSTALLER_IPC_IPC_SENDER_H_
#define NORVA_INSTALLER_IPC_IPC_SENDER_H_

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/scoped_handle.h"
#include "base/thread.h"
#include "base/thread_checker.h"

namespace norva::installer {

// The backend's end of the channel: writes datagrams to the client end of
// the channel's mailslot (MailslotPath, or LegacyMailslotPath where only a
// frontend of an earlier version made one) on its own "Installer IPC
// thread", one datagram per Send, in the order they were sent. Use it from
// one thread.
class IPCSenderProxy {
 public:
  // How long one datagram may wait to be written before the reader is taken
  // for gone and the rest is discarded.
  static constexpr DWORD kWriteTimeoutMs = 10000;

  explicit IPCSenderProxy(DWORD write_timeout_ms = kWriteTimeoutMs);
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
  void Write(const std::vector<uint8_t>& message);

  const DWORD write_timeout_ms_;
  std::unique_ptr<Thread> thread_;
  // Used only on the IPC thread until Close has stopped it.
  ScopedHandle mailslot_;
  ScopedHandle written_;
  bool reader_gone_ = false;
  ThreadChecker thread_checker_;
};

}  // namespace norva::installer

#endif  // NORVA_INSTALLER_IPC_IPC_SENDER_H_
