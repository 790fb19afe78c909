// Fuzzes the JSON reader against the JSON library's own parser: both must
// accept the same texts and read them as the same document, types of
// numbers included. Only the reader limits the nesting depth.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include <nlohmann/json.hpp>

#include "base/json.h"

namespace {

int Depth(std::string_view text) {
  int depth = 0, deepest = 0;
  for (char c : text) {
    if (c == '[' || c == '{') deepest = std::max(deepest, ++depth);
    if (c == ']' || c == '}') --depth;
  }
  return deepest;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  nlohmann::json ours;
  bool read = norva::installer::ParseJson(text, &ours);
  // Brackets inside strings count too: such texts are only checked for safety.
  if (Depth(text) > norva::installer::kMaxJsonDepth) return 0;
  nlohmann::json theirs = nlohmann::json::parse(text, nullptr, false);
  if (read == theirs.is_discarded()) std::abort();
  if (read && ours.dump() != theirs.dump()) std::abort();
  return 0;
}
