#include "ui/linked_text.h"

#include <gtest/gtest.h>

namespace norva::installer {
namespace {

TEST(LinkedTextTest, MarksAndStripsLinks) {
  struct Case {
    const wchar_t* text;
    const wchar_t* marked;
    const wchar_t* shown;
    std::vector<std::wstring> urls;
  };
  const Case kCases[] = {
      {L"Accept the <a href=\"tos\">Terms</a> and the <a href=\"https://x.example/p?a=1&b\">"
       L"Privacy</a>.",
       L"Accept the $1tos$2Terms$3 and the $1https://x.example/p?a=1&b$2Privacy$3.",
       L"Accept the Terms and the Privacy.", {L"tos", L"https://x.example/p?a=1&b"}},
      {L"No link at all", L"No link at all", L"No link at all", {}},
      // "<a" without its blank, or without href, is not a link.
      {L"<a>x</a> <ahref=\"u\">y</a>", L"<a>x</a> <ahref=\"u\">y</a>", L"<a>x</a> <ahref=\"u\">y</a>", {}},
      // An unfinished link and what follows stay as written.
      {L"<a href=\"tos\">Terms</a> then <a href=\"u\">cut", L"$1tos$2Terms$3 then <a href=\"u\">cut",
       L"Terms then <a href=\"u\">cut", {L"tos"}},
      {L"\u0627\u0642\u0628\u0644 <a href=\"tos\">\u0627\u0644\u0634\u0631\u0648\u0637</a>",
       L"\u0627\u0642\u0628\u0644 $1tos$2\u0627\u0644\u0634\u0631\u0648\u0637$3",
       L"\u0627\u0642\u0628\u0644 \u0627\u0644\u0634\u0631\u0648\u0637", {L"tos"}},
  };
  for (const Case& c : kCases) {
    std::wstring marked = MarkLinks(c.text);
    EXPECT_EQ(marked, c.marked);
    std::vector<LinkSpan> links;
    std::wstring shown = StripLinkMarkers(marked, &links);
    EXPECT_EQ(shown, c.shown);
    ASSERT_EQ(links.size(), c.urls.size()) << shown;
    for (size_t i = 0; i < links.size(); ++i) {
      EXPECT_EQ(links[i].url, c.urls[i]);
      EXPECT_LT(links[i].start, links[i].end);
      EXPECT_LE(links[i].end, shown.size());
    }
  }
}

}  // namespace
}  // namespace norva::installer
