#include "base/json.h"

#include "base/file_util.h"

namespace norva::installer {

std::string WriteJson(const nlohmann::json& value, bool pretty) {
  return value.dump(pretty ? 2 : -1, ' ', false, nlohmann::json::error_handler_t::replace);
}

bool ReadJsonFile(const FilePath& path, nlohmann::json* value) {
  std::string text;
  if (!ReadFileToString(path, &text, 64 << 20)) {
    *value = nlohmann::json();
    return false;
  }
  return ParseJson(text, value);
}

}  // namespace norva::installer
