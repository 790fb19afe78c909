#include "ui/ui_test_support.h"

#include <commctrl.h>
#include <oleacc.h>
#include <richedit.h>

#include <chrono>

#include "base/task_loop.h"
#include "product/languages.h"
#include "product/resource_ids.h"
#include "support/scratch.h"
#include "support/wait.h"
#include "ui/linked_text.h"
#include "ui/rich_text.h"
#include "ui/win32_dialog_dispatcher.h"

namespace norva::installer::test {
namespace {

class StatusWaiter : public Settings::Observer {
 public:
  void OnInstallFolderStatusChanged() override {
    if (loop) loop->Quit();
  }
  TaskLoop* loop = nullptr;
};

std::wstring TakeText(BSTR text) {
  std::wstring taken = text ? text : L"";
  SysFreeString(text);
  return taken;
}

HWND ParentOf(const InstallerWindow& window, int id) {
  return GetDlgItem(window.handle(), id) ? window.handle() : window.options_dialog();
}

void Command(const InstallerWindow& window, int id, int code) {
  HWND parent = ParentOf(window, id);
  SendMessageW(parent, WM_COMMAND, MAKEWPARAM(id, code),
               reinterpret_cast<LPARAM>(GetDlgItem(parent, id)));
}

BOOL CALLBACK FindBox(HWND window, LPARAM box) {
  wchar_t name[16] = {};
  GetClassNameW(window, name, 16);
  if (std::wstring(name) != L"#32770" || !GetDlgItem(window, 0xFFFF) || !IsWindowVisible(window))
    return TRUE;
  *reinterpret_cast<HWND*>(box) = window;
  return FALSE;
}

}  // namespace

void Settle(TaskLoop* loop, HWND window) {
  RedrawWindow(window, nullptr, nullptr,
               RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
  RunLoopUntil(
      loop, [] { return GetQueueStatus(QS_ALLINPUT) == 0; }, std::chrono::seconds(2));
}

COLORREF Screenshot::At(int x, int y) const {
  uint32_t pixel =
      pixels[static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)];
  return RGB((pixel >> 16) & 0xFF, (pixel >> 8) & 0xFF, pixel & 0xFF);
}

Heard Hear(HWND control) {
  Heard heard{control};
  IAccessible* object = nullptr;
  if (FAILED(AccessibleObjectFromWindow(control, OBJID_CLIENT, __uuidof(IAccessible),
                                        reinterpret_cast<void**>(&object))))
    return heard;
  VARIANT self = {};
  self.vt = VT_I4;
  self.lVal = CHILDID_SELF;
  BSTR text = nullptr;
  if (object->get_accName(self, &text) == S_OK) heard.name = TakeText(text);
  text = nullptr;
  if (object->get_accValue(self, &text) == S_OK) heard.value = TakeText(text);
  VARIANT answer = {};
  if (SUCCEEDED(object->get_accRole(self, &answer)) && answer.vt == VT_I4) heard.role = answer.lVal;
  VariantClear(&answer);
  if (SUCCEEDED(object->get_accState(self, &answer)) && answer.vt == VT_I4)
    heard.state = answer.lVal;
  object->Release();
  return heard;
}

std::vector<Heard> Listen(HWND window) {
  std::vector<Heard> heard;
  IAccessible* object = nullptr;
  if (FAILED(AccessibleObjectFromWindow(window, OBJID_CLIENT, __uuidof(IAccessible),
                                        reinterpret_cast<void**>(&object))))
    return heard;
  long count = 0;
  object->get_accChildCount(&count);
  std::vector<VARIANT> children(static_cast<size_t>(count));
  long obtained = 0;
  if (count > 0) AccessibleChildren(object, 0, count, children.data(), &obtained);
  object->Release();
  for (long i = 0; i < obtained; ++i) {
    HWND child = nullptr;
    if (children[i].vt == VT_DISPATCH && children[i].pdispVal) {
      IAccessible* window_object = nullptr;
      children[i].pdispVal->QueryInterface(__uuidof(IAccessible),
                                           reinterpret_cast<void**>(&window_object));
      if (window_object) {
        WindowFromAccessibleObject(window_object, &child);
        window_object->Release();
      }
    }
    VariantClear(&children[i]);
    if (!child || !IsWindowVisible(child)) continue;
    Heard control = Hear(child);
    bool pane = control.role == ROLE_SYSTEM_CLIENT || control.role == ROLE_SYSTEM_PANE ||
                control.role == ROLE_SYSTEM_DIALOG || control.role == ROLE_SYSTEM_GROUPING;
    if (!pane || !GetWindow(child, GW_CHILD)) {
      heard.push_back(control);
      continue;
    }
    std::vector<Heard> inside = Listen(child);
    heard.insert(heard.end(), inside.begin(), inside.end());
  }
  return heard;
}

Screenshot CaptureWindow(HWND window, bool client_only) {
  RECT rect;
  if (client_only) {
    GetClientRect(window, &rect);
    MapWindowPoints(window, nullptr, reinterpret_cast<POINT*>(&rect), 2);
  } else {
    GetWindowRect(window, &rect);
  }
  Screenshot shot;
  shot.width = rect.right - rect.left;
  shot.height = rect.bottom - rect.top;
  BITMAPINFO info = {};
  info.bmiHeader = {sizeof(BITMAPINFOHEADER), shot.width, -shot.height, 1, 32, BI_RGB};
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (!bitmap) return {};
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  HGDIOBJ previous = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, shot.width, shot.height, screen, rect.left, rect.top, SRCCOPY);
  SelectObject(memory, previous);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  const auto* first = static_cast<const uint32_t*>(bits);
  shot.pixels.assign(first, first + static_cast<size_t>(shot.width) * shot.height);
  for (uint32_t& pixel : shot.pixels) pixel &= 0xFFFFFF;
  DeleteObject(bitmap);
  return shot;
}

void WaitForStatus(Settings* settings, TaskLoop* loop) {
  StatusWaiter waiter;
  waiter.loop = loop;
  settings->AddObserver(&waiter);
  RunLoopFor(loop, std::chrono::seconds(60));
  settings->RemoveObserver(&waiter);
}

HWND WindowControl(const InstallerWindow& window, int id) {
  return GetDlgItem(ParentOf(window, id), id);
}

RECT RectIn(const InstallerWindow& window, int id) {
  RECT rect;
  GetWindowRect(WindowControl(window, id), &rect);
  MapWindowPoints(nullptr, ParentOf(window, id), reinterpret_cast<POINT*>(&rect), 2);
  if (rect.left > rect.right) std::swap(rect.left, rect.right);
  return rect;
}

RECT ChangeDpi(HWND window, int from, int to) {
  RECT place;
  GetWindowRect(window, &place);
  place.right = place.left + MulDiv(place.right - place.left, to, from);
  place.bottom = place.top + MulDiv(place.bottom - place.top, to, from);
  SendMessageW(window, WM_DPICHANGED, MAKEWPARAM(to, to), reinterpret_cast<LPARAM>(&place));
  return place;
}

void ClickControl(const InstallerWindow& window, int id) {
  HWND control = WindowControl(window, id);
  if ((GetWindowLongW(control, GWL_STYLE) & BS_TYPEMASK) == BS_AUTOCHECKBOX) {
    bool checked = SendMessageW(control, BM_GETCHECK, 0, 0) == BST_CHECKED;
    SendMessageW(control, BM_SETCHECK, checked ? BST_UNCHECKED : BST_CHECKED, 0);
  }
  Command(window, id, BN_CLICKED);
}

void ClickLink(const InstallerWindow& window, const std::wstring& url) {
  std::vector<LinkSpan> links;
  StripLinkMarkers(MarkLinks(l10n::GetLocalizedString(IDS_TERMS_NOTICE)), &links);
  for (const LinkSpan& link : links) {
    if (link.url != url) continue;
    ENLINK notice = {};
    notice.nmhdr.hwndFrom = WindowControl(window, IDC_WELCOME_TEXT);
    notice.nmhdr.idFrom = IDC_WELCOME_TEXT;
    notice.nmhdr.code = EN_LINK;
    notice.msg = WM_LBUTTONUP;
    notice.chrg = {static_cast<LONG>(link.start), static_cast<LONG>(link.end)};
    SendMessageW(window.handle(), WM_NOTIFY, IDC_WELCOME_TEXT, reinterpret_cast<LPARAM>(&notice));
  }
}

void SelectItem(const InstallerWindow& window, int id, int index) {
  SendMessageW(WindowControl(window, id), CB_SETCURSEL, static_cast<WPARAM>(index), 0);
  Command(window, id, CBN_SELCHANGE);
}

void TypeFolder(const InstallerWindow& window, const std::wstring& text) {
  SetWindowTextW(WindowControl(window, IDC_FOLDER_LIST), text.c_str());
  Command(window, IDC_FOLDER_LIST, CBN_EDITCHANGE);
}

void ActivateWindow(const InstallerWindow& window, TaskLoop* loop) {
  loop->SetDialogDispatcher(&Win32DialogDispatcher::Get());
  SetForegroundWindow(window.handle());
  SetActiveWindow(window.handle());
  loop->RunUntilIdle();
}

void PressKey(TaskLoop* loop, WORD key) {
  HWND focus = GetFocus();
  PostMessageW(focus, WM_KEYDOWN, key, 1);
  PostMessageW(focus, WM_KEYUP, key, 0xC0000001);
  loop->RunUntilIdle();
}

void PressAccessKey(TaskLoop* loop, wchar_t key) {
  constexpr LPARAM kAltDown = 1 << 29;
  PostMessageW(GetFocus(), WM_SYSCHAR, key, kAltDown | 1);
  loop->RunUntilIdle();
}

MessageBoxAnswer::MessageBoxAnswer(int button) {
  DWORD thread = GetCurrentThreadId();
  watcher_ = std::thread([this, thread, button] {
    HWND box = nullptr;
    if (!WaitUntil(
            [&] {
              EnumThreadWindows(thread, FindBox, reinterpret_cast<LPARAM>(&box));
              return box != nullptr;
            },
            std::chrono::seconds(10)))
      return;
    // The box renames its buttons as it activates.
    WaitUntil(
        [&] {
          GUITHREADINFO info{sizeof(info)};
          return GetGUIThreadInfo(thread, &info) && info.hwndActive == box;
        },
        std::chrono::seconds(2));
    text_ = WindowText(GetDlgItem(box, 0xFFFF));
    for (int id : {IDOK, IDCANCEL, IDYES, IDNO}) {
      if (HWND item = GetDlgItem(box, id)) buttons_[id] = WindowText(item);
    }
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), 0);
  });
}

MessageBoxAnswer::~MessageBoxAnswer() {
  if (watcher_.joinable()) watcher_.join();
}

std::wstring MessageBoxAnswer::Seen() {
  if (watcher_.joinable()) watcher_.join();
  return text_;
}

std::wstring MessageBoxAnswer::ButtonText(int button) {
  Seen();
  return buttons_[button];
}

}  // namespace norva::installer::test
