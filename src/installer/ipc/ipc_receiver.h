#ifndef NORVA_INSTALLER_IPC_IPC_RECEIVER_H_
#define NORVA_INSTALLER_IPC_IPC_RECEIVER_H_

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/scoped_handle.h"
#include "base/task_runner.h"
#include "base/thread.h"
#include "base/thread_checker.h"
#include "base/weak_ptr.h"
#include "installer/ipc/installer_message.h"

namespace norva::installer {

// The frontend's end of the backend channel: owns the mailslot
// "\\.\mailslot\<name>" and reads it on its own "Installer IPC thread".
// Every datagram is decoded on the thread that called Connect; well-formed
// messages go to the delegate there, in arrival order. A datagram with an
// unknown type logs "Not a valid installer message type"; anything else that
// does not decode (another tag, damaged sizes, missing arguments) is dropped
// silently. Nothing reaches the delegate after Close or once the proxy is
// gone.
class IPCReceiverProxy {
 public:
  class Delegate {
   public:
    virtual void OnMessageReceived(const InstallerMessage& message) = 0;

   protected:
    virtual ~Delegate() = default;
  };

  // The delegate must outlive the proxy, or at least its connection.
  explicit IPCReceiverProxy(Delegate* delegate);
  ~IPCReceiverProxy();
  IPCReceiverProxy(const IPCReceiverProxy&) = delete;
  IPCReceiverProxy& operator=(const IPCReceiverProxy&) = delete;

  // Creates the mailslot before returning, so a writer may open it at once.
  // False when already connected, without a task loop on this thread, when
  // the reader thread cannot start or when the mailslot cannot be created
  // (its name is taken: a writer would reach someone else's mailslot).
  bool Connect(const std::wstring& name);
  // Runs `done` on the connecting thread once every datagram that is in the
  // mailslot now has been handed on; the datagrams arrive before it. Without
  // a connection `done` is posted at once.
  void Drain(Closure done);
  // Stops reading and removes the mailslot. Datagrams not yet delivered are
  // dropped.
  void Close();
  bool IsConnected() const { return thread_ != nullptr; }
  // Test-only: from its return until `release` is signalled (a minute at
  // most) the reader takes nothing from the mailslot, as a reading thread
  // that the system schedules late would.
  void HoldReaderForTesting(HANDLE release);
  // The reading end, whose security descriptor a writer's handle does not
  // show everywhere.
  HANDLE mailslot_for_testing() const { return mailslot_.get(); }

  // How long one read waits before the reader looks whether it must stop.
  static constexpr DWORD kReadTimeoutMs = 100;

 private:
  class Reader;

  void OnDatagram(const std::vector<uint8_t>& datagram);
  // Ends the reader's read in progress with a datagram nobody decodes.
  void WakeReader();

  Delegate* const delegate_;
  std::unique_ptr<Thread> thread_;
  std::shared_ptr<Reader> reader_;
  ScopedHandle mailslot_;
  ScopedHandle wake_;  // our own writing end of the mailslot
  ThreadChecker thread_checker_;
  WeakPtrFactory<IPCReceiverProxy> weak_factory_{this};
};

}  // namespace norva::installer

#endif  // NORVA_INSTALLER_IPC_IPC_RECEIVER_H_
