#include "ui/welcome_links.h"

#include <gtest/gtest.h>

#include "ui/rich_text.h"

namespace norva::installer {
namespace {

// Whatever a rich edit holds around a link's words and whichever characters
// its notice names (Windows: a field's hidden instruction before the words,
// and the whole field; Wine: the words), a click's release or Enter opens
// that link's target, and a mouse move nothing.
TEST(WelcomeLinksTest, NoticeOpensTheTargetOfItsLink) {
  ASSERT_TRUE(LoadLibraryW(L"Msftedit.dll"));
  HWND text = CreateWindowExW(0, MSFTEDIT_CLASS, L"", ES_MULTILINE, 0, 0, 500, 100, nullptr,
                              nullptr, nullptr, nullptr);
  std::vector<std::wstring> opened;
  WelcomeLinks links;
  links.Attach(text, [&opened](const std::wstring& target) { opened.push_back(target); });
  const std::pair<std::wstring, std::wstring> kLinks[] = {
      {L"tos", L"Terms"}, {L"privacy", L"Privacy"}, {L"https://x.example/p", L"Help"}};
  std::wstring plain = L"See", fields = L"See";
  for (const auto& [target, words] : kLinks) {
    plain += L" $1" + target + L"$2" + words + L"$3";
    fields += L" HYPERLINK \"" + target + L"\"$1" + target + L"$2" + words + L"$3";
  }
  const struct {
    std::wstring marked;
    bool whole_field;
  } kLayouts[] = {{plain, false}, {fields, false}, {fields, true}};
  const std::pair<UINT, WPARAM> kNotices[] = {
      {WM_LBUTTONUP, 0}, {WM_KEYDOWN, VK_RETURN}, {WM_CHAR, VK_RETURN}, {WM_MOUSEMOVE, 0}};
  for (const auto& layout : kLayouts) {
    SCOPED_TRACE(testing::Message() << "layout " << &layout - kLayouts);
    links.SetText(layout.marked, RGB(104, 104, 104), false);
    const std::wstring held = WindowText(text);
    for (const auto& [target, words] : kLinks) {
      const auto start = static_cast<LONG>(held.find(words));
      const size_t instruction = held.rfind(L"HYPERLINK", start);
      CHARRANGE field = {instruction == held.npos ? start : static_cast<LONG>(instruction), start};
      CHARFORMAT2W hidden = {sizeof(hidden), CFM_HIDDEN, CFE_HIDDEN};
      SendMessageW(text, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&field));
      SendMessageW(text, EM_SETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&hidden));
      for (auto [message, key] : kNotices) {
        SCOPED_TRACE(testing::Message() << "link " << start << ", message " << message);
        opened.clear();
        ENLINK notice = {{text, 0, EN_LINK}, message, key, 0,
                         {layout.whole_field ? field.cpMin : start,
                          start + static_cast<LONG>(words.size())}};
        EXPECT_EQ(links.OnLinkNotify(notice), message != WM_MOUSEMOVE);
        EXPECT_EQ(opened, message != WM_MOUSEMOVE ? std::vector{target}
                                                  : std::vector<std::wstring>{});
      }
    }
  }
  DestroyWindow(text);
}

}  // namespace
}  // namespace norva::installer
