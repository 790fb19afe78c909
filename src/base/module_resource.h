#ifndef NORVA_BASE_MODULE_RESOURCE_H_
#define NORVA_BASE_MODULE_RESOURCE_H_

#include <windows.h>

#include <string_view>

namespace norva::installer {

// The bytes of resource `id` of `type` in `module` (the main executable when
// null); empty when it is missing. They live as long as the module.
std::string_view ModuleResource(int id, const wchar_t* type, HMODULE module = nullptr);

}  // namespace norva::installer

#endif  // NORVA_BASE_MODULE_RESOURCE_H_
