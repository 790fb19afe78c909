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

// The frontend's end of the backend channel: owns the mailslot of the
// channel `name` (MailslotPath) and, where the system takes that name, the
// one that backends of earlier versions write to (LegacyMailslotPath), and
// reads each on an "Installer IPC thread" of its own. Every datagram is
// decoded on the thread that called Connect; well-formed
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

  // Creates the mailslots before returning, so a writer may open them at
  // once. False when already connected, without a task loop on this thread,
  // when a reader thread cannot start or when a mailslot cannot be created
  // (its name is taken: a writer would reach someone else's mailslot).
  bool Connect(const std::wstring& name);
  // Runs `done` on the connecting thread once every datagram that is in the
  // mailslots now has been handed on; the datagrams arrive before it. Without
  // a connection `done` is posted at once.
  void Drain(Closure done);
  // Stops reading and removes the mailslots. Datagrams not yet delivered are
  // dropped.
  void Close();
  bool IsConnected() const { return !channels_.empty(); }
  // Test-only: from its return until `release` is signalled (a minute at
  // most) the readers take nothing from the mailslots, as reading threads
  // that the system schedules late would.
  void HoldReaderForTesting(HANDLE release);
  // The reading end of MailslotPath, whose security descriptor a writer's
  // handle does not show everywhere.
  HANDLE mailslot_for_testing() const;

 private:
  class Reader;
  struct Channel;

  void OnDatagram(const std::vector<uint8_t>& datagram);
  // Ends the read in progress on `channel` with a datagram nobody decodes.
  static void WakeReader(const Channel& channel);

  Delegate* const delegate_;
  std::vector<std::unique_ptr<Channel>> channels_;
  ThreadChecker thread_checker_;
  WeakPtrFactory<IPCReceiverProxy> weak_factory_{this};
};

}  // namespace norva::installer

#endif  // NORVA_INSTALLER_IPC_IPC_RECEIVER_H_
