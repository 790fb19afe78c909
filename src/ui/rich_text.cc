#include "ui/rich_text.h"

#include <shlobj.h>
#include <shlwapi.h>

#include <algorithm>
#include <cstring>

#include "ui/linked_text.h"

namespace norva::installer {
namespace {

struct Reader {
  const std::string* text;
  size_t offset;
};

DWORD CALLBACK ReadIn(DWORD_PTR cookie, LPBYTE buffer, LONG size, LONG* read) {
  auto* reader = reinterpret_cast<Reader*>(cookie);
  size_t count = std::min(static_cast<size_t>(size), reader->text->size() - reader->offset);
  memcpy(buffer, reader->text->data() + reader->offset, count);
  reader->offset += count;
  *read = static_cast<LONG>(count);
  return 0;
}

// Plain text: nothing in it is read as RTF.
void StreamInText(HWND control, const std::wstring& text) {
  const std::string bytes(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
  Reader reader = {&bytes, 0};
  EDITSTREAM stream = {reinterpret_cast<DWORD_PTR>(&reader), 0, ReadIn};
  SendMessageW(control, EM_STREAMIN, SF_TEXT | SF_UNICODE, reinterpret_cast<LPARAM>(&stream));
}

}  // namespace

void SetRichTextColor(HWND control, int start, int end, COLORREF color) {
  CHARFORMAT2W format = {};
  format.cbSize = sizeof(format);
  format.dwMask = CFM_COLOR;
  format.crTextColor = color;
  CHARRANGE range = {start, end};
  SendMessageW(control, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&range));
  SendMessageW(control, EM_SETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&format));
  CHARRANGE none = {0, 0};
  SendMessageW(control, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&none));
}

void SetRichTextDirection(HWND control, bool right_to_left) {
  PARAFORMAT2 format = {};
  format.cbSize = sizeof(format);
  format.dwMask = PFM_RTLPARA;
  format.wEffects = right_to_left ? PFE_RTLPARA : 0;
  CHARRANGE all = {0, -1};
  SendMessageW(control, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&all));
  SendMessageW(control, EM_SETPARAFORMAT, 0, reinterpret_cast<LPARAM>(&format));
  CHARRANGE none = {0, 0};
  SendMessageW(control, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&none));
}

LONG RenderRichText(HWND control, HDC dc, bool draw) {
  RECT area;
  SendMessageW(control, EM_GETRECT, 0, reinterpret_cast<LPARAM>(&area));
  const int x_dpi = GetDeviceCaps(dc, LOGPIXELSX);
  const int y_dpi = GetDeviceCaps(dc, LOGPIXELSY);
  auto twips = [&](const RECT& rect) {
    return RECT{MulDiv(rect.left, 1440, x_dpi), MulDiv(rect.top, 1440, y_dpi),
                MulDiv(rect.right, 1440, x_dpi), MulDiv(rect.bottom, 1440, y_dpi)};
  };
  RECT client;
  GetClientRect(control, &client);
  FORMATRANGE range = {dc, dc, twips(area), twips(client), {0, -1}};
  auto laid_out = static_cast<LONG>(
      SendMessageW(control, EM_FORMATRANGE, draw, reinterpret_cast<LPARAM>(&range)));
  SendMessageW(control, EM_FORMATRANGE, FALSE, 0);  // frees what it kept for `dc`
  return laid_out;
}

std::vector<LinkSpan> SetLinkedText(HWND control, const std::wstring& marked_text,
                                    COLORREF link_color, bool underlined_only) {
  std::vector<LinkSpan> links;
  StreamInText(control, StripLinkMarkers(marked_text, &links));
  for (size_t i = 0; i < links.size(); ++i) {
    CHARFORMAT2W format = {};
    format.cbSize = sizeof(format);
    format.dwMask = CFM_UNDERLINE | CFM_LINK | (underlined_only || i == 0 ? CFM_COLOR : 0);
    format.dwEffects = CFE_UNDERLINE | (underlined_only ? 0 : CFE_LINK);
    format.crTextColor = link_color;
    CHARRANGE range = {static_cast<LONG>(links[i].start), static_cast<LONG>(links[i].end)};
    SendMessageW(control, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&range));
    SendMessageW(control, EM_SETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&format));
  }
  CHARRANGE none = {0, 0};
  SendMessageW(control, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&none));
  return links;
}

std::vector<CHARRANGE> LinkRanges(HWND control) {
  std::vector<CHARRANGE> ranges;
  const auto length = static_cast<LONG>(GetWindowTextLengthW(control));
  for (LONG at = 0; at < length; ++at) {
    CHARRANGE one = {at, at + 1};
    SendMessageW(control, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&one));
    CHARFORMAT2W format = {};
    format.cbSize = sizeof(format);
    SendMessageW(control, EM_GETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&format));
    if (!(format.dwEffects & CFE_LINK)) continue;
    if (!ranges.empty() && ranges.back().cpMax == at)
      ranges.back().cpMax = at + 1;
    else
      ranges.push_back(one);
  }
  CHARRANGE none = {0, 0};
  SendMessageW(control, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&none));
  return ranges;
}

CHARFORMAT2W MarkRichTextRange(HWND control, CHARRANGE range) {
  CHARFORMAT2W before = {};
  before.cbSize = sizeof(before);
  SendMessageW(control, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&range));
  SendMessageW(control, EM_GETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&before));
  CHARFORMAT2W marked = {};
  marked.cbSize = sizeof(marked);
  marked.dwMask = CFM_BACKCOLOR | CFM_COLOR;
  marked.crBackColor = GetSysColor(COLOR_HIGHLIGHT);
  marked.crTextColor = GetSysColor(COLOR_HIGHLIGHTTEXT);
  SendMessageW(control, EM_SETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&marked));
  CHARRANGE none = {0, 0};
  SendMessageW(control, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&none));
  return before;
}

void RestoreRichTextFormat(HWND control, CHARRANGE range, CHARFORMAT2W format) {
  format.dwMask |= CFM_BACKCOLOR;
  if (!(format.dwEffects & CFE_AUTOBACKCOLOR) && format.crBackColor == GetSysColor(COLOR_HIGHLIGHT))
    format.dwEffects |= CFE_AUTOBACKCOLOR;
  SendMessageW(control, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&range));
  SendMessageW(control, EM_SETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&format));
  CHARRANGE none = {0, 0};
  SendMessageW(control, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&none));
}

std::wstring ParsingNameOf(PCIDLIST_ABSOLUTE folder) {
  std::wstring result;
  IShellFolder* desktop = nullptr;
  if (SUCCEEDED(SHGetDesktopFolder(&desktop))) {
    STRRET name = {};
    wchar_t* text = nullptr;
    if (SUCCEEDED(desktop->GetDisplayNameOf(folder, SHGDN_FORPARSING, &name)) &&
        SUCCEEDED(StrRetToStrW(&name, folder, &text))) {
      result = text;
      CoTaskMemFree(text);
    }
    desktop->Release();
  }
  if (!result.empty()) return result;
  wchar_t path[MAX_PATH] = {};
  return SHGetPathFromIDListW(folder, path) ? path : L"";
}

std::wstring WindowText(HWND window) {
  std::wstring text(static_cast<size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
  text.resize(static_cast<size_t>(GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
  return text;
}

int ScreenDpi(HWND window) {
  HDC dc = GetDC(window);
  int dpi = dc ? GetDeviceCaps(dc, LOGPIXELSY) : 96;
  if (dc) ReleaseDC(window, dc);
  return dpi > 0 ? dpi : 96;
}

}  // namespace norva::installer
