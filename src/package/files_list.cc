#include "package/files_list.h"

#include <string_view>

#include "base/file_util.h"
#include "base/logging.h"

namespace norva::installer {
namespace {

constexpr std::string_view kLineEnd = "\r\n";

}  // namespace

std::vector<std::string> SplitFilesList(std::string_view text) {
  std::vector<std::string> entries;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(kLineEnd, start);
    if (end == std::string_view::npos) end = text.size();
    if (end > start) entries.emplace_back(text.substr(start, end - start));
    start = end + kLineEnd.size();
  }
  return entries;
}

bool ReadFilesList(const FilePath& file, std::vector<std::string>* entries) {
  std::string text;
  if (!ReadFileToString(file, &text)) return false;
  *entries = SplitFilesList(text);
  return true;
}

bool AddToFilesList(const FilePath& package_folder, const std::vector<std::string>& names) {
  const FilePath path = package_folder / kFilesListName;
  std::string list;
  if (!ReadFileToString(path, &list)) {
    PLOG(ERROR) << "Could not read " << path;
    return false;
  }
  // An installation drops empty pieces: a list of only those names nothing.
  if (SplitFilesList(list).empty()) {
    LOG(ERROR) << path << " names no files";
    return false;
  }
  if (!list.ends_with(kLineEnd)) list += kLineEnd;
  for (const std::string& name : names) {
    list += name;
    list += kLineEnd;
  }
  return WriteFileAtomically(path, list);
}

}  // namespace norva::installer
