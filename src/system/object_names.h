#ifndef NORVA_SYSTEM_OBJECT_NAMES_H_
#define NORVA_SYSTEM_OBJECT_NAMES_H_

#include <filesystem>
#include <string>

namespace norva::installer {

// Names the kernel objects (events) through which the processes working on
// one installation folder find each other: `name`, "/" and the folder with
// every backslash turned into "/", behind "Global\" or "Local\".
std::wstring GetObjectNameForFolder(const std::wstring& name, const std::filesystem::path& folder,
                                    bool global);

}  // namespace norva::installer

#endif  // NORVA_SYSTEM_OBJECT_NAMES_H_
