#include "app/help_text.h"

#include <windows.h>

#include <cstdio>
#include <vector>

#include "base/scoped_handle.h"
#include "base/strings.h"
#include "product/installer_features.h"
#include "product/languages.h"
#include "product/product_info.h"

namespace norva::installer {
namespace {

struct HelpRow {
  const char* name;
  const char* placeholder;  // nullptr: the switch takes no value
  const char* description;  // "%s" is the product name
  const char* default_value;
};

constexpr HelpRow kHelpRows[] = {
    {"silent", nullptr,
     "Run the installer fully unattended. No dialog will be displayed in this mode. If it isn't "
     "running with sufficient privileges, the installer will fail instead of prompting the user.",
     nullptr},
    {"runimmediately", nullptr,
     "Run the installer mostly unattended. The installation will start immediately and the "
     "progress dialog will be displayed. The installer will prompt the user for elevation if "
     "needed.",
     nullptr},
    {"language", "LANGUAGE",
     "Install %s in the specified language.This language will also be used during installation.",
     "The Operating system UI language."},
    {"installfolder", "FOLDER", "Install %s in the specified folder.", nullptr},
    {"allusers", "[0|1]", "If true, install %s for all users on the system.",
     "True when running from an administrative acount."},
    {"copyonly", "[0|1]",
     "If true, the installer will only copy the files to the installation folder and will "
     "otherwise not perform any modification on the system.",
     "False."},
    {"singleprofile", "[0|1]",
     "If true, the installer will set up %s to use a singleprofile located in the installation "
     "folder.",
     "False."},
    {"setdefaultbrowser", "[0|1]", "If true, make %s the default browser for this user or computer.",
     "True for %s Stable."},
    {"desktopshortcut", "[0|1]", "If true, create a shortcut for %s on the desktop.", "True."},
    {"startmenushortcut", "[0|1]", "If true, create a shortcut for %s on the start menu.",
     "True."},
    {"quicklaunchshortcut", "[0|1]", "If true, create a shortcut for %s on the quick launch menu.",
     "False on Window 7 and later. True otherwise"},
    {"pintotaskbar", "[0|1]", "If true, pin %s to the taskbar.",
     "True on Window 7 and later. False otherwise."},
    {"import-browser-data", "[0|1]",
     "If true, %s is set up to import user data from the previously default browser when "
     "creating new user profiles.",
     "True."},
    {"enable-stats", "[0|1]", "If true, %s will by default gather and report statistics.",
     "True."},
    {"enable-installer-stats", "[0|1]",
     "If true, installer will by default gather and report statistics.", "True."},
    {"launchbrowser", "[0|1]", "If true, %s is launched once the installation is completed.",
     "True."},
};

// Replaces every "%s" of `text` with the product name.
std::string WithProductName(const char* text) {
  std::string out;
  const std::string name = product::ProductName();
  for (const char* p = text; *p; ++p) {
    if (p[0] == '%' && p[1] == 's') {
      out += name;
      ++p;
    } else {
      out += *p;
    }
  }
  return out;
}

void WaitForKey() {
  ScopedHandle input(CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                 nullptr));
  if (!input) return;
  std::fputs("Press any key to continue . . . ", stdout);
  FlushConsoleInputBuffer(input.get());
  INPUT_RECORD record;
  DWORD read = 0;
  while (ReadConsoleInputW(input.get(), &record, 1, &read) && read) {
    if (record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown) break;
  }
  std::fputs("\n", stdout);
}

}  // namespace

std::string BuildHelpText() {
  std::string text = StringPrintf("%s Installer %s %s\n\n", product::ProductName().c_str(),
                                  product::ProductVersion().c_str(),
                                  product::InternalStreamName().c_str());
  text += "The following command line parameters affect the behavior of the installer:\n";
  for (const HelpRow& row : kHelpRows) {
    text += StringPrintf("  %s", row.name);
    if (row.placeholder) text += StringPrintf("=%s", row.placeholder);
    text += StringPrintf("\n    %s\n", WithProductName(row.description).c_str());
    if (row.default_value)
      text += StringPrintf("    Default value: %s\n", WithProductName(row.default_value).c_str());
  }
  text += StringPrintf("\nLanguages available for the %s option:\n", "language");
  text += WideToUtf8(JoinString(l10n::AvailableLanguages(), L", ")) + "\n";
  text += "\nFeatures available through command-line switches:\n";
  for (const FeatureRegistry::Feature& feature : FeatureRegistry::Get().features()) {
    text += StringPrintf("\t--%s%s [Enabled by default: %s]\n", "with-feature:",
                         feature.name.c_str(), feature.enabled_by_default ? "true" : "false");
  }
  return text;
}

void ShowHelp() {
  AllocConsole();
  FILE* console = nullptr;
  if (freopen_s(&console, "CONOUT$", "w", stdout) != 0 || !console) return;
  setvbuf(stdout, nullptr, _IONBF, 0);
  std::fputs(BuildHelpText().c_str(), stdout);
  WaitForKey();
}

}  // namespace norva::installer
