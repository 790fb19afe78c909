#include "installer/ipc/ipc_receiver.h"

#include <atomic>

#include "base/logging.h"
#include "base/task_runner.h"
#include "system/object_security.h"

namespace norva::installer {

// Reads the mailslot with synchronous, timed reads, one read per task on the
// IPC thread. Overlapped mailslot reads never complete under Wine (they block
// instead of reaching the completion port), while a timed blocking read is
// correct everywhere. Each read posts the next one until Close raises the
// stop flag. Drain and Close do not wait out the read in progress: they send
// the mailslot a one-byte datagram of their own, which ends it at once and
// is dropped like any other datagram without the tag.
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
  // False when the read failed (a time-out included).
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
    if (!ReadDatagram() && GetLastError() != ERROR_SEM_TIMEOUT) {
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

IPCReceiverProxy::IPCReceiverProxy(Delegate* delegate) : delegate_(delegate) {}

IPCReceiverProxy::~IPCReceiverProxy() { Close(); }

bool IPCReceiverProxy::Connect(const std::wstring& name) {
  NORVA_DCHECK_CALLED_ON_VALID_THREAD(thread_checker_);
  if (thread_) {
    LOG(ERROR) << "IPC receiver is already connected";
    return false;
  }
  std::shared_ptr<TaskRunner> owner = ThreadTaskRunnerHandle::Get();
  if (!owner) {
    LOG(ERROR) << "IPC receiver needs a task loop on its thread";
    return false;
  }
  auto thread = std::make_unique<Thread>("Installer IPC thread");
  if (!thread->Start()) {
    LOG(ERROR) << "Could not start IPC thread";
    return false;
  }
  const std::wstring path = L"\\\\.\\mailslot\\" + name;
  // The writer may be an elevated child running as another account.
  SharedObjectSecurity security(SharedObjectKind::kMailslot);
  if (security.attributes())
    mailslot_.reset(CreateMailslotW(path.c_str(), kMaxInstallerMessageSize, kReadTimeoutMs,
                                    security.attributes()));
  if (!mailslot_) {
    PLOG(ERROR) << "Could not create mailslot " << path;
    return false;
  }
  // Without this handle, Drain and Close wait out the read in progress.
  wake_.reset(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  thread_ = std::move(thread);
  reader_ = std::make_shared<Reader>(mailslot_.get(), std::move(owner), weak_factory_.GetWeakPtr(),
                                     thread_->task_runner());
  reader_->Start();
  return true;
}

void IPCReceiverProxy::Close() {
  NORVA_DCHECK_CALLED_ON_VALID_THREAD(thread_checker_);
  weak_factory_.InvalidateWeakPtrs();
  if (!thread_) return;
  if (reader_) reader_->Stop();
  WakeReader();
  thread_->Stop();
  reader_.reset();
  thread_.reset();
  wake_.reset();
  mailslot_.reset();  // only once the reading thread has stopped
}

void IPCReceiverProxy::HoldReaderForTesting(HANDLE release) {
  if (!thread_) return;
  ScopedHandle held(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  thread_->task_runner()->PostTask(FROM_HERE, [held = held.get(), release] {
    SetEvent(held);
    WaitForSingleObject(release, 60000);
  });
  WakeReader();
  WaitForSingleObject(held.get(), 60000);
}

void IPCReceiverProxy::WakeReader() {
  if (!wake_) return;
  const uint8_t wake = 0;
  DWORD written = 0;
  WriteFile(wake_.get(), &wake, 1, &written, nullptr);
}

void IPCReceiverProxy::Drain(Closure done) {
  NORVA_DCHECK_CALLED_ON_VALID_THREAD(thread_checker_);
  if (reader_ && reader_->Drain(done)) {
    WakeReader();
    return;
  }
  if (std::shared_ptr<TaskRunner> runner = ThreadTaskRunnerHandle::Get())
    runner->PostTask(FROM_HERE, std::move(done));
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
