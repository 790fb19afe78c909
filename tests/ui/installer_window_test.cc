#include "ui/installer_window.h"

#include <windows.h>
#include <commctrl.h>
#include <objbase.h>
#include <oleacc.h>
#include <richedit.h>
#include <windowsx.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "base/command_line.h"
#include "base/file_util.h"
#include "base/strings.h"
#include "base/task_loop.h"
#include "installer/support/status_fixtures.h"
#include "product/installer_features.h"
#include "product/languages.h"
#include "product/resource_ids.h"
#include "stats/stats_collector.h"
#include "support/scratch.h"
#include "system/windows_version.h"
#include "ui/rich_text.h"
#include "ui/ui_test_support.h"
#include "ui/win32_dialog_dispatcher.h"
#include "ui/window_layout.h"
#include "ui/window_painter.h"

namespace norva::installer {
namespace {

using l10n::GetLocalizedString;
using test::ScratchFolder;

// "High Contrast Black" as Windows ships it, for the elements the window and
// its controls draw with: each element takes the colour in its place.
const int kThemedElements[] = {COLOR_WINDOW,        COLOR_WINDOWTEXT, COLOR_BTNFACE,
                               COLOR_BTNTEXT,       COLOR_HOTLIGHT,   COLOR_HIGHLIGHT,
                               COLOR_HIGHLIGHTTEXT, COLOR_GRAYTEXT};
const COLORREF kHighContrastBlack[] = {RGB(0, 0, 0),       RGB(255, 255, 255), RGB(0, 0, 0),
                                       RGB(255, 255, 255), RGB(255, 255, 0),   RGB(26, 235, 255),
                                       RGB(0, 0, 0),       RGB(63, 242, 63)};

// Gives the session a high-contrast theme's colours and turns the mode on
// (through the seam: Wine cannot switch it), and puts both back as it goes.
class HighContrastTheme {
 public:
  HighContrastTheme() {
    for (int element : kThemedElements) saved_.push_back(GetSysColor(element));
  }
  ~HighContrastTheme() {
    SetSysColors(std::size(kThemedElements), kThemedElements, saved_.data());
    SetHighContrastForTesting(std::nullopt);
  }
  void TurnOn() {
    SetSysColors(std::size(kThemedElements), kThemedElements, kHighContrastBlack);
    SetHighContrastForTesting(true);
  }

 private:
  std::vector<COLORREF> saved_;
};

std::vector<COLORREF> SystemColors() {
  std::vector<COLORREF> colors;
  for (int element = COLOR_SCROLLBAR; element <= COLOR_MENUBAR; ++element)
    colors.push_back(GetSysColor(element));
  return colors;
}

// Whether `color` is one of `system` or lies between two of them, as the
// edge pixels of smoothed text do.
bool IsSystemColorOrBlend(COLORREF color, const std::vector<COLORREF>& system) {
  auto channels = [](COLORREF c) {
    return std::vector<double>{double(GetRValue(c)), double(GetGValue(c)), double(GetBValue(c))};
  };
  std::vector<double> c = channels(color);
  for (COLORREF a_color : system) {
    for (COLORREF b_color : system) {
      std::vector<double> a = channels(a_color), b = channels(b_color);
      double along = 0, length = 0;
      for (int i = 0; i < 3; ++i)
        along += (c[i] - a[i]) * (b[i] - a[i]), length += (b[i] - a[i]) * (b[i] - a[i]);
      double t = length > 0 ? std::clamp(along / length, 0.0, 1.0) : 0;
      auto on_line = [&](int i) { return std::abs(a[i] + t * (b[i] - a[i]) - c[i]) <= 3; };
      if (on_line(0) && on_line(1) && on_line(2)) return true;
    }
  }
  return false;
}

// The colours of `shot`, the client area of `window`, outside `skip` that are
// no system colour. Smoothed text blends its colour into the background only
// where a stroke's edge crosses a pixel, and hinting keeps horizontal edges on
// whole pixels: a row of kSolidRun like pixels is a line or a fill, and must
// be a system colour itself (under a black-and-white theme every grey is a
// blend). Scroll bars are the system's own drawing, in its theme's greys where
// visual styles stay on.
std::string ForeignColors(const test::Screenshot& shot, HWND window, const RECT& skip) {
  constexpr int kSolidRun = 6;
  const std::vector<COLORREF> system = SystemColors();
  std::vector<RECT> bars;
  EnumChildWindows(
      window,
      [](HWND child, LPARAM list) {
        for (LONG id : {OBJID_VSCROLL, OBJID_HSCROLL}) {
          SCROLLBARINFO bar = {sizeof(bar)};
          if (IsWindowVisible(child) && GetScrollBarInfo(child, id, &bar) &&
              !(bar.rgstate[0] & STATE_SYSTEM_INVISIBLE))
            reinterpret_cast<std::vector<RECT>*>(list)->push_back(bar.rcScrollBar);
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&bars));
  for (RECT& bar : bars) MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&bar), 2);
  std::map<COLORREF, bool> verdicts;
  std::set<COLORREF> foreign;
  for (int y = 0; y < shot.height; ++y) {
    for (int x = 0, end = 0; x < shot.width; x = end) {
      COLORREF color = shot.At(x, y);
      end = x + 1;
      if (PtInRect(&skip, {x, y})) continue;
      while (end < shot.width && shot.At(end, y) == color && !PtInRect(&skip, {end, y})) ++end;
      bool on_bar = std::ranges::any_of(bars, [&](auto& bar) { return PtInRect(&bar, {x, y}); });
      if (end - x >= kSolidRun && !on_bar) {
        if (std::find(system.begin(), system.end(), color) == system.end()) foreign.insert(color);
        continue;
      }
      auto [verdict, added] = verdicts.try_emplace(color, false);
      if (added) verdict->second = IsSystemColorOrBlend(color, system);
      if (!verdict->second) foreign.insert(color);
    }
  }
  std::string text;
  for (COLORREF color : foreign) {
    if (text.size() > 200) return text + "...";
    text += StringPrintf("#%02x%02x%02x ", GetRValue(color), GetGValue(color), GetBValue(color));
  }
  return text;
}

// How many pixels of `shot` within `rect` `counts(x, y)` holds for.
template <typename Predicate>
int CountPixels(const test::Screenshot& shot, const RECT& rect, Predicate counts) {
  int count = 0;
  for (int y = std::max(0, int(rect.top)); y < std::min(shot.height, int(rect.bottom)); ++y)
    for (int x = std::max(0, int(rect.left)); x < std::min(shot.width, int(rect.right)); ++x)
      count += counts(x, y) ? 1 : 0;
  return count;
}

// Relative luminance as the web's contrast guidelines define it.
double Luminance(COLORREF color) {
  auto linear = [](int channel) {
    double c = channel / 255.0;
    return c <= 0.03928 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
  };
  return 0.2126 * linear(GetRValue(color)) + 0.7152 * linear(GetGValue(color)) +
         0.0722 * linear(GetBValue(color));
}

// The contrast of the text of the control at `rect` (in the shot): its most
// common colour is taken for the background and the most common other system
// colour for the text. 0 when it shows no text.
double TextContrast(const test::Screenshot& shot, const RECT& rect) {
  const std::vector<COLORREF> system = SystemColors();
  std::map<COLORREF, int> counts;
  CountPixels(shot, rect, [&](int x, int y) { return ++counts[shot.At(x, y)]; });
  if (counts.empty()) return 0;
  auto by_count = [](const auto& a, const auto& b) { return a.second < b.second; };
  COLORREF background = std::max_element(counts.begin(), counts.end(), by_count)->first;
  counts.erase(background);
  std::erase_if(counts, [&](const auto& entry) {
    return std::find(system.begin(), system.end(), entry.first) == system.end();
  });
  if (counts.empty()) return 0;
  COLORREF text = std::max_element(counts.begin(), counts.end(), by_count)->first;
  double lighter = std::max(Luminance(text), Luminance(background));
  double darker = std::min(Luminance(text), Luminance(background));
  return (lighter + 0.05) / (darker + 0.05);
}

class Recorder : public InstallerWindowObserver {
 public:
  void OnProceed() override { ++proceeds; }
  void OnCancel() override { ++cancels; }
  void OnFullPackage() override { ++full_packages; }
  void OnOpenWebPage(const std::wstring& address) override { web_pages.push_back(address); }
  std::vector<std::wstring> web_pages;
  int proceeds = 0;
  int cancels = 0;
  int full_packages = 0;
};

LOGFONTW FontOf(HWND control) {
  LOGFONTW font{};
  GetObjectW(reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0)), sizeof(font), &font);
  return font;
}

// Stands in for a rich edit's drawing on another device context: a square of
// a colour of its own where its lines start.
struct SquareForRichText {
  static constexpr int kSide = 8;
  static constexpr COLORREF kColor = RGB(255, 0, 255);
  SquareForRichText() {
    SetRichTextRendererForTesting([](HWND, HDC dc, bool draw) -> LONG {
      RECT square = {0, 0, kSide, kSide};
      HBRUSH brush = CreateSolidBrush(kColor);
      if (draw) FillRect(dc, &square, brush);
      DeleteObject(brush);
      return 1;
    });
  }
  ~SquareForRichText() { SetRichTextRendererForTesting(nullptr); }
};

class InstallerWindowTest : public testing::Test {
 protected:
  void SetUp() override {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    SetWindowsVersionRankForTesting(kWindows10);
    SetUiStats(true);
  }
  void TearDown() override {
    window_.reset();
    settings_.reset();
    l10n::SetCurrentUiLanguage(0);
    SetWindowsVersionRankForTesting(-1);
    FeatureRegistry::Get().RegisterDefaults();
    CoUninitialize();
  }

  void SetUiStats(bool on) {
    FeatureRegistry::Get().RegisterDefaults();
    FeatureRegistry::Get().AddOverridesFromCommandLine(CommandLine::FromString(
        std::wstring(L"installer.exe --with-feature:installer-ui-stats=") + (on ? L"on" : L"off")));
  }

  // A window over settings for a new installation into `folder` (or an
  // uninstallation of it).
  void Open(const std::filesystem::path& folder, bool uninstall = false,
            bool progress_only = false) {
    window_.reset();  // it observes the settings it was made over
    settings_ = std::make_unique<Settings>(
        SettingsOptions{.uninstall = uninstall,
                        .install_folder = folder,
                        .installation_folder = uninstall ? folder : std::filesystem::path()},
        CommandLine::FromString(L"installer.exe"));
    test::WaitForStatus(settings_.get(), &loop_);
    window_ = InstallerWindow::Create(*settings_, stats_.root(), progress_only);
    ASSERT_TRUE(window_);
    window_->AddObserver(&recorder_);
    loop_.RunUntilIdle();
  }

  HWND Control(int id) const { return test::WindowControl(*window_, id); }
  // The client area as the screen shows it once every message is handled.
  test::Screenshot Shot() {
    test::Settle(&loop_, window_->handle());
    return test::CaptureWindow(window_->handle(), true);
  }
  // Where `control` lies in the window's client area, as a shot of it holds it.
  RECT InShot(HWND control) const {
    RECT rect;
    GetWindowRect(control, &rect);
    MapWindowPoints(nullptr, window_->handle(), reinterpret_cast<POINT*>(&rect), 2);
    return rect;
  }
  // Whether the folder list's edit field leaves the drop-down button room on
  // its left rather than its right.
  bool FolderListButtonOnTheLeft() const {
    HWND list = Control(IDC_FOLDER_LIST);
    RECT outer, edit;
    GetWindowRect(list, &outer);
    GetWindowRect(FindWindowExW(list, nullptr, L"Edit", nullptr), &edit);
    return edit.left - outer.left > outer.right - edit.right;
  }
  bool Visible(int id) const { return IsWindowVisible(Control(id)) != FALSE; }
  // Shows `page`; the error page with `error`, and with `full_package` offered.
  void Show(InstallerPage page, const std::wstring& error = L"failed", bool full_package = true) {
    if (page == kPageError)
      window_->ShowError(error, full_package, "");
    else
      window_->ShowPage(page);
  }
  // A click, through the rich edit itself, on the words of the welcome text's
  // terms link.
  void ClickTermsWords() {
    std::vector<LinkSpan> links;
    StripLinkMarkers(MarkLinks(GetLocalizedString(IDS_TERMS_NOTICE)), &links);
    auto terms = std::ranges::find(links, L"tos", &LinkSpan::url);
    ASSERT_NE(terms, links.end());
    const HWND text = Control(IDC_WELCOME_TEXT);
    POINTL at = {};
    SendMessageW(text, EM_POSFROMCHAR, reinterpret_cast<WPARAM>(&at), terms->start + 1);
    SendMessageW(text, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(at.x + 1, at.y + 2));
    SendMessageW(text, WM_LBUTTONUP, 0, MAKELPARAM(at.x + 1, at.y + 2));
  }
  void Click(int id) { test::ClickControl(*window_, id); }
  std::wstring Text(int id) const { return WindowText(Control(id)); }

  nlohmann::json Stats() {
    nlohmann::json copy;
    stats_.WithRoot([&copy](nlohmann::json& root) { copy = root; });
    return copy;
  }

  ScratchFolder scratch_;
  TaskLoop loop_{TaskLoop::Type::kUI};
  StatsCollector stats_{false};
  std::unique_ptr<Settings> settings_;
  std::unique_ptr<InstallerWindow> window_;
  Recorder recorder_;
};

// The controls each page shows; every other control of the table is hidden.
TEST_F(InstallerWindowTest, EachPageShowsItsControls) {
  Open(scratch_.path() / L"Norva (test) & more");
  // The icon's images are PNG-compressed: each size must still load.
  for (WPARAM size : {ICON_SMALL, ICON_BIG}) {
    ICONINFO icon = {};
    HICON handle = reinterpret_cast<HICON>(SendMessageW(window_->handle(), WM_GETICON, size, 0));
    ASSERT_TRUE(handle && GetIconInfo(handle, &icon)) << size;
    BITMAP color = {};
    EXPECT_TRUE(GetObjectW(icon.hbmColor, sizeof(color), &color) && color.bmWidth > 0);
    DeleteObject(icon.hbmColor);
    DeleteObject(icon.hbmMask);
  }
  struct Case {
    InstallerPage page;
    std::vector<int> shown;
  };
  const Case kCases[] = {
      {kPageWelcome,
       {IDC_LOGO, IDC_HEADING, IDC_WELCOME_TEXT, IDC_OPTIONS_BUTTON, IDC_ACCEPT_BUTTON}},
      {kPageTerms, {IDC_TERMS_TEXT, IDC_BACK_BUTTON, IDC_ACCEPT_BUTTON}},
      {kPageOptions,
       {IDC_BACK_BUTTON, IDC_ACCEPT_BUTTON, IDC_LANGUAGE_LIST, IDC_MODE_LIST, IDC_FOLDER_LIST}},
      {kPageProgress, {IDC_LOGO, IDC_PROGRESS_HEADING, IDC_STATUS_TEXT, IDC_PROGRESS_BAR}},
      {kPageError,
       {IDC_LOGO, IDC_ERROR_HEADING, IDC_STATUS_TEXT, IDC_RETRY_BUTTON, IDC_FULL_PACKAGE_BUTTON,
        IDC_BACK_BUTTON}},
  };
  const int kAll[] = {IDC_LOGO, IDC_OPTIONS_BUTTON, IDC_CANCEL_BUTTON, IDC_ACCEPT_BUTTON,
                      IDC_FULL_PACKAGE_BUTTON, IDC_RETRY_BUTTON, IDC_UNINSTALL_BUTTON, IDC_HEADING,
                      IDC_WELCOME_TEXT, IDC_PROGRESS_HEADING, IDC_ERROR_HEADING, IDC_STATUS_TEXT,
                      IDC_TERMS_TEXT, IDC_BACK_BUTTON, IDC_LANGUAGE_LIST, IDC_UNINSTALL_QUESTION,
                      IDC_DELETE_PROFILE_CHECK, IDC_UNINSTALL_ERROR_HEADING};
  for (const Case& c : kCases) {
    window_->ShowPage(c.page);
    for (int id : kAll) {
      bool expected = std::find(c.shown.begin(), c.shown.end(), id) != c.shown.end();
      EXPECT_EQ(Visible(id), expected) << "page " << c.page << " control " << id;
    }
  }
  EXPECT_TRUE(Text(IDC_TERMS_TEXT).find(L"\r\n") != std::wstring::npos);
}

// The controls a first page does not show are made after the window's first
// paint. Whichever page comes first, the window ends up with the controls of
// its template, in its order (the keyboard's), with the same classes, styles
// and fonts as a dialog made whole from the template.
TEST_F(InstallerWindowTest, ControlsMadeLaterMatchTheTemplate) {
  struct Shape {
    int id;
    std::wstring class_name;
    LONG_PTR style, ex_style;
    LOGFONTW font;
  };
  auto shapes = [](HWND dialog) {
    std::vector<Shape> found;
    for (HWND child = GetWindow(dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
      wchar_t name[64] = {};
      GetClassNameW(child, name, 64);
      if (std::wstring(name) == L"#32770") continue;  // the options panel
      Shape shape{GetDlgCtrlID(child), name,
                  GetWindowLongPtrW(child, GWL_STYLE) & ~(WS_VISIBLE | WS_DISABLED | WS_TABSTOP),
                  GetWindowLongPtrW(child, GWL_EXSTYLE), FontOf(child)};
      // Which button is the default is the page's choice, checked below.
      if (shape.class_name == L"Button" && (shape.style & BS_TYPEMASK) == BS_DEFPUSHBUTTON)
        shape.style = (shape.style & ~BS_TYPEMASK) | BS_PUSHBUTTON;
      found.push_back(shape);
    }
    return found;
  };
  for (auto [uninstall, progress_only] :
       {std::pair{false, false}, std::pair{true, false}, std::pair{false, true}}) {
    SCOPED_TRACE(testing::Message()
                 << "uninstall " << uninstall << " progress only " << progress_only);
    Open(scratch_.path() / L"later", uninstall, progress_only);
    HWND whole = CreateDialogParamW(
        GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_INSTALLER_WINDOW), nullptr,
        [](HWND, UINT, WPARAM, LPARAM) -> INT_PTR { return FALSE; }, 0);
    ASSERT_TRUE(whole);
    std::vector<Shape> expected = shapes(whole), made = shapes(window_->handle());
    DestroyWindow(whole);
    ASSERT_EQ(made.size(), expected.size());
    // The painter gives these fonts of their own.
    const std::set<int> own_fonts = {IDC_HEADING, IDC_UNINSTALL_QUESTION, IDC_PROGRESS_HEADING,
                                     IDC_ERROR_HEADING, IDC_UNINSTALL_ERROR_HEADING};
    for (size_t i = 0; i < made.size(); ++i) {
      EXPECT_EQ(made[i].id, expected[i].id) << i;
      EXPECT_EQ(made[i].class_name, expected[i].class_name) << made[i].id;
      EXPECT_EQ(made[i].ex_style, expected[i].ex_style) << made[i].id;
      EXPECT_EQ(made[i].style, expected[i].style) << made[i].id;
      if (!own_fonts.contains(made[i].id)) {
        EXPECT_EQ(std::wstring(made[i].font.lfFaceName), expected[i].font.lfFaceName) << made[i].id;
        EXPECT_EQ(made[i].font.lfHeight, expected[i].font.lfHeight) << made[i].id;
      }
    }
    // One default button at most: the page's.
    WORD default_id = LOWORD(SendMessageW(window_->handle(), DM_GETDEFID, 0, 0));
    for (const Shape& shape : expected) {
      if (shape.class_name == L"Button" &&
          (GetWindowLongPtrW(Control(shape.id), GWL_STYLE) & BS_TYPEMASK) == BS_DEFPUSHBUTTON) {
        EXPECT_EQ(shape.id, default_id);
      }
    }
    // What the window does to every control reached the later ones too.
    EXPECT_FALSE(Text(IDC_RETRY_BUTTON).empty());
    EXPECT_FALSE(Text(IDC_UNINSTALL_QUESTION).empty());
    EXPECT_GE(FontOf(Control(IDC_UNINSTALL_QUESTION)).lfWeight, FW_BOLD);
  }
}

// Under a high-contrast theme, switched on while the window is open or
// before it opens, every page shows the system's colours only (the logo
// apart), the links in the system's link colour, and every text stands out
// from its background by 4.5:1 at least.
TEST_F(InstallerWindowTest, HighContrastDrawsWithTheSystemColoursOnly) {
  HighContrastTheme theme;
  SetHighContrastForTesting(false);
  Open(scratch_.path() / L"Norva");
  test::ActivateWindow(*window_, &loop_);
  window_->ShowPage(kPageWelcome);
  const RECT logo = test::RectIn(*window_, IDC_LOGO);
  test::Screenshot usual = Shot();
  ASSERT_NE(ForeignColors(usual, window_->handle(), logo), "")
      << "the usual theme paints its own background";

  // Links take the system's link colour.
  auto links_in_link_color = [this](const test::Screenshot& shot) {
    return CountPixels(shot, test::RectIn(*window_, IDC_WELCOME_TEXT), [&](int x, int y) {
      return shot.At(x, y) == GetSysColor(COLOR_HOTLIGHT);
    });
  };
  theme.TurnOn();
  SendMessageW(window_->handle(), WM_SETTINGCHANGE, SPI_SETHIGHCONTRAST, 0);
  SendMessageW(window_->handle(), WM_SYSCOLORCHANGE, 0, 0);
  for (InstallerPage page : {kPageWelcome, kPageTerms, kPageOptions, kPageProgress, kPageError}) {
    SCOPED_TRACE(page);
    Show(page, GetLocalizedString(IDS_DOWNLOAD_FAILED));
    test::Screenshot shot = Shot();
    EXPECT_EQ(ForeignColors(shot, window_->handle(), logo), "");
    if (page == kPageWelcome) {
      EXPECT_TRUE(links_in_link_color(shot));
    }
    std::vector<HWND> controls;
    EnumChildWindows(
        window_->handle(),
        [](HWND child, LPARAM list) {
          reinterpret_cast<std::vector<HWND>*>(list)->push_back(child);
          return TRUE;
        },
        reinterpret_cast<LPARAM>(&controls));
    for (HWND control : controls) {
      if (!IsWindowVisible(control) || GetWindowTextLengthW(control) == 0 ||
          GetDlgCtrlID(control) == IDC_PROGRESS_BAR)
        continue;
      EXPECT_GE(TextContrast(shot, InShot(control)), 4.5) << "control " << GetDlgCtrlID(control);
    }
  }

  Open(scratch_.path() / L"Norva");
  test::ActivateWindow(*window_, &loop_);
  test::Screenshot opened = Shot();
  EXPECT_EQ(ForeignColors(opened, window_->handle(), logo), "") << "opened in high contrast";
  EXPECT_TRUE(links_in_link_color(opened));

  // Its links are drawn as underlined text, and a click on one still opens it.
  ClickTermsWords();
  EXPECT_EQ(window_->current_page(), kPageTerms);
}

// Focus events the window raises, as a screen reader hooks them.
std::vector<HWND>* g_focus_events = nullptr;

void CALLBACK RecordFocusEvent(HWINEVENTHOOK, DWORD, HWND window, LONG object, LONG, DWORD, DWORD) {
  if (g_focus_events && object == OBJID_CLIENT) g_focus_events->push_back(window);
}

// The name a screen reader hears for the control labelled by string `id`:
// no access key, and no colon after a list's label.
std::wstring Spoken(int id) {
  std::wstring label = l10n::WithoutAccessKey(GetLocalizedString(id));
  while (!label.empty() &&
         (label.back() == L':' || label.back() == L'\uff1a' || label.back() == L' '))
    label.pop_back();
  return label;
}

// A screen reader walking the window hears every control a user can reach by
// its role, its name in the window's language, its state and its value, in
// English, German, Arabic and Chinese: the lists' chosen items, the progress
// bar's percentage, the error page's text as a name, hidden controls as
// invisible, and a focus event for the control each page puts the focus on.
TEST_F(InstallerWindowTest, ScreenReadersHearEveryPage) {
  Open(scratch_.path() / L"reader");
  test::ActivateWindow(*window_, &loop_);
  std::vector<HWND> focus_events;
  g_focus_events = &focus_events;
  HWINEVENTHOOK hook =
      SetWinEventHook(EVENT_OBJECT_FOCUS, EVENT_OBJECT_FOCUS, nullptr, RecordFocusEvent,
                      GetCurrentProcessId(), 0, WINEVENT_OUTOFCONTEXT);
  ASSERT_TRUE(hook);
  struct Expected {
    int control;
    long role;
    std::wstring name;  // empty: the control's text
    long state;         // its bits of kAsked
    std::optional<std::wstring> value = {};  // unset: not asked
  };
  const long kAsked = STATE_SYSTEM_FOCUSABLE | STATE_SYSTEM_FOCUSED | STATE_SYSTEM_DEFAULT |
                      STATE_SYSTEM_READONLY | STATE_SYSTEM_UNAVAILABLE | STATE_SYSTEM_INVISIBLE;
  const std::vector<std::wstring> languages = l10n::AvailableLanguages();
  for (const wchar_t* language : {L"en", L"de", L"ar", L"zh-CN"}) {
    auto index = std::find(languages.begin(), languages.end(), language) - languages.begin();
    ASSERT_LT(index, static_cast<long>(languages.size())) << language;
    window_->ShowPage(kPageOptions);
    test::SelectItem(*window_, IDC_LANGUAGE_LIST, static_cast<int>(index));
    Click(IDC_STATS_CHECK);  // heard checked in one language, unchecked in the next
    const long kReachable = STATE_SYSTEM_FOCUSABLE;
    const long kFocusedDefault = kReachable | STATE_SYSTEM_FOCUSED | STATE_SYSTEM_DEFAULT;
    const std::wstring failure = L"Could not reach the server (" + std::wstring(language) + L")";
    struct Page {
      InstallerPage page;
      int focused;
      std::vector<Expected> controls;
    };
    const Page pages[] = {
        {kPageWelcome, IDC_ACCEPT_BUTTON,
         {{IDC_LOGO, ROLE_SYSTEM_GRAPHIC, L"Norva", 0},
          {IDC_HEADING, ROLE_SYSTEM_STATICTEXT, L"", STATE_SYSTEM_READONLY},
          {IDC_WELCOME_TEXT, ROLE_SYSTEM_TEXT, L"", kReachable | STATE_SYSTEM_READONLY},
          {IDC_OPTIONS_BUTTON, ROLE_SYSTEM_PUSHBUTTON, Spoken(IDS_OPTIONS), kReachable},
          {IDC_ACCEPT_BUTTON, ROLE_SYSTEM_PUSHBUTTON, Spoken(IDS_ACCEPT_AND_INSTALL),
           kFocusedDefault, L""}}},
        {kPageOptions, IDC_ACCEPT_BUTTON,
         {{IDC_LANGUAGE_LIST, ROLE_SYSTEM_COMBOBOX, Spoken(IDS_LANGUAGE_LABEL), kReachable,
           l10n::GetLocalizedStringForLanguage(IDS_LANGUAGE_NAME, language)},
          {IDC_MODE_LIST, ROLE_SYSTEM_COMBOBOX, Spoken(IDS_MODE_LABEL), kReachable},
          {IDC_FOLDER_LIST, ROLE_SYSTEM_COMBOBOX, Spoken(IDS_FOLDER_LABEL), kReachable,
           (scratch_.path() / L"reader").wstring()},
          {IDC_STATS_CHECK, ROLE_SYSTEM_CHECKBUTTON, Spoken(IDS_SEND_STATISTICS), kReachable},
          {IDC_BACK_BUTTON, ROLE_SYSTEM_PUSHBUTTON, Spoken(IDS_BACK), kReachable}}},
        {kPageProgress, IDC_PROGRESS_BAR,
         {{IDC_PROGRESS_BAR, ROLE_SYSTEM_PROGRESSBAR, L"",
           STATE_SYSTEM_FOCUSED | STATE_SYSTEM_READONLY, L"39%"}}},
        {kPageError, IDC_RETRY_BUTTON,
         {{IDC_STATUS_TEXT, ROLE_SYSTEM_STATICTEXT, failure, 0, L""},
          {IDC_RETRY_BUTTON, ROLE_SYSTEM_PUSHBUTTON, Spoken(IDS_RETRY), kFocusedDefault}}},
    };
    for (const Page& page : pages) {
      SCOPED_TRACE(testing::Message() << WideToUtf8(language) << " page " << page.page);
      focus_events.clear();
      Show(page.page, failure, false);
      if (page.page == kPageProgress) {
        SendMessageW(Control(IDC_PROGRESS_BAR), PBM_SETRANGE32, 0, 1303);
        SendMessageW(Control(IDC_PROGRESS_BAR), PBM_SETPOS, 521, 0);
      }
      loop_.RunUntilIdle();
      ASSERT_FALSE(focus_events.empty());
      EXPECT_EQ(focus_events.back(), Control(page.focused));
      std::vector<test::Heard> heard = test::Listen(window_->handle());
      for (const test::Heard& control : heard) {
        if (!(control.state & STATE_SYSTEM_FOCUSABLE)) continue;
        EXPECT_FALSE(control.name.empty()) << GetDlgCtrlID(control.window);
        EXPECT_NE(control.role, ROLE_SYSTEM_CLIENT) << GetDlgCtrlID(control.window);
      }
      for (const Expected& expected : page.controls) {
        auto it = std::ranges::find(heard, Control(expected.control), &test::Heard::window);
        ASSERT_NE(it, heard.end()) << "control " << expected.control << " not heard";
        EXPECT_EQ(it->role, expected.role) << expected.control;
        EXPECT_EQ(it->name, expected.name.empty() ? Text(expected.control) : expected.name)
            << expected.control;
        EXPECT_EQ(it->state & kAsked, expected.state) << expected.control;
        if (expected.value) {
          EXPECT_EQ(it->value, *expected.value) << expected.control;
        }
        if (expected.control == IDC_STATS_CHECK) {
          bool checked = Button_GetCheck(Control(IDC_STATS_CHECK)) == BST_CHECKED;
          EXPECT_EQ((it->state & STATE_SYSTEM_CHECKED) != 0, checked);
        }
      }
      // The other pages' controls are hidden, and heard so.
      for (const Page& other : pages) {
        for (const Expected& expected : other.controls) {
          if (IsWindowVisible(Control(expected.control))) continue;
          EXPECT_EQ(test::Hear(Control(expected.control)).state &
                        (STATE_SYSTEM_INVISIBLE | STATE_SYSTEM_FOCUSABLE),
                    STATE_SYSTEM_INVISIBLE)
              << expected.control;
        }
      }
    }
  }
  UnhookWinEvent(hook);
  g_focus_events = nullptr;
}

// The rich edits over the gradient show it through: no band of their own
// fill at their edges, in either direction. Where their text is drawn over
// the background (not on Wine, whose rich edit cannot draw elsewhere: a
// stand-in draws a square where the control starts its lines), every other
// pixel is the window's background itself and the square is at the
// control's start, left or right. Under a high-contrast theme they paint
// themselves.
TEST_F(InstallerWindowTest, TextsShowTheBackgroundThrough) {
  auto differ = [](COLORREF a, COLORREF b) {
    return std::abs(GetRValue(a) - GetRValue(b)) > 1 || std::abs(GetGValue(a) - GetGValue(b)) > 1 ||
           std::abs(GetBValue(a) - GetBValue(b)) > 1;
  };
  auto open_in = [this](const wchar_t* language) {
    Open(scratch_.path() / L"band");
    settings_->SetLanguage(language);
    test::Settle(&loop_, window_->handle());
  };
  for (const wchar_t* language : {L"en", L"ar"}) {
    SCOPED_TRACE(testing::Message() << WideToUtf8(language));
    open_in(language);
    test::Screenshot shot = Shot();
    for (int id : {IDC_HEADING, IDC_WELCOME_TEXT}) {
      RECT rect = test::RectIn(*window_, id);
      int banded_rows = 0;
      for (int y = rect.top; y < rect.bottom; ++y)
        banded_rows += differ(shot.At(rect.left, y), shot.At(rect.left - 1, y)) ||
                       differ(shot.At(rect.right - 1, y), shot.At(rect.right, y));
      EXPECT_EQ(banded_rows, 0) << "control " << id;
    }
    SquareForRichText stand_in;
    open_in(language);
    const bool mirrored = IsRightToLeft(l10n::GetCurrentUiLanguage());
    for (int id : {IDC_HEADING, IDC_WELCOME_TEXT}) ShowWindow(Control(id), SW_HIDE);
    test::Screenshot background = Shot();
    for (int id : {IDC_HEADING, IDC_WELCOME_TEXT}) ShowWindow(Control(id), SW_SHOW);
    shot = Shot();
    for (int id : {IDC_HEADING, IDC_WELCOME_TEXT}) {
      RECT rect = test::RectIn(*window_, id);
      const int side = SquareForRichText::kSide;
      const int square_left = mirrored ? rect.right - side : rect.left;
      int wrong = CountPixels(shot, rect, [&](int x, int y) {
        bool in_square = y < rect.top + side && x >= square_left && x < square_left + side;
        return differ(shot.At(x, y), in_square ? SquareForRichText::kColor : background.At(x, y));
      });
      EXPECT_EQ(wrong, 0) << "control " << id;
    }
  }
  // A high-contrast theme has no gradient: the rich edits paint themselves.
  HighContrastTheme theme;
  theme.TurnOn();
  SquareForRichText stand_in;
  open_in(L"en");
  test::Screenshot shot = Shot();
  auto stand_in_drawn = [&](int x, int y) { return shot.At(x, y) == SquareForRichText::kColor; };
  for (int id : {IDC_HEADING, IDC_WELCOME_TEXT})
    EXPECT_EQ(CountPixels(shot, test::RectIn(*window_, id), stand_in_drawn), 0) << "control " << id;
}

// Where the system's rich edit draws on another device context (not Wine's),
// the texts over the gradient show nothing of their own fill, not even at the
// edges of their letters: a red fill and a green one look the same.
TEST_F(InstallerWindowTest, TextsShowNothingOfTheirFill) {
  Open(scratch_.path() / L"fill");
  test::Settle(&loop_, window_->handle());
  HDC probe = CreateCompatibleDC(nullptr);
  const LONG laid_out = RenderRichText(Control(IDC_HEADING), probe, false);
  DeleteDC(probe);
  if (laid_out == 0) GTEST_SKIP() << "this system's rich edit cannot draw on another device context";
  auto filled = [this](COLORREF fill) {
    for (int id : {IDC_HEADING, IDC_WELCOME_TEXT}) {
      SendMessageW(Control(id), EM_SETBKGNDCOLOR, 0, fill);
      RedrawWindow(Control(id), nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE);
    }
    return Shot();
  };
  test::Screenshot red = filled(RGB(255, 0, 0));
  test::Screenshot green = filled(RGB(0, 255, 0));
  auto differing = [&](int x, int y) { return red.At(x, y) != green.At(x, y); };
  for (int id : {IDC_HEADING, IDC_WELCOME_TEXT})
    EXPECT_EQ(CountPixels(red, test::RectIn(*window_, id), differing), 0) << "control " << id;
}

// Wherever the keyboard goes, the control it reaches looks focused, in the
// usual and in a high-contrast theme: each Tab changes how the newly focused
// control is drawn, and the progress bar its page focuses is drawn otherwise
// without the focus.
TEST_F(InstallerWindowTest, EveryFocusedControlShowsItsFocus) {
  HighContrastTheme theme;
  auto changed_in = [this](const test::Screenshot& a, const test::Screenshot& b, HWND control) {
    return CountPixels(a, InShot(control), [&](int x, int y) { return a.At(x, y) != b.At(x, y); });
  };
  for (bool high_contrast : {false, true}) {
    SCOPED_TRACE(high_contrast ? "high contrast" : "usual theme");
    if (high_contrast) theme.TurnOn();
    Open(scratch_.path() / (high_contrast ? L"focus, contrast" : L"focus"));
    test::ActivateWindow(*window_, &loop_);
    for (InstallerPage page : {kPageWelcome, kPageOptions, kPageError}) {
      Show(page);
      test::Screenshot before = Shot();
      const HWND first = GetFocus();
      for (int tab = 0; tab < 12; ++tab) {
        test::PressKey(&loop_, VK_TAB);
        test::Screenshot after = Shot();
        EXPECT_TRUE(changed_in(before, after, GetFocus()))
            << "page " << page << " control " << GetDlgCtrlID(GetFocus());
        before = std::move(after);
        if (GetFocus() == first) break;
      }
    }
    window_->ShowPage(kPageProgress);
    test::Settle(&loop_, window_->handle());
    HWND bar = Control(IDC_PROGRESS_BAR);
    ASSERT_EQ(GetFocus(), bar);
    test::Screenshot focused = Shot();
    SetFocus(window_->handle());
    EXPECT_TRUE(changed_in(focused, Shot(), bar));
    window_.reset();
  }
}

TEST_F(InstallerWindowTest, UninstallationShowsOnlyItsQuestion) {
  Open(scratch_.path() / L"installed", /*uninstall=*/true);
  EXPECT_EQ(window_->current_page(), kPageUninstall);
  for (int id : {IDC_LOGO, IDC_CANCEL_BUTTON, IDC_UNINSTALL_BUTTON, IDC_UNINSTALL_QUESTION,
                 IDC_DELETE_PROFILE_CHECK})
    EXPECT_TRUE(Visible(id)) << id;
  for (int id :
       {IDC_ACCEPT_BUTTON, IDC_OPTIONS_BUTTON, IDC_HEADING, IDC_WELCOME_TEXT, IDC_STATUS_TEXT})
    EXPECT_FALSE(Visible(id)) << id;
  window_->ShowError(L"It broke", false, "reason");
  EXPECT_TRUE(Visible(IDC_UNINSTALL_ERROR_HEADING));
  for (int id : {IDC_ERROR_HEADING, IDC_BACK_BUTTON, IDC_FULL_PACKAGE_BUTTON})
    EXPECT_FALSE(Visible(id)) << id;
  EXPECT_EQ(Text(IDC_STATUS_TEXT), L"It broke");
  Click(IDC_DELETE_PROFILE_CHECK);
  EXPECT_TRUE(settings_->choices().delete_profile);
  Click(IDC_UNINSTALL_BUTTON);
  EXPECT_EQ(recorder_.proceeds, 1);
}

// The error page marks the logo with its badge, and only the error page; the
// badge stands out of the logo by as much more as the DPI is higher.
TEST_F(InstallerWindowTest, ErrorPageBadgesTheLogo) {
  Open(scratch_.path() / L"badge");
  // Where two shots of the logo control differ.
  auto differing = [](const test::Screenshot& a, const test::Screenshot& b, const RECT& area) {
    RECT box = {area.right, area.bottom, area.left, area.top};
    for (int y = area.top; y < area.bottom; ++y)
      for (int x = area.left; x < area.right; ++x)
        if (a.At(x, y) != b.At(x, y))
          box = {std::min<LONG>(box.left, x), std::min<LONG>(box.top, y),
                 std::max<LONG>(box.right, x + 1), std::max<LONG>(box.bottom, y + 1)};
    return box;
  };
  std::map<int, LONG> overhang;  // how far the badge stands out right of the logo, by DPI
  for (auto [from, dpi] : {std::pair{96, 96}, std::pair{96, 144}}) {
    SCOPED_TRACE(testing::Message() << dpi << " DPI");
    if (dpi != from) test::ChangeDpi(window_->handle(), from, dpi);
    window_->ShowPage(kPageWelcome);
    const RECT area = test::RectIn(*window_, IDC_LOGO);
    ShowWindow(Control(IDC_LOGO), SW_HIDE);
    const test::Screenshot hidden = Shot();
    ShowWindow(Control(IDC_LOGO), SW_SHOW);
    const test::Screenshot plain = Shot();
    window_->ShowError(L"Download failed", true, "");
    const test::Screenshot badged = Shot();
    const RECT logo = differing(plain, hidden, area);
    const RECT badge = differing(badged, plain, area);
    EXPECT_GT(badge.right, badge.left);
    overhang[dpi] = badge.right - logo.right;
    window_->ShowPage(kPageWelcome);
    EXPECT_EQ(differing(Shot(), plain, area).right, area.left) << "the badge stays";
  }
  EXPECT_GT(overhang[96], 0);
  EXPECT_NEAR(overhang[144], MulDiv(overhang[96], 144, 96), 1) << "the badge's place scales";
}

// Every command records its action on the current page's record and acts;
// the same page shown twice records once.
TEST_F(InstallerWindowTest, NavigationIsRecorded) {
  Open(scratch_.path() / L"nav");
  Click(IDC_OPTIONS_BUTTON);
  window_->ShowPage(kPageOptions);
  Click(IDC_BACK_BUTTON);
  test::ClickLink(*window_, L"tos");
  Click(IDC_ACCEPT_BUTTON);
  window_->ShowError(L"Download failed", true, "Fetcher error");
  Click(IDC_RETRY_BUTTON);
  Click(IDC_FULL_PACKAGE_BUTTON);
  EXPECT_EQ(recorder_.proceeds, 2);
  EXPECT_EQ(recorder_.full_packages, 1);
  nlohmann::json pages = Stats()["ui"]["page_sequence"];
  ASSERT_EQ(pages.size(), 5u) << pages.dump();
  const char* kExpected[][2] = {{"WELCOME", "OPTIONS"}, {"OPTIONS", "BACK"},
                                {"WELCOME", "TOS"},     {"TOS", "ACCEPT"},
                                {"ERROR", "FULL_PACKAGE"}};
  for (size_t i = 0; i < pages.size(); ++i) {
    EXPECT_EQ(pages[i]["page_type"], kExpected[i][0]) << i;
    EXPECT_EQ(pages[i]["navigation_action"], kExpected[i][1]) << i;
  }
  EXPECT_EQ(pages[4]["failure_reason"], "Fetcher error");
  EXPECT_TRUE(Visible(IDC_FULL_PACKAGE_BUTTON));
}

TEST_F(InstallerWindowTest, WithoutUiStatsNothingIsRecordedButCommandsAct) {
  SetUiStats(false);
  Open(scratch_.path() / L"quiet");
  Click(IDC_OPTIONS_BUTTON);
  Click(IDC_STATS_CHECK);
  Click(IDC_ACCEPT_BUTTON);
  EXPECT_EQ(window_->current_page(), kPageOptions);
  EXPECT_EQ(recorder_.proceeds, 1);
  EXPECT_TRUE(Stats().is_null() || !Stats().contains("ui")) << Stats().dump();
}

// The options panel edits the settings and counts each change.
TEST_F(InstallerWindowTest, OptionsChangeTheSettings) {
  Open(scratch_.path() / L"options");
  Click(IDC_OPTIONS_BUTTON);
  bool stats_before = settings_->choices().enable_norva_stats;
  Click(IDC_STATS_CHECK);
  EXPECT_NE(settings_->choices().enable_norva_stats, stats_before);
  EXPECT_EQ(settings_->choices().enable_installer_stats, settings_->choices().enable_norva_stats);
  bool import_before = settings_->choices().import_browser_data;
  Click(IDC_IMPORT_CHECK);
  EXPECT_NE(settings_->choices().import_browser_data, import_before);
  test::SelectItem(*window_, IDC_MODE_LIST, kModeStandalone);
  EXPECT_TRUE(settings_->choices().copy_only);
  EXPECT_FALSE(IsWindowEnabled(Control(IDC_DEFAULT_BROWSER_CHECK)));
  test::SelectItem(*window_, IDC_MODE_LIST, kModeCurrentUser);
  EXPECT_FALSE(settings_->choices().copy_only);
  nlohmann::json page = Stats()["ui"]["page_sequence"][1];
  EXPECT_EQ(page["page_type"], "OPTIONS");
  EXPECT_EQ(page["changed_enable_stats"], 1);
  EXPECT_EQ(page["changed_import_data"], 1);
  EXPECT_EQ(page["changed_install_mode"], 2);

  // Not modifiable (an installation runs): the handlers only refresh.
  settings_->SetModifiable(false);
  bool import_now = settings_->choices().import_browser_data;
  Click(IDC_IMPORT_CHECK);
  EXPECT_EQ(settings_->choices().import_browser_data, import_now);
  EXPECT_EQ(Button_GetCheck(Control(IDC_IMPORT_CHECK)) == BST_CHECKED, import_now);
}

// Only before Windows 8 may an installer make itself the default browser,
// and only there is it offered.
TEST_F(InstallerWindowTest, DefaultBrowserChoiceOnlyBeforeWindows8) {
  for (auto [rank, shown] : {std::pair{kWindowsVista, true}, std::pair{kWindows7, true},
                             std::pair{kWindows8, false}, std::pair{kWindows10, false}}) {
    SCOPED_TRACE(rank);
    SetWindowsVersionRankForTesting(rank);
    Open(scratch_.path() / L"default browser");
    Click(IDC_OPTIONS_BUTTON);
    EXPECT_EQ(Visible(IDC_DEFAULT_BROWSER_CHECK), shown);
  }
}

TEST_F(InstallerWindowTest, InvalidFolderDisablesAcceptAndWarns) {
  Open(scratch_.path() / L"valid");
  Click(IDC_OPTIONS_BUTTON);
  // Screen readers hear a disabled button as unavailable, and no stop.
  auto expect_valid = [this](bool valid) {
    for (int id : {IDC_ACCEPT_BUTTON, IDC_BACK_BUTTON}) {
      EXPECT_EQ(IsWindowEnabled(Control(id)) != FALSE, valid) << id;
      EXPECT_EQ(test::Hear(Control(id)).state & (STATE_SYSTEM_UNAVAILABLE | STATE_SYSTEM_FOCUSABLE),
                valid ? STATE_SYSTEM_FOCUSABLE : STATE_SYSTEM_UNAVAILABLE)
          << id;
    }
    EXPECT_EQ(Visible(IDC_INVALID_FOLDER_WARNING), !valid);
  };
  expect_valid(true);
  const std::wstring good = (scratch_.path() / L"caf\u00e9 100%").wstring();
  for (const std::wstring& folder : {std::wstring(L"relative\\folder"), good}) {
    SCOPED_TRACE(WideToUtf8(folder));
    test::TypeFolder(*window_, folder);
    test::WaitForStatus(settings_.get(), &loop_);
    expect_valid(folder == good);
  }
  EXPECT_EQ(Text(IDC_FOLDER_LIST), good);
  EXPECT_EQ(Stats()["ui"]["page_sequence"][1]["edited_install_path"], 2);
}

// Accepting updates whatever the folder holds of an installation, even a
// launcher that lost its status file; only a folder without one installs.
TEST_F(InstallerWindowTest, AcceptSaysUpdateForAnyInstallationInTheFolder) {
  using Folder = const std::filesystem::path&;
  const struct {
    const char* name;
    int text;
    std::function<void(Folder)> make;
  } kCases[] = {
      {"empty folder", IDS_ACCEPT_AND_INSTALL, [](Folder folder) { CreateDirectories(folder); }},
      {"launcher only", IDS_ACCEPT_AND_UPDATE,
       [](Folder folder) {
         CreateDirectories(folder);
         test::WriteFile(folder / L"launcher.exe", "launcher");
       }},
      {"unreadable status file", IDS_ACCEPT_AND_UPDATE,
       [](Folder folder) {
         test::MakeInstallation(folder);
         test::WriteFile(folder / L"installation_status.xml", "<install_log");
       }},
      {"installation", IDS_ACCEPT_AND_UPDATE,
       [](Folder folder) {
         ASSERT_TRUE(test::WriteLogInto(folder, test::MakeInstallation(folder)));
       }},
  };
  int number = 0;
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const std::filesystem::path folder = scratch_.path() / (L"accept" + std::to_wstring(++number));
    c.make(folder);
    Open(folder);
    EXPECT_EQ(Text(IDC_ACCEPT_BUTTON), GetLocalizedString(c.text));
    EXPECT_TRUE(IsWindowEnabled(Control(IDC_ACCEPT_BUTTON)));
  }
}

// The extended style each window `make` makes on this thread is made with.
std::map<HWND, DWORD> ExStylesOfWindowsMadeBy(const std::function<void()>& make) {
  static std::map<HWND, DWORD>* made = nullptr;
  std::map<HWND, DWORD> styles;
  made = &styles;
  auto record = [](int code, WPARAM wparam, LPARAM lparam) -> LRESULT {
    if (code == HCBT_CREATEWND)
      (*made)[reinterpret_cast<HWND>(wparam)] =
          reinterpret_cast<const CBT_CREATEWNDW*>(lparam)->lpcs->dwExStyle;
    return CallNextHookEx(nullptr, code, wparam, lparam);
  };
  HHOOK hook = SetWindowsHookExW(WH_CBT, record, nullptr, GetCurrentThreadId());
  make();
  UnhookWindowsHookEx(hook);
  return styles;
}

bool RightToLeft(HWND window) {
  return (GetWindowLongPtrW(window, GWL_EXSTYLE) & WS_EX_LAYOUTRTL) != 0;
}

// Switching the language reloads every text; a right-to-left language
// mirrors the layout and switching back restores it. A combo box's
// drop-down list reads in its combo's direction.
TEST_F(InstallerWindowTest, LanguageSwitchReloadsTextsAndMirrors) {
  Open(scratch_.path() / L"lang");
  Click(IDC_OPTIONS_BUTTON);
  RECT english_rect = test::RectIn(*window_, IDC_LANGUAGE_LIST);
  RECT english_retry = test::RectIn(*window_, IDC_RETRY_BUTTON);
  std::vector<std::wstring> languages = l10n::AvailableLanguages();
  auto index_of = [&](const wchar_t* code) {
    return static_cast<int>(std::find(languages.begin(), languages.end(), code) - languages.begin());
  };
  test::SelectItem(*window_, IDC_LANGUAGE_LIST, index_of(L"de"));
  EXPECT_EQ(settings_->choices().language, L"de");
  EXPECT_EQ(Text(IDC_BACK_BUTTON), GetLocalizedString(IDS_BACK));
  EXPECT_NE(Text(IDC_BACK_BUTTON), L"Back");
  EXPECT_EQ(WindowText(window_->handle()), GetLocalizedString(IDS_WINDOW_TITLE));
  int right_to_left = index_of(L"ar");
  if (right_to_left == static_cast<int>(languages.size())) GTEST_SKIP() << "no Arabic carried";
  test::SelectItem(*window_, IDC_LANGUAGE_LIST, right_to_left);
  RECT mirrored = test::RectIn(*window_, IDC_LANGUAGE_LIST);
  RECT panel;
  GetClientRect(window_->options_dialog(), &panel);
  EXPECT_EQ(mirrored.left, panel.right - english_rect.right);
  auto expect_layout = [&](bool right_to_left) {
    EXPECT_EQ(test::RectIn(*window_, IDC_LANGUAGE_LIST).left,
              right_to_left ? mirrored.left : english_rect.left);
    EXPECT_EQ(FolderListButtonOnTheLeft(), right_to_left);
    for (int id : {IDC_LANGUAGE_LIST, IDC_MODE_LIST, IDC_FOLDER_LIST}) {
      COMBOBOXINFO info = {sizeof(info)};
      ASSERT_TRUE(GetComboBoxInfo(Control(id), &info)) << id;
      EXPECT_EQ(RightToLeft(Control(id)), right_to_left) << id;
      EXPECT_EQ(RightToLeft(info.hwndList), right_to_left) << "drop-down list of " << id;
    }
  };
  expect_layout(true);
  // A window opened in that language starts mirrored, its options panel
  // and the controls of the other pages (made after the window's first
  // paint) too: each control is made so, the logo and the panel apart.
  std::map<HWND, DWORD> made = ExStylesOfWindowsMadeBy(
      [this] { window_ = InstallerWindow::Create(*settings_, stats_.root(), false); });
  ASSERT_TRUE(window_);
  loop_.RunUntilIdle();
  int made_controls = 0;
  for (HWND dialog : {window_->handle(), window_->options_dialog()}) {
    for (HWND child = GetWindow(dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
      if (child == window_->options_dialog() || GetDlgCtrlID(child) == IDC_LOGO) continue;
      ASSERT_TRUE(made.contains(child)) << GetDlgCtrlID(child);
      EXPECT_TRUE(made[child] & WS_EX_LAYOUTRTL) << "control " << GetDlgCtrlID(child);
      ++made_controls;
    }
  }
  EXPECT_GE(made_controls, 20);
  expect_layout(true);
  RECT client;
  GetClientRect(window_->handle(), &client);
  EXPECT_EQ(test::RectIn(*window_, IDC_RETRY_BUTTON).left, client.right - english_retry.right);
  EXPECT_TRUE(RightToLeft(Control(IDC_RETRY_BUTTON)));
  EXPECT_EQ(Text(IDC_BROWSE_BUTTON), GetLocalizedString(IDS_BROWSE));
  test::SelectItem(*window_, IDC_LANGUAGE_LIST, index_of(L"en"));
  expect_layout(false);
  test::SelectItem(*window_, IDC_LANGUAGE_LIST, right_to_left);
  expect_layout(true);
}

// Dialog `id` of the executable made from its template with its font's
// points scaled from 96 DPI to `dpi`: at 96 DPI the dialog manager lays it
// out as it would at `dpi` with the template's own points.
HWND DialogAsAtDpi(int id, int dpi, HWND parent) {
  HINSTANCE module = GetModuleHandleW(nullptr);
  HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(5));
  const auto* data = static_cast<const BYTE*>(LockResource(LoadResource(module, resource)));
  if (!data) return nullptr;
  // Allocated, so aligned as a template must be.
  std::vector<WORD> words(reinterpret_cast<const WORD*>(data),
                          reinterpret_cast<const WORD*>(data) + SizeofResource(module, resource) / 2);
  size_t at = 13;  // after the header, at the menu
  for (int names = 0; names < 2; ++names) {  // menu, class: a name, or 0xFFFF and an ordinal
    if (words[at] == 0xFFFF)
      at += 2;
    else
      while (words[at++] != 0) {}
  }
  while (words[at++] != 0) {}  // the title
  words[at] = static_cast<WORD>(MulDiv(words[at], dpi, 96));
  return CreateDialogIndirectParamW(
      module, reinterpret_cast<const DLGTEMPLATE*>(words.data()), parent,
      [](HWND, UINT, WPARAM, LPARAM) -> INT_PTR { return FALSE; }, 0);
}

// A window moved to a screen of 144 DPI and back, in languages written left
// to right and right to left: each time it takes the place it was offered,
// and its controls, in fonts made for the new DPI, take the places the
// dialog manager gives them in a dialog made at that DPI (mirrored for a
// language written right to left).
TEST_F(InstallerWindowTest, DpiChangeLaysTheWindowOutAgain) {
  if (SystemDpi() != 96) GTEST_SKIP() << "the reference dialogs need a system DPI of 96";
  // The points of each control's font; the others have the dialog's 8.
  const std::map<int, int> kPoints = {{IDC_HEADING, 22},
                                      {IDC_PROGRESS_HEADING, 14},
                                      {IDC_ERROR_HEADING, 14},
                                      {IDC_UNINSTALL_ERROR_HEADING, 14}};
  // Sized to their text or their neighbour rather than by their template.
  const std::set<int> kOwnWidth = {IDC_FULL_PACKAGE_BUTTON};
  const std::set<int> kOwnHeight = {IDC_BROWSE_BUTTON};
  std::vector<std::wstring> available = l10n::AvailableLanguages();
  for (const wchar_t* language : {L"en", L"de", L"ar"}) {
    SCOPED_TRACE(testing::Message() << WideToUtf8(language));
    if (std::find(available.begin(), available.end(), language) == available.end()) continue;
    Open(scratch_.path() / L"dpi");
    settings_->SetLanguage(language);
    Click(IDC_OPTIONS_BUTTON);
    loop_.RunUntilIdle();
    const bool mirrored = IsRightToLeft(l10n::GetCurrentUiLanguage());
    for (auto [from, dpi] : {std::pair{96, 144}, std::pair{144, 96}}) {
      SCOPED_TRACE(testing::Message() << dpi << " DPI");
      RECT offered = test::ChangeDpi(window_->handle(), from, dpi), place;
      loop_.RunUntilIdle();
      GetWindowRect(window_->handle(), &place);
      EXPECT_TRUE(EqualRect(&place, &offered));
      HWND reference = DialogAsAtDpi(IDD_INSTALLER_WINDOW, dpi, nullptr);
      HWND reference_panel = DialogAsAtDpi(IDD_OPTIONS_PANEL, dpi, reference);
      ASSERT_TRUE(reference && reference_panel);
      for (HWND dialog : {window_->handle(), window_->options_dialog()}) {
        HWND expected_parent = dialog == window_->handle() ? reference : reference_panel;
        RECT client;
        GetClientRect(dialog, &client);
        for (HWND child = GetWindow(dialog, GW_CHILD); child;
             child = GetWindow(child, GW_HWNDNEXT)) {
          int id = GetDlgCtrlID(child);
          SCOPED_TRACE(testing::Message() << "control " << id);
          bool panel = child == window_->options_dialog();
          HWND expected_child = panel ? reference_panel : GetDlgItem(expected_parent, id);
          ASSERT_TRUE(expected_child);
          RECT expected, made;
          GetWindowRect(expected_child, &expected);
          MapWindowPoints(nullptr, expected_parent, reinterpret_cast<POINT*>(&expected), 2);
          GetWindowRect(child, &made);
          MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&made), 2);
          if (made.left > made.right) std::swap(made.left, made.right);
          if (mirrored)
            expected = {client.right - expected.right, expected.top, client.right - expected.left,
                        expected.bottom};
          EXPECT_NEAR(made.top, expected.top, 1);
          if (!kOwnHeight.contains(id)) {
            EXPECT_NEAR(made.bottom, expected.bottom, 1);
          }
          if (!kOwnWidth.contains(id)) {
            EXPECT_NEAR(made.left, expected.left, 1);
            EXPECT_NEAR(made.right, expected.right, 1);
          }
          if (panel || !SendMessageW(child, WM_GETFONT, 0, 0) ||
              !SendMessageW(expected_child, WM_GETFONT, 0, 0))
            continue;
          const LOGFONTW font = FontOf(child);
          auto points = kPoints.find(id);
          EXPECT_EQ(font.lfHeight, -MulDiv(points == kPoints.end() ? 8 : points->second, dpi, 72));
          EXPECT_FALSE(font.lfItalic);  // as the template's font
        }
      }
      DestroyWindow(reference);
    }
    // Right to left, the folder list still has its button on its left.
    EXPECT_EQ(FolderListButtonOnTheLeft(), mirrored);
  }
}

TEST_F(InstallerWindowTest, ProgressTextsFollowTheFetchState) {
  Open(scratch_.path() / L"progress", false, /*progress_only=*/true);
  EXPECT_EQ(window_->current_page(), kPageProgress);
  const int kExpected[] = {IDS_DOWNLOADING, IDS_DOWNLOADING, IDS_UNPACKING,
                           IDS_INSTALLING,  IDS_INSTALLING,  IDS_INSTALLING};
  for (int state = 0; state < kFetchStateCount; ++state) {
    window_->SetProgressState(static_cast<FetchState>(state));
    EXPECT_EQ(Text(IDC_STATUS_TEXT), GetLocalizedString(kExpected[state])) << state;
  }
  window_->ShowError(L"No network", true, "Fetcher error");
  EXPECT_FALSE(Visible(IDC_BACK_BUTTON));  // a progress-only window has nowhere to go back to
}

// Keyboard only: Tab moves between the page's buttons, Enter presses the
// page's own button, Esc asks before cancelling, as the title bar's close
// button does; message boxes speak the installer's language.
TEST_F(InstallerWindowTest, KeyboardDrivesEveryPage) {
  Open(scratch_.path() / L"keys");
  test::ActivateWindow(*window_, &loop_);
  EXPECT_EQ(GetFocus(), Control(IDC_ACCEPT_BUTTON));
  // Tab reaches it through the welcome text's links (the next test).
  SendMessageW(window_->handle(), WM_NEXTDLGCTL, WPARAM(Control(IDC_OPTIONS_BUTTON)), TRUE);
  test::PressKey(&loop_, VK_RETURN);
  EXPECT_EQ(window_->current_page(), kPageOptions);
  test::PressKey(&loop_, VK_TAB);
  EXPECT_TRUE(IsChild(window_->options_dialog(), GetFocus()) ||
              GetFocus() == Control(IDC_BACK_BUTTON) || GetFocus() == Control(IDC_ACCEPT_BUTTON));
  window_->ShowError(L"failed", false, "");
  test::PressKey(&loop_, VK_RETURN);
  EXPECT_EQ(recorder_.proceeds, 1);

  // Each way asks; No keeps the window, Yes cancels. Only the button records
  // a navigation action: the page keeps the retry it recorded.
  const HWND window = window_->handle();
  const struct {
    const char* way;
    std::function<void()> ask;
    std::string action;
  } kWays[] = {
      {"Esc", [&] { test::PressKey(&loop_, VK_ESCAPE); }, "RETRY"},
      {"close button", [&] { PostMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0); }, "RETRY"},
      {"close message", [&] { PostMessageW(window, WM_CLOSE, 0, 0); }, "RETRY"},
      // Hidden on this page, but a click still asks.
      {"cancel button", [&] { Click(IDC_CANCEL_BUTTON); }, "CANCEL"},
  };
  for (const auto& w : kWays) {
    SCOPED_TRACE(w.way);
    for (int button : {IDNO, IDYES}) {
      const int cancels = recorder_.cancels;
      test::MessageBoxAnswer answer(button);
      w.ask();
      loop_.RunUntilIdle();
      EXPECT_EQ(answer.Seen(), GetLocalizedString(IDS_CONFIRM_CANCEL));
      EXPECT_EQ(answer.ButtonText(IDYES), GetLocalizedString(IDS_YES));
      EXPECT_EQ(recorder_.cancels - cancels, button == IDYES ? 1 : 0);
    }
    EXPECT_EQ(Stats()["ui"]["page_sequence"].back()["navigation_action"], w.action);
  }
}

// The welcome text's links are stops of the keyboard's way, marked in the
// system's highlight colours while the keyboard is on them, and Enter or
// Space opens them: the terms page, and the privacy page through the
// observer. Shift+Tab goes back through them.
TEST_F(InstallerWindowTest, KeyboardReachesAndOpensTheWelcomeLinks) {
  Open(scratch_.path() / L"links");
  test::ActivateWindow(*window_, &loop_);
  const HWND text = Control(IDC_WELCOME_TEXT);
  test::PressKey(&loop_, VK_TAB);
  ASSERT_EQ(GetFocus(), text);
  std::vector<CHARRANGE> links = LinkRanges(text);
  ASSERT_EQ(links.size(), 2u);
  auto marked = [&](int index) {
    CHARFORMAT2W format = {sizeof(format)};
    CHARRANGE one = {links[index].cpMin, links[index].cpMin + 1};
    SendMessageW(text, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&one));
    SendMessageW(text, EM_GETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&format));
    return !(format.dwEffects & CFE_AUTOBACKCOLOR) &&
           format.crBackColor == GetSysColor(COLOR_HIGHLIGHT);
  };
  EXPECT_TRUE(marked(0));
  EXPECT_FALSE(marked(1));
  test::PressKey(&loop_, VK_RETURN);
  EXPECT_EQ(window_->current_page(), kPageTerms);

  window_->ShowPage(kPageWelcome);
  SetFocus(Control(IDC_ACCEPT_BUTTON));
  for (int stop = 0; stop < 2; ++stop) test::PressKey(&loop_, VK_TAB);
  EXPECT_FALSE(marked(0));
  EXPECT_TRUE(marked(1));
  test::PressKey(&loop_, VK_SPACE);
  EXPECT_EQ(recorder_.web_pages, std::vector<std::wstring>{L"https://www.norva.example/privacy"});
  EXPECT_EQ(window_->current_page(), kPageWelcome);
  test::PressKey(&loop_, VK_TAB);
  EXPECT_EQ(GetFocus(), Control(IDC_OPTIONS_BUTTON));
  EXPECT_FALSE(marked(1)) << "the mark goes with the focus";

  // Shift+Tab comes back to the last link, then the first.
  BYTE keys[256];
  GetKeyboardState(keys);
  keys[VK_SHIFT] = 0x80;
  SetKeyboardState(keys);
  test::PressKey(&loop_, VK_TAB);
  EXPECT_EQ(GetFocus(), text);
  EXPECT_TRUE(marked(1));
  test::PressKey(&loop_, VK_TAB);
  EXPECT_TRUE(marked(0));
  EXPECT_FALSE(marked(1));
  keys[VK_SHIFT] = 0;
  SetKeyboardState(keys);
}

LRESULT CALLBACK RecordStreamFormat(HWND control, UINT message, WPARAM wparam, LPARAM lparam,
                                    UINT_PTR, DWORD_PTR formats) {
  if (message == EM_STREAMIN) reinterpret_cast<std::vector<WPARAM>*>(formats)->push_back(wparam);
  return DefSubclassProc(control, message, wparam, lparam);
}

// In every language the welcome text reaches the rich edit as plain text
// (each system's rich edit stores an RTF hyperlink field its own way) and
// exactly its link words are links (CFE_LINK); a click on the terms link's
// words, through the rich edit itself, opens the terms page.
TEST_F(InstallerWindowTest, WelcomeTextLinksAreExactlyTheLinkWords) {
  Open(scratch_.path() / L"words");
  const HWND text = Control(IDC_WELCOME_TEXT);
  std::vector<WPARAM> formats;
  SetWindowSubclass(text, RecordStreamFormat, 0, reinterpret_cast<DWORD_PTR>(&formats));
  std::vector<LinkSpan> links;
  std::vector<std::wstring> languages = l10n::AvailableLanguages();
  std::erase(languages, L"");
  languages.push_back(L"en");  // the click below is on English words
  for (const std::wstring& language : languages) {
    SCOPED_TRACE(WideToUtf8(language));
    settings_->SetLanguage(language);
    loop_.RunUntilIdle();
    links.clear();
    EXPECT_EQ(WindowText(text),
              StripLinkMarkers(MarkLinks(GetLocalizedString(IDS_TERMS_NOTICE)), &links));
    EXPECT_TRUE(std::none_of(formats.begin(), formats.end(), [](WPARAM f) { return f & SF_RTF; }));
    std::vector<std::pair<LONG, LONG>> words;
    for (const LinkSpan& link : links) words.emplace_back(link.start, link.end);
    std::vector<std::pair<LONG, LONG>> marked;
    for (CHARRANGE range : LinkRanges(text)) marked.emplace_back(range.cpMin, range.cpMax);
    EXPECT_EQ(marked, words);
  }
  ClickTermsWords();
  EXPECT_EQ(window_->current_page(), kPageTerms);
  RemoveWindowSubclass(text, RecordStreamFormat, 0);
}

// Alt and a control's access key press it, or move the focus to the list
// after a label, in a language of each way of marking keys.
TEST_F(InstallerWindowTest, AccessKeysPressButtonsAndFocusLists) {
  Open(scratch_.path() / L"keys");
  test::ActivateWindow(*window_, &loop_);
  auto key = [](int id) {
    std::wstring text = GetLocalizedString(id);
    return text.at(text.find(L'&') + 1);
  };
  auto focus_in = [this](int id) {
    return GetFocus() == Control(id) || IsChild(Control(id), GetFocus());
  };
  for (const wchar_t* language : {L"en", L"ja", L"ru", L"ar"}) {
    SCOPED_TRACE(WideToUtf8(language));
    settings_->SetLanguage(language);
    loop_.RunUntilIdle();
    test::PressAccessKey(&loop_, key(IDS_OPTIONS));
    EXPECT_EQ(window_->current_page(), kPageOptions);
    bool import = settings_->choices().import_browser_data;
    test::PressAccessKey(&loop_, key(IDS_IMPORT_DATA));
    EXPECT_NE(settings_->choices().import_browser_data, import);
    EXPECT_EQ(Button_GetCheck(Control(IDC_IMPORT_CHECK)) == BST_CHECKED, !import);
    test::PressAccessKey(&loop_, key(IDS_IMPORT_DATA));
    EXPECT_EQ(settings_->choices().import_browser_data, import);
    test::PressAccessKey(&loop_, key(IDS_FOLDER_LABEL));
    EXPECT_TRUE(focus_in(IDC_FOLDER_LIST));
    EXPECT_TRUE(test::Hear(Control(IDC_FOLDER_LIST)).state & STATE_SYSTEM_FOCUSED);
    test::PressAccessKey(&loop_, key(IDS_LANGUAGE_LABEL));
    EXPECT_TRUE(focus_in(IDC_LANGUAGE_LIST));
    test::PressAccessKey(&loop_, key(IDS_BACK));
    EXPECT_EQ(window_->current_page(), kPageWelcome);
  }
}

TEST_F(InstallerWindowTest, CurrentUserQuestionRecordsTheAnswer) {
  Open(scratch_.path() / L"ask");
  {
    test::MessageBoxAnswer answer(IDOK);
    EXPECT_TRUE(window_->AskSwitchToCurrentUser());
    EXPECT_EQ(answer.Seen(), GetLocalizedString(IDS_SWITCH_TO_CURRENT_USER));
  }
  EXPECT_EQ(Stats()["ui"]["page_sequence"][0]["auto_switch_to_current_user"], 0);
  test::MessageBoxAnswer cancel(IDCANCEL);
  EXPECT_FALSE(window_->AskSwitchToCurrentUser());
  EXPECT_EQ(cancel.ButtonText(IDCANCEL), GetLocalizedString(IDS_CANCEL));
  EXPECT_EQ(Stats()["ui"]["page_sequence"][0]["auto_switch_to_current_user"], 1);
}

}  // namespace
}  // namespace norva::installer
