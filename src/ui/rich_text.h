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

// Lays out the text of a rich edit for `dc` in its formatting rectangle, as
// the control lays it out, and, if `draw`, draws it there without the
// control's background. Returns how many characters it laid out: 0 for a
// rich edit that cannot draw on another device context.
LONG RenderRichText(HWND control, HDC dc, bool draw);

// Streams the text of `marked_text` (link markers, MarkLinks) into a rich edit
// as plain text and formats its links by their places, so that the control
// holds the same characters on every system: each rich edit stores an RTF
// hyperlink field its own way. The links are underlined, and marked as links
// (CFE_LINK, the control reports EN_LINK) with the first one in
// `link_color`; or, when `underlined_only`, left plain text all in
// `link_color`, as a rich edit draws its links in a colour of its choosing,
// which a high-contrast theme must not get, and the caller finds their
// clicks. Returns where the links are and where they lead.
std::vector<LinkSpan> SetLinkedText(HWND control, const std::wstring& marked_text,
                                    COLORREF link_color, bool underlined_only);

// Where a rich edit's text is marked as links (CFE_LINK), in order.
std::vector<CHARRANGE> LinkRanges(HWND control);

// Marks a range of a rich edit as the keyboard's place, in the system's
// highlight colours; returns the range's format before, for
// RestoreRichTextFormat to put back.
CHARFORMAT2W MarkRichTextRange(HWND control, CHARRANGE range);
void RestoreRichTextFormat(HWND control, CHARRANGE range, CHARFORMAT2W format);

// The shell's parsing name of a folder, else its file-system path.
std::wstring ParsingNameOf(PCIDLIST_ABSOLUTE folder);

// The text of a window or control.
std::wstring WindowText(HWND window);

// The vertical DPI of the screen `window` is on.
int ScreenDpi(HWND window);

}  // namespace norva::installer

#endif  // NORVA_UI_RICH_TEXT_H_
