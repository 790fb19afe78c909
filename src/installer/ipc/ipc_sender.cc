#include "installer/ipc/ipc_sender.h"

#include "base/logging.h"
#include "base/scoped_handle.h"
#include "base/task_runner.h"

namespace norva::installer {

IPCSenderProxy::IPCSenderProxy() = default;

IPCSenderProxy::~IPCSenderProxy() { Close(); }

bool IPCSenderProxy::Connect(const std::wstring& name) {
  if (thread_) {
    LOG(ERROR) << "IPC sender is already connected";
    return false;
  }
  const std::wstring path = L"\\\\.\\mailslot\\" + name;
  ScopedHandle mailslot(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!mailslot) {
    PLOG(ERROR) << "Could not open mailslot " << path;
    return false;
  }
  auto thread = std::make_unique<Thread>("Installer IPC thread");
  if (!thread->Start()) {
    LOG(ERROR) << "Could not start IPC thread";
    return false;
  }
  thread_ = std::move(thread);
  mailslot_ = std::move(mailslot);
  return true;
}

void IPCSenderProxy::Send(std::vector<uint8_t> message) {
  if (!thread_) return;
  // The thread's task queue is the first-in first-out queue of messages;
  // each write is synchronous, so one datagram leaves before the next.
  thread_->task_runner()->PostTask(FROM_HERE, [mailslot = mailslot_.get(),
                                               message = std::move(message)] {
    DWORD written = 0;
    if (!WriteFile(mailslot, message.data(), static_cast<DWORD>(message.size()), &written, nullptr))
      PLOG(ERROR) << "Could not write to mailslot";
  });
}

void IPCSenderProxy::Close() {
  if (!thread_) return;
  thread_->Stop();  // runs every write posted before
  thread_.reset();
  mailslot_.reset();  // only once the writing thread has stopped
}

}  // namespace norva::installer
