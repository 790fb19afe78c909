#ifndef NORVA_INSTALLER_STATUS_PROBE_H_
#define NORVA_INSTALLER_STATUS_PROBE_H_

#include <windows.h>

#include <functional>

#include "base/file_path.h"

// What the examination of an installation folder asks of the shell: links
// and their targets, the taskbar pins, the default-browser handler and the
// profile folder of an installation.
namespace norva::installer {

// The shell-facing look-ups of InstallationStatus, replaceable as a whole.
struct StatusProbe {
  // Whether the user-level "http" handler runs the installation in `folder`
  // (its browser executable when `match_browser_executable`, else its
  // launcher).
  std::function<bool(const FilePath& folder, bool match_browser_executable)>
      is_http_handled_by;
  // The profile folder of the installation in `folder`; false when unknown.
  std::function<bool(const FilePath& folder, FilePath* profile)>
      profile_folder;
  // The user's start-menu Programs folder.
  std::function<FilePath()> start_menu_programs;
  // A taskbar pin that starts `executable`; empty when there is none.
  std::function<FilePath(const FilePath& executable)> find_taskbar_pin;
};

// The probe that InstallationStatus uses: by default the shell integration of
// the examined folder, and the user's real start-menu and pin folders.
StatusProbe GetStatusProbe();
// Replaces the probe for every later examination; any thread. Start from
// GetStatusProbe to change single members.
void SetStatusProbe(StatusProbe probe);
StatusProbe DefaultStatusProbe();

}  // namespace norva::installer

#endif  // NORVA_INSTALLER_STATUS_PROBE_H_
