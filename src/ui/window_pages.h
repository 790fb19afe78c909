#ifndef NORVA_UI_WINDOW_PAGES_H_
#define NORVA_UI_WINDOW_PAGES_H_

#include <windows.h>

namespace norva::installer {

// The pages of the window, in the order of the tables that describe them.
enum InstallerPage : int {
  kPageWelcome = 0,
  kPageUninstall = 1,
  kPageTerms = 2,
  kPageOptions = 3,
  kPageProgress = 4,
  kPageError = 5,
  kPageNone = 6,
};

bool IsPage(InstallerPage page);
// The page's name in the statistics ("invalid" for none).
const char* PageName(InstallerPage page);
// The control a page gives the focus to, 0 for none.
int PageFocusControl(InstallerPage page);
// Whether `page` shows the window's control `control`; an uninstallation
// has headings of its own.
bool PageShowsControl(InstallerPage page, int control, bool uninstall);
// Shows the controls of `page` among the children of `window`, hiding the
// others; an uninstallation has headings of its own.
void ShowPageControls(HWND window, InstallerPage page, bool uninstall);

}  // namespace norva::installer

#endif  // NORVA_UI_WINDOW_PAGES_H_
