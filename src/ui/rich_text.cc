#include "ui/rich_text.h"

#include <shlobj.h>
#include <shlwapi.h>

#include <algorithm>
#include <cstring>
#include <iterator>

#include "ui/linked_text.h"

namespace norva::installer {
namespace {

DWORD CALLBACK AppendOut(DWORD_PTR cookie, LPBYTE buffer, LONG size, LONG* written) {
  reinterpret_cast<std::string*>(cookie)->append(reinterpret_cast<const char*>(buffer),
                                                 static_cast<size_t>(size));
  *written = size;
  return 0;
}

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

void StreamIn(HWND control, const std::string& rtf) {
  Reader reader = {&rtf, 0};
  EDITSTREAM stream = {reinterpret_cast<DWORD_PTR>(&reader), 0, ReadIn};
  SendMessageW(control, EM_STREAMIN, SF_RTF, reinterpret_cast<LPARAM>(&stream));
}


std::wstring FirstLine(HWND control) {
  wchar_t line[256] = {};
  *reinterpret_cast<WORD*>(line) = static_cast<WORD>(std::size(line) - 1);
  LRESULT length = SendMessageW(control, EM_GETLINE, 0, reinterpret_cast<LPARAM>(line));
  return std::wstring(line, static_cast<size_t>(length));
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

std::vector<LinkSpan> SetLinkedText(HWND control, const std::wstring& marked_text,
                                    COLORREF link_color) {
  SetWindowTextW(control, marked_text.c_str());
  size_t link_start = marked_text.find(L"$1");
  size_t link_end = marked_text.find(L"$3");
  if (link_start == std::wstring::npos || link_end == std::wstring::npos) return {};
  SetRichTextColor(control, static_cast<int>(link_start), static_cast<int>(link_end + 2),
                   link_color);
  std::string rtf;
  EDITSTREAM stream = {reinterpret_cast<DWORD_PTR>(&rtf), 0, AppendOut};
  SendMessageW(control, EM_STREAMOUT, SF_RTF, reinterpret_cast<LPARAM>(&stream));
  StreamIn(control, ReplaceLinkMarkers(rtf, false));
  // A rich edit that does not understand the fields shows them as text.
  if (FirstLine(control).find(L"HYPERLINK ") != std::wstring::npos)
    StreamIn(control, ReplaceLinkMarkers(rtf, true));
  std::vector<LinkSpan> links;
  std::wstring plain = StripLinkMarkers(marked_text, &links);
  if (links.empty() || WindowText(control).find(plain.substr(links.front().start, links.front().end -
                                                                        links.front().start)) !=
      std::wstring::npos) {
    return {};
  }
  SetWindowTextW(control, plain.c_str());
  for (size_t i = 0; i < links.size(); ++i) {
    CHARFORMAT2W format = {};
    format.cbSize = sizeof(format);
    format.dwMask = CFM_LINK | (i == 0 ? CFM_COLOR : 0);
    format.dwEffects = CFE_LINK;
    format.crTextColor = link_color;
    CHARRANGE range = {static_cast<LONG>(links[i].start), static_cast<LONG>(links[i].end)};
    SendMessageW(control, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&range));
    SendMessageW(control, EM_SETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&format));
  }
  CHARRANGE none = {0, 0};
  SendMessageW(control, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&none));
  return links;
}

std::vector<LinkSpan> SetUnderlinedLinks(HWND control, const std::wstring& marked_text,
                                         COLORREF link_color) {
  std::vector<LinkSpan> links;
  std::wstring plain = StripLinkMarkers(marked_text, &links);
  SetWindowTextW(control, plain.c_str());
  for (const LinkSpan& link : links) {
    CHARFORMAT2W format = {};
    format.cbSize = sizeof(format);
    format.dwMask = CFM_COLOR | CFM_UNDERLINE;
    format.dwEffects = CFE_UNDERLINE;
    format.crTextColor = link_color;
    CHARRANGE range = {static_cast<LONG>(link.start), static_cast<LONG>(link.end)};
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

std::wstring RichTextRange(HWND control, CHARRANGE range) {
  if (range.cpMax <= range.cpMin) return {};
  std::wstring text(static_cast<size_t>(range.cpMax - range.cpMin) + 1, L'\0');
  TEXTRANGEW request = {range, text.data()};
  LRESULT length = SendMessageW(control, EM_GETTEXTRANGE, 0, reinterpret_cast<LPARAM>(&request));
  text.resize(static_cast<size_t>(length));
  return text;
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
