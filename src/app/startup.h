#ifndef NORVA_APP_STARTUP_H_
#define NORVA_APP_STARTUP_H_

#include <windows.h>

#include <functional>
#include <string>

#include "base/file_path.h"

namespace norva::installer {

class CommandLine;

// Stops the system from swallowing exceptions raised in callbacks, where the
// system offers the choice.
void ClearCallbackExceptionSwallowing();

// Modules loaded by name come from the system folder only, never from the
// current folder or the executable's (often the download folder). Also keeps
// the system from asking about drives without a medium. Run first.
void RestrictDllSearch();

// The system DLL `name` from the system folder (or its side-by-side version
// that the manifest asks for), never from the executable's folder. The
// system DLLs outside the KnownDLLs are delay-loaded through it.
HMODULE LoadSystemLibrary(const char* name);

// "<run temp>\<Product> Installer\<product>_installer_YYYYMMDDhhmmss.log"
// (GetRunTempFolder); the bare file name when the folder cannot be had.
FilePath LogFilePathFor(const SYSTEMTIME& start_time);

// Starts a copy of this process with the same command line, not waiting.
void RestartThisProcess();

// Older systems ship with TLS 1.0 off for the user. Returns false when TLS 1.0
// cannot be enabled or when the process was restarted (through `restart`) to
// pick it up.
bool EnsureTlsEnabled(const std::function<void()>& restart = RestartThisProcess);

// True when the executable runs from an unpacked package (or, uninstalling,
// from an installation folder).
bool IsInsidePackage(const FilePath& executable_path, bool uninstall);

// The install folder given on the command line, including the recovery of the
// legacy updater's folder argument. May turn a silent run into a
// run-immediately one.
FilePath InstallFolderFromCommandLine(const CommandLine& command_line, bool autoupdate,
                                      bool* silent, bool* run_immediately);

// The folder the package is downloaded into: "temp-folder" when given, else
// the first base folder (the run's temporary folder, Downloads, the profile,
// the executable's own) from which a copy of this executable can run.
bool ChooseDownloadFolder(const CommandLine& command_line,
                          const FilePath& executable_path,
                          FilePath* folder);

}  // namespace norva::installer

#endif  // NORVA_APP_STARTUP_H_
