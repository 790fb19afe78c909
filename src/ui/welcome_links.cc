#include "ui/welcome_links.h"

#include <commctrl.h>
#include <windowsx.h>

#include <algorithm>
#include <utility>

#include "ui/rich_text.h"

namespace norva::installer {
namespace {

size_t Place(LONG cp) { return static_cast<size_t>(std::max<LONG>(cp, 0)); }

}  // namespace

void WelcomeLinks::Attach(HWND text, Open open) {
  text_ = text;
  open_ = std::move(open);
  SendMessageW(text_, EM_SETEVENTMASK, 0, ENM_LINK);
  SetWindowLongPtrW(text_, GWL_STYLE, GetWindowLongPtrW(text_, GWL_STYLE) | WS_TABSTOP);
  SetWindowSubclass(text_, TextProc, 0, reinterpret_cast<DWORD_PTR>(this));
}

void WelcomeLinks::SetText(const std::wstring& marked, COLORREF link_color, bool underlined) {
  underlined_ = underlined;
  spans_ = SetLinkedText(text_, marked, link_color, underlined);
  links_.clear();
  for (const LinkSpan& span : spans_)
    links_.push_back({static_cast<LONG>(span.start), static_cast<LONG>(span.end)});
  if (marked_ >= 0) {  // the new text's link at the same place takes the mark
    const int kept = marked_;
    marked_ = -1;
    Mark(kept);
  }
}

bool WelcomeLinks::OnLinkNotify(const ENLINK& link) {
  // Mouse moves and presses are notified too. A rich edit that answers Enter
  // on a link itself notifies it with the key's message.
  const bool enter = (link.msg == WM_KEYDOWN || link.msg == WM_CHAR) && link.wParam == VK_RETURN;
  if (link.msg != WM_LBUTTONUP && !enter) return false;
  // The places are the ones this code gave the links: the text is never
  // read back, as a rich edit may hold more there than it shows.
  const LinkSpan* span = FindLink(spans_, Place(link.chrg.cpMin), Place(link.chrg.cpMax));
  if (!span) return false;
  OpenLink(*span);
  return true;
}

void WelcomeLinks::OpenLink(const LinkSpan& link) {
  if (open_) open_(link.url);
}

void WelcomeLinks::Mark(int index) {
  if (marked_ >= 0 && marked_ < static_cast<int>(links_.size()))
    RestoreRichTextFormat(text_, links_[marked_], marked_format_);
  marked_ = index >= 0 && index < static_cast<int>(links_.size()) ? index : -1;
  if (marked_ >= 0) marked_format_ = MarkRichTextRange(text_, links_[marked_]);
}

LRESULT WelcomeLinks::OnKey(UINT message, WPARAM wparam, LPARAM lparam) {
  const int count = static_cast<int>(links_.size());
  const bool back = GetKeyState(VK_SHIFT) < 0;
  const int next = marked_ + (back ? -1 : 1);
  switch (message) {
    case WM_GETDLGCODE: {
      const auto* key = reinterpret_cast<const MSG*>(lparam);
      if (key && key->message == WM_KEYDOWN && marked_ >= 0 &&
          ((key->wParam == VK_TAB && next >= 0 && next < count) || key->wParam == VK_RETURN ||
           key->wParam == VK_SPACE)) {
        return DLGC_WANTMESSAGE;
      }
      return DLGC_WANTARROWS;  // no text to type, and Tab leaves after the last link
    }
    case WM_SETFOCUS:
      Mark(count == 0 ? -1 : back ? count - 1 : 0);
      break;
    case WM_KILLFOCUS:
      Mark(-1);
      break;
    case WM_KEYDOWN:
      if (wparam == VK_TAB) {
        Mark(next);
        return 0;
      }
      if ((wparam == VK_RETURN || wparam == VK_SPACE) && marked_ >= 0) {
        OpenLink(spans_[marked_]);
        return 0;
      }
      break;
    case WM_CHAR:
      if (wparam == L'\t' || wparam == L'\r' || wparam == L' ') return 0;
      break;
  }
  return DefSubclassProc(text_, message, wparam, lparam);
}

LRESULT CALLBACK WelcomeLinks::TextProc(HWND text, UINT message, WPARAM wparam, LPARAM lparam,
                                        UINT_PTR, DWORD_PTR data) {
  auto* links = reinterpret_cast<WelcomeLinks*>(data);
  if (message == WM_GETDLGCODE || message == WM_SETFOCUS || message == WM_KILLFOCUS ||
      message == WM_KEYDOWN || message == WM_CHAR) {
    return links->OnKey(message, wparam, lparam);
  }
  // Links drawn as underlined text are no rich-edit links: a click on one is
  // found here.
  if (message == WM_LBUTTONUP && links->underlined_) {
    POINTL point = {GET_X_LPARAM(lparam), GET_Y_LPARAM(lparam)};
    auto at =
        static_cast<LONG>(SendMessageW(text, EM_CHARFROMPOS, 0, reinterpret_cast<LPARAM>(&point)));
    if (const LinkSpan* span = FindLink(links->spans_, Place(at), Place(at) + 1))
      links->OpenLink(*span);
  }
  return DefSubclassProc(text, message, wparam, lparam);
}

}  // namespace norva::installer
