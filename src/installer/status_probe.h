#ifndef NORVA_INSTALLER_STATUS_PROBE_H_
#define NORVA_INSTALLER_STATUS_PROBE_H_

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <functional>

// What the examination of an installation folder asks of the shell: links
// and their targets, the taskbar pins, the default-browser handler and the
// profile folder of an installation.
namespace norva::installer {

// Identifies a file independently of the path it was reached by.
struct FileIdentity {
  DWORD volume_serial = 0;
  uint64_t file_index = 0;
  bool operator==(const FileIdentity&) const = default;
};

// False when the file cannot be opened.
bool GetFileIdentity(const std::filesystem::path& file, FileIdentity* identity);

// The target of a shell link (.lnk) without resolving it; false when the
// link cannot be read. The calling thread must have COM initialised.
bool GetShortcutTarget(const std::filesystem::path& shortcut, std::filesystem::path* target);

// Whether the shortcut exists and starts `executable`, by equal path or by
// equal file identity (`identity` may be null when the executable cannot be
// opened).
bool ShortcutStarts(const std::filesystem::path& shortcut, const std::filesystem::path& executable,
                    const FileIdentity* identity);

// The shell-facing look-ups of InstallationStatus, replaceable as a whole.
struct StatusProbe {
  // Whether the user-level "http" handler runs the installation in `folder`
  // (its browser executable when `match_browser_executable`, else its
  // launcher).
  std::function<bool(const std::filesystem::path& folder, bool match_browser_executable)>
      is_http_handled_by;
  // The profile folder of the installation in `folder`; false when unknown.
  std::function<bool(const std::filesystem::path& folder, std::filesystem::path* profile)>
      profile_folder;
  // The user's start-menu Programs folder.
  std::function<std::filesystem::path()> start_menu_programs;
  // A taskbar pin that starts `executable`; empty when there is none.
  std::function<std::filesystem::path(const std::filesystem::path& executable,
                                      const FileIdentity* identity)>
      find_taskbar_pin;
};

// The pin of `executable` among the links of `pins_folder`.
std::filesystem::path FindPinIn(const std::filesystem::path& pins_folder,
                                const std::filesystem::path& executable,
                                const FileIdentity* identity);

// The probe that InstallationStatus uses: by default the shell integration of
// the examined folder, and the user's real start-menu and pin folders.
StatusProbe GetStatusProbe();
// Replaces the probe for every later examination; any thread. Start from
// GetStatusProbe to change single members.
void SetStatusProbe(StatusProbe probe);
StatusProbe DefaultStatusProbe();

}  // namespace norva::installer

#endif  // NORVA_INSTALLER_STATUS_PROBE_H_
