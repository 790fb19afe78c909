#include "ui/win32_dialog_dispatcher.h"

#include "base/logging.h"

namespace norva::installer {

Win32DialogDispatcher& Win32DialogDispatcher::Get() {
  // Never destroyed: windows may report to it until the process ends.
  static Win32DialogDispatcher* dispatcher = new Win32DialogDispatcher();
  return *dispatcher;
}

void Win32DialogDispatcher::OnActivate(HWND dialog, bool active) {
  if (active) {
    LOG(INFO) << "Switching to hwnd " << dialog;
    active_dialog_ = dialog;
  } else if (active_dialog_ == dialog) {
    LOG(INFO) << "Switching away from hwnd " << dialog;
    active_dialog_ = nullptr;
  } else {
    LOG(INFO) << "Another hwnd was already selected";
  }
}

bool Win32DialogDispatcher::Dispatch(MSG* message) {
  return active_dialog_ && IsDialogMessageW(active_dialog_, message);
}

}  // namespace norva::installer
