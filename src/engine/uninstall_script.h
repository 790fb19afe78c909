#ifndef NORVA_ENGINE_UNINSTALL_SCRIPT_H_
#define NORVA_ENGINE_UNINSTALL_SCRIPT_H_

#include <cstdint>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

namespace norva::installer {

// The text of "k.bat": it waits until none of the given processes runs any
// more (a zero second or third id is left out), deletes `files` in order,
// removes `folders` deepest first (each only if empty) and finally itself.
// UTF-8, every line ending in a single line feed.
std::string BuildUninstallScript(uint32_t pid1, uint32_t pid2, uint32_t pid3,
                                 const std::vector<std::filesystem::path>& files,
                                 const std::set<std::filesystem::path>& folders);

}  // namespace norva::installer

#endif  // NORVA_ENGINE_UNINSTALL_SCRIPT_H_
