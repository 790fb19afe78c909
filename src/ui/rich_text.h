#ifndef NORVA_UI_RICH_TEXT_H_
#define NORVA_UI_RICH_TEXT_H_

#include <windows.h>
#include <richedit.h>
#include <shtypes.h>

#include <string>
#include <vector>

#include "ui/linked_text.h"

// Small helpers over the rich edit and shell calls the window makes.
namespace norva::installer {

// Colours characters [start, end) of a rich edit; end -1 means to the end.
void SetRichTextColor(HWND control, int start, int end, COLORREF color);

// Makes every paragraph of a rich edit read right to left, or left to right.
void SetRichTextDirection(HWND control, bool right_to_left);

// Sets text with link markers (MarkLinks) into a rich edit as hyperlinks: the
// first link takes `link_color`, then the content goes out as RTF and comes
// back with the markers turned into hyperlink fields. A rich edit that drops
// the fields (Wine's) gets the labels as text marked as links instead; their
// places and addresses are then returned, as a click on one reports only
// its label.
std::vector<LinkSpan> SetLinkedText(HWND control, const std::wstring& marked_text,
                                    COLORREF link_color);

// Sets marked text as plain text whose links are underlined in `link_color`:
// a rich edit draws its own links in a colour of its choosing, which a
// high-contrast theme must not get. Returns where the links are; the caller
// answers the clicks on them.
std::vector<LinkSpan> SetUnderlinedLinks(HWND control, const std::wstring& marked_text,
                                         COLORREF link_color);

// Where a rich edit's text is marked as links (CFE_LINK), in order.
std::vector<CHARRANGE> LinkRanges(HWND control);

// Marks a range of a rich edit as the keyboard's place, in the system's
// highlight colours; returns the range's format before, for
// RestoreRichTextFormat to put back.
CHARFORMAT2W MarkRichTextRange(HWND control, CHARRANGE range);
void RestoreRichTextFormat(HWND control, CHARRANGE range, CHARFORMAT2W format);

// The text of a range of a rich edit.
std::wstring RichTextRange(HWND control, CHARRANGE range);

// The shell's parsing name of a folder, else its file-system path.
std::wstring ParsingNameOf(PCIDLIST_ABSOLUTE folder);

// The text of a window or control.
std::wstring WindowText(HWND window);

// The vertical DPI of the screen `window` is on.
int ScreenDpi(HWND window);

}  // namespace norva::installer

#endif  // NORVA_UI_RICH_TEXT_H_
