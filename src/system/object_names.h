#ifndef NORVA_SYSTEM_OBJECT_NAMES_H_
#define NORVA_SYSTEM_OBJECT_NAMES_H_

#include <string>

#include "base/file_path.h"

namespace norva::installer {

// Names the kernel objects (events) through which the processes working on
// one installation folder find each other: `name`, "/" and the folder with
// every backslash turned into "/", behind "Global\" or "Local\".
std::wstring GetObjectNameForFolder(const std::wstring& name, const FilePath& folder,
                                    bool global);

// The objects' names, shared by every process of an installation.
inline constexpr wchar_t kInstallerMutexName[] = L"Norva/Installer";
inline constexpr wchar_t kInstallationInterruptedEvent[] = L"NorvaInstaller/InstallationInterrupted";
inline constexpr wchar_t kPackageReadyEvent[] = L"NorvaInstaller/PackageReady";
inline constexpr wchar_t kGivePermissionEvent[] = L"NorvaInstaller/GiveInstallPermission";
inline constexpr wchar_t kGivePermissionUndoEvent[] = L"NorvaInstaller/GiveInstallPermission/Undo";

}  // namespace norva::installer

#endif  // NORVA_SYSTEM_OBJECT_NAMES_H_
