#include "net/wininet_session_closer.h"

#include <utility>

#include "system/windows_version.h"

namespace norva::installer {
namespace {

constexpr int kVistaRank = 3;
constexpr DWORD kLegacyTerminationWaitMs = 5000;

}  // namespace

WininetSessionCloser::ClosingFlag::ClosingFlag()
    : event(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

void WininetSessionCloser::ClosingFlag::Acknowledge(HINTERNET handle, DWORD status) const {
  InternetSetStatusCallbackW(root, nullptr);
  if (status == INTERNET_STATUS_HANDLE_CLOSING && handle == connection) SetEvent(event.get());
}

void WininetSessionCloser::CloseRootWhenQuiet(ScopedInternetHandle root,
                                              std::shared_ptr<ClosingFlag> closing) {
  Join();
  termination_thread_ = std::make_unique<Thread>("Wininet Termination");
  // Owned by whichever thread runs it, which closes the root at its end.
  auto close_root = [closing = std::move(closing), root = root.release()] {
    ScopedInternetHandle owned(root);
    if (GetWindowsVersionRank() >= kVistaRank) {
      WaitForSingleObject(closing->event.get(), INFINITE);
    } else if (WaitForSingleObject(closing->event.get(), kLegacyTerminationWaitMs) !=
               WAIT_OBJECT_0) {
      InternetSetStatusCallbackW(root, nullptr);
    }
  };
  if (!termination_thread_->Start() ||
      !termination_thread_->task_runner()->PostTask(FROM_HERE, close_root)) {
    close_root();  // no thread to spare: wait here rather than leak the session
  }
}

void WininetSessionCloser::Join() {
  if (!termination_thread_) return;
  termination_thread_->Stop();
  termination_thread_.reset();
}

}  // namespace norva::installer
