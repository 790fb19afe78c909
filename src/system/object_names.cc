#include "system/object_names.h"

#include <windows.h>

#include <algorithm>
#include <vector>

#include "base/file_util.h"
#include "base/scoped_handle.h"

namespace norva::installer {

namespace {

// The final path of an existing file or folder, as the file system spells
// it (stored case, long names, links followed); empty when it cannot be read.
std::wstring FinalPath(const FilePath& path) {
  ScopedHandle file(CreateFileW(ExtendedLengthPath(path).c_str(), 0,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!file) return {};
  const DWORD flags = FILE_NAME_NORMALIZED | VOLUME_NAME_DOS;
  std::wstring final_path(GetFinalPathNameByHandleW(file.get(), nullptr, 0, flags), L'\0');
  DWORD length = final_path.empty()
                     ? 0
                     : GetFinalPathNameByHandleW(file.get(), final_path.data(),
                                                 static_cast<DWORD>(final_path.size()), flags);
  if (length == 0 || length >= final_path.size()) return {};
  final_path.resize(length);
  if (final_path.starts_with(L"\\\\?\\UNC\\")) return L"\\\\" + final_path.substr(8);
  if (final_path.starts_with(L"\\\\?\\")) return final_path.substr(4);
  return final_path;
}

// The folder with its longest existing part as the file system spells it and
// the rest as given, so that every spelling of one folder names the same
// objects. A path already in that form comes back unchanged.
std::wstring CanonicalFolder(const FilePath& folder) {
  FilePath existing = folder;
  std::vector<FilePath> missing;
  while (existing.has_relative_path()) {
    std::wstring final_path = FinalPath(existing);
    if (!final_path.empty()) {
      FilePath canonical(final_path);
      for (auto part = missing.rbegin(); part != missing.rend(); ++part) canonical /= *part;
      return canonical.native();
    }
    missing.push_back(existing.filename());
    existing = existing.parent_path();
  }
  return folder.native();
}

}  // namespace

std::wstring GetObjectNameForFolder(const std::wstring& name, const FilePath& folder,
                                    bool global) {
  std::wstring object_name =
      (global ? L"Global\\" : L"Local\\") + name + L"/" + CanonicalFolder(folder);
  std::replace(object_name.begin() + (global ? 7 : 6), object_name.end(), L'\\', L'/');
  return object_name;
}

}  // namespace norva::installer
