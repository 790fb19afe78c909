#include "base/json.h"

#include "base/file_util.h"

namespace norva::installer {
namespace {

// Nesting depth of arrays and objects, strings skipped.
bool NestingWithin(std::string_view text, int max_depth) {
  int depth = 0;
  bool in_string = false;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (in_string) {
      if (c == '\\') ++i;
      else if (c == '"') in_string = false;
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > max_depth) return false;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return true;
}

}  // namespace

bool ParseJson(std::string_view text, nlohmann::json* value) {
  *value = nlohmann::json();
  if (!NestingWithin(text, kMaxJsonDepth)) return false;
  nlohmann::json parsed = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (parsed.is_discarded()) return false;
  *value = std::move(parsed);
  return true;
}

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
