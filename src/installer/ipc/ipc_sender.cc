#include "installer/ipc/ipc_sender.h"

#include "base/logging.h"
#include "base/task_runner.h"
#include "installer/ipc/mailslot_name.h"

namespace norva::installer {

IPCSenderProxy::IPCSenderProxy(DWORD write_timeout_ms) : write_timeout_ms_(write_timeout_ms) {}

IPCSenderProxy::~IPCSenderProxy() { Close(); }

bool IPCSenderProxy::Connect(const std::wstring& name) {
  NORVA_DCHECK_CALLED_ON_VALID_THREAD(thread_checker_);
  if (thread_) {
    LOG(ERROR) << "IPC sender is already connected";
    return false;
  }
  // Overlapped, so that a write can be given up (see Write).
  auto open = [](const std::wstring& path) {
    return CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  };
  const std::wstring path = MailslotPath(name);
  ScopedHandle mailslot(open(path));
  // A frontend of an earlier version reads only the mailslot of the name
  // itself.
  const std::wstring legacy = LegacyMailslotPath(name);
  if (!mailslot && !legacy.empty()) mailslot.reset(open(legacy));
  if (!mailslot) {
    PLOG(ERROR) << "Could not open mailslot " << path;
    return false;
  }
  ScopedHandle written(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  auto thread = std::make_unique<Thread>("Installer IPC thread");
  if (!written || !thread->Start()) {
    LOG(ERROR) << "Could not start IPC thread";
    return false;
  }
  thread_ = std::move(thread);
  mailslot_ = std::move(mailslot);
  written_ = std::move(written);
  reader_gone_ = false;
  return true;
}

void IPCSenderProxy::Send(std::vector<uint8_t> message) {
  NORVA_DCHECK_CALLED_ON_VALID_THREAD(thread_checker_);
  if (!thread_) return;
  // The thread's task queue is the first-in first-out queue of messages;
  // each write is synchronous, so one datagram leaves before the next.
  thread_->task_runner()->PostTask(FROM_HERE,
                                   [this, message = std::move(message)] { Write(message); });
}

// A mailslot whose reader has closed may live on while this end holds it
// (Wine keeps it), and once its buffer is full a write never completes: the
// frontend that went away must not keep the backend from ending.
void IPCSenderProxy::Write(const std::vector<uint8_t>& message) {
  if (reader_gone_) return;
  OVERLAPPED overlapped = {};
  overlapped.hEvent = written_.get();
  ResetEvent(written_.get());
  DWORD written = 0;
  if (WriteFile(mailslot_.get(), message.data(), static_cast<DWORD>(message.size()), nullptr,
                &overlapped))
    return;
  if (GetLastError() != ERROR_IO_PENDING) {
    PLOG(ERROR) << "Could not write to mailslot";
    return;
  }
  if (WaitForSingleObject(written_.get(), write_timeout_ms_) == WAIT_OBJECT_0) {
    if (!GetOverlappedResult(mailslot_.get(), &overlapped, &written, FALSE))
      PLOG(ERROR) << "Could not write to mailslot";
    return;
  }
  CancelIoEx(mailslot_.get(), &overlapped);
  GetOverlappedResult(mailslot_.get(), &overlapped, &written, TRUE);
  reader_gone_ = true;
  LOG(ERROR) << "Nobody reads the mailslot any more; the remaining messages are discarded";
}

void IPCSenderProxy::Close() {
  NORVA_DCHECK_CALLED_ON_VALID_THREAD(thread_checker_);
  if (!thread_) return;
  thread_->Stop();  // runs every write posted before
  thread_.reset();
  mailslot_.reset();  // only once the writing thread has stopped
  written_.reset();
}

}  // namespace norva::installer
