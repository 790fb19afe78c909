#ifndef NORVA_PACKAGE_FILES_LIST_H_
#define NORVA_PACKAGE_FILES_LIST_H_

#include <string>
#include <string_view>
#include <vector>

#include "base/file_path.h"

namespace norva::installer {

// "files_list" in a package folder names the files an installation copies,
// one name per CR LF.
constexpr wchar_t kFilesListName[] = L"files_list";

// The entries of a files list's text: "\r\n"-separated, empty pieces dropped.
std::vector<std::string> SplitFilesList(std::string_view text);

// The entries of the list `file`; false when it cannot be read.
bool ReadFilesList(const FilePath& file, std::vector<std::string>* entries);

// Adds `names` (8-bit, each ended by CR LF) after the entries of the list in
// `package_folder`, which keeps its own entries and their order. False, with
// the list as it was, when the folder has no list that names anything or the
// list cannot be replaced: added names alone would install a browser without
// its own files.
bool AddToFilesList(const FilePath& package_folder, const std::vector<std::string>& names);

}  // namespace norva::installer

#endif  // NORVA_PACKAGE_FILES_LIST_H_
