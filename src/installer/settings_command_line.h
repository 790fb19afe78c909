#ifndef NORVA_INSTALLER_SETTINGS_COMMAND_LINE_H_
#define NORVA_INSTALLER_SETTINGS_COMMAND_LINE_H_

#include <string>

#include "base/command_line.h"
#include "base/file_path.h"
#include "installer/install_choices.h"

namespace norva::installer {

class InstallationStatus;

// Reads the installation choices from the command line a run was given and
// writes them back as the command line of its backend. A boolean switch
// given without a value counts as false.
class SettingsCommandLine {
 public:
  explicit SettingsCommandLine(const CommandLine& command_line);

  bool Has(const char* name) const { return command_line_.HasSwitch(name); }
  // The switch's value, or `current` when the switch is absent.
  bool Bool(const char* name, bool current) const;
  std::wstring Value(const char* name) const { return command_line_.GetSwitchValue(name); }

  // Puts every choice but the language and the profile deletion back to this
  // machine's defaults, then applies the switches.
  void ReadChoices(bool autoupdate, InstallChoices* choices) const;
  // Takes over the choices `status`'s installation made wherever no switch
  // overrides them.
  void ReadInstallationChoices(const InstallationStatus& status, const SettingsOptions& run,
                               InstallChoices* choices) const;

  // The backend's command line, without a program: nothing but the process
  // switches while `operation` is none.
  CommandLine ToBackend(const SettingsOptions& run, InstallOperation operation,
                        const InstallChoices& choices, const FilePath& install_folder,
                        bool never_launch) const;

 private:
  void CopySwitch(const char* name, CommandLine* result) const;

  const CommandLine command_line_;
};

}  // namespace norva::installer

#endif  // NORVA_INSTALLER_SETTINGS_COMMAND_LINE_H_
