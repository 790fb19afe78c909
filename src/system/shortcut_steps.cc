#include "system/shortcut_steps.h"

#include <windows.h>
#include <knownfolders.h>

#include <cwctype>

#include "base/file_util.h"
#include "base/logging.h"
#include "base/strings.h"
#include "system/shortcuts.h"
#include "system/transactions/copy_file_operation.h"
#include "system/transactions/delete_file_operation.h"
#include "system/transactions/move_file_operation.h"
#include "system/windows_version.h"

namespace norva::installer {
namespace {

const char* const kHandlingLines[kShortcutKinds] = {"Handling desktop shortcut:",
                                                    "Handling start menu shortcut:",
                                                    "Handling quick launch shortcut:"};

bool StemEndsInDigit(const FilePath& path) {
  std::wstring stem = path.stem().native();
  return !stem.empty() && std::iswdigit(stem.back());
}

}  // namespace

ShortcutFolders GetShortcutFolders(bool all_users) {
  ShortcutFolders folders;
  folders.folder[kDesktopShortcut] =
      GetKnownFolder(all_users ? FOLDERID_PublicDesktop : FOLDERID_Desktop);
  folders.folder[kStartMenuShortcut] =
      GetKnownFolder(all_users ? FOLDERID_CommonPrograms : FOLDERID_Programs);
  folders.folder[kQuickLaunchShortcut] = GetKnownFolder(FOLDERID_QuickLaunch);
  // Not every shell knows the quick-launch folder by its identifier.
  if (folders.folder[kQuickLaunchShortcut].empty()) {
    FilePath roaming = GetKnownFolder(FOLDERID_RoamingAppData);
    if (!roaming.empty())
      folders.folder[kQuickLaunchShortcut] = roaming / L"Microsoft\\Internet Explorer\\Quick Launch";
  }
  return folders;
}

ShortcutSteps::ShortcutSteps(FilePath install_folder,
                             FilePath package_folder, InstallLog* record,
                             Transaction* transaction)
    : install_folder_(std::move(install_folder)),
      package_folder_(std::move(package_folder)),
      record_(record),
      transaction_(transaction) {}

FilePath* ShortcutSteps::Entry(int kind) const {
  switch (kind) {
    case kDesktopShortcut: return &record_->desktop_shortcut;
    case kStartMenuShortcut: return &record_->menu_shortcut;
    default: return &record_->quick_launch_shortcut;
  }
}

bool ShortcutSteps::RecordedNamesHaveVersion() const {
  for (int kind = 0; kind < kShortcutKinds; ++kind) {
    if (StemEndsInDigit(*Entry(kind))) return true;
  }
  return false;
}

void ShortcutSteps::Install(const ShortcutChoices& choices, const ShortcutFolders& folders) {
  if (record_->copy_only) return;
  VLOG(1) << "Installing shortcuts";
  std::vector<Destination> destinations;
  for (int kind = 0; kind < kShortcutKinds; ++kind) {
    if (choices.wanted[kind]) destinations.emplace_back(folders.folder[kind], Entry(kind));
  }
  Create(destinations, choices.pin, false);
}

void ShortcutSteps::Update(const ShortcutChoices& choices, const FoundShortcuts& found,
                           const ShortcutFolders& folders) {
  if (record_->copy_only) return;
  VLOG(1) << "Updating shortcuts";
  bool with_version = RecordedNamesHaveVersion();
  VLOG(1) << (with_version ? "Using" : "Not using") << " shortcut names with version number";
  bool move = false;
  std::wstring plain_stem = FilePath(ShortcutName(false)).stem().native();
  for (int kind = 0; kind < kShortcutKinds && !with_version; ++kind) {
    const FilePath& recorded = *Entry(kind);
    if (!recorded.empty() && !EqualsCaseInsensitiveASCII(recorded.stem().native(), plain_stem))
      move = true;
  }

  std::vector<Destination> to_create;
  for (int kind = 0; kind < kShortcutKinds; ++kind) {
    FilePath* entry = Entry(kind);
    VLOG(1) << kHandlingLines[kind] << " " << *entry;
    bool wanted = choices.wanted[kind];
    if (!found.found[kind]) {
      if (wanted) {
        VLOG(1) << "Preparing to add shortcut";
        to_create.emplace_back(folders.folder[kind], entry);
      }
    } else if (!wanted) {
      VLOG(1) << "Removing shortcut";
      if (transaction_->Execute(std::make_unique<DeleteFileOperation>(*entry, false, false)))
        entry->clear();
    } else if (found.needs_update[kind]) {
      VLOG(1) << "Recreating shortcut";
      if (transaction_->Execute(std::make_unique<DeleteFileOperation>(*entry, false, false)))
        entry->clear();
      to_create.emplace_back(folders.folder[kind], entry);
    } else if (move) {
      VLOG(1) << "Moving shortcut";
      FilePath to = folders.folder[kind] / ShortcutName(with_version);
      // Another installation's shortcut under that name is not ours to replace.
      if (PathExists(to) && !EqualsCaseInsensitiveASCII(to.native(), entry->native())) {
        VLOG(1) << "Keeping the shortcut's name: " << to << " exists";
      } else if (transaction_->Execute(std::make_unique<MoveFileOperation>(*entry, to))) {
        *entry = to;
      }
    }
  }
  // An existing pin stays; pinning again would only add a second button.
  bool pin = choices.pin && found.pinned.empty();
  if (!to_create.empty() || pin) Create(to_create, pin, with_version);
}

void ShortcutSteps::RemoveRecorded(const FoundShortcuts& found) {
  if (!found.pinned.empty()) UnpinFromTaskbar(found.pinned);
  for (int kind = 0; kind < kShortcutKinds; ++kind) {
    if (found.found[kind] && !Entry(kind)->empty())
      transaction_->Execute(std::make_unique<DeleteFileOperation>(*Entry(kind), false, false));
  }
  if (!found.company_menu_folder.empty()) {
    transaction_->Execute(
        std::make_unique<DeleteFileOperation>(found.company_menu_folder, false, false));
  }
}

bool ShortcutSteps::Create(const std::vector<Destination>& destinations, bool pin,
                           bool names_with_version) {
  ShortcutProperties properties;
  properties.target = install_folder_ / L"launcher.exe";
  properties.working_folder = install_folder_;
  properties.app_user_model_id = AppUserModelIdFor(record_->app_id);
  // Another installation's shortcut may already carry the plain name.
  for (const Destination& destination : destinations) {
    if (!names_with_version && PathExists(destination.first / ShortcutName(false)))
      names_with_version = true;
  }
  std::wstring name = ShortcutName(names_with_version);
  FilePath master = package_folder_ / name;
  VLOG(1) << "Creating master shortcut";
  if (!CreateShortcut(master, properties)) {
    LOG(ERROR) << "Failed to create shortcut at " << master;
    return false;
  }
  if (pin && GetWindowsVersionRank() >= kWindows7) {
    VLOG(1) << "Pinning master shortcut";
    if (PinToTaskbar(master)) {
      record_->pinned = true;
    } else {
      LOG(ERROR) << "Failed pinning " << master;
    }
  }
  for (const Destination& destination : destinations) {
    FilePath to = destination.first / name;
    if (transaction_->Execute(std::make_unique<CopyFileOperation>(master, to)))
      *destination.second = to;
  }
  return true;
}

}  // namespace norva::installer
