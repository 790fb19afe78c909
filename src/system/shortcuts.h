#ifndef NORVA_SYSTEM_SHORTCUTS_H_
#define NORVA_SYSTEM_SHORTCUTS_H_

#include <string>

#include "base/file_path.h"

// Shell links to the browser and its taskbar pins. Everything here uses COM
// shell objects, so the calling thread must have COM initialised.
namespace norva::installer {

// "<visible name> <stream>[ <major version>]<suffix>.lnk".
std::wstring ShortcutName(bool with_version);
// The identity that groups the browser's windows and shortcuts on the taskbar.
std::wstring AppUserModelIdFor(const std::string& app_id);

struct ShortcutProperties {
  FilePath target;
  FilePath working_folder;
  std::wstring app_user_model_id;  // not set when empty
};

// Writes the link file, replacing whatever file is there.
bool CreateShortcut(const FilePath& link, const ShortcutProperties& properties);
// Reads target, working folder and AppUserModelID back from a link file.
bool ReadShortcut(const FilePath& link, ShortcutProperties* properties);
// True when the link's target is `executable`, by equal path or by equal
// file identity (volume serial number and file index).
bool ShortcutStartsExecutable(const FilePath& link,
                              const FilePath& executable);

// Where the shell keeps the links of the pinned taskbar buttons.
FilePath TaskbarPinFolder();
// A pinned link that starts `executable` (Windows 7 and later); false when
// none does.
bool FindTaskbarPin(const FilePath& executable, FilePath* pin);
// The same among the links of `folder`.
bool FindPinIn(const FilePath& folder, const FilePath& executable,
               FilePath* pin);
// Pins or unpins the program of a link through the shell's own verbs.
bool PinToTaskbar(const FilePath& link);
bool UnpinFromTaskbar(const FilePath& link);

// Replaces the shell verb call behind PinToTaskbar and UnpinFromTaskbar
// (`pin` false: unpin); nullptr restores the real one.
using PinVerbFunction = bool (*)(const FilePath& link, bool pin);
void SetPinVerbForTesting(PinVerbFunction function);

}  // namespace norva::installer

#endif  // NORVA_SYSTEM_SHORTCUTS_H_
