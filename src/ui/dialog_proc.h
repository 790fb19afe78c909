#ifndef NORVA_UI_DIALOG_PROC_H_
#define NORVA_UI_DIALOG_PROC_H_

#include <windows.h>

namespace norva::installer {

// The procedure of a dialog made with its owning object as the creation
// parameter: keeps the object in the dialog's user data, stores the dialog's
// handle in its member `kDialog` on WM_INITDIALOG and hands every message
// that follows to `kHandler`.
template <typename Owner, HWND Owner::*kDialog, INT_PTR (Owner::*kHandler)(UINT, WPARAM, LPARAM)>
INT_PTR CALLBACK OwnedDialogProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
  auto* owner = reinterpret_cast<Owner*>(GetWindowLongPtrW(dialog, DWLP_USER));
  if (message == WM_INITDIALOG) {
    owner = reinterpret_cast<Owner*>(lparam);
    SetWindowLongPtrW(dialog, DWLP_USER, lparam);
    owner->*kDialog = dialog;
  }
  return owner ? (owner->*kHandler)(message, wparam, lparam) : FALSE;
}

}  // namespace norva::installer

#endif  // NORVA_UI_DIALOG_PROC_H_
