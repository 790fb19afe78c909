#ifndef NORVA_UI_INSTALLER_WINDOW_H_
#define NORVA_UI_INSTALLER_WINDOW_H_

#include <windows.h>
#include <richedit.h>

#include <memory>
#include <string>
#include <vector>

#include "installer/settings.h"
#include "stats/stats_collector.h"
#include "ui/dialog_template.h"
#include "ui/fetch_state.h"
#include "ui/linked_text.h"
#include "ui/options_panel.h"
#include "ui/welcome_links.h"
#include "ui/window_pages.h"
#include "ui/window_painter.h"
#include "ui/window_stats.h"

namespace norva::installer {

// What the window tells the one driving it.
class InstallerWindowObserver {
 public:
  virtual ~InstallerWindowObserver() = default;
  // Accept, retry or uninstall was chosen.
  virtual void OnProceed() = 0;
  // The user confirmed cancelling, or closed an error message.
  virtual void OnCancel() = 0;
  virtual void OnFullPackage() = 0;
  // A link of the welcome text to a web page was opened.
  virtual void OnOpenWebPage(const std::wstring& address) {}
};

// The interactive installer's window: a dialog with six pages shown one at a
// time and an options panel, editing the Settings and, with the feature
// "installer-ui-stats", recording the pages and choices in the statistics.
// The window places its pages and handles their messages; its painter draws
// it and the panel edits the options. Lives on the UI thread.
class InstallerWindow : public Settings::Observer {
 public:
  // Null when a dialog cannot be created. A `progress_only` window shows
  // progress and errors only and does not follow the settings.
  static std::unique_ptr<InstallerWindow> Create(Settings& settings, StatsNode stats_root,
                                                 bool progress_only);
  ~InstallerWindow() override;
  InstallerWindow(const InstallerWindow&) = delete;
  InstallerWindow& operator=(const InstallerWindow&) = delete;

  HWND handle() const { return dialog_; }
  HWND options_dialog() const { return panel_.handle(); }
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

  INT_PTR HandleMessage(UINT message, WPARAM wparam, LPARAM lparam);
  void Init();
  // What each control needs once made: drawing, fonts, screen readers,
  // contrast. Again for the controls made after the first paint.
  void SetUpControls();
  // Makes the controls the first page does not show, once it is painted.
  void CreateLaterControls();
  // Gives the options panel, made after the window's first paint, the
  // window's direction, fonts, texts and settings.
  void OnPanelCreated();
  // The window is drawn at `dpi` now (it moved to another screen, or the
  // screen's scale changed) and takes the place `suggested`: it is laid out
  // again from its template in the fonts for that DPI.
  void OnDpiChanged(int dpi, const RECT& suggested);
  // The system's colours or its high-contrast mode changed.
  void OnSystemColorsChanged();
  void FollowContrastTheme();
  // A link of the welcome text: the terms page, or a web page to open.
  void OpenLink(const std::wstring& target);
  void OnCommand(int id, int code);
  bool OnNotify(const NMHDR* header);

  HWND Control(int id) const { return GetDlgItem(dialog_, id); }
  void RefreshUninstallControls(bool needs_elevation);
  void RefreshInstallControls(bool needs_elevation);
  void ConfirmCancel();
  template <typename Method>
  void NotifyObservers(Method method);

  Settings& settings_;
  const bool progress_only_;
  WindowStats stats_;
  // Before the painter, which keeps it.
  DialogLayout layout_;
  WindowPainter painter_;
  SplitDialogTemplate template_;
  OptionsPanel panel_;
  HWND dialog_ = nullptr;
  std::vector<InstallerWindowObserver*> observers_;
  WelcomeLinks welcome_links_;
  InstallerPage current_page_ = kPageNone;
  bool mirrored_ = false;
  bool links_attached_ = false;
};

}  // namespace norva::installer

#endif  // NORVA_UI_INSTALLER_WINDOW_H_
