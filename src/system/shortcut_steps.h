#ifndef NORVA_SYSTEM_SHORTCUT_STEPS_H_
#define NORVA_SYSTEM_SHORTCUT_STEPS_H_

#include <utility>
#include <vector>

#include "base/file_path.h"
#include "system/install_log.h"
#include "system/transactions/transaction.h"

namespace norva::installer {

enum ShortcutKind : int { kDesktopShortcut, kStartMenuShortcut, kQuickLaunchShortcut, kShortcutKinds };

// Where each kind of shortcut goes.
struct ShortcutFolders {
  FilePath folder[kShortcutKinds];
};
// The common (all users) or the user's desktop and start-menu programs
// folders, and the user's quick-launch folder.
ShortcutFolders GetShortcutFolders(bool all_users);

// The shortcuts the user asked for.
struct ShortcutChoices {
  bool wanted[kShortcutKinds] = {};
  bool pin = false;
};

// What the examination of the installation folder found of the shortcuts
// that its install log records.
struct FoundShortcuts {
  bool found[kShortcutKinds] = {};
  bool needs_update[kShortcutKinds] = {};
  FilePath pinned;               // the taskbar pin that starts it
  bool pin_needs_update = false;
  FilePath company_menu_folder;  // the company's start-menu folder
};

// The shortcut work of an installation: every file change runs in the
// installation's transaction and lands in its install log record. Failures
// are logged and never fail the installation.
class ShortcutSteps {
 public:
  // `package_folder` holds the master shortcut: the folder of the running
  // installer executable.
  ShortcutSteps(FilePath install_folder, FilePath package_folder,
                InstallLog* record, Transaction* transaction);

  void Install(const ShortcutChoices& choices, const ShortcutFolders& folders);
  void Update(const ShortcutChoices& choices, const FoundShortcuts& found,
              const ShortcutFolders& folders);
  void RemoveRecorded(const FoundShortcuts& found);

  // Makes the master shortcut in the package folder, pins it when asked
  // (Windows 7 and later) and copies it into each folder, storing the new
  // path in the paired record entry. False when the master shortcut could
  // not be made; then no folder gets a shortcut.
  using Destination = std::pair<FilePath, FilePath*>;
  bool Create(const std::vector<Destination>& destinations, bool pin, bool names_with_version);

  // Whether shortcuts recorded so far are named with a version number.
  bool RecordedNamesHaveVersion() const;

 private:
  FilePath* Entry(int kind) const;

  const FilePath install_folder_;
  const FilePath package_folder_;
  InstallLog* const record_;
  Transaction* const transaction_;
};

}  // namespace norva::installer

#endif  // NORVA_SYSTEM_SHORTCUT_STEPS_H_
