#ifndef NORVA_SYSTEM_SHORTCUTS_H_
#define NORVA_SYSTEM_SHORTCUTS_H_

#include <filesystem>
#include <string>

// Shell links to the browser and its taskbar pins. Everything here uses COM
// shell objects, so the calling thread must have COM initialised.
namespace norva::installer {

// "<visible name> <stream>[ <major version>]<suffix>.lnk".
std::wstring ShortcutName(bool with_version);
// The identity that groups the browser's windows and shortcuts on the taskbar.
std::wstring AppUserModelIdFor(const std::string& app_id);

struct ShortcutProperties {
  std::filesystem::path target;
  std::filesystem::path working_folder;
  std::wstring app_user_model_id;  // not set when empty
};

// Writes the link file, replacing whatever file is there.
bool CreateShortcut(const std::filesystem::path& link, const ShortcutProperties& properties);
// Reads target, working folder and AppUserModelID back from a link file.
bool ReadShortcut(const std::filesystem::path& link, ShortcutProperties* properties);
// True when the link's target is `executable`, by equal path or by equal
// file identity (volume serial number and file index).
bool ShortcutStartsExecutable(const std::filesystem::path& link,
                              const std::filesystem::path& executable);

// Where the shell keeps the links of the pinned taskbar buttons.
std::filesystem::path TaskbarPinFolder();
// A pinned link that starts `executable` (Windows 7 and later); false when
// none does.
bool FindTaskbarPin(const std::filesystem::path& executable, std::filesystem::path* pin);
// The same among the links of `folder`.
bool FindPinIn(const std::filesystem::path& folder, const std::filesystem::path& executable,
               std::filesystem::path* pin);
// Pins or unpins the program of a link through the shell's own verbs.
bool PinToTaskbar(const std::filesystem::path& link);
bool UnpinFromTaskbar(const std::filesystem::path& link);

// Replaces the shell verb call behind PinToTaskbar and UnpinFromTaskbar
// (`pin` false: unpin); nullptr restores the real one.
using PinVerbFunction = bool (*)(const std::filesystem::path& link, bool pin);
void SetPinVerbForTesting(PinVerbFunction function);

}  // namespace norva::installer

#endif  // NORVA_SYSTEM_SHORTCUTS_H_
