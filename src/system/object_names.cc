#include "system/object_names.h"

#include <algorithm>

namespace norva::installer {

std::wstring GetObjectNameForFolder(const std::wstring& name, const std::filesystem::path& folder,
                                    bool global) {
  std::wstring object_name = (global ? L"Global\\" : L"Local\\") + name + L"/" + folder.native();
  std::replace(object_name.begin() + (global ? 7 : 6), object_name.end(), L'\\', L'/');
  return object_name;
}

}  // namespace norva::installer
