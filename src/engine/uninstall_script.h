#ifndef NORVA_ENGINE_UNINSTALL_SCRIPT_H_
#define NORVA_ENGINE_UNINSTALL_SCRIPT_H_

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "base/file_path.h"

namespace norva::installer {

// The text of "k.bat": it waits until none of the given processes runs any
// more (a zero second or third id is left out), deletes `files` in order,
// removes `folders` deepest first (each only if empty) and finally itself.
// Every line ends in a single line feed.
std::wstring BuildUninstallScript(uint32_t pid1, uint32_t pid2, uint32_t pid3,
                                  const std::vector<FilePath>& files,
                                  const std::set<FilePath>& folders);

// The script's bytes as cmd.exe reads them: in the console's code page
// `code_page` (the OEM code page of a new console) when every character has
// a form there, otherwise in UTF-8 behind a line that switches to it.
std::string EncodeUninstallScript(const std::wstring& script, unsigned code_page);

}  // namespace norva::installer

#endif  // NORVA_ENGINE_UNINSTALL_SCRIPT_H_
