#ifndef NORVA_APP_INSTALLER_MAIN_H_
#define NORVA_APP_INSTALLER_MAIN_H_

// The one entry point of the installer library. Reads the process command
// line, plays the role it names and returns true on success.
extern "C" bool RunInstaller();

#endif  // NORVA_APP_INSTALLER_MAIN_H_
