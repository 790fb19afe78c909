#include "ui/window_layout.h"

#include <commctrl.h>

#include <algorithm>
#include <iterator>
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

template <typename Function>
Function User32Function(const char* name) {
  HMODULE user32 = GetModuleHandleW(L"user32.dll");
  return reinterpret_cast<Function>(
      reinterpret_cast<void*>(user32 ? GetProcAddress(user32, name) : nullptr));
}

// A place of a template in pixels, as the dialog manager maps it.
RECT UnitsToPixels(POINT position, SIZE size, SIZE base) {
  RECT rect;
  rect.left = MulDiv(position.x, base.cx, 4);
  rect.top = MulDiv(position.y, base.cy, 8);
  rect.right = rect.left + MulDiv(size.cx, base.cx, 4);
  rect.bottom = rect.top + MulDiv(size.cy, base.cy, 8);
  return rect;
}

// A combo box's drop-down list is a window of its own, made with the combo
// and shown outside it: it takes the combo's direction.
void MatchDropDownList(HWND control) {
  wchar_t name[16] = {};
  GetClassNameW(control, name, static_cast<int>(std::size(name)));
  COMBOBOXINFO info = {sizeof(info)};
  if (_wcsicmp(name, WC_COMBOBOXW) != 0 || !GetComboBoxInfo(control, &info) || !info.hwndList)
    return;
  LONG_PTR direction = GetWindowLongPtrW(control, GWL_EXSTYLE) & WS_EX_LAYOUTRTL;
  LONG_PTR style = GetWindowLongPtrW(info.hwndList, GWL_EXSTYLE);
  if ((style & WS_EX_LAYOUTRTL) != direction)
    SetWindowLongPtrW(info.hwndList, GWL_EXSTYLE, (style & ~WS_EX_LAYOUTRTL) | direction);
}

void PlaceIn(HWND parent, HWND child, RECT rect, bool mirrored) {
  if (mirrored) {
    RECT client;
    GetClientRect(parent, &client);
    int width = rect.right - rect.left;
    rect.left = client.right - rect.right;
    rect.right = rect.left + width;
  }
  SetWindowPos(child, nullptr, rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top,
               SWP_NOZORDER | SWP_NOACTIVATE);
}

}  // namespace

int SystemDpi() {
  HDC screen = GetDC(nullptr);
  int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSY) : 96;
  if (screen) ReleaseDC(nullptr, screen);
  return dpi > 0 ? dpi : 96;
}

int WindowDpi(HWND window) {
  using GetDpiForWindowFunction = UINT(WINAPI*)(HWND);
  static const auto get_dpi_for_window = User32Function<GetDpiForWindowFunction>("GetDpiForWindow");
  UINT dpi = get_dpi_for_window && window ? get_dpi_for_window(window) : 0;
  return dpi ? static_cast<int>(dpi) : SystemDpi();
}

int SystemMetricForDpi(int metric, int dpi) {
  using GetSystemMetricsForDpiFunction = int(WINAPI*)(int, UINT);
  static const auto get_metric_for_dpi =
      User32Function<GetSystemMetricsForDpiFunction>("GetSystemMetricsForDpi");
  if (get_metric_for_dpi) return get_metric_for_dpi(metric, static_cast<UINT>(dpi));
  return MulDiv(GetSystemMetrics(metric), dpi, SystemDpi());
}

HFONT CreateDialogFont(const DialogLayout& layout, int dpi) {
  return CreateFontW(-MulDiv(layout.font_points, dpi, 72), 0, 0, 0, layout.font_weight,
                     layout.font_italic, FALSE, FALSE, layout.font_charset, OUT_DEFAULT_PRECIS,
                     CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE,
                     layout.font_face.c_str());
}

SIZE DialogBaseUnits(HFONT font) {
  static constexpr wchar_t kLetters[] = L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  HDC dc = GetDC(nullptr);
  HGDIOBJ previous = SelectObject(dc, font);
  TEXTMETRICW metrics = {};
  SIZE letters = {};
  GetTextMetricsW(dc, &metrics);
  GetTextExtentPoint32W(dc, kLetters, 52, &letters);
  SelectObject(dc, previous);
  ReleaseDC(nullptr, dc);
  SIZE base = {(letters.cx / 26 + 1) / 2, metrics.tmHeight};
  if (base.cx <= 0 || base.cy <= 0)
    base = {LOWORD(GetDialogBaseUnits()), HIWORD(GetDialogBaseUnits())};
  return base;
}

void LayOutControls(HWND dialog, const DialogLayout& layout, HFONT font, bool mirrored) {
  SIZE base = DialogBaseUnits(font);
  for (const DialogLayout::Control& control : layout.controls) {
    HWND window = GetDlgItem(dialog, control.id);
    if (!window) continue;
    SendMessageW(window, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    PlaceIn(dialog, window, UnitsToPixels(control.position, control.size, base), mirrored);
    InvalidateRect(window, nullptr, TRUE);
  }
}

void PlaceChildDialog(HWND parent, HWND child, const DialogLayout& layout, HFONT font,
                      bool mirrored) {
  SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
  PlaceIn(parent, child, UnitsToPixels(layout.position, layout.size, DialogBaseUnits(font)),
          mirrored);
}

void TakeOverDpiScaling(HWND dialog) {
  using SetDialogDpiChangeBehaviorFunction = BOOL(WINAPI*)(HWND, int, int);
  constexpr int kDisableAll = 1;  // DDC_DISABLE_ALL
  static const auto set_behavior =
      User32Function<SetDialogDpiChangeBehaviorFunction>("SetDialogDpiChangeBehavior");
  if (set_behavior) set_behavior(dialog, kDisableAll, kDisableAll);
}

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
    MatchDropDownList(child);
  }
  InvalidateRect(child, nullptr, TRUE);
}

void MirrorTemplateControl(SIZE dialog, TemplateControl& control) {
  control.position.x = dialog.cx - control.position.x - control.size.cx;
  if (control.id != IDC_LOGO) control.ex_style |= WS_EX_LAYOUTRTL;
}

void MirrorChildren(HWND parent, HWND panel) {
  if (!parent) return;
  for (HWND child = GetWindow(parent, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
    MirrorChild(parent, child, panel);
}

void FitButtonToText(HWND dialog, HWND button, bool mirrored, int dpi) {
  int text_width = TextWidth(button);
  RECT rect;
  GetWindowRect(button, &rect);
  MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&rect), 2);
  // Room for the button's frame on both sides.
  // In the dialog's font now: the dialog manager keeps the units of the
  // font it was made with, whatever DPI came since.
  SIZE base = DialogBaseUnits(reinterpret_cast<HFONT>(SendMessageW(dialog, WM_GETFONT, 0, 0)));
  RECT limits = {MulDiv(kWindowMargin, base.cx, 4), 0, MulDiv(kMinButtonWidth, base.cx, 4), 0};
  RECT client;
  GetClientRect(dialog, &client);
  int room = mirrored ? client.right - limits.left - rect.left : rect.right - limits.left;
  int width = text_width + 2 * SystemMetricForDpi(SM_CXEDGE, dpi) +
              MulDiv(4 * LOWORD(GetDialogBaseUnits()), dpi, SystemDpi());
  width = std::clamp<int>(width, limits.right, room);
  SetWindowPos(button, nullptr, mirrored ? rect.left : rect.right - width, rect.top, width,
               rect.bottom - rect.top, SWP_NOZORDER | SWP_NOACTIVATE);
}

}  // namespace norva::installer
