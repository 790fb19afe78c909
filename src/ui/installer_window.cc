#include "ui/installer_window.h"

#include <commctrl.h>
#include <richedit.h>
#include <uxtheme.h>
#include <windowsx.h>

#include <algorithm>

#include "base/logging.h"
#include "base/module_resource.h"
#include "base/strings.h"
#include "product/languages.h"
#include "product/resource_ids.h"
#include "system/access_rights.h"
#include "product/product_info.h"
#include "system/windows_version.h"
#include "ui/accessibility.h"
#include "ui/dialog_proc.h"
#include "ui/message_box.h"
#include "ui/rich_text.h"
#include "ui/win32_dialog_dispatcher.h"
#include "ui/window_layout.h"

namespace norva::installer {
namespace {

using l10n::GetLocalizedString;

// Texts of the window that do not depend on the state of the run.
constexpr struct {
  int control;
  int string_id;
} kControlTexts[] = {
    {IDC_OPTIONS_BUTTON, IDS_OPTIONS},
    {IDC_CANCEL_BUTTON, IDS_CANCEL},
    {IDC_FULL_PACKAGE_BUTTON, IDS_DOWNLOAD_FULL_INSTALLER},
    {IDC_RETRY_BUTTON, IDS_RETRY},
    {IDC_UNINSTALL_BUTTON, IDS_UNINSTALL},
    {IDC_PROGRESS_HEADING, IDS_INSTALLING_HEADING},
    {IDC_ERROR_HEADING, IDS_INSTALLATION_FAILED},
    {IDC_BACK_BUTTON, IDS_BACK},
    {IDC_UNINSTALL_QUESTION, IDS_UNINSTALL_QUESTION},
    {IDC_DELETE_PROFILE_CHECK, IDS_DELETE_PROFILE},
    {IDC_UNINSTALL_ERROR_HEADING, IDS_UNINSTALLATION_FAILED},
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
    {IDC_OPTIONS_BUTTON, "OPTIONS", Command::kShowPage, kPageOptions},
    {IDC_CANCEL_BUTTON, "CANCEL", Command::kConfirmCancel, kPageNone},
    {IDC_ACCEPT_BUTTON, "ACCEPT", Command::kProceed, kPageNone},
    {IDC_FULL_PACKAGE_BUTTON, "FULL_PACKAGE", Command::kFullPackage, kPageNone},
    {IDC_RETRY_BUTTON, "RETRY", Command::kProceed, kPageNone},
    {IDC_UNINSTALL_BUTTON, "UNINSTALL", Command::kProceed, kPageNone},
    {IDC_BACK_BUTTON, "BACK", Command::kShowPage, kPageWelcome},
};

void SetControlText(HWND window, int id, const std::wstring& text) {
  if (!text.empty()) SetWindowTextW(GetDlgItem(window, id), text.c_str());
}

void SetControlTexts(HWND window) {
  for (const auto& text : kControlTexts)
    SetControlText(window, text.control, GetLocalizedString(text.string_id));
}

// "Welcome to Norva", the product's name set apart by the painter.
void SetHeadingText(HWND heading, const WindowPainter& painter, bool mirrored) {
  std::wstring name = GetLocalizedString(IDS_PRODUCT_NAME);
  std::wstring text = GetLocalizedString(IDS_WELCOME_HEADING, {name});
  if (text.empty()) return;
  SetWindowTextW(heading, text.c_str());
  size_t name_at = name.empty() ? std::wstring::npos : text.find(name);
  if (name_at == std::wstring::npos)
    painter.ColorHeading(heading, 0, 0);
  else
    painter.ColorHeading(heading, name_at, name_at + name.size());
  SetRichTextDirection(heading, mirrored);
}

void SetWindowIcons(HWND window, int dpi) {
  HINSTANCE module = GetModuleHandleW(nullptr);
  for (int size : {ICON_SMALL, ICON_BIG}) {
    int side = SystemMetricForDpi(size == ICON_SMALL ? SM_CXSMICON : SM_CXICON, dpi);
    auto icon = static_cast<HICON>(
        LoadImageW(module, MAKEINTRESOURCEW(IDI_NORVA), IMAGE_ICON, side, side, LR_SHARED));
    SendMessageW(window, WM_SETICON, static_cast<WPARAM>(size), reinterpret_cast<LPARAM>(icon));
  }
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

std::wstring ReadTermsText() {
  std::string_view text = ModuleResource(IDR_TERMS, L"TXT");
  std::string crlf;
  for (char c : text.substr(0, text.find('\0'))) {
    if (c == '\n') crlf += '\r';
    crlf += c;
  }
  return Utf8ToWide(crlf);
}

void Repaint(HWND window) {
  RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
}

}  // namespace

std::unique_ptr<InstallerWindow> InstallerWindow::Create(Settings& settings, StatsNode stats_root,
                                                         bool progress_only) {
  // First: its painter starts decoding the images while the controls are made.
  std::unique_ptr<InstallerWindow> window(
      new InstallerWindow(settings, std::move(stats_root), progress_only));
  INITCOMMONCONTROLSEX controls = {8, 0xC2FF};
  if (!InitCommonControlsEx(&controls))
    LOG(ERROR) << "InitCommonControlsEx failed." << " " << logging::SystemErrorText(GetLastError());
  if (!LoadLibraryExW(L"Msftedit.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32))
    LOG(ERROR) << "Loading library Msftedit.dll failed."
               << " " << logging::SystemErrorText(GetLastError());
  const bool uninstall = settings.options().uninstall;
  const InstallerPage first_page = progress_only ? kPageProgress
                                   : uninstall   ? kPageUninstall
                                                 : kPageWelcome;
  HINSTANCE module = GetModuleHandleW(nullptr);
  if (!ReadDialogLayout(module, IDD_INSTALLER_WINDOW, &window->layout_))
    LOG(WARNING) << "The window's template could not be read";
  auto* proc =
      OwnedDialogProc<InstallerWindow, &InstallerWindow::dialog_, &InstallerWindow::HandleMessage>;
  auto param = reinterpret_cast<LPARAM>(window.get());
  // In a language written right to left the controls are made mirrored: a
  // list's drop-down list takes its direction only as it is made.
  const bool right_to_left = IsRightToLeft(l10n::GetCurrentUiLanguage());
  auto edit = [right_to_left](SIZE dialog, TemplateControl& control) {
    if (right_to_left) MirrorTemplateControl(dialog, control);
  };
  if (window->template_.Load(
          module, IDD_INSTALLER_WINDOW,
          [&](int id) { return PageShowsControl(first_page, id, uninstall); }, edit)) {
    window->mirrored_ = right_to_left;
    CreateDialogIndirectParamW(module, window->template_.first_template(), nullptr, proc, param);
  } else {
    LOG(WARNING) << "The window's template could not be split";
    CreateDialogParamW(module, MAKEINTRESOURCEW(IDD_INSTALLER_WINDOW), nullptr, proc, param);
  }
  bool created = window->dialog_ != nullptr;
  if (created) {
    if (!progress_only) window->ShowPage(first_page);
    window->OnLanguageChanged();
    ShowWindow(window->dialog_, SW_SHOW);
    // The other pages' controls and the options panel's cost about as much
    // to make as the first page's: the window is painted before they are
    // made.
    RedrawWindow(window->dialog_, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
    window->CreateLaterControls();
    created = window->panel_.Create(window->dialog_, window->mirrored_);
  }
  if (!created) {
    LOG(ERROR) << "Window creation failed." << " " << logging::SystemErrorText(GetLastError());
    return nullptr;
  }
  window->OnPanelCreated();
  if (!settings.IsStatusFetchPending()) window->OnInstallFolderStatusChanged();
  return window;
}

InstallerWindow::InstallerWindow(Settings& settings, StatsNode stats_root, bool progress_only)
    : settings_(settings),
      progress_only_(progress_only),
      stats_(std::move(stats_root)),
      panel_(settings, painter_, stats_, [this] { OnSettingsChanged(); }) {
  if (!progress_only_) settings_.AddObserver(this);
}

InstallerWindow::~InstallerWindow() {
  panel_.Destroy();
  if (!progress_only_) settings_.RemoveObserver(this);
  if (dialog_) DestroyWindow(dialog_);
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

// Pages -----------------------------------------------------------------

void InstallerWindow::ShowPage(InstallerPage page) {
  if (page == current_page_) return;
  stats_.StartPage(PageName(page));
  ShowPageControls(dialog_, page, settings_.options().uninstall);
  ShowWindow(panel_.handle(), page == kPageOptions ? SW_SHOWNA : SW_HIDE);
  int focused = PageFocusControl(page);
  // Enter presses the page's own button.
  SendMessageW(dialog_, DM_SETDEFID, focused ? focused : IDOK, 0);
  // A page without a button to press gives the focus to its progress, which
  // is what a screen reader should read.
  HWND focus = Control(focused ? focused : IDC_PROGRESS_BAR);
  if (GetFocus() == focus)
    AnnounceFocus();  // the same control on a new page
  else
    SendMessageW(dialog_, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(focus), TRUE);
  painter_.SetErrorBadgeShown(page == kPageError);
  current_page_ = page;
  Repaint(dialog_);
}

void InstallerWindow::ShowError(const std::wstring& message, bool show_full_package_button,
                                const std::string& failure_reason) {
  ShowPage(kPageError);
  ShowWindow(Control(IDC_FULL_PACKAGE_BUTTON), show_full_package_button ? SW_SHOWNA : SW_HIDE);
  if (progress_only_ || settings_.options().uninstall)
    ShowWindow(Control(IDC_BACK_BUTTON), SW_HIDE);
  SetWindowTextW(Control(IDC_STATUS_TEXT), message.c_str());
  InvalidateRect(Control(IDC_STATUS_TEXT), nullptr, TRUE);
  stats_.SetString("failure_reason", failure_reason);
}

void InstallerWindow::ShowErrorMessage(const std::wstring& message) {
  ShowInstallerMessageBox(dialog_, message, MB_OK | MB_ICONERROR);
  stats_.SetString("error_displayed", WideToUtf8(message));
  NotifyObservers(&InstallerWindowObserver::OnCancel);
}

bool InstallerWindow::AskSwitchToCurrentUser() {
  bool accepted = ShowInstallerMessageBox(dialog_, GetLocalizedString(IDS_SWITCH_TO_CURRENT_USER),
                                          MB_OKCANCEL | MB_ICONWARNING) == IDOK;
  stats_.SetInteger("auto_switch_to_current_user", accepted ? 0 : 1);
  return accepted;
}

void InstallerWindow::SetProgressState(FetchState state) {
  int id = state <= FetchState::kDownloading ? IDS_DOWNLOADING
           : state == FetchState::kUnpacking ? IDS_UNPACKING
           : settings_.options().uninstall   ? IDS_UNINSTALLING
                                             : IDS_INSTALLING;
  SetControlText(dialog_, IDC_STATUS_TEXT, GetLocalizedString(id));
  InvalidateRect(Control(IDC_STATUS_TEXT), nullptr, TRUE);
}

void InstallerWindow::ConfirmCancel() {
  if (ShowInstallerMessageBox(dialog_, GetLocalizedString(IDS_CONFIRM_CANCEL),
                              MB_YESNO | MB_ICONQUESTION) == IDYES)
    NotifyObservers(&InstallerWindowObserver::OnCancel);
}

// Texts -----------------------------------------------------------------

void InstallerWindow::OnLanguageChanged() {
  bool right_to_left = IsRightToLeft(l10n::GetCurrentUiLanguage());
  if (right_to_left != mirrored_) {
    MirrorChildren(dialog_, panel_.handle());
    panel_.Mirror();
    mirrored_ = right_to_left;
  }
  SetControlTexts(dialog_);
  panel_.SetTexts();
  SetHeadingText(Control(IDC_HEADING), painter_, mirrored_);
  SetWindowTextW(dialog_, GetLocalizedString(IDS_WINDOW_TITLE).c_str());
  Repaint(dialog_);
  if (settings_.options().uninstall) return;
  if (panel_.handle()) panel_.FillLists();
  FitButtonToText(dialog_, Control(IDC_FULL_PACKAGE_BUTTON), mirrored_, painter_.dpi());
  if (!progress_only_) OnSettingsChanged();
}

void InstallerWindow::OnSystemColorsChanged() {
  // The common controls hear of new colours only from their window.
  EnumChildWindows(
      dialog_,
      [](HWND child, LPARAM) {
        SendMessageW(child, WM_SYSCOLORCHANGE, 0, 0);
        return TRUE;
      },
      0);
  painter_.OnSystemColorsChanged();
  FollowContrastTheme();
  OnLanguageChanged();  // the texts take their colours as they are set
}

// Under a high-contrast theme the controls drop their visual style, whose
// images are not drawn in the system's colours.
void InstallerWindow::FollowContrastTheme() {
  EnumChildWindows(
      dialog_,
      [](HWND child, LPARAM high_contrast) {
        if (high_contrast)
          SetWindowTheme(child, L" ", L" ");  // no such class: drawn without style
        else
          SetWindowTheme(child, nullptr, nullptr);
        return TRUE;
      },
      painter_.high_contrast());
}

void InstallerWindow::OnDpiChanged(int dpi, const RECT& suggested) {
  if (dpi <= 0) return;
  painter_.OnDpiChanged(dpi);
  SetWindowPos(dialog_, nullptr, suggested.left, suggested.top, suggested.right - suggested.left,
               suggested.bottom - suggested.top, SWP_NOZORDER | SWP_NOACTIVATE);
  HFONT font = painter_.dialog_font();
  // What the dialog reports as its font, which later measures use.
  SendMessageW(dialog_, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
  LayOutControls(dialog_, layout_, font, mirrored_);
  panel_.OnDpiChanged(font, mirrored_);
  painter_.ApplyFonts(panel_.handle());
  SetWindowIcons(dialog_, dpi);
  OnLanguageChanged();  // the texts in their new fonts, the buttons to their widths
}

void InstallerWindow::OnPanelCreated() {
  if (mirrored_) MirrorPosition(dialog_, panel_.handle());
  painter_.ApplyFonts(panel_.handle());
  if (painter_.high_contrast()) FollowContrastTheme();
  ExposeToScreenReaders(panel_.handle());
  panel_.SetTexts();
  if (settings_.options().uninstall) return;
  panel_.FillLists();
  if (!progress_only_) OnSettingsChanged();
}

// Settings ----------------------------------------------------------------

void InstallerWindow::OnInstallFolderStatusChanged() {
  OnSettingsChanged();
  if (!settings_.options().uninstall && !progress_only_) panel_.ApplyFolderText();
}

void InstallerWindow::OnSettingsChanged() {
  const InstallationStatus& status = settings_.GetInstallationStatus();
  bool needs_elevation =
      !IsUserAdmin(false) && (settings_.choices().all_users || !status.IsWritable());
  if (settings_.options().uninstall)
    RefreshUninstallControls(needs_elevation);
  else
    RefreshInstallControls(needs_elevation);
  Repaint(dialog_);
}

void InstallerWindow::RefreshUninstallControls(bool needs_elevation) {
  if (GetWindowsVersionRank() >= kWindowsVista)
    SendMessageW(Control(IDC_UNINSTALL_BUTTON), BCM_SETSHIELD, 0, needs_elevation);
  Button_SetCheck(Control(IDC_DELETE_PROFILE_CHECK),
                  settings_.choices().delete_profile ? BST_CHECKED : BST_UNCHECKED);
}

void InstallerWindow::RefreshInstallControls(bool needs_elevation) {
  const InstallationStatus& status = settings_.GetInstallationStatus();
  // A launcher without an installation status is what a broken or partly
  // removed installation leaves: accepting updates it.
  bool installed = status.IsExistingInstallation() || status.IsLegacyInstallation() ||
                   status.HasLauncher();
  SetControlText(dialog_, IDC_ACCEPT_BUTTON,
                 GetLocalizedString(installed ? IDS_ACCEPT_AND_UPDATE : IDS_ACCEPT_AND_INSTALL));
  welcome_links_.SetText(MarkLinks(GetLocalizedString(IDS_TERMS_NOTICE)), painter_.LinkColor(),
                         painter_.high_contrast());
  SetRichTextDirection(Control(IDC_WELCOME_TEXT), mirrored_);
  if (GetWindowsVersionRank() >= kWindowsVista) {
    for (int id : {IDC_ACCEPT_BUTTON, IDC_RETRY_BUTTON})
      SendMessageW(Control(id), BCM_SETSHIELD, 0, needs_elevation);
  }
  panel_.Refresh();
  bool valid = status.IsValid();
  EnableWindow(Control(IDC_ACCEPT_BUTTON), valid);
  EnableWindow(Control(IDC_BACK_BUTTON), valid);
  // Disabled while the folder was examined, the focused button lost the
  // focus, and a keyboard user had nowhere to start from: it comes back.
  int focused = PageFocusControl(current_page_);
  if (valid && focused && !GetFocus() && GetActiveWindow() == dialog_)
    SendMessageW(dialog_, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(Control(focused)), TRUE);
}

// Messages ----------------------------------------------------------------

void InstallerWindow::OnCommand(int id, int code) {
  for (const Command& command : kCommands) {
    if (command.control != id) continue;
    stats_.RecordAction(command.action);
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
  if (id == IDC_TERMS_TEXT && code == EN_SETFOCUS) {
    SendMessageW(Control(IDC_TERMS_TEXT), EM_SETSEL, static_cast<WPARAM>(-1), 0);
  } else if (id == IDC_DELETE_PROFILE_CHECK && code == BN_CLICKED) {
    stats_.CountChange("changed_delete_profile");
    if (settings_.IsModifiable())
      settings_.SetChoice(Settings::Choice::kDeleteProfile,
                          Button_GetCheck(Control(id)) == BST_CHECKED);
    OnSettingsChanged();
    InvalidateRect(Control(id), nullptr, TRUE);
  } else if (id == IDCANCEL) {  // Esc
    ConfirmCancel();
  }
}

bool InstallerWindow::OnNotify(const NMHDR* header) {
  if (header->idFrom != IDC_WELCOME_TEXT || header->code != EN_LINK) return false;
  return welcome_links_.OnLinkNotify(*reinterpret_cast<const ENLINK*>(header));
}

void InstallerWindow::OpenLink(const std::wstring& target) {
  stats_.RecordAction("TOS");
  if (EqualsCaseInsensitiveASCII(target, L"tos")) {
    ShowPage(kPageTerms);
    return;
  }
  // Only web pages: the text is ours, but a link elsewhere is not opened.
  if (target.starts_with(L"https://") || target.starts_with(L"http://")) {
    std::vector<InstallerWindowObserver*> observers = observers_;
    for (InstallerWindowObserver* observer : observers) observer->OnOpenWebPage(target);
  }
}

INT_PTR InstallerWindow::HandleMessage(UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_INITDIALOG:
      Init();
      return FALSE;  // the page chooses the focus
    case WM_ACTIVATE:
      Win32DialogDispatcher::Get().OnActivate(dialog_, LOWORD(wparam) != WA_INACTIVE);
      return FALSE;
    case WM_COMMAND:
      OnCommand(LOWORD(wparam), HIWORD(wparam));
      return TRUE;
    case WM_NOTIFY:
      return OnNotify(reinterpret_cast<const NMHDR*>(lparam));
    case WM_CLOSE:
      ConfirmCancel();
      return TRUE;
    case WM_ERASEBKGND:
      if (current_page_ == kPageOptions) return FALSE;
      painter_.PaintBackground(reinterpret_cast<HDC>(wparam));
      return TRUE;
    case WM_WINDOWPOSCHANGED:
    case WM_THEMECHANGED:
      painter_.ResetBackground();
      return FALSE;
    case WM_SETTINGCHANGE:
      if (wparam == SPI_SETHIGHCONTRAST) OnSystemColorsChanged();
      return FALSE;
    case WM_SYSCOLORCHANGE:
      OnSystemColorsChanged();
      return FALSE;
    case WM_DPICHANGED:
      // The message's DPI: the window may be asked before the system
      // answers for it.
      OnDpiChanged(HIWORD(wparam), *reinterpret_cast<const RECT*>(lparam));
      return TRUE;
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSTATIC:
      return painter_.ControlColor(reinterpret_cast<HDC>(wparam), reinterpret_cast<HWND>(lparam),
                                   message, false);
    default:
      return FALSE;
  }
}

void InstallerWindow::Init() {
  TakeOverDpiScaling(dialog_);
  painter_.Attach(dialog_, layout_);
  SetWindowIcons(dialog_, painter_.dpi());
  SetUpControls();
  if (progress_only_) ShowPage(kPageProgress);
}

// Runs again over the controls made before: each step leaves a control it
// has set up as it was.
void InstallerWindow::SetUpControls() {
  for (int id : {IDC_HEADING, IDC_WELCOME_TEXT}) SetWindowSubclass(Control(id), NoCaretProc, 0, 0);
  if (HWND text = Control(IDC_WELCOME_TEXT); text && !links_attached_) {
    welcome_links_.Attach(text, [this](const std::wstring& target) { OpenLink(target); });
    links_attached_ = true;
  }
  if (painter_.high_contrast()) FollowContrastTheme();
  painter_.ApplyFonts(nullptr);
  ExposeToScreenReaders(dialog_);
  if (HWND logo = Control(IDC_LOGO)) NamePicture(logo, Utf8ToWide(product::ProductName()));
  HWND terms = Control(IDC_TERMS_TEXT);
  if (terms && !progress_only_ && !settings_.options().uninstall &&
      GetWindowTextLengthW(terms) == 0)
    SetWindowTextW(terms, ReadTermsText().c_str());
}

void InstallerWindow::CreateLaterControls() {
  std::vector<HWND> made = template_.CreateLaterControls(dialog_);
  if (made.empty()) return;
  painter_.AdoptControls();
  SetUpControls();
  // Made mirrored, as the first ones, when the window opened so.
  OnLanguageChanged();  // their texts, sizes and states
}

}  // namespace norva::installer
