#include "ui/window_layout.h"

#include <algorithm>
#include <string>

#include "product/resource_ids.h"
#include "ui/rich_text.h"

namespace norva::installer {
namespace {

constexpr int kWindowMargin = 10;    // dialog units
constexpr int kMinButtonWidth = 80;  // dialog units

// The width of `button`'s text as the button draws it: the access key's "&"
// takes no room.
int TextWidth(HWND button) {
  std::wstring text = WindowText(button);
  HDC dc = GetDC(button);
  HGDIOBJ previous =
      SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(button, WM_GETFONT, 0, 0)));
  RECT extent = {};
  DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &extent, DT_CALCRECT | DT_SINGLELINE);
  SelectObject(dc, previous);
  ReleaseDC(button, dc);
  return extent.right;
}

}  // namespace

bool IsRightToLeft(LANGID language) {
  switch (PRIMARYLANGID(language)) {
    case LANG_ARABIC:
    case LANG_HEBREW:
    case LANG_FARSI:
    case LANG_URDU:
      return true;
    default:
      return false;
  }
}

void MirrorPosition(HWND parent, HWND child) {
  RECT client, rect;
  GetClientRect(parent, &client);
  GetWindowRect(child, &rect);
  MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&rect), 2);
  SetWindowPos(child, nullptr, client.right - rect.right, rect.top, 0, 0,
               SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void MirrorChild(HWND parent, HWND child, HWND panel) {
  MirrorPosition(parent, child);
  LONG_PTR style = GetWindowLongPtrW(child, GWL_EXSTYLE);
  if (child != panel && GetDlgCtrlID(child) != IDC_LOGO) {
    SetWindowLongPtrW(child, GWL_EXSTYLE, style ^ WS_EX_LAYOUTRTL);
    // A control's own parts (a list's edit field) stay where they were
    // drawn and would cover what the control now draws on the other side.
    for (HWND part = GetWindow(child, GW_CHILD); part; part = GetWindow(part, GW_HWNDNEXT))
      MirrorPosition(child, part);
  }
  InvalidateRect(child, nullptr, TRUE);
}

void MirrorChildren(HWND parent, HWND panel) {
  if (!parent) return;
  for (HWND child = GetWindow(parent, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
    MirrorChild(parent, child, panel);
}

void FitButtonToText(HWND dialog, HWND button, bool mirrored) {
  int text_width = TextWidth(button);
  RECT rect;
  GetWindowRect(button, &rect);
  MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&rect), 2);
  // Room for the button's frame on both sides.
  RECT limits = {kWindowMargin, 0, kMinButtonWidth, 0};
  MapDialogRect(dialog, &limits);
  RECT client;
  GetClientRect(dialog, &client);
  int room = mirrored ? client.right - limits.left - rect.left : rect.right - limits.left;
  int width = text_width + 2 * GetSystemMetrics(SM_CXEDGE) + 4 * LOWORD(GetDialogBaseUnits());
  width = std::clamp<int>(width, limits.right, room);
  SetWindowPos(button, nullptr, mirrored ? rect.left : rect.right - width, rect.top, width,
               rect.bottom - rect.top, SWP_NOZORDER | SWP_NOACTIVATE);
}

}  // namespace norva::installer
