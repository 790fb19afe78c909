#include "ui/window_pages.h"

#include "product/resource_ids.h"

namespace norva::installer {
namespace {

struct PageInfo {
  const char* name;
  int focused_control;  // 0: none
};

constexpr PageInfo kPages[] = {
    {"WELCOME", IDC_ACCEPT_BUTTON},
    {"UNINSTALL", IDC_UNINSTALL_BUTTON},
    {"TOS", IDC_ACCEPT_BUTTON},
    {"OPTIONS", IDC_ACCEPT_BUTTON},
    {"PROGRESS", 0},
    {"ERROR", IDC_RETRY_BUTTON},
};

// Which controls each page shows, in page order.
struct PageVisibility {
  int control;
  bool shown[6];
};

constexpr PageVisibility kVisibility[] = {
    {IDC_LOGO, {true, true, false, false, true, true}},
    {IDC_TERMS_TEXT, {false, false, true, false, false, false}},
    {IDC_BACK_BUTTON, {false, false, true, true, false, true}},
    {IDC_HEADING, {true, false, false, false, false, false}},
    {IDC_WELCOME_TEXT, {true, false, false, false, false, false}},
    {IDC_OPTIONS_BUTTON, {true, false, false, false, false, false}},
    {IDC_ACCEPT_BUTTON, {true, false, true, true, false, false}},
    {IDC_PROGRESS_HEADING, {false, false, false, false, true, false}},
    {IDC_STATUS_TEXT, {false, false, false, false, true, true}},
    {IDC_PROGRESS_BAR, {false, false, false, false, true, false}},
    {IDC_ERROR_HEADING, {false, false, false, false, false, true}},
    {IDC_UNINSTALL_ERROR_HEADING, {false, false, false, false, false, true}},
    {IDC_RETRY_BUTTON, {false, false, false, false, false, true}},
    {IDC_FULL_PACKAGE_BUTTON, {false, false, false, false, false, true}},
    {IDC_CANCEL_BUTTON, {false, true, false, false, false, false}},
    {IDC_UNINSTALL_BUTTON, {false, true, false, false, false, false}},
    {IDC_DELETE_PROFILE_CHECK, {false, true, false, false, false, false}},
    {IDC_UNINSTALL_QUESTION, {false, true, false, false, false, false}},
};

}  // namespace

bool IsPage(InstallerPage page) { return page >= kPageWelcome && page < kPageNone; }

const char* PageName(InstallerPage page) { return IsPage(page) ? kPages[page].name : "invalid"; }

int PageFocusControl(InstallerPage page) { return IsPage(page) ? kPages[page].focused_control : 0; }

bool PageShowsControl(InstallerPage page, int control, bool uninstall) {
  if (!IsPage(page)) return false;
  if (control == (uninstall ? IDC_PROGRESS_HEADING : IDC_UNINSTALL_ERROR_HEADING) ||
      (uninstall && control == IDC_ERROR_HEADING))
    return false;
  for (const PageVisibility& row : kVisibility)
    if (row.control == control) return row.shown[page];
  return false;
}

void ShowPageControls(HWND window, InstallerPage page, bool uninstall) {
  for (const PageVisibility& row : kVisibility) {
    bool shown = PageShowsControl(page, row.control, uninstall);
    ShowWindow(GetDlgItem(window, row.control), shown ? SW_SHOWNA : SW_HIDE);
  }
}

}  // namespace norva::installer
