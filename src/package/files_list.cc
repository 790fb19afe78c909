#include "package/files_list.h"

#include <string_view>

#include "base/file_util.h"
#include "base/logging.h"

namespace norva::installer {
namespace {

constexpr wchar_t kFilesList[] = L"files_list";
constexpr std::string_view kLineEnd = "\r\n";

// Whether some piece between the line ends is not empty: the installation
// drops empty pieces, and a list of only those names nothing.
bool HasEntries(std::string_view list) {
  size_t start = 0;
  while (start < list.size()) {
    size_t end = list.find(kLineEnd, start);
    if (end != start) return true;
    start = end + kLineEnd.size();
  }
  return false;
}

}  // namespace

bool AddToFilesList(const FilePath& package_folder, const std::vector<std::string>& names) {
  const FilePath path = package_folder / kFilesList;
  std::string list;
  if (!ReadFileToString(path, &list)) {
    PLOG(ERROR) << "Could not read " << path;
    return false;
  }
  if (!HasEntries(list)) {
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
