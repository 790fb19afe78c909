#include "installer/ipc/ipc_sender.h"

#include "base/logging.h"
#include "base/task_runner.h"

namespace norva::installer {

IPCSenderProxy::IPCSenderProxy() = default;

IPCSenderProxy::~IPCSenderProxy() { Close(); }

bool IPCSenderProxy::Connect(const std::wstring& name) {
  NORVA_DCHECK_CALLED_ON_VALID_THREAD(thread_checker_);
  if (thread_) {
    LOG(ERROR) << "IPC sender is already connected";
    return false;
  }
  const std::wstring path = L"\\\\.\\mailslot\\" + name;
  HANDLE mailslot = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (mailslot == INVALID_HANDLE_VALUE) {
    PLOG(ERROR) << "Could not open mailslot " << path;
    return false;
  }
  auto thread = std::make_unique<Thread>("Installer IPC thread");
  if (!thread->Start()) {
    LOG(ERROR) << "Could not start IPC thread";
    CloseHandle(mailslot);
    return false;
  }
  thread_ = std::move(thread);
  mailslot_ = mailslot;
  return true;
}

void IPCSenderProxy::Send(std::vector<uint8_t> message) {
  NORVA_DCHECK_CALLED_ON_VALID_THREAD(thread_checker_);
  if (!thread_) return;
  // The thread's task queue is the first-in first-out queue of messages;
  // each write is synchronous, so one datagram leaves before the next.
  thread_->task_runner()->PostTask(FROM_HERE, [mailslot = mailslot_, message = std::move(message)] {
    DWORD written = 0;
    if (!WriteFile(mailslot, message.data(), static_cast<DWORD>(message.size()), &written, nullptr))
      PLOG(ERROR) << "Could not write to mailslot";
  });
}

void IPCSenderProxy::Close() {
  NORVA_DCHECK_CALLED_ON_VALID_THREAD(thread_checker_);
  if (!thread_) return;
  thread_->Stop();  // runs every write posted before
  thread_.reset();
  CloseHandle(mailslot_);
  mailslot_ = INVALID_HANDLE_VALUE;
}

}  // namespace norva::installer
