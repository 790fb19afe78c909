#include "base/module_resource.h"

namespace norva::installer {

std::string_view ModuleResource(int id, const wchar_t* type, HMODULE module) {
  if (!module) module = GetModuleHandleW(nullptr);
  HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(id), type);
  HGLOBAL loaded = found ? LoadResource(module, found) : nullptr;
  const char* data = loaded ? static_cast<const char*>(LockResource(loaded)) : nullptr;
  return data ? std::string_view(data, SizeofResource(module, found)) : std::string_view();
}

}  // namespace norva::installer
