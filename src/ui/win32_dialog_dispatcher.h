#ifndef NORVA_UI_WIN32_DIALOG_DISPATCHER_H_
#define NORVA_UI_WIN32_DIALOG_DISPATCHER_H_

#include <windows.h>

#include "base/task_loop.h"

namespace norva::installer {

// Routes the keyboard to whichever installer dialog is active: the message
// loop asks it before dispatching each message. One per process.
class Win32DialogDispatcher : public DialogDispatcher {
 public:
  static Win32DialogDispatcher& Get();

  // A dialog reports its activation (WM_ACTIVATE).
  void OnActivate(HWND dialog, bool active);

  // DialogDispatcher:
  bool Dispatch(MSG* message) override;

 private:
  Win32DialogDispatcher() = default;

  HWND active_dialog_ = nullptr;
};

}  // namespace norva::installer

#endif  // NORVA_UI_WIN32_DIALOG_DISPATCHER_H_
