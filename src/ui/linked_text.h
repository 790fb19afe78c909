#ifndef NORVA_UI_LINKED_TEXT_H_
#define NORVA_UI_LINKED_TEXT_H_

#include <string>
#include <string_view>
#include <vector>

namespace norva::installer {

// Rewrites each `<a href="URL">LABEL</a>` of `text` as "$1URL$2LABEL$3", the
// markers that ReplaceLinkMarkers later turns into RTF hyperlink fields. A
// link that is not complete is left as it stands, with the rest of the text.
std::wstring MarkLinks(std::wstring_view text);

// A link of plain text: characters [start, end) lead to `url`.
struct LinkSpan {
  size_t start;
  size_t end;
  std::wstring url;
};

// The text of marked text as shown, without markers or addresses, and where
// its links are.
std::wstring StripLinkMarkers(std::wstring_view marked_text, std::vector<LinkSpan>* links);

// Replaces the markers in RTF text by the parts of a hyperlink field.
std::string ReplaceLinkMarkers(std::string_view rtf, bool line_break_first);

}  // namespace norva::installer

#endif  // NORVA_UI_LINKED_TEXT_H_
