#include "ui/linked_text.h"

namespace norva::installer {
namespace {

constexpr std::wstring_view kLinkStart = L"<a ";
constexpr std::wstring_view kHref = L"href=\"";
constexpr std::wstring_view kLinkEnd = L"</a>";

}  // namespace

std::wstring MarkLinks(std::wstring_view text) {
  std::wstring result;
  size_t done = 0;
  for (size_t start = text.find(kLinkStart); start != std::wstring_view::npos;
       start = text.find(kLinkStart, done)) {
    size_t href = start + kLinkStart.size();
    if (text.compare(href, kHref.size(), kHref) != 0) break;
    size_t url_start = href + kHref.size();
    size_t url_end = text.find(L'"', url_start);
    size_t label_start = url_end == std::wstring_view::npos ? url_end : text.find(L'>', url_end);
    size_t label_end =
        label_start == std::wstring_view::npos ? label_start : text.find(kLinkEnd, label_start);
    if (label_end == std::wstring_view::npos) break;
    ++label_start;
    result.append(text, done, start - done);
    result.append(L"$1").append(text, url_start, url_end - url_start);
    result.append(L"$2").append(text, label_start, label_end - label_start);
    result.append(L"$3");
    done = label_end + kLinkEnd.size();
  }
  result.append(text, done);
  return result;
}

std::wstring StripLinkMarkers(std::wstring_view marked_text, std::vector<LinkSpan>* links) {
  std::wstring plain;
  size_t done = 0;
  for (size_t start = marked_text.find(L"$1"); start != std::wstring_view::npos;
       start = marked_text.find(L"$1", done)) {
    size_t label = marked_text.find(L"$2", start);
    size_t end = label == std::wstring_view::npos ? label : marked_text.find(L"$3", label);
    if (end == std::wstring_view::npos) break;
    plain.append(marked_text, done, start - done);
    LinkSpan link{plain.size(), 0, std::wstring(marked_text.substr(start + 2, label - start - 2))};
    plain.append(marked_text, label + 2, end - label - 2);
    link.end = plain.size();
    links->push_back(std::move(link));
    done = end + 2;
  }
  plain.append(marked_text, done);
  return plain;
}

const LinkSpan* FindLink(const std::vector<LinkSpan>& links, size_t start, size_t end) {
  for (const LinkSpan& link : links) {
    if (start >= link.start && start < link.end) return &link;
  }
  for (const LinkSpan& link : links) {
    if (start < link.end && link.start < end) return &link;
  }
  return nullptr;
}

}  // namespace norva::installer
