#include "ui/message_box.h"

#include "product/languages.h"
#include "product/resource_ids.h"

namespace norva::installer {
namespace {

// Renames the buttons of the message box this thread is about to show; they
// draw the access keys of the texts.
HHOOK g_message_box_hook = nullptr;

LRESULT CALLBACK MessageBoxHook(int code, WPARAM wparam, LPARAM lparam) {
  if (code == HCBT_ACTIVATE) {
    HWND box = reinterpret_cast<HWND>(wparam);
    const struct {
      int button;
      int string_id;
    } kButtons[] = {{IDYES, IDS_YES}, {IDNO, IDS_NO}, {IDOK, IDS_OK}, {IDCANCEL, IDS_CANCEL}};
    for (const auto& button : kButtons) {
      if (GetDlgItem(box, button.button))
        SetDlgItemTextW(box, button.button, l10n::GetLocalizedString(button.string_id).c_str());
    }
  }
  return CallNextHookEx(g_message_box_hook, code, wparam, lparam);
}

}  // namespace

int ShowInstallerMessageBox(HWND owner, const std::wstring& text, UINT type) {
  g_message_box_hook = SetWindowsHookExW(WH_CBT, MessageBoxHook, nullptr, GetCurrentThreadId());
  int answer =
      MessageBoxW(owner, text.c_str(), l10n::GetLocalizedString(IDS_WINDOW_TITLE).c_str(), type);
  if (g_message_box_hook) UnhookWindowsHookEx(g_message_box_hook);
  g_message_box_hook = nullptr;
  return answer;
}

}  // namespace norva::installer
