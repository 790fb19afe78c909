#include "ui/options_panel.h"

#include <commctrl.h>
#include <shlobj.h>
#include <windowsx.h>

#include <iterator>
#include <utility>

#include "base/logging.h"
#include "base/strings.h"
#include "product/languages.h"
#include "product/resource_ids.h"
#include "system/windows_version.h"
#include "ui/dialog_proc.h"
#include "ui/rich_text.h"
#include "ui/window_layout.h"
#include "ui/window_painter.h"
#include "ui/window_stats.h"

namespace norva::installer {
namespace {

using l10n::GetLocalizedString;

constexpr int kTooltipWidth = 300;

constexpr struct {
  int control;
  int string_id;
} kControlTexts[] = {
    {IDC_BROWSE_BUTTON, IDS_BROWSE},
    {IDC_DEFAULT_BROWSER_CHECK, IDS_MAKE_DEFAULT_BROWSER},
    {IDC_IMPORT_CHECK, IDS_IMPORT_DATA},
    {IDC_STATS_CHECK, IDS_SEND_STATISTICS},
    {IDC_INVALID_FOLDER_WARNING, IDS_INVALID_FOLDER},
    {IDC_LANGUAGE_LABEL, IDS_LANGUAGE_LABEL},
    {IDC_MODE_LABEL, IDS_MODE_LABEL},
    {IDC_FOLDER_LABEL, IDS_FOLDER_LABEL},
};

TTTOOLINFOW ToolFor(HWND panel, HWND control, wchar_t* text) {
  TTTOOLINFOW tool = {};
  tool.cbSize = sizeof(tool);
  tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
  tool.hwnd = panel;
  tool.uId = reinterpret_cast<UINT_PTR>(control);
  tool.lpszText = text;
  return tool;
}

// The text of item `item` of a combo box.
std::wstring ItemText(HWND list, LRESULT item) {
  std::wstring text(
      static_cast<size_t>(SendMessageW(list, CB_GETLBTEXTLEN, static_cast<WPARAM>(item), 0)),
      L'\0');
  SendMessageW(list, CB_GETLBTEXT, static_cast<WPARAM>(item),
               reinterpret_cast<LPARAM>(text.data()));
  return text;
}

}  // namespace

OptionsPanel::OptionsPanel(Settings& settings, WindowPainter& painter, WindowStats& stats,
                           std::function<void()> on_edit)
    : settings_(settings),
      painter_(painter),
      stats_(stats),
      on_edit_(std::move(on_edit)),
      languages_(l10n::AvailableLanguages()) {}

OptionsPanel::~OptionsPanel() { Destroy(); }

bool OptionsPanel::Create(HWND window, bool mirrored) {
  HINSTANCE module = GetModuleHandleW(nullptr);
  if (!ReadDialogLayout(module, IDD_OPTIONS_PANEL, &layout_))
    LOG(WARNING) << "The options panel's template could not be read";
  auto* proc = OwnedDialogProc<OptionsPanel, &OptionsPanel::dialog_, &OptionsPanel::HandleMessage>;
  auto param = reinterpret_cast<LPARAM>(this);
  // Made mirrored, its lists' drop-down lists read right to left too.
  std::vector<BYTE> mirrored_template;
  if (mirrored)
    mirrored_template = EditDialogTemplate(module, IDD_OPTIONS_PANEL, MirrorTemplateControl);
  if (!mirrored_template.empty()) {
    CreateDialogIndirectParamW(module,
                               reinterpret_cast<const DLGTEMPLATE*>(mirrored_template.data()),
                               window, proc, param);
    return dialog_ != nullptr;
  }
  if (mirrored) LOG(WARNING) << "The options panel's template could not be mirrored";
  CreateDialogParamW(module, MAKEINTRESOURCEW(IDD_OPTIONS_PANEL), window, proc, param);
  if (dialog_ && mirrored) Mirror();
  return dialog_ != nullptr;
}

void OptionsPanel::Destroy() {
  if (tooltip_) DestroyWindow(tooltip_);
  if (dialog_) DestroyWindow(dialog_);
  tooltip_ = nullptr;
  dialog_ = nullptr;
}

INT_PTR OptionsPanel::HandleMessage(UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_INITDIALOG:
      Init();
      return FALSE;
    case WM_COMMAND:
      if (OnCommand(LOWORD(wparam), HIWORD(wparam))) on_edit_();
      return TRUE;
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSTATIC: {
      auto control = reinterpret_cast<HWND>(lparam);
      return painter_.ControlColor(reinterpret_cast<HDC>(wparam), control, message,
                                   GetParent(control) == dialog_);
    }
    default:
      return FALSE;
  }
}

void OptionsPanel::Init() {
  ShowWindow(Control(IDC_DEFAULT_BROWSER_CHECK),
             GetWindowsVersionRank() < kWindows8 ? SW_SHOWNA : SW_HIDE);
  TakeOverDpiScaling(dialog_);
  MatchBrowseButtonToList();
  AddModeTooltip();
}

void OptionsPanel::MatchBrowseButtonToList() {
  RECT list, browse;
  GetWindowRect(Control(IDC_FOLDER_LIST), &list);
  GetWindowRect(Control(IDC_BROWSE_BUTTON), &browse);
  MapWindowPoints(nullptr, dialog_, reinterpret_cast<POINT*>(&browse), 2);
  SetWindowPos(Control(IDC_BROWSE_BUTTON), nullptr, browse.left, browse.top,
               browse.right - browse.left, list.bottom - list.top, SWP_NOZORDER | SWP_NOACTIVATE);
}

void OptionsPanel::OnDpiChanged(HFONT font, bool mirrored) {
  if (!dialog_) return;
  PlaceChildDialog(GetParent(dialog_), dialog_, layout_, font, mirrored);
  LayOutControls(dialog_, layout_, font, mirrored);
  MatchBrowseButtonToList();
  if (tooltip_)
    SendMessageW(tooltip_, TTM_SETMAXTIPWIDTH, 0, MulDiv(kTooltipWidth, painter_.dpi(), 96));
}

// The mode list's tooltip explains the modes; FillModeList gives it its text.
void OptionsPanel::AddModeTooltip() {
  tooltip_ = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr,
                             WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX | TTS_USEVISUALSTYLE, 0, 0, 0,
                             0, dialog_, nullptr, GetModuleHandleW(nullptr), nullptr);
  TTTOOLINFOW tool = ToolFor(dialog_, Control(IDC_MODE_LIST), const_cast<wchar_t*>(L""));
  SendMessageW(tooltip_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
  SendMessageW(tooltip_, TTM_SETMAXTIPWIDTH, 0, MulDiv(kTooltipWidth, painter_.dpi(), 96));
}

void OptionsPanel::Mirror() { MirrorChildren(dialog_, nullptr); }

void OptionsPanel::SetTexts() {
  for (const auto& text : kControlTexts) {
    std::wstring localized = GetLocalizedString(text.string_id);
    if (!localized.empty()) SetWindowTextW(Control(text.control), localized.c_str());
  }
}

void OptionsPanel::FillLists() {
  FillLanguageList();
  FillModeList();
}

void OptionsPanel::FillLanguageList() {
  HWND list = Control(IDC_LANGUAGE_LIST);
  SendMessageW(list, CB_RESETCONTENT, 0, 0);
  int selected = 0;
  for (size_t i = 0; i < languages_.size(); ++i) {
    std::wstring name = l10n::GetLocalizedStringForLanguage(IDS_LANGUAGE_NAME, languages_[i]);
    LRESULT item = SendMessageW(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name.c_str()));
    if (item < 0) {
      LOG(ERROR) << "Adding item #" << i << "to the language dropdown failed";
      continue;
    }
    SendMessageW(list, CB_SETITEMDATA, static_cast<WPARAM>(item), static_cast<LPARAM>(i));
    if (EqualsCaseInsensitiveASCII(languages_[i], settings_.choices().language))
      selected = static_cast<int>(item);
  }
  SendMessageW(list, CB_SETCURSEL, static_cast<WPARAM>(selected), 0);
}

void OptionsPanel::FillModeList() {
  HWND list = Control(IDC_MODE_LIST);
  LRESULT selected = SendMessageW(list, CB_GETCURSEL, 0, 0);
  SendMessageW(list, CB_RESETCONTENT, 0, 0);
  std::wstring current_user = GetLocalizedString(IDS_MODE_CURRENT_USER);
  wchar_t user[256];
  DWORD size = static_cast<DWORD>(std::size(user));
  if (GetUserNameW(user, &size)) current_user += std::wstring(L" (") + user + L")";
  for (const std::wstring& item : {GetLocalizedString(IDS_MODE_ALL_USERS), current_user,
                                   GetLocalizedString(IDS_MODE_STANDALONE)})
    SendMessageW(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item.c_str()));
  SendMessageW(list, CB_SETCURSEL, selected < 0 ? 0 : static_cast<WPARAM>(selected), 0);
  std::vector<std::wstring> modes;
  for (int id = IDS_ALL_USERS_TIP_TITLE; id <= IDS_STANDALONE_TIP; ++id)
    modes.push_back(GetLocalizedString(id));
  std::wstring tip = ReplaceStringPlaceholders(L"$1\n\t$2\n\n$3\n\t$4\n\n$5\n\t$6", modes);
  TTTOOLINFOW tool = ToolFor(dialog_, list, tip.data());
  SendMessageW(tooltip_, TTM_UPDATETIPTEXTW, 0, reinterpret_cast<LPARAM>(&tool));
}

void OptionsPanel::Refresh() {
  const InstallationStatus& status = settings_.GetInstallationStatus();
  HWND mode_list = Control(IDC_MODE_LIST);
  EnableWindow(mode_list, settings_.GetOperation() == kOperationInstall);
  int mode = settings_.choices().copy_only   ? kModeStandalone
             : settings_.choices().all_users ? kModeAllUsers
                                             : kModeCurrentUser;
  SendMessageW(mode_list, CB_SETCURSEL, static_cast<WPARAM>(mode), 0);
  bool default_browser_allowed = !settings_.choices().copy_only;
  if (settings_.options().replace_quorel_installation)
    default_browser_allowed = default_browser_allowed && !status.IsDefaultBrowser();
  EnableWindow(Control(IDC_DEFAULT_BROWSER_CHECK), default_browser_allowed);
  Button_SetCheck(Control(IDC_DEFAULT_BROWSER_CHECK), settings_.choices().default_browser);
  Button_SetCheck(Control(IDC_IMPORT_CHECK), settings_.choices().import_browser_data);
  Button_SetCheck(Control(IDC_STATS_CHECK), settings_.choices().enable_norva_stats ||
                                                settings_.choices().enable_installer_stats);
  ShowWindow(Control(IDC_INVALID_FOLDER_WARNING), status.IsValid() ? SW_HIDE : SW_SHOWNA);
}

void OptionsPanel::ApplyFolderText() {
  HWND list = Control(IDC_FOLDER_LIST);
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

// Commands ----------------------------------------------------------------

bool OptionsPanel::OnCommand(int id, int code) {
  if ((id == IDC_LANGUAGE_LIST || id == IDC_MODE_LIST) && code == CBN_SELCHANGE) {
    OnListChosen(id);
  } else if (id == IDC_FOLDER_LIST && (code == CBN_SELCHANGE || code == CBN_EDITCHANGE)) {
    OnFolderEdited(code);
  } else if (id == IDC_BROWSE_BUTTON && code == BN_CLICKED) {
    if (settings_.IsModifiable()) BrowseForFolder();
  } else if (code == BN_CLICKED &&
             (id == IDC_DEFAULT_BROWSER_CHECK || id == IDC_IMPORT_CHECK || id == IDC_STATS_CHECK)) {
    OnCheckClicked(id);
  } else {
    return false;
  }
  return true;
}

void OptionsPanel::OnListChosen(int id) {
  stats_.CountChange(id == IDC_LANGUAGE_LIST ? "changed_language" : "changed_install_mode");
  HWND list = Control(id);
  LRESULT item = SendMessageW(list, CB_GETCURSEL, 0, 0);
  if (!settings_.IsModifiable() || item < 0) return;
  if (id == IDC_MODE_LIST) {
    settings_.SetInstallationMode(static_cast<int>(item));
    return;
  }
  auto index =
      static_cast<size_t>(SendMessageW(list, CB_GETITEMDATA, static_cast<WPARAM>(item), 0));
  if (index < languages_.size()) settings_.SetLanguage(languages_[index]);
}

void OptionsPanel::OnFolderEdited(int code) {
  stats_.CountChange(code == CBN_SELCHANGE ? "changed_install_path" : "edited_install_path");
  HWND list = Control(IDC_FOLDER_LIST);
  std::wstring folder = WindowText(list);
  LRESULT item = SendMessageW(list, CB_GETCURSEL, 0, 0);
  // On a choice the edit field still holds the text from before.
  if (code == CBN_SELCHANGE && item >= 0) folder = ItemText(list, item);
  if (settings_.IsModifiable()) settings_.SetInstallFolder(folder);
}

void OptionsPanel::OnCheckClicked(int id) {
  stats_.CountChange(id == IDC_DEFAULT_BROWSER_CHECK ? "changed_make_default_browser"
                     : id == IDC_IMPORT_CHECK        ? "changed_import_data"
                                                     : "changed_enable_stats");
  if (!settings_.IsModifiable()) return;
  bool checked = Button_GetCheck(Control(id)) == BST_CHECKED;
  if (id == IDC_DEFAULT_BROWSER_CHECK) {
    settings_.SetChoice(Settings::Choice::kDefaultBrowser, checked);
  } else if (id == IDC_IMPORT_CHECK) {
    settings_.SetChoice(Settings::Choice::kImportBrowserData, checked);
  } else {
    settings_.SetChoice(Settings::Choice::kNorvaStats, checked);
    settings_.SetChoice(Settings::Choice::kInstallerStats, checked);
  }
}

void OptionsPanel::BrowseForFolder() {
  std::wstring title = GetLocalizedString(IDS_BROWSE_TITLE);
  std::wstring start = WindowText(Control(IDC_FOLDER_LIST));
  BROWSEINFOW info = {};
  info.hwndOwner = GetParent(dialog_);
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
  SetWindowTextW(Control(IDC_FOLDER_LIST), folder.c_str());
  settings_.SetInstallFolder(folder);
}

}  // namespace norva::installer
