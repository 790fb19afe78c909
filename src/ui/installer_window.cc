#include "ui/installer_window.h"

#include <commctrl.h>
#include <richedit.h>
#include <shlobj.h>
#include <windowsx.h>

#include <algorithm>
#include <iterator>

#include "base/logging.h"
#include "base/module_resource.h"
#include "base/strings.h"
#include "product/installer_features.h"
#include "product/languages.h"
#include "system/access_rights.h"
#include "system/windows_version.h"
#include "ui/linked_text.h"
#include "ui/rich_text.h"
#include "ui/win32_dialog_dispatcher.h"

namespace norva::installer {
namespace {

using l10n::GetLocalizedString;

constexpr int kLogoResource = 140;
constexpr int kErrorBadgeResource = 141;
constexpr int kBackgroundResource = 139;
constexpr int kTermsResource = 142;
constexpr int kIconResource = 1;
constexpr int kTitleString = 37000;
constexpr COLORREF kHeadingRed = RGB(255, 27, 44);
constexpr COLORREF kWarningRed = RGB(255, 0, 0);
constexpr int kTooltipWidth = 300;
constexpr int kErrorBadgeOffset = 10;
constexpr int kWindowMargin = 10;  // dialog units
constexpr int kMinButtonWidth = 80;  // dialog units

struct ControlText {
  int control;
  int string_id;
};

// Texts that do not depend on the state of the run.
constexpr ControlText kControlTexts[] = {
    {kOptionsButton, 37006},   {kCancelButton, 37002},      {kFullPackageButton, 37044},
    {kRetryButton, 37043},     {kUninstallButton, 37033},   {kProgressHeading, 37021},
    {kErrorHeading, 37041},    {kBackButton, 37009},        {kUninstallQuestion, 37031},
    {kDeleteProfileCheck, 37032}, {kUninstallErrorHeading, 37042}, {kBrowseButton, 37013},
    {kDefaultBrowserCheck, 37015}, {kImportCheck, 37016},   {kStatsCheck, 37017},
    {kInvalidFolderWarning, 37014}, {kLanguageLabel, 37010}, {kModeLabel, 37011},
    {kFolderLabel, 37012},
};

struct PageInfo {
  const char* name;
  int focused_control;  // 0: none
};

constexpr PageInfo kPages[] = {
    {"WELCOME", kAcceptButton}, {"UNINSTALL", kUninstallButton}, {"TOS", kAcceptButton},
    {"OPTIONS", kAcceptButton}, {"PROGRESS", 0},                 {"ERROR", kRetryButton},
};

// Which controls each page shows, in page order.
struct PageVisibility {
  int control;
  bool shown[6];
};

constexpr PageVisibility kVisibility[] = {
    {kLogo, {true, true, false, false, true, true}},
    {kTermsText, {false, false, true, false, false, false}},
    {kBackButton, {false, false, true, true, false, true}},
    {kHeading, {true, false, false, false, false, false}},
    {kWelcomeText, {true, false, false, false, false, false}},
    {kOptionsButton, {true, false, false, false, false, false}},
    {kAcceptButton, {true, false, true, true, false, false}},
    {kProgressHeading, {false, false, false, false, true, false}},
    {kStatusText, {false, false, false, false, true, true}},
    {kProgressBar, {false, false, false, false, true, false}},
    {kErrorHeading, {false, false, false, false, false, true}},
    {kUninstallErrorHeading, {false, false, false, false, false, true}},
    {kRetryButton, {false, false, false, false, false, true}},
    {kFullPackageButton, {false, false, false, false, false, true}},
    {kCancelButton, {false, true, false, false, false, false}},
    {kUninstallButton, {false, true, false, false, false, false}},
    {kDeleteProfileCheck, {false, true, false, false, false, false}},
    {kUninstallQuestion, {false, true, false, false, false, false}},
};

// The buttons of the window: what each records and does.
struct Command {
  enum Effect { kShowPage, kConfirmCancel, kProceed, kFullPackage };
  int control;
  const char* action;
  Effect effect;
  InstallerPage page;
};

constexpr Command kCommands[] = {
    {kOptionsButton, "OPTIONS", Command::kShowPage, kPageOptions},
    {kCancelButton, "CANCEL", Command::kConfirmCancel, kPageNone},
    {kAcceptButton, "ACCEPT", Command::kProceed, kPageNone},
    {kFullPackageButton, "FULL_PACKAGE", Command::kFullPackage, kPageNone},
    {kRetryButton, "RETRY", Command::kProceed, kPageNone},
    {kUninstallButton, "UNINSTALL", Command::kProceed, kPageNone},
    {kBackButton, "BACK", Command::kShowPage, kPageWelcome},
};

const char* PageName(InstallerPage page) {
  return page >= kPageWelcome && page < kPageNone ? kPages[page].name : "invalid";
}

// Renames the buttons of the message box this thread is about to show; they
// draw the access keys of the texts.
HHOOK g_message_box_hook = nullptr;

LRESULT CALLBACK MessageBoxHook(int code, WPARAM wparam, LPARAM lparam) {
  if (code == HCBT_ACTIVATE) {
    HWND box = reinterpret_cast<HWND>(wparam);
    const ControlText kButtons[] = {
        {IDYES, 37003}, {IDNO, 37004}, {IDOK, 37001}, {IDCANCEL, 37002}};
    for (const ControlText& button : kButtons) {
      if (GetDlgItem(box, button.control))
        SetDlgItemTextW(box, button.control, GetLocalizedString(button.string_id).c_str());
    }
  }
  return CallNextHookEx(g_message_box_hook, code, wparam, lparam);
}

// The rich edits show text only: focus gives them no caret.
LRESULT CALLBACK NoCaretProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam,
                             UINT_PTR, DWORD_PTR) {
  if (message == WM_SETFOCUS) {
    HideCaret(window);
    return 0;
  }
  return DefSubclassProc(window, message, wparam, lparam);
}

LRESULT CALLBACK LogoProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam, UINT_PTR,
                          DWORD_PTR data);

std::wstring ReadTermsText() {
  std::string_view text = ModuleResource(kTermsResource, L"TXT");
  std::string crlf;
  for (char c : text.substr(0, text.find('\0'))) {
    if (c == '\n') crlf += '\r';
    crlf += c;
  }
  return Utf8ToWide(crlf);
}

bool IsRightToLeft(LANGID language) {
  switch (PRIMARYLANGID(language)) {
    case LANG_ARABIC:
    case LANG_HEBREW:
    case LANG_FARSI:
    case LANG_URDU:
      return true;
    default:
      return false;
  }
}

// Moves every child of `parent` to its mirror position and flips its layout;
// `panel` keeps its layout, as its own children are mirrored one by one, and
// so does the logo, which is a picture.
void MirrorPosition(HWND parent, HWND child) {
  RECT client, rect;
  GetClientRect(parent, &client);
  GetWindowRect(child, &rect);
  MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&rect), 2);
  SetWindowPos(child, nullptr, client.right - rect.right, rect.top, 0, 0,
               SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void MirrorChildren(HWND parent, HWND panel) {
  if (!parent) return;
  for (HWND child = GetWindow(parent, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    MirrorPosition(parent, child);
    LONG_PTR style = GetWindowLongPtrW(child, GWL_EXSTYLE);
    if (child != panel && GetDlgCtrlID(child) != kLogo) SetWindowLongPtrW(child, GWL_EXSTYLE, style ^ WS_EX_LAYOUTRTL);
    InvalidateRect(child, nullptr, TRUE);
  }
}

}  // namespace

std::unique_ptr<InstallerWindow> InstallerWindow::Create(Settings& settings, StatsNode stats_root,
                                                         bool progress_only) {
  INITCOMMONCONTROLSEX controls = {8, 0xC2FF};
  if (!InitCommonControlsEx(&controls))
    LOG(ERROR) << "InitCommonControlsEx failed." << " " << logging::SystemErrorText(GetLastError());
  if (!LoadLibraryExW(L"Msftedit.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32))
    LOG(ERROR) << "Loading library Msftedit.dll failed." << " " << logging::SystemErrorText(GetLastError());
  std::unique_ptr<InstallerWindow> window(
      new InstallerWindow(settings, std::move(stats_root), progress_only));
  HINSTANCE module = GetModuleHandleW(nullptr);
  auto param = reinterpret_cast<LPARAM>(window.get());
  CreateDialogParamW(module, MAKEINTRESOURCEW(kMainDialogTemplate), nullptr,
                     DialogProc<&InstallerWindow::main_dialog_, &InstallerWindow::HandleMainMessage>,
                     param);
  if (window->main_dialog_) {
    if (!progress_only) window->ShowPage(settings.IsUninstall() ? kPageUninstall : kPageWelcome);
    window->OnLanguageChanged();
    ShowWindow(window->main_dialog_, SW_SHOW);
    // The options panel's controls cost about as much to make as the
    // window's own, and the panel is hidden at first: the window is painted
    // before the panel is made.
    RedrawWindow(window->main_dialog_, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
    CreateDialogParamW(
        module, MAKEINTRESOURCEW(kOptionsDialogTemplate), window->main_dialog_,
        DialogProc<&InstallerWindow::options_dialog_, &InstallerWindow::HandleOptionsMessage>,
        param);
  }
  if (!window->main_dialog_ || !window->options_dialog_) {
    LOG(ERROR) << "Window creation failed." << " " << logging::SystemErrorText(GetLastError());
    return nullptr;
  }
  window->OnOptionsPanelCreated();
  if (!settings.IsStatusFetchPending()) window->OnInstallFolderStatusChanged();
  return window;
}

InstallerWindow::InstallerWindow(Settings& settings, StatsNode stats_root, bool progress_only)
    : settings_(settings),
      progress_only_(progress_only),
      ui_stats_(FeatureRegistry::Get().IsEnabled(kUiStats)),
      stats_root_(std::move(stats_root)),
      languages_(l10n::AvailableLanguages()),
      white_brush_(CreateSolidBrush(RGB(255, 255, 255))),
      window_brush_(GetSysColorBrush(COLOR_WINDOW)) {
  if (!progress_only_) settings_.AddObserver(this);
}

InstallerWindow::~InstallerWindow() {
  if (tooltip_) DestroyWindow(tooltip_);
  if (!progress_only_) settings_.RemoveObserver(this);
  if (main_dialog_) DestroyWindow(main_dialog_);
  for (HBRUSH brush : {white_brush_, background_brush_})
    if (brush) DeleteObject(brush);
}

void InstallerWindow::AddObserver(InstallerWindowObserver* observer) {
  observers_.push_back(observer);
}

void InstallerWindow::RemoveObserver(InstallerWindowObserver* observer) {
  observers_.erase(std::remove(observers_.begin(), observers_.end(), observer), observers_.end());
}

template <typename Method>
void InstallerWindow::NotifyObservers(Method method) {
  // An observer may remove itself, or destroy this window, while told.
  std::vector<InstallerWindowObserver*> observers = observers_;
  for (InstallerWindowObserver* observer : observers) (observer->*method)();
}

HWND InstallerWindow::Control(int id) const {
  HWND control = GetDlgItem(main_dialog_, id);
  return control ? control : GetDlgItem(options_dialog_, id);
}

void InstallerWindow::SetControlText(int id, const std::wstring& text) {
  if (!text.empty()) SetWindowTextW(Control(id), text.c_str());
}

// Pages -----------------------------------------------------------------

void InstallerWindow::ShowPage(InstallerPage page) {
  if (page == current_page_) return;
  if (ui_stats_) {
    page_record_ = stats_root_.AppendRecord("ui.page_sequence");
    page_record_.SetString("page_type", PageName(page));
  }
  ApplyPageVisibility(page);
  int focused = page >= kPageWelcome && page < kPageNone ? kPages[page].focused_control : 0;
  // Enter presses the page's own button.
  SendMessageW(main_dialog_, DM_SETDEFID, focused ? focused : IDOK, 0);
  if (focused) SendMessageW(main_dialog_, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(Control(focused)), TRUE);
  error_page_shown_ = page == kPageError;
  current_page_ = page;
  Repaint();
}

void InstallerWindow::ApplyPageVisibility(InstallerPage page) {
  bool uninstall = settings_.IsUninstall();
  for (const PageVisibility& row : kVisibility) {
    bool shown = page >= kPageWelcome && page < kPageNone && row.shown[page];
    if (row.control == (uninstall ? kProgressHeading : kUninstallErrorHeading) ||
        (uninstall && row.control == kErrorHeading)) {
      shown = false;
    }
    ShowWindow(Control(row.control), shown ? SW_SHOWNA : SW_HIDE);
  }
  ShowWindow(options_dialog_, page == kPageOptions ? SW_SHOWNA : SW_HIDE);
}

void InstallerWindow::ShowError(const std::wstring& message, bool show_full_package_button,
                                const std::string& failure_reason) {
  ShowPage(kPageError);
  ShowWindow(Control(kFullPackageButton), show_full_package_button ? SW_SHOWNA : SW_HIDE);
  if (progress_only_ || settings_.IsUninstall()) ShowWindow(Control(kBackButton), SW_HIDE);
  SetWindowTextW(Control(kStatusText), message.c_str());
  InvalidateRect(Control(kStatusText), nullptr, TRUE);
  if (ui_stats_) page_record_.SetString("failure_reason", failure_reason);
}

int InstallerWindow::ShowMessageBox(const std::wstring& text, UINT type) {
  g_message_box_hook = SetWindowsHookExW(WH_CBT, MessageBoxHook, nullptr, GetCurrentThreadId());
  int answer = MessageBoxW(main_dialog_, text.c_str(), GetLocalizedString(kTitleString).c_str(),
                           type);
  if (g_message_box_hook) UnhookWindowsHookEx(g_message_box_hook);
  g_message_box_hook = nullptr;
  return answer;
}

void InstallerWindow::ShowErrorMessage(const std::wstring& message) {
  ShowMessageBox(message, MB_OK | MB_ICONERROR);
  if (ui_stats_) page_record_.SetString("error_displayed", WideToUtf8(message));
  NotifyObservers(&InstallerWindowObserver::OnCancel);
}

bool InstallerWindow::AskSwitchToCurrentUser() {
  bool accepted = ShowMessageBox(GetLocalizedString(37045), MB_OKCANCEL | MB_ICONWARNING) == IDOK;
  if (ui_stats_) page_record_.SetInteger("auto_switch_to_current_user", accepted ? 0 : 1);
  return accepted;
}

void InstallerWindow::SetProgressState(FetchState state) {
  int id = state <= FetchState::kDownloading ? 37022
           : state == FetchState::kUnpacking ? 37023
           : settings_.IsUninstall()         ? 37025
                                             : 37024;
  SetControlText(kStatusText, GetLocalizedString(id));
  InvalidateRect(Control(kStatusText), nullptr, TRUE);
}

void InstallerWindow::ConfirmCancel() {
  if (ShowMessageBox(GetLocalizedString(37034), MB_YESNO | MB_ICONQUESTION) == IDYES)
    NotifyObservers(&InstallerWindowObserver::OnCancel);
}

void InstallerWindow::RecordAction(const char* action) {
  if (ui_stats_) page_record_.SetString("navigation_action", action);
}

void InstallerWindow::CountChange(const char* counter) {
  if (ui_stats_) page_record_.Increment(counter);
}

// Texts -----------------------------------------------------------------

void InstallerWindow::OnLanguageChanged() {
  bool right_to_left = IsRightToLeft(l10n::GetCurrentUiLanguage());
  if (right_to_left != mirrored_) {
    MirrorChildren(main_dialog_, options_dialog_);
    MirrorChildren(options_dialog_, nullptr);
    mirrored_ = right_to_left;
  }
  for (const ControlText& text : kControlTexts)
    SetControlText(text.control, GetLocalizedString(text.string_id));
  SetHeadingText();
  SetWindowTextW(main_dialog_, GetLocalizedString(kTitleString).c_str());
  Repaint();
  if (settings_.IsUninstall()) return;
  if (options_dialog_) {
    FillLanguageList();
    FillModeList();
  }
  FitFullPackageButton();
  if (!progress_only_) OnSettingsChanged();
}

void InstallerWindow::OnOptionsPanelCreated() {
  if (mirrored_) {
    MirrorPosition(main_dialog_, options_dialog_);
    MirrorChildren(options_dialog_, nullptr);
  }
  ApplyFonts();
  for (const ControlText& text : kControlTexts) {
    HWND control = Control(text.control);
    if (GetParent(control) == options_dialog_) SetControlText(text.control, GetLocalizedString(text.string_id));
  }
  if (settings_.IsUninstall()) return;
  FillLanguageList();
  FillModeList();
  if (!progress_only_) OnSettingsChanged();
}

void InstallerWindow::SetHeadingText() {
  std::wstring name = GetLocalizedString(37020);
  std::wstring heading = GetLocalizedString(37019, {name});
  if (heading.empty()) return;
  HWND control = Control(kHeading);
  SetWindowTextW(control, heading.c_str());
  SetRichTextColor(control, 0, -1, kHeadingRed);
  size_t name_at = name.empty() ? std::wstring::npos : heading.find(name);
  if (name_at != std::wstring::npos) {
    SetRichTextColor(control, static_cast<int>(name_at), static_cast<int>(name_at + name.size()),
                     RGB(0, 0, 0));
  }
  SetRichTextDirection(control, mirrored_);
}

void InstallerWindow::FillLanguageList() {
  HWND list = Control(kLanguageList);
  SendMessageW(list, CB_RESETCONTENT, 0, 0);
  int selected = 0;
  for (size_t i = 0; i < languages_.size(); ++i) {
    std::wstring name = l10n::GetLocalizedStringForLanguage(37046, languages_[i]);
    LRESULT item = SendMessageW(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name.c_str()));
    if (item < 0) {
      LOG(ERROR) << "Adding item #" << i << "to the language dropdown failed";
      continue;
    }
    SendMessageW(list, CB_SETITEMDATA, static_cast<WPARAM>(item), static_cast<LPARAM>(i));
    if (EqualsCaseInsensitiveASCII(languages_[i], settings_.GetLanguage()))
      selected = static_cast<int>(item);
  }
  SendMessageW(list, CB_SETCURSEL, static_cast<WPARAM>(selected), 0);
}

void InstallerWindow::FillModeList() {
  HWND list = Control(kModeList);
  LRESULT selected = SendMessageW(list, CB_GETCURSEL, 0, 0);
  SendMessageW(list, CB_RESETCONTENT, 0, 0);
  std::wstring current_user = GetLocalizedString(37029);
  wchar_t user[256];
  DWORD size = static_cast<DWORD>(std::size(user));
  if (GetUserNameW(user, &size)) current_user += std::wstring(L" (") + user + L")";
  for (const std::wstring& item : {GetLocalizedString(37028), current_user, GetLocalizedString(37030)})
    SendMessageW(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item.c_str()));
  SendMessageW(list, CB_SETCURSEL, selected < 0 ? 0 : static_cast<WPARAM>(selected), 0);
  std::vector<std::wstring> modes;
  for (int id = 37035; id <= 37040; ++id) modes.push_back(GetLocalizedString(id));
  std::wstring tip = ReplaceStringPlaceholders(L"$1\n\t$2\n\n$3\n\t$4\n\n$5\n\t$6", modes);
  TTTOOLINFOW tool = {};
  tool.cbSize = sizeof(tool);
  tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
  tool.hwnd = options_dialog_;
  tool.uId = reinterpret_cast<UINT_PTR>(list);
  tool.lpszText = tip.data();
  SendMessageW(tooltip_, TTM_UPDATETIPTEXTW, 0, reinterpret_cast<LPARAM>(&tool));
}

void InstallerWindow::FitFullPackageButton() {
  HWND button = Control(kFullPackageButton);
  std::wstring text = WindowText(button);
  HDC dc = GetDC(button);
  HGDIOBJ previous = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(button, WM_GETFONT, 0, 0)));
  // Measured as the button draws it: the access key's "&" takes no room.
  RECT extent = {};
  DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &extent, DT_CALCRECT | DT_SINGLELINE);
  SelectObject(dc, previous);
  ReleaseDC(button, dc);
  RECT rect;
  GetWindowRect(button, &rect);
  MapWindowPoints(nullptr, main_dialog_, reinterpret_cast<POINT*>(&rect), 2);
  // Room for the button's frame on both sides; it keeps the edge that faces
  // the retry button's side (the left one in a mirrored window).
  RECT limits = {kWindowMargin, 0, kMinButtonWidth, 0};
  MapDialogRect(main_dialog_, &limits);
  RECT client;
  GetClientRect(main_dialog_, &client);
  int room = mirrored_ ? client.right - limits.left - rect.left : rect.right - limits.left;
  int width = extent.right + 2 * GetSystemMetrics(SM_CXEDGE) + 4 * LOWORD(GetDialogBaseUnits());
  width = std::clamp<int>(width, limits.right, room);
  SetWindowPos(button, nullptr, mirrored_ ? rect.left : rect.right - width, rect.top, width,
               rect.bottom - rect.top,
               SWP_NOZORDER | SWP_NOACTIVATE);
}

// Settings ----------------------------------------------------------------

void InstallerWindow::OnInstallFolderStatusChanged() {
  OnSettingsChanged();
  ApplyFolderText();
}

void InstallerWindow::OnSettingsChanged() {
  const InstallationStatus& status = settings_.GetInstallationStatus();
  bool needs_elevation = !IsUserAdmin(false) && (settings_.IsAllUsers() || !status.IsWritable());
  if (settings_.IsUninstall())
    RefreshUninstallControls(needs_elevation);
  else
    RefreshInstallControls(needs_elevation);
  Repaint();
}

void InstallerWindow::RefreshUninstallControls(bool needs_elevation) {
  if (GetWindowsVersionRank() >= kWindowsVista)
    SendMessageW(Control(kUninstallButton), BCM_SETSHIELD, 0, needs_elevation);
  Button_SetCheck(Control(kDeleteProfileCheck), settings_.DeleteProfile() ? BST_CHECKED : BST_UNCHECKED);
}

void InstallerWindow::RefreshInstallControls(bool needs_elevation) {
  const InstallationStatus& status = settings_.GetInstallationStatus();
  HWND mode_list = Control(kModeList);
  EnableWindow(mode_list, settings_.GetOperation() == kOperationInstall);
  int mode = settings_.IsCopyOnly() ? kModeStandalone
             : settings_.IsAllUsers() ? kModeAllUsers
                                      : kModeCurrentUser;
  SendMessageW(mode_list, CB_SETCURSEL, static_cast<WPARAM>(mode), 0);
  bool installed = status.IsExistingInstallation() || status.IsLegacyInstallation();
  SetControlText(kAcceptButton, GetLocalizedString(installed ? 37008 : 37007));
  links_ = SetLinkedText(Control(kWelcomeText), MarkLinks(GetLocalizedString(37005)));
  SetRichTextDirection(Control(kWelcomeText), mirrored_);
  if (GetWindowsVersionRank() >= kWindowsVista) {
    for (int id : {kAcceptButton, kRetryButton})
      SendMessageW(Control(id), BCM_SETSHIELD, 0, needs_elevation);
  }
  bool default_browser_allowed = !settings_.IsCopyOnly();
  if (settings_.ReplaceQuorelInstallation())
    default_browser_allowed = default_browser_allowed && !status.IsDefaultBrowser();
  EnableWindow(Control(kDefaultBrowserCheck), default_browser_allowed);
  Button_SetCheck(Control(kDefaultBrowserCheck), settings_.IsDefaultBrowser());
  Button_SetCheck(Control(kImportCheck), settings_.ImportBrowserData());
  Button_SetCheck(Control(kStatsCheck),
                  settings_.IsNorvaStatsEnabled() || settings_.IsInstallerStatsEnabled());
  bool valid = status.IsValid();
  EnableWindow(Control(kAcceptButton), valid);
  EnableWindow(Control(kBackButton), valid);
  ShowWindow(Control(kInvalidFolderWarning), valid ? SW_HIDE : SW_SHOWNA);
}

// Puts the examined folder into the folder list, unless the user's own text
// already says it (rewriting it would move the caret while they type).
void InstallerWindow::ApplyFolderText() {
  if (settings_.IsUninstall() || progress_only_) return;
  HWND list = Control(kFolderList);
  std::wstring folder = settings_.GetInstallationStatus().GetPath().wstring();
  if (WindowText(list) == folder && SendMessageW(list, CB_GETCOUNT, 0, 0) == 1) return;
  LRESULT selection = SendMessageW(list, CB_GETCURSEL, 0, 0);
  if (selection >= 0) folder_selection_ = static_cast<int>(selection);
  SendMessageW(list, CB_RESETCONTENT, 0, 0);
  SendMessageW(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(folder.c_str()));
  SendMessageW(list, CB_SETCURSEL, folder_selection_ >= 0 ? 0 : static_cast<WPARAM>(-1), 0);
  SetWindowTextW(list, folder.c_str());
  if (!folder.empty()) settings_.SetInstallFolder(folder);
}

void InstallerWindow::BrowseForFolder() {
  std::wstring title = GetLocalizedString(37027);
  std::wstring start = WindowText(Control(kFolderList));
  BROWSEINFOW info = {};
  info.hwndOwner = main_dialog_;
  info.lpszTitle = title.c_str();
  info.ulFlags = BIF_RETURNONLYFSDIRS | BIF_EDITBOX | BIF_NEWDIALOGSTYLE;
  info.lpfn = [](HWND box, UINT message, LPARAM, LPARAM data) -> int {
    if (message == BFFM_INITIALIZED) SendMessageW(box, BFFM_SETSELECTIONW, TRUE, data);
    return 0;
  };
  info.lParam = reinterpret_cast<LPARAM>(start.c_str());
  PIDLIST_ABSOLUTE chosen = SHBrowseForFolderW(&info);
  if (!chosen) return;
  std::wstring folder = ParsingNameOf(chosen);
  CoTaskMemFree(chosen);
  if (folder.empty()) return;
  SetWindowTextW(Control(kFolderList), folder.c_str());
  settings_.SetInstallFolder(folder);
}

// Commands ----------------------------------------------------------------

void InstallerWindow::OnMainCommand(int id, int code) {
  for (const Command& command : kCommands) {
    if (command.control != id) continue;
    RecordAction(command.action);
    switch (command.effect) {
      case Command::kShowPage:
        ShowPage(command.page);
        break;
      case Command::kConfirmCancel:
        ConfirmCancel();
        break;
      case Command::kProceed:
        NotifyObservers(&InstallerWindowObserver::OnProceed);
        break;
      case Command::kFullPackage:
        NotifyObservers(&InstallerWindowObserver::OnFullPackage);
        break;
    }
    return;
  }
  if (id == kTermsText && code == EN_SETFOCUS) {
    SendMessageW(Control(kTermsText), EM_SETSEL, static_cast<WPARAM>(-1), 0);
  } else if (id == kDeleteProfileCheck && code == BN_CLICKED) {
    CountChange("changed_delete_profile");
    if (settings_.IsModifiable())
      settings_.SetDeleteProfile(Button_GetCheck(Control(id)) == BST_CHECKED);
    OnSettingsChanged();
    InvalidateRect(Control(id), nullptr, TRUE);
  } else if (id == IDCANCEL) {  // Esc
    ConfirmCancel();
  }
}

void InstallerWindow::OnOptionsCommand(int id, int code) {
  HWND control = Control(id);
  bool checked = Button_GetCheck(control) == BST_CHECKED;
  bool modifiable = settings_.IsModifiable();
  if ((id == kLanguageList || id == kModeList) && code == CBN_SELCHANGE) {
    CountChange(id == kLanguageList ? "changed_language" : "changed_install_mode");
    LRESULT item = SendMessageW(control, CB_GETCURSEL, 0, 0);
    if (modifiable && item >= 0 && id == kLanguageList) {
      auto index = static_cast<size_t>(SendMessageW(control, CB_GETITEMDATA, static_cast<WPARAM>(item), 0));
      if (index < languages_.size()) settings_.SetLanguage(languages_[index]);
    } else if (modifiable && item >= 0) {
      settings_.SetInstallationMode(static_cast<int>(item));
    }
  } else if (id == kFolderList && (code == CBN_SELCHANGE || code == CBN_EDITCHANGE)) {
    CountChange(code == CBN_SELCHANGE ? "changed_install_path" : "edited_install_path");
    std::wstring folder = WindowText(control);
    LRESULT item = SendMessageW(control, CB_GETCURSEL, 0, 0);
    if (code == CBN_SELCHANGE && item >= 0) {
      folder.assign(static_cast<size_t>(SendMessageW(control, CB_GETLBTEXTLEN, static_cast<WPARAM>(item), 0)), L'\0');
      SendMessageW(control, CB_GETLBTEXT, static_cast<WPARAM>(item), reinterpret_cast<LPARAM>(folder.data()));
    }
    if (modifiable) settings_.SetInstallFolder(folder);
  } else if (id == kBrowseButton && code == BN_CLICKED) {
    if (modifiable) BrowseForFolder();
  } else if (code == BN_CLICKED && (id == kDefaultBrowserCheck || id == kImportCheck || id == kStatsCheck)) {
    CountChange(id == kDefaultBrowserCheck ? "changed_make_default_browser"
                : id == kImportCheck       ? "changed_import_data"
                                           : "changed_enable_stats");
    if (modifiable && id == kDefaultBrowserCheck) settings_.SetDefaultBrowser(checked);
    if (modifiable && id == kImportCheck) settings_.SetImportBrowserData(checked);
    if (modifiable && id == kStatsCheck) {
      settings_.SetEnableNorvaStats(checked);
      settings_.SetEnableInstallerStats(checked);
    }
  } else {
    return;
  }
  OnSettingsChanged();
}

bool InstallerWindow::OnNotify(const NMHDR* header) {
  if (header->idFrom != kWelcomeText || header->code != EN_LINK) return false;
  const auto* link = reinterpret_cast<const ENLINK*>(header);
  if (link->msg != WM_LBUTTONUP) return false;
  RecordAction("TOS");
  std::wstring target = RichTextRange(header->hwndFrom, link->chrg);
  for (const LinkSpan& span : links_) {
    if (link->chrg.cpMin >= static_cast<LONG>(span.start) &&
        link->chrg.cpMax <= static_cast<LONG>(span.end)) {
      target = span.url;
    }
  }
  if (EqualsCaseInsensitiveASCII(target, L"tos")) ShowPage(kPageTerms);
  return true;
}

// Dialog procedures -------------------------------------------------------

template <HWND InstallerWindow::*kDialog,
          INT_PTR (InstallerWindow::*kHandler)(UINT, WPARAM, LPARAM)>
INT_PTR CALLBACK InstallerWindow::DialogProc(HWND dialog, UINT message, WPARAM wparam,
                                             LPARAM lparam) {
  auto* self = reinterpret_cast<InstallerWindow*>(GetWindowLongPtrW(dialog, DWLP_USER));
  if (message == WM_INITDIALOG) {
    self = reinterpret_cast<InstallerWindow*>(lparam);
    SetWindowLongPtrW(dialog, DWLP_USER, lparam);
    self->*kDialog = dialog;
  }
  return self ? (self->*kHandler)(message, wparam, lparam) : FALSE;
}

INT_PTR InstallerWindow::HandleMainMessage(UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_INITDIALOG:
      InitMainDialog();
      return FALSE;  // the page chooses the focus
    case WM_ACTIVATE:
      Win32DialogDispatcher::Get().OnActivate(main_dialog_, LOWORD(wparam) != WA_INACTIVE);
      return FALSE;
    case WM_COMMAND:
      OnMainCommand(LOWORD(wparam), HIWORD(wparam));
      return TRUE;
    case WM_NOTIFY:
      return OnNotify(reinterpret_cast<const NMHDR*>(lparam));
    case WM_CLOSE:
      ConfirmCancel();
      return TRUE;
    case WM_ERASEBKGND:
      if (current_page_ == kPageOptions) return FALSE;
      PaintBackground(reinterpret_cast<HDC>(wparam));
      return TRUE;
    case WM_WINDOWPOSCHANGED:
    case WM_THEMECHANGED:
      background_.Reset();
      return FALSE;
    case WM_DPICHANGED:
      OnDpiChanged(HIWORD(wparam), *reinterpret_cast<const RECT*>(lparam));
      return TRUE;
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSTATIC:
      return OnColor(reinterpret_cast<HDC>(wparam), reinterpret_cast<HWND>(lparam), message);
    default:
      return FALSE;
  }
}

INT_PTR InstallerWindow::HandleOptionsMessage(UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_INITDIALOG:
      InitOptionsDialog();
      return FALSE;
    case WM_COMMAND:
      OnOptionsCommand(LOWORD(wparam), HIWORD(wparam));
      return TRUE;
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSTATIC:
      return OnColor(reinterpret_cast<HDC>(wparam), reinterpret_cast<HWND>(lparam), message);
    default:
      return FALSE;
  }
}

void InstallerWindow::InitMainDialog() {
  logo_ = LoadImageResource(kLogoResource, L"PNG");
  error_badge_ = LoadImageResource(kErrorBadgeResource, L"PNG");
  background_image_ = LoadImageResource(kBackgroundResource, L"JPG");
  dpi_ = ScreenDpi(main_dialog_);
  fonts_.Create(dpi_);
  HINSTANCE module = GetModuleHandleW(nullptr);
  for (int size : {ICON_SMALL, ICON_BIG}) {
    int metric = size == ICON_SMALL ? SM_CXSMICON : SM_CXICON;
    auto icon = static_cast<HICON>(LoadImageW(module, MAKEINTRESOURCEW(kIconResource), IMAGE_ICON,
                                              GetSystemMetrics(metric), GetSystemMetrics(metric),
                                              LR_SHARED));
    SendMessageW(main_dialog_, WM_SETICON, static_cast<WPARAM>(size), reinterpret_cast<LPARAM>(icon));
  }
  SetWindowSubclass(Control(kLogo), LogoProc, 0, reinterpret_cast<DWORD_PTR>(this));
  SendMessageW(Control(kWelcomeText), EM_SETEVENTMASK, 0, ENM_LINK);
  for (int id : {kHeading, kWelcomeText}) SetWindowSubclass(Control(id), NoCaretProc, 0, 0);
  ApplyFonts();
  if (progress_only_) {
    ShowPage(kPageProgress);
  } else if (!settings_.IsUninstall()) {
    SetWindowTextW(Control(kTermsText), ReadTermsText().c_str());
  }
}

void InstallerWindow::ApplyFonts() {
  auto set_font = [this](int id, HFONT font) {
    SendMessageW(Control(id), WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
  };
  set_font(kUninstallQuestion, fonts_.bold);
  for (int id : {kProgressHeading, kErrorHeading, kUninstallErrorHeading}) set_font(id, fonts_.large);
  set_font(kHeading, fonts_.heading);
  if (options_dialog_) set_font(kInvalidFolderWarning, fonts_.bold);
}

void InstallerWindow::InitOptionsDialog() {
  ShowWindow(Control(kDefaultBrowserCheck), GetWindowsVersionRank() < kWindows8 ? SW_SHOWNA : SW_HIDE);
  SendMessageW(Control(kInvalidFolderWarning), WM_SETFONT, reinterpret_cast<WPARAM>(fonts_.bold), FALSE);
  RECT list, browse;
  GetWindowRect(Control(kFolderList), &list);
  GetWindowRect(Control(kBrowseButton), &browse);
  MapWindowPoints(nullptr, options_dialog_, reinterpret_cast<POINT*>(&browse), 2);
  SetWindowPos(Control(kBrowseButton), nullptr, browse.left, browse.top, browse.right - browse.left,
               list.bottom - list.top, SWP_NOZORDER | SWP_NOACTIVATE);
  tooltip_ = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr,
                             WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX | TTS_USEVISUALSTYLE, 0, 0, 0, 0,
                             options_dialog_, nullptr, GetModuleHandleW(nullptr), nullptr);
  TTTOOLINFOW tool = {};
  tool.cbSize = sizeof(tool);
  tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
  tool.hwnd = options_dialog_;
  tool.uId = reinterpret_cast<UINT_PTR>(Control(kModeList));
  tool.lpszText = const_cast<wchar_t*>(L"");
  SendMessageW(tooltip_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
  SendMessageW(tooltip_, TTM_SETMAXTIPWIDTH, 0, MulDiv(kTooltipWidth, dpi_, 96));
}

// Painting ------------------------------------------------------------------

INT_PTR InstallerWindow::OnColor(HDC dc, HWND control, UINT message) {
  int id = GetDlgCtrlID(control);
  bool in_options = GetParent(control) == options_dialog_;
  if (message == WM_CTLCOLORDLG) return reinterpret_cast<INT_PTR>(white_brush_);
  if (in_options) {
    if (id == kInvalidFolderWarning) SetTextColor(dc, kWarningRed);
    SetBkMode(dc, TRANSPARENT);
    return reinterpret_cast<INT_PTR>(white_brush_);
  }
  if (id == kTermsText) return reinterpret_cast<INT_PTR>(window_brush_);
  if (message == WM_CTLCOLORBTN) return reinterpret_cast<INT_PTR>(white_brush_);
  // Each static paints the window's background under its text itself, so a
  // changed text never shows over the old one.
  SetTextColor(dc, RGB(0, 0, 0));
  SetBkMode(dc, TRANSPARENT);
  return reinterpret_cast<INT_PTR>(BackgroundBrush(control, dc));
}

HBRUSH InstallerWindow::BackgroundBrush(HWND control, HDC dc) {
  ComposeBackground();
  if (!background_brush_ && background_) background_brush_ = CreatePatternBrush(background_.get());
  RECT rect;
  GetWindowRect(control, &rect);
  MapWindowPoints(nullptr, main_dialog_, reinterpret_cast<POINT*>(&rect), 2);
  SetBrushOrgEx(dc, -rect.left, -rect.top, nullptr);
  return background_brush_ ? background_brush_ : white_brush_;
}

void InstallerWindow::ComposeBackground() {
  if (background_) return;
  if (background_brush_) DeleteObject(background_brush_);
  background_brush_ = nullptr;
  RECT client;
  GetClientRect(main_dialog_, &client);
  HDC screen = GetDC(main_dialog_);
  HDC dc = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, client.right, client.bottom);
  ReleaseDC(main_dialog_, screen);
  if (!bitmap) {
    DeleteDC(dc);
    return;
  }
  background_ = Bitmap(bitmap, client.right, client.bottom);
  HGDIOBJ previous = SelectObject(dc, bitmap);
  FillRect(dc, &client, GetSysColorBrush(COLOR_3DFACE));
  DrawBitmap(dc, background_image_, client);
  // Rich edits paint their own background: the colour under their middle
  // makes them blend in.
  for (int id : {kHeading, kWelcomeText}) {
    RECT rect;
    GetWindowRect(Control(id), &rect);
    MapWindowPoints(nullptr, main_dialog_, reinterpret_cast<POINT*>(&rect), 2);
    COLORREF under = GetPixel(dc, (rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2);
    if (under != CLR_INVALID) SendMessageW(Control(id), EM_SETBKGNDCOLOR, 0, under);
  }
  SelectObject(dc, previous);
  DeleteDC(dc);
}

void InstallerWindow::PaintBackground(HDC dc) {
  ComposeBackground();
  RECT client;
  GetClientRect(main_dialog_, &client);
  if (!background_) {
    FillRect(dc, &client, white_brush_);
    return;
  }
  HDC source = CreateCompatibleDC(dc);
  HGDIOBJ previous = SelectObject(source, background_.get());
  BitBlt(dc, 0, 0, client.right, client.bottom, source, 0, 0, SRCCOPY);
  SelectObject(source, previous);
  DeleteDC(source);
}

void InstallerWindow::PaintLogo(HDC dc, const RECT& area) {
  if (!logo_) return;
  int width = std::min<int>(MulDiv(logo_.width(), dpi_, 96), area.right - area.left);
  int height = std::min<int>(MulDiv(logo_.height(), dpi_, 96), area.bottom - area.top);
  int side = std::min(width, height);
  RECT logo = {(area.left + area.right - side) / 2, (area.top + area.bottom - side) / 2, 0, 0};
  logo.right = logo.left + side;
  logo.bottom = logo.top + side;
  DrawBitmap(dc, logo_, logo);
  if (!error_page_shown_ || !error_badge_) return;
  int badge_side = MulDiv(error_badge_.width(), dpi_, 96);
  RECT badge = {logo.right + kErrorBadgeOffset - badge_side, logo.bottom + kErrorBadgeOffset - badge_side,
                logo.right + kErrorBadgeOffset, logo.bottom + kErrorBadgeOffset};
  DrawBitmap(dc, error_badge_, badge);
}

namespace {

LRESULT CALLBACK LogoProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam, UINT_PTR,
                          DWORD_PTR data) {
  if (message != WM_PAINT) return DefSubclassProc(window, message, wparam, lparam);
  auto* self = reinterpret_cast<InstallerWindow*>(data);
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(window, &paint);
  RECT area;
  GetClientRect(window, &area);
  self->PaintLogoArea(window, dc, area);
  EndPaint(window, &paint);
  return 0;
}

}  // namespace

void InstallerWindow::PaintLogoArea(HWND logo, HDC dc, const RECT& area) {
  // The logo's own background is the window's, under it.
  ComposeBackground();
  if (background_) {
    RECT rect;
    GetWindowRect(logo, &rect);
    MapWindowPoints(nullptr, main_dialog_, reinterpret_cast<POINT*>(&rect), 2);
    HDC source = CreateCompatibleDC(dc);
    HGDIOBJ previous = SelectObject(source, background_.get());
    BitBlt(dc, 0, 0, area.right, area.bottom, source, rect.left, rect.top, SRCCOPY);
    SelectObject(source, previous);
    DeleteDC(source);
  }
  PaintLogo(dc, area);
}

void InstallerWindow::OnDpiChanged(int dpi, const RECT& suggested) {
  dpi_ = dpi;
  fonts_.Create(dpi);
  ApplyFonts();
  SetWindowPos(main_dialog_, nullptr, suggested.left, suggested.top, suggested.right - suggested.left,
               suggested.bottom - suggested.top, SWP_NOZORDER | SWP_NOACTIVATE);
  background_.Reset();
  Repaint();
}

void InstallerWindow::Repaint() {
  RedrawWindow(main_dialog_, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
}

}  // namespace norva::installer
