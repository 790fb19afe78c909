#ifndef NORVA_UI_INSTALLER_WINDOW_H_
#define NORVA_UI_INSTALLER_WINDOW_H_

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "installer/settings.h"
#include "stats/stats_collector.h"
#include "ui/fetch_state.h"
#include "ui/linked_text.h"
#include "ui/window_images.h"

namespace norva::installer {

enum InstallerPage : int {
  kPageWelcome = 0,
  kPageUninstall = 1,
  kPageTerms = 2,
  kPageOptions = 3,
  kPageProgress = 4,
  kPageError = 5,
  kPageNone = 6,
};

// Control ids of dialog templates 101 (the window) and 138 (its options
// panel).
enum InstallerControl : int {
  kLogo = 1000,
  kOptionsButton = 1001,
  kCancelButton = 1002,
  kAcceptButton = 1003,
  kFullPackageButton = 1004,
  kRetryButton = 1005,
  kUninstallButton = 1006,
  kHeading = 1007,
  kWelcomeText = 1008,
  kProgressHeading = 1009,
  kErrorHeading = 1010,
  kStatusText = 1011,
  kTermsText = 1012,
  kBackButton = 1013,
  kLanguageList = 1014,
  kModeList = 1015,
  kFolderList = 1016,
  kBrowseButton = 1017,
  kDefaultBrowserCheck = 1022,
  kImportCheck = 1023,
  kStatsCheck = 1024,
  kProgressBar = 1025,
  kInvalidFolderWarning = 1027,
  kUninstallQuestion = 1028,
  kDeleteProfileCheck = 1029,
  kLanguageLabel = 1030,
  kModeLabel = 1031,
  kFolderLabel = 1032,
  kUninstallErrorHeading = 1036,
};

inline constexpr int kMainDialogTemplate = 101;
inline constexpr int kOptionsDialogTemplate = 138;

// What the window tells the one driving it.
class InstallerWindowObserver {
 public:
  virtual ~InstallerWindowObserver() = default;
  // Accept, retry or uninstall was chosen.
  virtual void OnProceed() = 0;
  // The user confirmed cancelling, or closed an error message.
  virtual void OnCancel() = 0;
  virtual void OnFullPackage() = 0;
};

// The interactive installer's window: a dialog with six pages shown one at a
// time and an options panel, editing the Settings and, with the feature
// "installer-ui-stats", recording the pages and choices in the statistics.
// Lives on the UI thread.
class InstallerWindow : public Settings::Observer {
 public:
  // Null when a dialog cannot be created. A `progress_only` window shows
  // progress and errors only and does not follow the settings.
  static std::unique_ptr<InstallerWindow> Create(Settings& settings, StatsNode stats_root,
                                                 bool progress_only);
  ~InstallerWindow() override;
  InstallerWindow(const InstallerWindow&) = delete;
  InstallerWindow& operator=(const InstallerWindow&) = delete;

  HWND handle() const { return main_dialog_; }
  HWND options_dialog() const { return options_dialog_; }
  InstallerPage current_page() const { return current_page_; }

  void AddObserver(InstallerWindowObserver* observer);
  void RemoveObserver(InstallerWindowObserver* observer);

  void ShowPage(InstallerPage page);
  void ShowError(const std::wstring& message, bool show_full_package_button,
                 const std::string& failure_reason);
  // A message box; closing it cancels the run.
  void ShowErrorMessage(const std::wstring& message);
  // True when the user agrees to install for the current user only.
  bool AskSwitchToCurrentUser();
  // The fetch state of the UI controller.
  void SetProgressState(FetchState state);

  // Settings::Observer:
  void OnSettingsChanged() override;
  void OnLanguageChanged() override;
  void OnInstallFolderStatusChanged() override;

 private:
  InstallerWindow(Settings& settings, StatsNode stats_root, bool progress_only);

  // The procedure of a dialog: remembers its handle in `kDialog` and hands
  // its messages to `kHandler`.
  template <HWND InstallerWindow::*kDialog,
            INT_PTR (InstallerWindow::*kHandler)(UINT, WPARAM, LPARAM)>
  static INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);
  INT_PTR HandleMainMessage(UINT message, WPARAM wparam, LPARAM lparam);
  INT_PTR HandleOptionsMessage(UINT message, WPARAM wparam, LPARAM lparam);

  void InitMainDialog();
  void InitOptionsDialog();
  // Gives the options panel, made after the window's first paint, the
  // window's language, direction, fonts and settings.
  void OnOptionsPanelCreated();
  void OnMainCommand(int id, int code);
  void OnOptionsCommand(int id, int code);
  bool OnNotify(const NMHDR* header);
  INT_PTR OnColor(HDC dc, HWND control, UINT message);

  HWND Control(int id) const;
  void SetControlText(int id, const std::wstring& text);
  void ApplyPageVisibility(InstallerPage page);
  void SetHeadingText();
  void FillLanguageList();
  void FillModeList();
  void FitFullPackageButton();
  void RefreshUninstallControls(bool needs_elevation);
  void RefreshInstallControls(bool needs_elevation);
  void ApplyFolderText();
  void BrowseForFolder();
  void ConfirmCancel();
  int ShowMessageBox(const std::wstring& text, UINT type);
  void RecordAction(const char* action);
  void CountChange(const char* counter);
  template <typename Method>
  void NotifyObservers(Method method);

  void ApplyFonts();
  void OnDpiChanged(int dpi, const RECT& suggested);
  void ComposeBackground();
  void PaintBackground(HDC dc);
  // The background bitmap as a brush aligned to `control`.
  HBRUSH BackgroundBrush(HWND control, HDC dc);
  void PaintLogo(HDC dc, const RECT& area);
  void Repaint();

 public:
  // The logo control's painting: the window's background, the logo and, on
  // the error page, the error badge.
  void PaintLogoArea(HWND logo, HDC dc, const RECT& area);

 private:

  Settings& settings_;
  const bool progress_only_;
  const bool ui_stats_;
  StatsNode stats_root_;
  StatsNode page_record_;
  HWND main_dialog_ = nullptr;
  HWND options_dialog_ = nullptr;
  HWND tooltip_ = nullptr;
  WindowFonts fonts_;
  std::vector<std::wstring> languages_;
  std::vector<InstallerWindowObserver*> observers_;
  std::vector<LinkSpan> links_;  // when the rich edit drops hyperlink fields
  Bitmap logo_;
  Bitmap error_badge_;
  Bitmap background_image_;
  Bitmap background_;  // the client area's composed background
  HBRUSH white_brush_ = nullptr;
  HBRUSH window_brush_ = nullptr;
  HBRUSH background_brush_ = nullptr;
  InstallerPage current_page_ = kPageNone;
  bool error_page_shown_ = false;
  int folder_selection_ = -1;
  int dpi_ = 96;
  bool mirrored_ = false;
};

}  // namespace norva::installer

#endif  // NORVA_UI_INSTALLER_WINDOW_H_
