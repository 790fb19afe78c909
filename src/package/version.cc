#include "package/version.h"

#include <algorithm>

namespace norva::installer {
namespace {

// Parses one component: decimal digits only, fitting in 32 bits.
bool ParseComponent(std::string_view text, uint32_t* value) {
  if (text.empty()) return false;
  uint64_t number = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    number = number * 10 + static_cast<uint64_t>(c - '0');
    if (number > UINT32_MAX) return false;
  }
  *value = static_cast<uint32_t>(number);
  return true;
}

}  // namespace

Version::Version(std::string_view text) {
  std::vector<uint32_t> parsed;
  size_t position = 0;
  while (true) {
    size_t dot = text.find('.', position);
    std::string_view piece =
        text.substr(position, dot == std::string_view::npos ? std::string_view::npos
                                                           : dot - position);
    if (parsed.empty() && piece.size() > 1 && piece[0] == '0') return;
    uint32_t value = 0;
    if (!ParseComponent(piece, &value)) return;
    parsed.push_back(value);
    if (dot == std::string_view::npos) break;
    position = dot + 1;
  }
  components_ = std::move(parsed);
}

int Version::CompareTo(const Version& other) const {
  size_t count = std::max(components_.size(), other.components_.size());
  for (size_t i = 0; i < count; ++i) {
    uint32_t mine = i < components_.size() ? components_[i] : 0;
    uint32_t theirs = i < other.components_.size() ? other.components_[i] : 0;
    if (mine != theirs) return mine < theirs ? -1 : 1;
  }
  return 0;
}

std::string Version::ToString() const {
  std::string text;
  for (size_t i = 0; i < components_.size(); ++i) {
    if (i) text += '.';
    text += std::to_string(components_[i]);
  }
  return text;
}

}  // namespace norva::installer
