#ifndef NORVA_UI_WELCOME_LINKS_H_
#define NORVA_UI_WELCOME_LINKS_H_

#include <windows.h>
#include <richedit.h>

#include <functional>
#include <string>
#include <vector>

#include "ui/linked_text.h"

namespace norva::installer {

// The links of the welcome text, for the mouse and the keyboard. A click on
// one, or Enter or Space on the one the keyboard marks, opens it. The text
// is a stop of the Tab order: its focus marks the first link (the last, by
// Shift+Tab) in the system's highlight colours, Tab and Shift+Tab go from
// link to link and, past the last, on to the next control.
class WelcomeLinks {
 public:
  // Hears the link opened: its address, or "tos".
  using Open = std::function<void(const std::wstring& target)>;

  // Takes over the clicks and keys of the rich edit `text`.
  void Attach(HWND text, Open open);
  // Sets `marked` (a text with link markers) as the text, its links as
  // rich-edit links or, when `underlined`, as underlined plain text
  // (SetLinkedText). A link the keyboard marks keeps the mark.
  void SetText(const std::wstring& marked, COLORREF link_color, bool underlined);
  // The rich edit's EN_LINK: a click's release, or Enter, opens the link at
  // the notice's characters. False when the notice opens nothing.
  bool OnLinkNotify(const ENLINK& link);

 private:
  static LRESULT CALLBACK TextProc(HWND text, UINT message, WPARAM wparam, LPARAM lparam, UINT_PTR,
                                   DWORD_PTR data);
  LRESULT OnKey(UINT message, WPARAM wparam, LPARAM lparam);
  // Marks link `index`, none when out of range.
  void Mark(int index);
  void OpenLink(const LinkSpan& link);

  HWND text_ = nullptr;
  Open open_;
  bool underlined_ = false;
  std::vector<LinkSpan> spans_;      // every link and its target, in order
  std::vector<CHARRANGE> links_;     // the same places, as the rich edit takes them
  int marked_ = -1;                  // the one the keyboard is on
  CHARFORMAT2W marked_format_ = {};  // its format before it was marked
};

}  // namespace norva::installer

#endif  // NORVA_UI_WELCOME_LINKS_H_
