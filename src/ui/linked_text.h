#ifndef NORVA_UI_LINKED_TEXT_H_
#define NORVA_UI_LINKED_TEXT_H_

#include <string>
#include <string_view>
#include <vector>

namespace norva::installer {

// Rewrites each `<a href="URL">LABEL</a>` of `text` as "$1URL$2LABEL$3". A
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

// The link that a rich edit's notice about characters [start, end) means:
// the one holding `start`, else the first one the range overlaps (a rich
// edit that keeps a hyperlink's address as hidden text before its words
// reports the whole of it). Null when there is none.
const LinkSpan* FindLink(const std::vector<LinkSpan>& links, size_t start, size_t end);

}  // namespace norva::installer

#endif  // NORVA_UI_LINKED_TEXT_H_
