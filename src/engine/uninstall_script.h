#ifndef NORVA_ENGINE_UNINSTALL_SCRIPT_H_
#define NORVA_ENGINE_UNINSTALL_SCRIPT_H_

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "base/file_path.h"

namespace norva::installer {

// A process id as a switch gives it: unsigned decimal digits that fit in 32
// bits; 0 for anything else.
uint32_t ParseProcessId(const std::wstring& text);

// The file name of the program that process `pid` runs ("installer.exe");
// empty when it cannot be had.
std::wstring ProcessImageName(uint32_t pid);

// The text of the clean-up script `script` ("k.bat" in the installation
// folder): it waits, about two minutes at most, until none of the given
// processes runs any more (a zero second or third id is left out), deletes
// `files` in order, trying again for up to about a minute while one stays,
// removes `folders` deepest first (each only if empty), and last moves
// itself out of its folder, removes that folder if it is empty, and deletes
// itself. A process counts as running while a process of its id runs the
// program `image_name` names for it, so that one given the id later does not
// hold the script up; an empty name matches any program. Paths appear in the
// form `spell` gives them (as they are without it). Every line ends in a
// single line feed.
std::wstring BuildUninstallScript(
    uint32_t pid1, uint32_t pid2, uint32_t pid3, const std::vector<FilePath>& files,
    const std::set<FilePath>& folders, const FilePath& script,
    const std::function<FilePath(const FilePath&)>& spell = {},
    const std::function<std::wstring(uint32_t pid)>& image_name = ProcessImageName);

// `path` as a script read in the console's code page `code_page` can name
// it: itself when every letter has a form there, otherwise its short form
// when the volume keeps one that does, otherwise itself.
FilePath ConsoleSpelling(const FilePath& path, unsigned code_page);

// The script's bytes as cmd.exe reads them: in the console's code page
// `code_page` (the OEM code page of a new console) when every character has
// a form there, otherwise in UTF-8 behind a line that switches to it.
std::string EncodeUninstallScript(const std::wstring& script, unsigned code_page);

}  // namespace norva::installer

#endif  // NORVA_ENGINE_UNINSTALL_SCRIPT_H_
