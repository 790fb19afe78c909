#ifndef NORVA_TESTS_UI_UI_TEST_SUPPORT_H_
#define NORVA_TESTS_UI_UI_TEST_SUPPORT_H_

#include <windows.h>

#include <cstdint>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "installer/settings.h"
#include "ui/installer_window.h"

namespace norva::installer {
class TaskLoop;
}

// Drives the installer window through the messages a user's actions send.
namespace norva::installer::test {

// Runs `loop` until the settings' next folder status has arrived.
void WaitForStatus(Settings* settings, TaskLoop* loop);

HWND WindowControl(const InstallerWindow& window, int id);
// The control's rectangle in its parent's client area.
RECT RectIn(const InstallerWindow& window, int id);

// What Windows sends a window that moves from a screen of `from` DPI to one
// of `to`: WM_DPICHANGED with the window's rectangle scaled as the suggested
// place. Returns that place.
RECT ChangeDpi(HWND window, int from, int to);

// A click: check boxes toggle, then the parent hears BN_CLICKED.
void ClickControl(const InstallerWindow& window, int id);
// A click on the welcome text's link to `url`.
void ClickLink(const InstallerWindow& window, const std::wstring& url);
// Chooses item `index` of a list as the user would.
void SelectItem(const InstallerWindow& window, int id, int index);
// Replaces the folder list's text as typing does.
void TypeFolder(const InstallerWindow& window, const std::wstring& text);

// Repaints `window` and runs `loop` until no message is left for this
// thread, painting included.
void Settle(TaskLoop* loop, HWND window);

// What the screen shows of a window: 0x00RRGGBB per pixel, row by row.
struct Screenshot {
  int width = 0;
  int height = 0;
  std::vector<uint32_t> pixels;
  COLORREF At(int x, int y) const;
};
// The whole window, or only its client area.
Screenshot CaptureWindow(HWND window, bool client_only = false);

// What a screen reader hears of a control through the accessibility
// interfaces.
struct Heard {
  HWND window = nullptr;
  std::wstring name;
  std::wstring value;
  long role = 0;
  long state = 0;
};
// The control's own object, asked as a screen reader asks it.
Heard Hear(HWND control);
// Walks `window` as a screen reader does: the children of its object, and
// for each child window its own object; panes are walked into, hidden
// controls left out.
std::vector<Heard> Listen(HWND window);

// Makes the window the active one and lets its activation through.
void ActivateWindow(const InstallerWindow& window, TaskLoop* loop);
// A key press on the focused control, through the message loop.
void PressKey(TaskLoop* loop, WORD key);
// Alt and the key of the character `key`, as the focused control hears them
// through the message loop: WM_SYSCHAR.
void PressAccessKey(TaskLoop* loop, wchar_t key);

// Waits (on its own thread, up to 10 s) for a message box of the calling
// thread, records its text and button labels, and closes it with `button`.
class MessageBoxAnswer {
 public:
  explicit MessageBoxAnswer(int button);
  ~MessageBoxAnswer();
  MessageBoxAnswer(const MessageBoxAnswer&) = delete;
  MessageBoxAnswer& operator=(const MessageBoxAnswer&) = delete;

  // Waits for the box; its text, empty when none came.
  std::wstring Seen();
  std::wstring ButtonText(int button);

 private:
  std::thread watcher_;
  std::wstring text_;
  std::map<int, std::wstring> buttons_;
};

}  // namespace norva::installer::test

#endif  // NORVA_TESTS_UI_UI_TEST_SUPPORT_H_
