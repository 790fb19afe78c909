#include "installer/ipc/ipc_receiver.h"

#include <atomic>

#include "base/logging.h"
#include "base/task_runner.h"
#include "installer/ipc/mailslot_name.h"
#include "system/object_security.h"

namespace norva::installer {

// Reads one mailslot with blocking reads, one read per task on its own
// thread. Overlapped mailslot reads never complete under Wine (they block
// instead of reaching the completion port), while a blocking read is correct
// everywhere. A read waits for the next datagram however long it takes; Drain
// and Close end it by sending the mailslot a one-byte datagram of their own,
// which is dropped like any other datagram without the tag. Each read posts
// the next one until Close raises the stop flag.
class IPCReceiverProxy::Reader : public std::enable_shared_from_this<Reader> {
 public:
  Reader(HANDLE mailslot, std::shared_ptr<TaskRunner> owner, WeakPtr<IPCReceiverProxy> proxy,
         std::shared_ptr<TaskRunner> io)
      : mailslot_(mailslot),
        owner_(std::move(owner)),
        proxy_(std::move(proxy)),
        io_(std::move(io)) {}

  bool Start() {
    return io_->PostTask(FROM_HERE, [self = shared_from_this()] { self->ReadOnce(); });
  }
  void Stop() { stop_ = true; }

  // Queued behind the read in progress, so everything that read hands on is
  // posted before what the drain finds; `done` is posted last.
  bool Drain(Closure done) {
    return io_->PostTask(FROM_HERE, [self = shared_from_this(), done = std::move(done)] {
      DWORD next = MAILSLOT_NO_MESSAGE;
      while (GetMailslotInfo(self->mailslot_, nullptr, &next, nullptr, nullptr) &&
             next != MAILSLOT_NO_MESSAGE) {
        if (!self->ReadDatagram()) break;
      }
      self->owner_->PostTask(FROM_HERE, done);
    });
  }

 private:
  bool ReadDatagram() {
    DWORD read = 0;
    if (!ReadFile(mailslot_, buffer_, sizeof(buffer_), &read, nullptr)) return false;
    if (read > 0) {
      std::vector<uint8_t> datagram(buffer_, buffer_ + read);
      owner_->PostTask(FROM_HERE, [proxy = proxy_, datagram = std::move(datagram)] {
        if (IPCReceiverProxy* self = proxy.get()) self->OnDatagram(datagram);
      });
    }
    return true;
  }

  void ReadOnce() {
    // Close raises the flag before it sends the datagram that ends one read;
    // a drain queued before this task may have taken that datagram already.
    if (stop_) return;
    if (!ReadDatagram()) {
      PLOG(ERROR) << "Could not read from mailslot";
      return;
    }
    if (!stop_) Start();
  }

  const HANDLE mailslot_;  // owned by the proxy, closed after this thread has stopped
  const std::shared_ptr<TaskRunner> owner_;
  const WeakPtr<IPCReceiverProxy> proxy_;  // dereferenced on the owner's thread only
  const std::shared_ptr<TaskRunner> io_;
  std::atomic<bool> stop_{false};
  uint8_t buffer_[kMaxInstallerMessageSize];
};

// One mailslot and its reader. Members go in reverse order: the thread stops
// before the handles it reads close.
struct IPCReceiverProxy::Channel {
  ScopedHandle mailslot;
  ScopedHandle wake;  // our own writing end of the mailslot
  std::shared_ptr<Reader> reader;
  std::unique_ptr<Thread> thread;
};

IPCReceiverProxy::IPCReceiverProxy(Delegate* delegate) : delegate_(delegate) {}

IPCReceiverProxy::~IPCReceiverProxy() { Close(); }

bool IPCReceiverProxy::Connect(const std::wstring& name) {
  NORVA_DCHECK_CALLED_ON_VALID_THREAD(thread_checker_);
  if (!channels_.empty()) {
    LOG(ERROR) << "IPC receiver is already connected";
    return false;
  }
  std::shared_ptr<TaskRunner> owner = ThreadTaskRunnerHandle::Get();
  if (!owner) {
    LOG(ERROR) << "IPC receiver needs a task loop on its thread";
    return false;
  }
  std::vector<std::wstring> paths = {MailslotPath(name)};
  if (std::wstring legacy = LegacyMailslotPath(name); !legacy.empty()) paths.push_back(legacy);
  // The writer may be an elevated child running as another account.
  SharedObjectSecurity security(SharedObjectKind::kMailslot);
  for (const std::wstring& path : paths) {
    auto channel = std::make_unique<Channel>();
    channel->thread = std::make_unique<Thread>("Installer IPC thread");
    if (!channel->thread->Start()) {
      LOG(ERROR) << "Could not start IPC thread";
      Close();
      return false;
    }
    if (security.attributes())
      channel->mailslot.reset(CreateMailslotW(path.c_str(), kMaxInstallerMessageSize,
                                              MAILSLOT_WAIT_FOREVER, security.attributes()));
    if (!channel->mailslot) {
      PLOG(ERROR) << "Could not create mailslot " << path;
      Close();
      return false;
    }
    // A read ends only with a datagram: without this end, Close would wait
    // for ever.
    channel->wake.reset(CreateFileW(path.c_str(), GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!channel->wake) {
      PLOG(ERROR) << "Could not open mailslot " << path;
      Close();
      return false;
    }
    channels_.push_back(std::move(channel));
  }
  for (const std::unique_ptr<Channel>& channel : channels_) {
    channel->reader = std::make_shared<Reader>(channel->mailslot.get(), owner,
                                               weak_factory_.GetWeakPtr(),
                                               channel->thread->task_runner());
    channel->reader->Start();
  }
  return true;
}

void IPCReceiverProxy::Close() {
  NORVA_DCHECK_CALLED_ON_VALID_THREAD(thread_checker_);
  weak_factory_.InvalidateWeakPtrs();
  for (const std::unique_ptr<Channel>& channel : channels_) {
    if (channel->reader) channel->reader->Stop();
    WakeReader(*channel);
  }
  for (const std::unique_ptr<Channel>& channel : channels_) channel->thread->Stop();
  channels_.clear();
}

HANDLE IPCReceiverProxy::mailslot_for_testing() const {
  return channels_.empty() ? nullptr : channels_.front()->mailslot.get();
}

void IPCReceiverProxy::HoldReaderForTesting(HANDLE release) {
  for (const std::unique_ptr<Channel>& channel : channels_) {
    ScopedHandle held(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    channel->thread->task_runner()->PostTask(FROM_HERE, [held = held.get(), release] {
      SetEvent(held);
      WaitForSingleObject(release, 60000);
    });
    WakeReader(*channel);
    WaitForSingleObject(held.get(), 60000);
  }
}

void IPCReceiverProxy::WakeReader(const Channel& channel) {
  const uint8_t wake = 0;
  DWORD written = 0;
  WriteFile(channel.wake.get(), &wake, 1, &written, nullptr);
}

void IPCReceiverProxy::Drain(Closure done) {
  NORVA_DCHECK_CALLED_ON_VALID_THREAD(thread_checker_);
  // Each reader posts what it finds before its own answer; `done` waits for
  // the last answer. The count lives on this thread, where the answers run.
  auto waiting = std::make_shared<size_t>(0);
  auto shared_done = std::make_shared<Closure>(std::move(done));
  Closure answer = [waiting, shared_done] {
    if (--*waiting == 0) (*shared_done)();
  };
  for (const std::unique_ptr<Channel>& channel : channels_) {
    if (channel->reader && channel->reader->Drain(answer)) {
      ++*waiting;
      WakeReader(*channel);
    }
  }
  if (*waiting > 0) return;
  if (std::shared_ptr<TaskRunner> runner = ThreadTaskRunnerHandle::Get())
    runner->PostTask(FROM_HERE, std::move(*shared_done));
}

void IPCReceiverProxy::OnDatagram(const std::vector<uint8_t>& datagram) {
  NORVA_DCHECK_CALLED_ON_VALID_THREAD(thread_checker_);
  InstallerMessage message;
  switch (ReadInstallerMessage(datagram, &message)) {
    case MessageReadResult::kOk:
      delegate_->OnMessageReceived(message);
      break;
    case MessageReadResult::kUnknownType:
      LOG(ERROR) << "Not a valid installer message type";
      break;
    default:
      break;
  }
}

}  // namespace norva::installer
