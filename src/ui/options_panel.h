#ifndef NORVA_UI_OPTIONS_PANEL_H_
#define NORVA_UI_OPTIONS_PANEL_H_

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "installer/settings.h"
#include "ui/dialog_template.h"

namespace norva::installer {

class WindowPainter;
class WindowStats;

// The installer window's options panel: a child dialog over the window's
// page area where the user chooses the language, for whom to install, the
// folder and the optional settings. An edit goes into the Settings when they
// are modifiable, is counted in the window's statistics, and then `on_edit`
// runs, so the window shows the settings again. Lives on the UI thread,
// inside the window that owns it.
class OptionsPanel {
 public:
  OptionsPanel(Settings& settings, WindowPainter& painter, WindowStats& stats,
               std::function<void()> on_edit);
  ~OptionsPanel();
  OptionsPanel(const OptionsPanel&) = delete;
  OptionsPanel& operator=(const OptionsPanel&) = delete;

  // Makes the panel's dialog, hidden, inside `window`, its controls
  // mirrored for a language written right to left when `mirrored`; false
  // when it fails.
  bool Create(HWND window, bool mirrored);
  // Destroys the panel's dialog and tooltip; the window's destruction would
  // leave this panel with their stale handles.
  void Destroy();
  HWND handle() const { return dialog_; }

  // Flips the panel's controls for a language written right to left, or back.
  void Mirror();
  // The window is drawn at another DPI: the panel takes its template's
  // place and layout again in the window's new dialog font `font`.
  void OnDpiChanged(HFONT font, bool mirrored);
  void SetTexts();
  // Fills the language and mode lists in the current language.
  void FillLists();
  // Shows the settings: the mode, the check boxes and the folder warning.
  void Refresh();
  // Puts the examined folder into the folder list, unless the user's own
  // text already says it (rewriting it would move the caret while they type).
  void ApplyFolderText();

 private:
  INT_PTR HandleMessage(UINT message, WPARAM wparam, LPARAM lparam);
  void Init();
  void AddModeTooltip();
  // The browse button is as high as the folder list beside it.
  void MatchBrowseButtonToList();
  // True when the command changed an option.
  bool OnCommand(int id, int code);
  void OnListChosen(int id);
  void OnFolderEdited(int code);
  void OnCheckClicked(int id);
  void FillLanguageList();
  void FillModeList();
  void BrowseForFolder();
  HWND Control(int id) const { return GetDlgItem(dialog_, id); }

  Settings& settings_;
  WindowPainter& painter_;
  WindowStats& stats_;
  const std::function<void()> on_edit_;
  const std::vector<std::wstring> languages_;
  DialogLayout layout_;
  HWND dialog_ = nullptr;
  HWND tooltip_ = nullptr;
  int folder_selection_ = -1;
};

}  // namespace norva::installer

#endif  // NORVA_UI_OPTIONS_PANEL_H_
