#ifndef NORVA_ENGINE_INSTALL_CONTEXT_H_
#define NORVA_ENGINE_INSTALL_CONTEXT_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/command_line.h"
#include "base/file_path.h"
#include "engine/installer_observer.h"
#include "system/install_log.h"
#include "system/transactions/journal.h"
#include "system/transactions/transaction.h"

namespace norva::installer {

class InstallationStatus;
class Settings;

// Tells the backend that its package folder is the frontend's own unpacking
// for this run, which nothing else uses: its files may be moved into place.
inline constexpr char kMovablePackageSwitch[] = "movable-package";

// The frontend's window, by its handle's number: the elevation prompt a
// backend asks for belongs to it, so that it opens in front of the window
// instead of behind it, flashing in the taskbar.
inline constexpr char kOwnerWindowSwitch[] = "owner-window";

// Why a step failed, as the observers are told.
struct StepFailure {
  int message_id = IDS_GENERAL_FAILURE;
  std::wstring detail;
  std::string message;
};

// Empty when the step succeeded.
using StepResult = std::optional<StepFailure>;

// What the parts of one installation share: the request, the transaction
// every change goes through, the folders and the record being written. The
// installer owns it and hands it to each part by reference.
struct InstallContext {
  InstallContext(CommandLine command_line, FilePath package_folder);
  InstallContext(const InstallContext&) = delete;
  InstallContext& operator=(const InstallContext&) = delete;

  const InstallationStatus& status() const;
  int operation() const;
  bool IsCopyOnly() const;
  bool IsAutoupdate() const;
  // The package's files may be moved instead of copied: the package is this
  // run's own, and the installation is this user's alone. A machine-wide one
  // copies, so that its files take the folder's access rather than that of
  // the user's temporary folder.
  bool PackageFilesMayMove() const;

  const CommandLine command_line;
  std::vector<InstallerObserver*> observers;
  // Declared before the transaction, which writes to it.
  Journal journal;
  Transaction transaction{&journal};
  // Set for the duration of a run.
  Settings* settings = nullptr;
  // The unpacked package.
  FilePath package_folder;
  FilePath install_folder;
  // The record written to "installation_status.xml" at the end.
  InstallLog record;
  // The other installer process of this run: the one that started it, or
  // the elevated helper that granted the folder's rights.
  uint32_t partner_pid = 0;
  // "installer_prefs.json" was first made by this run, so a failed run
  // deletes it again.
  bool created_installer_prefs = false;
};

// The browser executable's name: the file-name base and ".exe".
std::wstring BrowserExecutableName();

}  // namespace norva::installer

#endif  // NORVA_ENGINE_INSTALL_CONTEXT_H_
